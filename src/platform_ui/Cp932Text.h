// SPDX-License-Identifier: MIT
// The widget boundary of the program's 8-bit texts: what a widget shows of CP932 bytes, the bytes
// of what a person typed, and the trimming of widget text as the program trims its bytes.
#pragma once

#include <QString>

#include <optional>
#include <string>
#include <string_view>

// The bytes decoded; a byte that does not decode shows as U+FFFD.
QString FromCp932(std::string_view bytes);
// The text encoded, or nothing when it holds a character that CP932 lacks.
std::optional<std::string> ToCp932(const QString &text);
// Widget text with the characters up to U+0020 removed at both ends, as the program trims its
// byte strings (CP932 keeps every byte up to 0x20 a character of its own).
QString TrimLow(const QString &text);
