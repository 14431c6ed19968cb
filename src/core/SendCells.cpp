// SPDX-License-Identifier: MIT
#include "SendCells.h"

namespace core
{
namespace
{

constexpr char kHexDigits[] = "0123456789ABCDEF";

void AppendHexCell(std::string &out, unsigned char b)
{
    out += ' ';
    out += kHexDigits[b >> 4];
    out += kHexDigits[b & 0x0F];
    out += "  ";
}

// " %3d ".
void AppendDecCell(std::string &out, unsigned char b)
{
    char cell[5] = {' ', ' ', ' ', ' ', ' '};
    int v = b;
    int pos = 3;
    do {
        cell[pos--] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    out.append(cell, sizeof cell);
}

// " %3s" with the three-letter name of a control byte.
void AppendNameCell(std::string &out, unsigned char b)
{
    out += ' ';
    out += CtrlCharNames[b];
}

// "  %c ".
void AppendByteCell(std::string &out, unsigned char b)
{
    out += "  ";
    out += static_cast<char>(b);
    out += ' ';
}

} // namespace

void AppendStringSendCells(EchoCells &cells, unsigned char b)
{
    AppendHexCell(cells[kPageHex], b);
    AppendDecCell(cells[kPageDec], b);
    if (b < 0x20)
        AppendNameCell(cells[kPageChar], b);
    else
        AppendByteCell(cells[kPageChar], b);
    cells[kPageText] += static_cast<char>(b);
}

void AppendMixSendCells(EchoCells &cells, unsigned char b)
{
    AppendHexCell(cells[kPageHex], b);
    AppendDecCell(cells[kPageDec], b);
    if (b <= 0x20)
        AppendNameCell(cells[kPageChar], b); // 0x20 is "_sp", the table's last entry
    else
        AppendByteCell(cells[kPageChar], b);
    cells[kPageText] += b < 0x20 ? '.' : static_cast<char>(b);
}

EchoCells StringSendCells(std::string_view bytes)
{
    EchoCells cells;
    for (const char c : bytes)
        AppendStringSendCells(cells, static_cast<unsigned char>(c));
    return cells;
}

EchoCells MixSendCells(std::string_view bytes)
{
    EchoCells cells;
    for (const char c : bytes)
        AppendMixSendCells(cells, static_cast<unsigned char>(c));
    return cells;
}

std::string_view DelimiterBytes(int delimiterIndex)
{
    switch (delimiterIndex) {
    case 1:
        return "\r";
    case 2:
        return "\r\n";
    default:
        return {};
    }
}

std::string StringSendBytes(std::string_view text, int delimiterIndex)
{
    const std::string_view delimiter = DelimiterBytes(delimiterIndex);
    std::string bytes;
    bytes.reserve(text.size() + delimiter.size());
    bytes.append(text);
    bytes.append(delimiter);
    return bytes;
}

} // namespace core
