// SPDX-License-Identifier: MIT
// The control-character buttons: each writes the notation of its byte into the send box, in the
// mixed-send form and type selected at that moment, so that the user composes a mixed-send text
// by clicking. The mixed send reads every piece back as the same byte. Nothing is transmitted.
#pragma once

#include "MixSend.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace core
{

struct CtrlButton {
    std::string_view caption;
    std::string_view control; // the button's object name
    unsigned char tag;        // the byte it stands for
};

// Left to right as they stand on the window.
inline constexpr std::array<CtrlButton, 11> kCtrlButtons{{
    {"Esc", "BtnEsc", 27},
    {"CR", "Button8", 13},
    {"LF", "Button9", 10},
    {"SOH", "Button6", 1},
    {"STX", "Button1", 2},
    {"ETX", "Button2", 3},
    {"EOT", "Button3", 4},
    {"ENQ", "Button4", 5},
    {"ACK", "Button5", 6},
    {"NAK", "Button7", 21},
    {"EOF", "Button10", 26},
}};

// The notation of `b`: normal form "0x1b"; list form HEX "1B", DEC " 27", CHAR " _ec" (names exist
// for bytes up to 0x20; a higher byte has no CHAR notation). Nothing in the list form with TEXT.
std::optional<std::string> CtrlCharNotation(unsigned char b, MixForm form, MixType type);

// The piece appended to the send box text `boxText` for a click on the button of `b`, or nothing
// when the click changes nothing (list form with TEXT).
std::optional<std::string> CtrlButtonPiece(std::string_view boxText, unsigned char b, MixForm form,
                                           MixType type);

// The send box text after the click: the untrimmed text followed by the piece.
std::string AppendCtrlButton(std::string_view boxText, unsigned char b, MixForm form, MixType type);

} // namespace core
