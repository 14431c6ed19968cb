// SPDX-License-Identifier: MIT
#include "Cells.h"

#include <cstdio>
#include <cstring>

namespace core
{

const char CtrlCharNames[33][6] = {
    "_nu", "_sh", "_sx", "_ex", "_et", "_eq", "_ak", "_bl", "_bs", "_ht", "_lf",
    "_vt", "_ff", "_cr", "_so", "_si", "_de", "_d1", "_d2", "_d3", "_d4", "_nk",
    "_sn", "_eb", "_cn", "_em", "_sb", "_ec", "_fs", "_gs", "_rs", "_us", "_sp",
};

void RxCellTable::set(std::uint8_t b, std::string_view text)
{
    if (!text.empty())
        std::memcpy(cell[b].data(), text.data(), text.size());
    length[b] = static_cast<std::uint8_t>(text.size());
    if (b > 0 && text.size() != maxLength)
        sameLength = false;
    if (text.size() > maxLength)
        maxLength = static_cast<std::uint8_t>(text.size());
    closesOutMark[b] = text.find(kOutMark.back()) != std::string_view::npos;
}

RxCellTable HexCells()
{
    RxCellTable t;
    char text[8];
    for (int b = 0; b < 256; ++b) {
        std::snprintf(text, sizeof text, " %02X  ", b);
        t.set(static_cast<std::uint8_t>(b), text);
    }
    return t;
}

RxCellTable DecCells()
{
    RxCellTable t;
    char text[8];
    for (int b = 0; b < 256; ++b) {
        std::snprintf(text, sizeof text, " %3d ", b);
        t.set(static_cast<std::uint8_t>(b), text);
    }
    return t;
}

RxCellTable CharCells()
{
    RxCellTable t;
    char text[8];
    for (int b = 0; b < 256; ++b) {
        if (b < 0x20)
            std::snprintf(text, sizeof text, " %.3s", CtrlCharNames[b]);
        else if (b < 0x80)
            std::snprintf(text, sizeof text, "  %c ", static_cast<char>(b));
        else
            std::snprintf(text, sizeof text, " _sp");
        t.set(static_cast<std::uint8_t>(b), text);
    }
    return t;
}

RxCellTable TextCells()
{
    // The TEXT page shows the bytes themselves, so that a two-byte character appears once both
    // halves are in; line-break bytes and NUL would only disturb the line.
    RxCellTable t;
    for (int b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        t.set(static_cast<std::uint8_t>(b),
              b == 0x0D || b == 0x0A || b == 0x00 ? std::string_view() : std::string_view(&c, 1));
    }
    return t;
}

namespace
{

// Cells of one width: where each goes does not wait for the cell before, so the moves overlap.
template <std::size_t kWidth>
char *WriteSameWidth(char *d, const RxCellTable &t, const std::uint8_t *p, std::size_t n)
{
    for (std::size_t k = 0; k < n; ++k)
        std::memcpy(d + k * kWidth, t.cell[p[k]].data(), 8);
    return d + n * kWidth;
}

// Writes the cells of n bytes at d, which has room for n * t.maxLength + 8 bytes: each cell is
// copied with one fixed eight-byte move and the write position advanced by its length.
char *WriteRxCells(char *d, const RxCellTable &t, const std::uint8_t *p, std::size_t n)
{
    if (t.sameLength && t.maxLength == 5)
        return WriteSameWidth<5>(d, t, p, n);
    if (t.sameLength && t.maxLength == 4)
        return WriteSameWidth<4>(d, t, p, n);
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint8_t b = p[k];
        std::memcpy(d, t.cell[b].data(), 8);
        d += t.length[b];
    }
    return d;
}

} // namespace

void AppendRxCells(std::string &s, const RxCellTable &t, const std::uint8_t *p, std::size_t n)
{
    const std::size_t old = s.size();
    // Room for the widest cells plus the padding of one eight-byte move; resize grows the buffer
    // geometrically, so a long line costs amortised constant time per byte.
    s.resize(old + n * t.maxLength + 8);
    char *d = WriteRxCells(s.data() + old, t, p, n);
    s.resize(static_cast<std::size_t>(d - s.data()));
}

} // namespace core
