// SPDX-License-Identifier: MIT
#include "SendHistory.h"

namespace core
{
namespace
{

bool IsCp932LeadByte(unsigned char c)
{
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

unsigned char FoldAscii(unsigned char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

} // namespace

bool SameHistoryText(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto ca = static_cast<unsigned char>(a[i]);
        const auto cb = static_cast<unsigned char>(b[i]);
        if (IsCp932LeadByte(ca) && i + 1 < a.size()) {
            // A two-byte character: both bytes exactly (its second byte may look like a letter).
            if (ca != cb || a[i + 1] != b[i + 1])
                return false;
            ++i;
            continue;
        }
        if (FoldAscii(ca) != FoldAscii(cb))
            return false;
    }
    return true;
}

int FindSendHistory(const std::vector<std::string> &history, std::string_view text)
{
    for (std::size_t i = 0; i < history.size(); ++i) {
        if (SameHistoryText(history[i], text))
            return static_cast<int>(i);
    }
    return -1;
}

std::vector<std::string> PushSendHistory(std::vector<std::string> history, std::string_view text)
{
    if (const int found = FindSendHistory(history, text); found >= 0)
        history.erase(history.begin() + found);
    history.insert(history.begin(), std::string(text));
    if (history.size() > kSendHistoryMax)
        history.pop_back();
    return history;
}

} // namespace core
