// SPDX-License-Identifier: MIT
// Conversion between the program's 8-bit text (the ANSI code page CP932, as files written by the
// program's Windows version hold it) and the Unicode text of the widgets.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform
{

// Decodes CP932 bytes to UTF-8. A byte that is no character shows as U+FFFD and decoding goes on;
// a lead byte at the very end (half of a two-byte character) also shows as U+FFFD.
std::string Cp932ToUtf8(std::string_view bytes);

// Encodes UTF-8 text to CP932 bytes. Returns nothing when a character has no CP932 form (or the
// input is not valid UTF-8): the caller must not send or store a substitute silently.
std::optional<std::string> Utf8ToCp932(std::string_view utf8);

} // namespace platform
