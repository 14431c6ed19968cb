// SPDX-License-Identifier: MIT
// The four registered send texts and their file "PButton.ini" (section "ProgButtonSet", keys
// "BTN1" to "BTN4"). Each value is written inside one more pair of double quotes, which the INI
// reader removes again, so blanks at both ends and a text's own quotes survive a restart.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace core
{

constexpr int kProgSlots = 4;
using ProgTexts = std::array<std::string, kProgSlots>; // slot 1 is index 0

inline constexpr std::string_view kProgButtonFile = "PButton.ini";
inline constexpr std::string_view kProgButtonSection = "ProgButtonSet";

// The four texts of the file at `path`; a missing file or key gives an empty text.
ProgTexts LoadProgButtons(const std::string &path);

// Writes all four keys, leaving the file's other sections and keys as they are. Returns false
// and leaves the file untouched when it cannot be read or written; *error then says why. The other
// lines come from `readFrom` when it is given: the file the texts were read from, where that one
// cannot be written and `path` is the user's own copy of it.
bool SaveProgButtons(const std::string &path, const ProgTexts &texts, std::string *error = nullptr,
                     const std::string &readFrom = {});

// The text a register button stores from the send box, or nothing when the box is empty or all
// blank. The "文" buttons (asString) wrap the text in double quotes and append the string send's
// delimiter as number items: RGDelimiter index 1 ",0x0d", 2 ",0x0d,0x0a".
std::optional<std::string> RegisterProgText(std::string_view boxText, bool asString, int delimiterIndex);

// Whether a registered text sends anything: an empty or all-blank text does nothing.
bool ProgTextSendable(std::string_view text);

} // namespace core
