// SPDX-License-Identifier: MIT
// The send history file "SendCombo.dat": one entry per line, newest first, CP932 bytes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace core
{

inline constexpr const char *kHistoryFileName = "SendCombo.dat";

// Splits at CR, LF and CR LF (one break each). An empty line is an empty entry, a last line
// without a break is an entry, a NUL byte ends the text, an empty text has no entries.
std::vector<std::string> ParseHistory(std::string_view bytes);
// Every entry followed by CR LF; no entries give no bytes.
std::string SerializeHistory(const std::vector<std::string> &entries);

// Reads the file; false when it does not exist or cannot be read (the list is then untouched).
bool LoadHistoryFile(const std::string &path, std::vector<std::string> &entries);
// Replaces the file in one step, so a crash or a full disk never leaves it cut short. False with
// the reason in *error when it cannot be written; the old file then stays as it was.
bool SaveHistoryFile(const std::string &path, const std::vector<std::string> &entries,
                     std::string *error = nullptr);

} // namespace core
