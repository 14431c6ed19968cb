// SPDX-License-Identifier: MIT
// The send history: the item list of the send box, newest first. A push moves an equal entry
// (letter case ignored) to the top as the new text and keeps at most kSendHistoryMax entries,
// deleting one entry per push, so a longer list loaded from "SendCombo.dat" shrinks no faster.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace core
{

constexpr std::size_t kSendHistoryMax = 50;

// Equality of the send box's exact-item search: whole texts, ASCII letters compared without
// regard to case. The second byte of a CP932 two-byte character is compared exactly, so two
// different Japanese characters never count as the same text.
bool SameHistoryText(std::string_view a, std::string_view b);

// The index of the first entry equal to `text`, or -1.
int FindSendHistory(const std::vector<std::string> &history, std::string_view text);

// The history after sending `text`: the first equal entry removed, `text` put at the top, and the
// last entry deleted when more than kSendHistoryMax remain.
std::vector<std::string> PushSendHistory(std::vector<std::string> history, std::string_view text);

} // namespace core
