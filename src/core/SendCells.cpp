// SPDX-License-Identifier: MIT
#include "SendCells.h"

namespace core
{
namespace
{

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

template <EchoCell PageKind::*kEcho>
void AppendCells(EchoCells &cells, unsigned char b, const PageTable &pages)
{
    cells.resize(static_cast<std::size_t>(pages.count()));
    for (int i = 0; i < pages.count(); ++i)
        (pages[i].*kEcho)(pages[i], cells[static_cast<std::size_t>(i)], b);
}

} // namespace

void StringSendCharCell(const PageKind &, std::string &out, unsigned char b)
{
    if (b < 0x20)
        AppendNameCell(out, b);
    else
        AppendByteCell(out, b);
}

void StringSendTextCell(const PageKind &, std::string &out, unsigned char b)
{
    out += static_cast<char>(b);
}

void MixSendCharCell(const PageKind &, std::string &out, unsigned char b)
{
    if (b <= 0x20)
        AppendNameCell(out, b); // 0x20 is "_sp", the table's last entry
    else
        AppendByteCell(out, b);
}

void MixSendTextCell(const PageKind &, std::string &out, unsigned char b)
{
    out += b < 0x20 ? '.' : static_cast<char>(b);
}

EchoCells NoEchoCells(const PageTable &pages)
{
    return EchoCells(static_cast<std::size_t>(pages.count()));
}

void AppendStringSendCells(EchoCells &cells, unsigned char b, const PageTable &pages)
{
    AppendCells<&PageKind::stringEcho>(cells, b, pages);
}

void AppendMixSendCells(EchoCells &cells, unsigned char b, const PageTable &pages)
{
    AppendCells<&PageKind::mixEcho>(cells, b, pages);
}

EchoCells StringSendCells(std::string_view bytes, const PageTable &pages)
{
    EchoCells cells = NoEchoCells(pages);
    for (const char c : bytes)
        AppendStringSendCells(cells, static_cast<unsigned char>(c), pages);
    return cells;
}

EchoCells MixSendCells(std::string_view bytes, const PageTable &pages)
{
    EchoCells cells = NoEchoCells(pages);
    for (const char c : bytes)
        AppendMixSendCells(cells, static_cast<unsigned char>(c), pages);
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
