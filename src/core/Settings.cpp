// SPDX-License-Identifier: MIT
#include "Settings.h"

#include "Ini.h"
#include "Int32Text.h"
#include "TrimLow.h"

namespace core
{
namespace
{

std::int32_t readInt(const platform::IniFile &ini, const char *section, const char *key, std::int32_t def)
{
    return ParseInt32Or(ini.get(section, key, std::string()), def);
}

void writeInt(platform::IniFile &ini, const char *section, const char *key, std::int32_t v)
{
    ini.set(section, key, std::to_string(v));
}

constexpr const char *kTimeSection = "RecvTime";
constexpr const char *kTimeKey = "SHOW";
constexpr const char *kLogSection = "TrafficLog";
constexpr const char *kLogFolderKey = "FOLDER";

} // namespace

std::int32_t LineBreakModeFromFile(std::int32_t v)
{
    return v >= 0 && v <= 2 ? v : -1;
}

std::int32_t DelimiterFromFile(std::int32_t v)
{
    return v < -1 ? -1 : (v > 2 ? 2 : v);
}

std::int32_t ActivePageFromFile(std::int32_t v)
{
    return v >= 0 && v < StandardPages().count() ? v : -1;
}

void Settings::read(const platform::IniFile &ini)
{
    comm.ComNo = readInt(ini, "INI", "COMM", 1);
    comm.Speed = readInt(ini, "INI", "SPEED", 9600);
    comm.WordSize = readInt(ini, "INI", "WORDSIZE", 8);
    comm.Parity = ini.get("INI", "PARITY", "NONE");
    comm.StopBits = ini.get("INI", "STOPBIT", "1");
    comm.Flow = ini.get("INI", "FLOW", "NONE");
    geometry.height = readInt(ini, "POS", "HEIGHT", 583);
    geometry.width = readInt(ini, "POS", "WIDTH", 794);
    geometry.top = readInt(ini, "POS", "TOP", 130);
    geometry.left = readInt(ini, "POS", "LEFT", 194);
    lineBreakMode = LineBreakModeFromFile(readInt(ini, "RecvSet", "RETCODE", 0));
    delimiter = DelimiterFromFile(readInt(ini, "SendDelimiter", "DELIMITER", 0));
    comm.RecvLineWait = readInt(ini, "CharDelayTime", "CharDelayTime", 500);
    comm.CtrlCheck = readInt(ini, "MODE", "CTRL_CHECK", 1);
    comm.Parity = std::string(TrimLow(comm.Parity));
    comm.StopBits = std::string(TrimLow(comm.StopBits));
    comm.Flow = std::string(TrimLow(comm.Flow));
    activePage = ActivePageFromFile(readInt(ini, "DISP", "PAGE", 0));
    for (std::size_t i = 0; i < pageShown.size(); ++i)
        pageShown[i] = readInt(ini, "DISP", StandardPages()[static_cast<int>(i)].settingsKey.c_str(), 1) != 0;
    showTimes = readInt(ini, kTimeSection, kTimeKey, 0) != 0;
    logFolder = ini.get(kLogSection, kLogFolderKey, std::string());
}

void Settings::write(platform::IniFile &ini) const
{
    writeInt(ini, "INI", "COMM", comm.ComNo);
    writeInt(ini, "INI", "SPEED", comm.Speed);
    writeInt(ini, "INI", "WORDSIZE", comm.WordSize);
    ini.set("INI", "PARITY", comm.Parity);
    ini.set("INI", "STOPBIT", comm.StopBits);
    ini.set("INI", "FLOW", comm.Flow);
    writeInt(ini, "RecvSet", "RETCODE", lineBreakMode);
    writeInt(ini, "SendDelimiter", "DELIMITER", delimiter);
    writeInt(ini, "CharDelayTime", "CharDelayTime", comm.RecvLineWait);
    writeInt(ini, "MODE", "CTRL_CHECK", comm.CtrlCheck);
    writeInt(ini, "DISP", "PAGE", activePage);
    for (std::size_t i = 0; i < pageShown.size(); ++i)
        ini.set("DISP", StandardPages()[static_cast<int>(i)].settingsKey, pageShown[i] ? "1" : "0");
    writeInt(ini, "POS", "HEIGHT", geometry.height);
    writeInt(ini, "POS", "WIDTH", geometry.width);
    writeInt(ini, "POS", "TOP", geometry.top);
    writeInt(ini, "POS", "LEFT", geometry.left);
    if (showTimes || ini.contains(kTimeSection, kTimeKey))
        ini.set(kTimeSection, kTimeKey, showTimes ? "1" : "0");
    if (!logFolder.empty())
        ini.set(kLogSection, kLogFolderKey, logFolder);
}

std::string StatusText(const CommSettings &s)
{
    const auto stop = ParseInt32(s.StopBits);
    std::string text = "COM:";
    text += std::to_string(s.ComNo);
    text += ' ';
    text += std::to_string(s.Speed);
    text += ' ';
    text += std::to_string(s.WordSize);
    text += ' ';
    text += s.Parity.substr(0, 1);
    text += ' ';
    text += stop ? std::to_string(*stop) : s.StopBits;
    return text;
}

} // namespace core
