// SPDX-License-Identifier: MIT
#include "CtrlButtons.h"

#include "Cells.h"

#include <cstdio>

namespace core
{

std::optional<std::string> CtrlCharNotation(unsigned char b, MixForm form, MixType type)
{
    char buf[8];
    if (form == MixForm::Normal) {
        std::snprintf(buf, sizeof buf, "0x%02x", b);
        return std::string(buf);
    }
    switch (type) {
    case MixType::Hex:
        std::snprintf(buf, sizeof buf, "%02X", b);
        return std::string(buf);
    case MixType::Dec:
        std::snprintf(buf, sizeof buf, "%3d", b);
        return std::string(buf);
    case MixType::Char:
        if (b > 0x20)
            return std::nullopt;
        return std::string(" ").append(CtrlCharNames[b]);
    case MixType::Text:
        break;
    }
    return std::nullopt;
}

std::optional<std::string> CtrlButtonPiece(std::string_view boxText, unsigned char b, MixForm form,
                                           MixType type)
{
    auto n = CtrlCharNotation(b, form, type);
    if (!n)
        return std::nullopt;
    const std::string_view t = TrimLow(boxText);
    if (form == MixForm::Normal)
        return t.empty() || t.back() == ',' ? *n : "," + *n;
    // The list form's tag has one blank, not the pages' two: the mixed send drops the piece
    // "[OUT]" either way.
    return (t.empty() ? "[OUT] " : " ") + *n;
}

std::string AppendCtrlButton(std::string_view boxText, unsigned char b, MixForm form, MixType type)
{
    std::string text(boxText);
    if (const auto piece = CtrlButtonPiece(boxText, b, form, type))
        text += *piece;
    return text;
}

} // namespace core
