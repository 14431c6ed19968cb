// SPDX-License-Identifier: MIT
#include "ProgButtons.h"

#include "Ini.h"
#include "MixSend.h"

namespace core
{
namespace
{

std::string SlotKey(int slot)
{
    return "BTN" + std::to_string(slot + 1);
}

} // namespace

ProgTexts LoadProgButtons(const std::string &path)
{
    ProgTexts texts;
    platform::IniFile ini;
    if (!ini.load(path))
        return texts;
    const std::string section(kProgButtonSection);
    for (int slot = 0; slot < kProgSlots; ++slot)
        texts[static_cast<std::size_t>(slot)] = ini.get(section, SlotKey(slot), "");
    return texts;
}

bool SaveProgButtons(const std::string &path, const ProgTexts &texts, std::string *error,
                     const std::string &readFrom)
{
    platform::IniFile ini;
    const std::string &from = readFrom.empty() ? path : readFrom;
    // Writing over a file that could not be read would lose its other sections.
    if (!ini.load(from)) {
        if (error)
            *error = from + ": cannot be read";
        return false;
    }
    const std::string section(kProgButtonSection);
    for (int slot = 0; slot < kProgSlots; ++slot)
        ini.set(section, SlotKey(slot), '"' + texts[static_cast<std::size_t>(slot)] + '"');
    if (!ini.save(path)) {
        if (error)
            *error = ini.errorText();
        return false;
    }
    return true;
}

std::optional<std::string> RegisterProgText(std::string_view boxText, bool asString, int delimiterIndex)
{
    if (TrimLow(boxText).empty())
        return std::nullopt;
    std::string text(boxText);
    if (asString) {
        text = '"' + text + '"';
        if (delimiterIndex == 1)
            text += ",0x0d";
        else if (delimiterIndex == 2)
            text += ",0x0d,0x0a";
    }
    return text;
}

bool ProgTextSendable(std::string_view text)
{
    return !TrimLow(text).empty();
}

} // namespace core
