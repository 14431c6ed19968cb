// SPDX-License-Identifier: MIT
// The log files of the four pages ("BackLogHEX.txt" and so on beside the executable), and the
// offset arithmetic of the pick-up and the caret alignment, done on the pages' byte lines.
#pragma once

#include "RxPipeline.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace core
{

// folder + "BackLog" + the page's file part; a separator is put after a folder that lacks one.
std::string PageFilePath(const std::string &folder, int page, const PageTable &pages = StandardPages());

struct PageSaveResult {
    bool ok = true;
    int failedPage = -1; // the page whose file could not be written
    std::string path;    // its file
    std::string error;   // why
};

// Writes each shown page's lines, each followed by CR LF, in the order of the page table, each
// file replaced in one step. Hidden pages' files are not touched. Stops at the first file that
// cannot be written: the pages after it are not saved, the failed file keeps its old contents,
// and no page changes.
PageSaveResult SavePageFiles(const std::string &folder, const PageSet &pages);

// The lines of the pages that were shown, taken out of them for a save in the background: one
// entry per page of the table.
using PageLines = std::vector<std::optional<std::vector<std::string>>>;
PageLines NoPageLines(const PageTable &pages = StandardPages());
// The same files from lines taken out of the pages, in the same order with the same stop at the
// first failure, but not flushed to the disk: the automatic save at the line limit, which the
// next limit replaces anyway.
PageSaveResult SavePageLines(const std::string &folder, const PageLines &lines,
                             const PageTable &pages = StandardPages());

// Offsets into a page's whole text, in bytes, with `breakLength` bytes between two lines (2 for
// the CR LF of the files; a view that counts a line break as one character passes 1). The whole
// text has no break after its last line.
std::size_t TextLength(const Page &page, std::size_t breakLength = 2);
// The line that holds the byte at `offset`; an offset on a line break belongs to the line before
// it, one past the end to the last line. An empty page gives 0.
int LineAtOffset(const Page &page, std::size_t offset, std::size_t breakLength = 2);
// The offset of the start of line `index`.
std::size_t LineStart(const Page &page, int index, std::size_t breakLength = 2);

// The text a double-click on `line` puts into the send box: the line as it stands, or nothing
// when it is empty (or outside the page).
std::optional<std::string> PickUpLine(const Page &page, int line);

} // namespace core
