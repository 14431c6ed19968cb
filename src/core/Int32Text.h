// SPDX-License-Identifier: MIT
// The one integer syntax of the program's files and of the mixed send: decimal with an optional
// sign, or hexadecimal (digits 0-9, a-f, A-F) after "0x", "0X", "$", "x" or "X". A hexadecimal
// value is a 32-bit pattern (0xFFFFFFFF is -1); a decimal value must fit a signed 32-bit integer.
// A sign may stand before a hexadecimal prefix too ("-0x10" is -16). The whole text must be the
// number: no blanks, nothing after the digits.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace core
{

std::optional<std::int32_t> ParseInt32(std::string_view text);

inline std::int32_t ParseInt32Or(std::string_view text, std::int32_t def)
{
    const auto v = ParseInt32(text);
    return v ? *v : def;
}

} // namespace core
