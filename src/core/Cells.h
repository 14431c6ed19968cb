// SPDX-License-Identifier: MIT
// How one byte looks on a page (its receive cells), the direction tags that start every line, and
// the three-letter names of the control bytes that the senders share. Which pages there are, and
// which cells each has, is the page table's (PageTable.h).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace core
{

inline constexpr std::string_view kInTag = "[IN ]  ";
inline constexpr std::string_view kOutTag = "[OUT]  ";
// A line counts as outgoing when this stands anywhere in it, not only at its start.
inline constexpr std::string_view kOutMark = "[OUT]";

// Names of the bytes 0x00 to 0x20, each a record of six bytes: three letters and three zeros.
extern const char CtrlCharNames[33][6];

// The receive cells of all 256 bytes for one page. A cell is up to eight bytes long; how long is
// the page's own affair, and only AppendRxCells knows how they are copied.
struct RxCellTable {
    std::array<std::array<char, 8>, 256> cell{};
    std::array<std::uint8_t, 256> length{};
    std::uint8_t maxLength = 0;
    bool sameLength = true; // every cell is maxLength long
    // True for the bytes whose cell holds the last character of kOutMark: only after such a
    // byte can a line have become an outgoing one.
    std::array<bool, 256> closesOutMark{};

    std::string_view view(std::uint8_t b) const { return {cell[b].data(), length[b]}; }
    // Sets the cell of byte b (at most eight bytes).
    void set(std::uint8_t b, std::string_view text);
};

// Appends the cells of n bytes to s.
void AppendRxCells(std::string &s, const RxCellTable &t, const std::uint8_t *p, std::size_t n);

// The cell tables of the program's pages.
RxCellTable HexCells();  // " 41  "
RxCellTable DecCells();  // "  65 "
RxCellTable CharCells(); // "  A ", " _cr" for a control byte, " _sp" from 0x80 on
RxCellTable TextCells(); // the byte itself; nothing for CR, LF and NUL

} // namespace core
