// SPDX-License-Identifier: MIT
#include "PageFiles.h"

#include "FileIo.h"

#include <algorithm>
#include <span>
#include <string_view>
#include <vector>

namespace core
{

std::string PageFilePath(const std::string &folder, int page, const PageTable &pages)
{
    std::string path = folder;
    if (!path.empty() && path.back() != '/')
        path += '/';
    path += "BackLog";
    path += pages[page].filePart;
    return path;
}

PageLines NoPageLines(const PageTable &pages)
{
    return PageLines(static_cast<std::size_t>(pages.count()));
}

namespace
{

// Writes one page's file; on failure fills `result` and returns false.
bool SaveOne(const std::string &folder, const PageTable &pages, int page,
             std::span<const std::string_view> bytes, platform::Durability durability, PageSaveResult &result)
{
    const std::string path = PageFilePath(folder, page, pages);
    std::string error;
    if (platform::WriteFileAtomic(path, bytes, &error, durability))
        return true;
    result.ok = false;
    result.failedPage = page;
    result.path = path;
    result.error = error;
    return false;
}

// A page file's bytes as pieces: each line followed by CR LF, as fileText() joins them, without
// copying megabytes of lines into one string first.
std::vector<std::string_view> FilePieces(const std::vector<std::string> &lines)
{
    std::vector<std::string_view> pieces;
    pieces.reserve(lines.size() * 2);
    for (const std::string &line : lines) {
        pieces.emplace_back(line);
        pieces.emplace_back("\r\n", 2);
    }
    return pieces;
}

} // namespace

PageSaveResult SavePageFiles(const std::string &folder, const PageSet &pages)
{
    PageSaveResult result;
    for (int i = 0; i < pages.count(); ++i)
        if (pages.visible[i] && !SaveOne(folder, pages.table(), i, FilePieces(pages.page[i]->lines()),
                                         platform::Durability::Flushed, result))
            break;
    return result;
}

PageSaveResult SavePageLines(const std::string &folder, const PageLines &lines, const PageTable &pages)
{
    PageSaveResult result;
    for (int i = 0; i < pages.count() && static_cast<std::size_t>(i) < lines.size(); ++i)
        if (const auto &page = lines[static_cast<std::size_t>(i)];
            page && !SaveOne(folder, pages, i, FilePieces(*page), platform::Durability::Unflushed, result))
            break;
    return result;
}

std::size_t TextLength(const Page &page, std::size_t breakLength)
{
    std::size_t n = 0;
    for (int i = 0; i < page.count(); ++i)
        n += page.line(i).size() + (i > 0 ? breakLength : 0);
    return n;
}

int LineAtOffset(const Page &page, std::size_t offset, std::size_t breakLength)
{
    std::size_t start = 0;
    for (int i = 0; i + 1 < page.count(); ++i) {
        const std::size_t end = start + page.line(i).size() + breakLength; // start of the next line
        if (offset < end)
            return i;
        start = end;
    }
    return std::max(0, page.count() - 1);
}

std::size_t LineStart(const Page &page, int index, std::size_t breakLength)
{
    std::size_t start = 0;
    const int n = std::min(index, page.count());
    for (int i = 0; i < n; ++i)
        start += page.line(i).size() + breakLength;
    return start;
}

std::optional<std::string> PickUpLine(const Page &page, int line)
{
    if (line < 0 || line >= page.count() || page.line(line).empty())
        return std::nullopt;
    return page.line(line);
}

} // namespace core
