// SPDX-License-Identifier: MIT
#include "PageViewLine.h"

#include "Cp932Text.h"

namespace pageview_detail
{
namespace
{

bool IsAscii(std::string_view s)
{
    return std::none_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

bool IsLeadByte(unsigned char b)
{
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}
bool IsTrailByte(unsigned char b)
{
    return b >= 0x40 && b <= 0xFC && b != 0x7F;
}

// Bytes taken by the character that starts at i: two for a lead byte followed by a trail byte.
int UnitLength(std::string_view s, std::size_t i)
{
    return i + 1 < s.size() && IsLeadByte(static_cast<unsigned char>(s[i])) &&
                   IsTrailByte(static_cast<unsigned char>(s[i + 1]))
               ? 2
               : 1;
}

void DecodeUnits(std::string_view bytes, const std::vector<int> &unitStart, const QString &whole,
                 DecodedLine &d)
{
    // The decoder normally yields one character per unit, so the columns follow the units; where
    // it does not (a pair that maps to nothing), decoding unit by unit keeps every column right.
    qsizetype codePoints = 0;
    for (const QChar c : whole)
        codePoints += c.isLowSurrogate() ? 0 : 1;
    if (codePoints == static_cast<qsizetype>(unitStart.size())) {
        d.text = whole;
        d.cols.reserve(static_cast<std::size_t>(whole.size()) + 1);
        std::size_t unit = 0;
        for (const QChar c : whole) {
            if (c.isLowSurrogate())
                d.cols.push_back(d.cols.back());
            else
                d.cols.push_back(unitStart[unit++]);
        }
    } else {
        for (std::size_t u = 0; u < unitStart.size(); ++u) {
            const int start = unitStart[u];
            const int end = u + 1 < unitStart.size() ? unitStart[u + 1] : static_cast<int>(bytes.size());
            const QString part = FromCp932(
                bytes.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)));
            for (qsizetype j = 0; j < part.size(); ++j)
                d.cols.push_back(start + std::min(static_cast<int>(j), end - start - 1));
            d.text += part;
        }
    }
    d.cols.push_back(static_cast<int>(bytes.size()));
}

} // namespace

DecodedLine DecodeLine(std::string_view bytes, int c0, int c1)
{
    DecodedLine d;
    const int size = static_cast<int>(bytes.size());
    if (IsAscii(bytes)) {
        d.total = size;
        d.first = std::clamp(c0, 0, size);
        const int end = std::clamp(c1, d.first, size);
        d.text = QString::fromLatin1(bytes.data() + d.first, end - d.first);
        return d;
    }
    d.ascii = false;
    std::vector<int> unitStart;
    unitStart.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); i += static_cast<std::size_t>(UnitLength(bytes, i)))
        unitStart.push_back(static_cast<int>(i));
    DecodeUnits(bytes, unitStart, FromCp932(bytes), d);
    d.total = static_cast<int>(d.text.size());
    return d;
}

int CharCount(std::string_view bytes)
{
    return IsAscii(bytes) ? static_cast<int>(bytes.size()) : DecodeLine(bytes).total;
}

bool IsBlankGlyph(QChar c)
{
    const char16_t u = c.unicode();
    return u < 0x20 || (u >= 0x7F && u < 0xA0);
}

int CharAtColumn(const DecodedLine &d, int col)
{
    if (d.ascii)
        return std::clamp(col, 0, d.total);
    if (col >= d.cols.back())
        return d.total;
    const auto it = std::upper_bound(d.cols.begin(), d.cols.end() - 1, col);
    return std::max(0, static_cast<int>(it - d.cols.begin()) - 1);
}

} // namespace pageview_detail
