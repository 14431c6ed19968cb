// SPDX-License-Identifier: MIT
// How one byte looks on each of the four pages, the direction tags that start every line, and the
// three-letter names of the control bytes that the senders share.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace core
{

enum PageIndex : int { kPageHex = 0, kPageDec = 1, kPageChar = 2, kPageText = 3 };
constexpr int kPageCount = 4;

inline constexpr std::string_view kInTag = "[IN ]  ";
inline constexpr std::string_view kOutTag = "[OUT]  ";
// A line counts as outgoing when this stands anywhere in it, not only at its start.
inline constexpr std::string_view kOutMark = "[OUT]";

// Names of the bytes 0x00 to 0x20, each a record of six bytes: three letters and three zeros.
extern const char CtrlCharNames[33][6];

// The receive cells of all 256 bytes for one page, padded so that a cell can be copied with one
// fixed eight-byte move and the write position advanced by its length.
struct RxCellTable {
    std::array<std::array<char, 8>, 256> cell{};
    std::array<std::uint8_t, 256> length{};
    std::uint8_t maxLength = 0;
    bool sameLength = true; // every cell is maxLength long
    // True for the bytes whose cell holds the last character of kOutMark: only after such a
    // byte can a line have become an outgoing one.
    std::array<bool, 256> closesOutMark{};

    std::string_view view(std::uint8_t b) const { return {cell[b].data(), length[b]}; }
};

const RxCellTable &RxCells(int page);
// Appends the cells of n bytes to s.
void AppendRxCells(std::string &s, const RxCellTable &t, const std::uint8_t *p, std::size_t n);
// Writes the cells of n bytes at d, which has room for n * t.maxLength + 8 bytes (the padding of
// one eight-byte move); returns the end of the cells.
char *WriteRxCells(char *d, const RxCellTable &t, const std::uint8_t *p, std::size_t n);
inline std::string_view RxCell(int page, std::uint8_t b)
{
    return RxCells(page).view(b);
}

} // namespace core
