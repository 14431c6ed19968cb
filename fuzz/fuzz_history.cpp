// SPDX-License-Identifier: MIT
// Any bytes as the send-history file and as a file played out line by line: no fault; the history
// written back reads back the same, and the lines played out are the file, cut as the line buffer
// cuts it.
#include "FuzzCheck.h"

#include "HistoryFile.h"
#include "LineReader.h"

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string bytes(reinterpret_cast<const char *>(data), size);

    const std::vector<std::string> entries = core::ParseHistory(bytes);
    FUZZ_CHECK(core::ParseHistory(core::SerializeHistory(entries)) == entries);

    std::istringstream in(bytes);
    core::LineReader reader(in);
    std::string line, rebuilt;
    while (reader.next(line)) {
        FUZZ_CHECK(line.size() <= core::kLineReadMax);
        rebuilt += line;
        // A line shorter than the buffer ended at a line feed, or at the end of the file.
        if (line.size() < core::kLineReadMax)
            rebuilt += '\n';
    }
    FUZZ_CHECK(rebuilt == bytes || rebuilt == bytes + '\n');
    return 0;
}
