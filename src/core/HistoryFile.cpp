// SPDX-License-Identifier: MIT
#include "HistoryFile.h"

#include "FileIo.h"

namespace core
{

std::vector<std::string> ParseHistory(std::string_view bytes)
{
    const std::size_t nul = bytes.find('\0');
    if (nul != std::string_view::npos)
        bytes = bytes.substr(0, nul);
    std::vector<std::string> entries;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const std::size_t br = bytes.find_first_of("\r\n", pos);
        if (br == std::string_view::npos) {
            entries.emplace_back(bytes.substr(pos));
            break;
        }
        entries.emplace_back(bytes.substr(pos, br - pos));
        pos = br + (bytes[br] == '\r' && br + 1 < bytes.size() && bytes[br + 1] == '\n' ? 2 : 1);
    }
    return entries;
}

std::string SerializeHistory(const std::vector<std::string> &entries)
{
    std::string out;
    for (const auto &e : entries) {
        out += e;
        out += "\r\n";
    }
    return out;
}

bool LoadHistoryFile(const std::string &path, std::vector<std::string> &entries)
{
    const auto bytes = platform::ReadWholeFile(path);
    if (!bytes)
        return false;
    entries = ParseHistory(*bytes);
    return true;
}

bool SaveHistoryFile(const std::string &path, const std::vector<std::string> &entries, std::string *error)
{
    return platform::WriteFileAtomic(path, SerializeHistory(entries), error);
}

} // namespace core
