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

namespace
{

void setCell(RxCellTable &t, int b, const char *text, std::size_t n)
{
    std::memcpy(t.cell[static_cast<std::size_t>(b)].data(), text, n);
    t.length[static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(n);
    if (b > 0 && n != t.maxLength)
        t.sameLength = false;
    if (n > t.maxLength)
        t.maxLength = static_cast<std::uint8_t>(n);
    t.closesOutMark[static_cast<std::size_t>(b)] = std::memchr(text, kOutMark.back(), n) != nullptr;
}

std::array<RxCellTable, kPageCount> buildTables()
{
    std::array<RxCellTable, kPageCount> tables{};
    char text[16];
    for (int b = 0; b < 256; ++b) {
        std::snprintf(text, sizeof text, " %02X  ", b);
        setCell(tables[kPageHex], b, text, 5);
        std::snprintf(text, sizeof text, " %3d ", b);
        setCell(tables[kPageDec], b, text, 5);

        if (b < 0x20) {
            text[0] = ' ';
            // A cell is four characters, not a C string: the copies below end without a NUL.
            std::memcpy(text + 1, CtrlCharNames[b], 3); // NOLINT(bugprone-not-null-terminated-result)
        } else if (b < 0x80)
            std::snprintf(text, sizeof text, "  %c ", static_cast<char>(b));
        else
            std::memcpy(text, " _sp", 4); // NOLINT(bugprone-not-null-terminated-result)
        setCell(tables[kPageChar], b, text, 4);

        // The TEXT page shows the bytes themselves, so that a two-byte character appears once
        // both halves are in; line-break bytes and NUL would only disturb the line.
        text[0] = static_cast<char>(b);
        setCell(tables[kPageText], b, text, (b == 0x0D || b == 0x0A || b == 0x00) ? 0 : 1);
    }
    return tables;
}

} // namespace

const RxCellTable &RxCells(int page)
{
    static const std::array<RxCellTable, kPageCount> tables = buildTables();
    return tables[static_cast<std::size_t>(page)];
}

void AppendRxCells(std::string &s, const RxCellTable &t, const std::uint8_t *p, std::size_t n)
{
    const std::size_t old = s.size();
    // Room for the widest cells plus the padding of one eight-byte move; resize grows the buffer
    // geometrically, so a long line costs amortised constant time per byte.
    s.resize(old + n * t.maxLength + 8);
    char *d = WriteRxCells(s.data() + old, t, p, n);
    s.resize(static_cast<std::size_t>(d - s.data()));
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

} // namespace

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

} // namespace core
