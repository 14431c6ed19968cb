// SPDX-License-Identifier: MIT
// Everything the settings file keeps, read and written key by key in the program's fixed order,
// the range rules of the controls that hold some of it, and the status text built from it.
#pragma once

#include "CommSettings.h"
#include "PageTable.h"

#include <cstdint>
#include <string>
#include <vector>

namespace platform
{
class IniFile;
}

namespace core
{

struct WindowGeometry {
    std::int32_t height = 583;
    std::int32_t width = 794;
    std::int32_t top = 130;
    std::int32_t left = 194;
};

struct Settings {
    CommSettings comm;
    WindowGeometry geometry;
    // The control values: the line-break mode and send delimiter are item indexes, -1 for no
    // selection; the active page is an index of the page table, -1 for none.
    std::int32_t lineBreakMode = 0;
    std::int32_t delimiter = 0;
    std::int32_t activePage = 0;
    // One per page of the table, in its order.
    std::vector<bool> pageShown = std::vector<bool>(static_cast<std::size_t>(StandardPages().count()), true);
    // The time column of the pages ("受信時刻表示"), and the folder of the last traffic log (CP932,
    // empty before the first). Each has a section of its own, written only once it is in use, so
    // that the file of somebody who never used them stays as it was.
    bool showTimes = false;
    std::string logFolder;

    // Reads every key in the program's read order. A missing key, an empty value or a text that
    // is no 32-bit integer gives the key's default; the three texts are trimmed of bytes up to
    // 0x20 and otherwise kept as they are. The control values are brought into their controls'
    // ranges.
    void read(const platform::IniFile &ini);
    // Writes all 19 keys in the program's write order, then the time column's key when it is on
    // or already in the file, and the log folder when there is one; every other line stays.
    void write(platform::IniFile &ini) const;
};

// What the controls make of a stored value.
std::int32_t LineBreakModeFromFile(std::int32_t v); // outside 0..2: no selection (-1)
std::int32_t DelimiterFromFile(std::int32_t v);     // below -1: -1, above 2: 2
std::int32_t ActivePageFromFile(std::int32_t v);    // not a page of the table: no page (-1)

// "COM:%d %d %d %s %d": port, speed, word size, the first character of Parity and the stop bits.
// StopBits shows its integer value when it is an integer; any other text (such as "1.5") is
// shown as it stands.
std::string StatusText(const CommSettings &s);

} // namespace core
