// SPDX-License-Identifier: MIT
// Trimming as the program does it wherever it trims a text: the bytes of value 0x20 or below go
// at both ends (CP932 keeps every byte up to 0x20 a character of its own).
#pragma once

#include <string_view>

namespace core
{

inline std::string_view TrimLow(std::string_view text)
{
    const auto low = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
    while (!text.empty() && low(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && low(text.back()))
        text.remove_suffix(1);
    return text;
}

} // namespace core
