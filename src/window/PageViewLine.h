// SPDX-License-Identifier: MIT
// One page line decoded from CP932 for the page view, with the byte column of every character:
// the view lays lines out by bytes (a full-width character is two columns) while caret and
// selection count characters.
#pragma once

#include <QString>

#include <algorithm>
#include <climits>
#include <string_view>
#include <vector>

namespace pageview_detail
{

// An ASCII line maps character i to column i, so a long one is decoded only across the columns
// on screen; other lines are decoded whole, with the column of every UTF-16 unit.
struct DecodedLine {
    QString text;          // characters [first, first + text.size()) of the line
    std::vector<int> cols; // not ASCII: column of text[i], and one entry for the end
    int first = 0;
    int total = 0; // characters of the whole line
    bool ascii = true;

    int col(int ch) const
    {
        ch = std::clamp(ch, 0, total);
        return ascii ? ch : cols[static_cast<std::size_t>(ch)];
    }
    int width(int ch) const { return col(ch + 1) - col(ch); }
    QChar at(int ch) const { return text[ch - first]; }
    int windowEnd() const { return first + static_cast<int>(text.size()); }
};

// Decodes the characters needed for the columns [c0, c1) of an ASCII line, or all of another.
DecodedLine DecodeLine(std::string_view bytes, int c0 = 0, int c1 = INT_MAX);
// Characters of the decoded line; no decoding (and no allocation) for an ASCII line.
int CharCount(std::string_view bytes);
// The character whose cell holds column `col`; the character count at or past the end.
int CharAtColumn(const DecodedLine &d, int col);
// Control characters keep their column but draw nothing.
bool IsBlankGlyph(QChar c);

} // namespace pageview_detail
