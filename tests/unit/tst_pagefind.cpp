// SPDX-License-Identifier: MIT
// Find in a page: text with and without case (CP932 decoded), byte patterns as the HEX and DEC
// pages write them with "??", matches across cells but not across lines, and the finder that
// keeps its matches up to date as the page grows, empties and is searched in slices.
#include "PageFind.h"

#include "Cp932.h"
#include "Page.h"
#include "PageTable.h"

#include <gtest/gtest.h>

#include <climits>

using namespace core;

namespace
{

// "あ", "い" and full-width "Ａ" / "ａ" in CP932.
const std::string kA = "\x82\xa0";
const std::string kI = "\x82\xa2";
const std::string kWideUpperA = "\x82\x60";
const std::string kWideLowerA = "\x82\x81";

// A received line of page `page` for these bytes, as the pipeline writes it.
std::string PageLine(int page, const std::string &bytes)
{
    std::string line(kInTag);
    AppendRxCells(line, RxCells(page), reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
    return line;
}

FindQuery Text(const std::u16string &text, bool caseSensitive)
{
    FindQuery q;
    q.text = text;
    q.caseSensitive = caseSensitive;
    return q;
}

FindQuery Bytes(const std::string &pattern, int radix)
{
    FindQuery q;
    q.kind = FindQuery::Kind::Bytes;
    q.radix = radix;
    q.bytes = ParseBytePattern(pattern, radix).value();
    return q;
}

using Spans = std::vector<std::pair<int, int>>; // start, length

Spans FindSpans(const FindQuery &q, const std::string &line)
{
    std::vector<FindMatch> out;
    FindInLine(q, line, 3, out);
    Spans spans;
    for (const FindMatch &m : out) {
        EXPECT_EQ(m.line, 3);
        spans.emplace_back(m.start, m.length);
    }
    return spans;
}

struct LineCase {
    const char *name;
    FindQuery query;
    std::string line;
    Spans want;
};

class FindLine : public ::testing::TestWithParam<LineCase>
{
};

TEST_P(FindLine, Spans)
{
    EXPECT_EQ(FindSpans(GetParam().query, GetParam().line), GetParam().want);
}

// HEX cells are " 41  " after the seven columns of the tag: byte k's digits start at 8 + 5k.
INSTANTIATE_TEST_SUITE_P(
    Table, FindLine,
    ::testing::Values(
        LineCase{"TextIgnoringCase", Text(u"ok", false), "[IN ]  OK ok Ok", {{7, 2}, {10, 2}, {13, 2}}},
        LineCase{"TextWithCase", Text(u"ok", true), "[IN ]  OK ok Ok", {{10, 2}}},
        LineCase{"TextDoesNotOverlap", Text(u"aa", true), "aaaaa", {{0, 2}, {2, 2}}},
        LineCase{"Cp932CountsCharacters", Text(u"いあ", true), "[IN ]  " + kA + kI + kA, {{8, 2}}},
        LineCase{"Cp932AfterTwoByteCharacters", Text(u"x", true), kA + kA + "x", {{2, 1}}},
        LineCase{
            "FullWidthIgnoringCase", Text(u"ａ", false), kWideUpperA + "A" + kWideLowerA, {{0, 1}, {2, 1}}},
        LineCase{"FullWidthWithCase", Text(u"ａ", true), kWideUpperA + kWideLowerA, {{1, 1}}},
        LineCase{"AsciiPatternInCp932Line", Text(u"ok", false), kA + "OK", {{1, 2}}},
        LineCase{"AsciiByteInsideATwoByteCharacter", Text(u"a", false), "\x82\x61", {}}, // "Ｂ"
        LineCase{"Cp932PatternIgnoringCase", Text(u"Ａあ", false), "x" + kWideLowerA + kA, {{1, 2}}},
        LineCase{"Cp932SkipsKeptByLowByte", Text(u"あB", true), "B" + kA + "B" + kA + "B", {{1, 2}, {3, 2}}},
        LineCase{"Cp932PatternNotInAsciiLine", Text(u"あ", false), "[IN ]  a", {}},
        LineCase{"CharPageCells", Text(u"_cr _lf", true), PageLine(kPageChar, "A\r\n"), {{12, 7}}},
        LineCase{"HexSpansCells", Bytes("0D 0A", 16), PageLine(kPageHex, "A\r\nB"), {{13, 7}}},
        LineCase{
            "HexLowerCaseNoBlanks", Bytes("0d0a", 16), PageLine(kPageHex, "\r\n\r\n"), {{8, 7}, {18, 7}}},
        LineCase{"HexAnyByte",
                 Bytes("41 ?? 43", 16),
                 PageLine(kPageHex, "A\x01"
                                    "CAxC"),
                 {{8, 12}, {23, 12}}},
        LineCase{"HexLeadingAnyByte", Bytes("?? 0A", 16), PageLine(kPageHex, "\n\n\n"), {{8, 7}}},
        LineCase{"HexNoMatch", Bytes("0A 0D", 16), PageLine(kPageHex, "\r\n"), {}},
        LineCase{"HexNotTheTag", Bytes("4E", 16), "[IN ]  4E", {{7, 2}}},
        LineCase{"HexIrregularSpacing", Bytes("0D 0A", 16), "[OUT]  41 0D 0A", {{10, 5}}},
        LineCase{"HexRunEndsAtAWord", Bytes("0D 0A", 16), "0D [X] 0A", {}},
        LineCase{"DecSpansCells", Bytes("13 10", 10), PageLine(kPageDec, "A\r\n"), {{14, 7}}},
        LineCase{"DecOneDigit", Bytes("7 ?", 10), PageLine(kPageDec, "\x07\xff"), {{10, 6}}},
        LineCase{"DecThreeDigits", Bytes("255", 10), PageLine(kPageDec, "\xff"), {{8, 3}}}),
    [](const auto &info) { return std::string(info.param.name); });

struct PatternCase {
    const char *text;
    int radix;
    std::optional<std::vector<int>> want;
    const char *bad;       // the word reported when it fails
    const char *rewritten; // as the page writes it
};

class BytePattern : public ::testing::TestWithParam<PatternCase>
{
};

TEST_P(BytePattern, ParsesAndWrites)
{
    const PatternCase &c = GetParam();
    std::string bad;
    const auto got = ParseBytePattern(c.text, c.radix, &bad);
    EXPECT_EQ(got, c.want);
    if (!c.want)
        EXPECT_EQ(bad, c.bad);
    else
        EXPECT_EQ(BytePatternText(*got, c.radix), c.rewritten);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BytePattern,
    ::testing::Values(
        PatternCase{"0D 0A", 16, std::vector<int>{13, 10}, "", "0D 0A"},
        PatternCase{" 0d0a, ?? f ", 16, std::vector<int>{13, 10, kAnyByte, 15}, "", "0D 0A ?? 0F"},
        PatternCase{"0D0", 16, std::nullopt, "0D0", ""}, PatternCase{"0D ZZ", 16, std::nullopt, "ZZ", ""},
        PatternCase{"0?", 16, std::nullopt, "0?", ""},
        PatternCase{"13\xE3\x80\x80"
                    "10 ???",
                    10, std::vector<int>{13, 10, kAnyByte}, "", "13 10 ??"},
        PatternCase{"256", 10, std::nullopt, "256", ""}, PatternCase{"0D", 10, std::nullopt, "0D", ""},
        PatternCase{"", 10, std::vector<int>{}, "", ""}));

std::vector<std::pair<int, int>> PlacesOf(const PageFinder &f)
{
    std::vector<std::pair<int, int>> out;
    for (const FindMatch &m : f.matches())
        out.emplace_back(m.line, m.start);
    return out;
}

const auto kNoDeadline = PageFinder::Clock::time_point::max();

// A match does not reach from one line into the next; lines that arrive are searched, the last
// line again as it grows; a removed line drops the matches from it on, and emptying the page
// (the line limit, "ログクリア") drops them all.
TEST(PageFinder, FollowsThePage)
{
    using Places = std::vector<std::pair<int, int>>;
    Page page;
    page.add(PageLine(kPageHex, "\r"));
    page.add(PageLine(kPageHex, "\n"));
    PageFinder f;
    f.setQuery(Bytes("0D 0A", 16));
    EXPECT_TRUE(f.update(page, kNoDeadline));
    EXPECT_TRUE(f.matches().empty());
    f.takeDropped();

    page.replaceLast(PageLine(kPageHex, "\n\r\n"));
    page.add(PageLine(kPageHex, "\r\n"));
    EXPECT_FALSE(f.complete(page));
    EXPECT_TRUE(f.update(page, kNoDeadline));
    EXPECT_EQ(PlacesOf(f), (Places{{1, 13}, {2, 8}}));
    page.replaceLast(PageLine(kPageHex, "x"));
    f.sync(page);
    EXPECT_EQ(PlacesOf(f), (Places{{1, 13}}));
    EXPECT_TRUE(f.update(page, kNoDeadline));
    EXPECT_EQ(f.takeDropped(), INT_MAX); // the last line searched again is no drop

    page.add(PageLine(kPageHex, "\r\n"));
    page.add("");
    EXPECT_TRUE(f.update(page, kNoDeadline));
    EXPECT_EQ(PlacesOf(f), (Places{{1, 13}, {3, 8}}));
    page.remove(2);
    EXPECT_TRUE(f.update(page, kNoDeadline));
    EXPECT_EQ(f.takeDropped(), 2);
    EXPECT_EQ(PlacesOf(f), (Places{{1, 13}, {2, 8}}));

    page.takeLines();
    page.add(PageLine(kPageHex, "\r\n"));
    f.sync(page);
    EXPECT_EQ(f.takeDropped(), 0);
    EXPECT_TRUE(f.matches().empty());
    EXPECT_TRUE(f.update(page, kNoDeadline));
    EXPECT_EQ(PlacesOf(f), (Places{{0, 8}}));
    page.clear();
    EXPECT_TRUE(f.update(page, kNoDeadline));
    EXPECT_TRUE(f.matches().empty());
    EXPECT_EQ(f.takeDropped(), 0);
}

// With no time left each call searches one line: the slices add up to the whole search.
TEST(PageFinder, SearchesInSlices)
{
    Page page;
    for (int i = 0; i < 50; ++i)
        page.add("[IN ]  line " + std::to_string(i) + (i % 7 == 0 ? " ERROR" : ""));
    PageFinder whole;
    whole.setQuery(Text(u"error", false));
    ASSERT_TRUE(whole.update(page, kNoDeadline));
    ASSERT_EQ(whole.matches().size(), 8U);

    PageFinder sliced;
    sliced.setQuery(Text(u"error", false));
    int calls = 1;
    while (!sliced.update(page, PageFinder::Clock::time_point::min()))
        ++calls;
    EXPECT_EQ(calls, 50);
    EXPECT_TRUE(sliced.complete(page));
    EXPECT_EQ(sliced.matches(), whole.matches());
}

// The finder's own decoding gives the characters the view shows (platform::Cp932ToUtf8), for
// every byte and pair, and for a pair's first half at the end of a line.
TEST(DecodeCp932, AgreesWithTheConverter)
{
    const auto reference = [](const std::string &bytes) {
        const std::string utf8 = platform::Cp932ToUtf8(bytes);
        std::u16string out;
        for (std::size_t i = 0; i < utf8.size();) {
            const auto b = static_cast<unsigned char>(utf8[i]);
            const std::size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
            char32_t c = n == 1 ? b : b & (0x7F >> n);
            for (std::size_t k = 1; k < n; ++k)
                c = c << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
            out.push_back(static_cast<char16_t>(c)); // CP932 has no character beyond the BMP
            i += n;
        }
        return out;
    };
    int differing = 0;
    int asciiFromOther = 0; // the finder skips decoding on this: no other byte makes an ASCII character
    for (int a = 0; a < 256; ++a) {
        for (int b = 0; b < 256; ++b) {
            const std::string bytes{static_cast<char>(a), static_cast<char>(b), static_cast<char>(a)};
            for (const std::string &s : {bytes.substr(0, 2), bytes}) {
                std::u16string got;
                DecodeCp932(s, got);
                differing += got == reference(s) ? 0 : 1;
                asciiFromOther += a >= 0x80 && got[0] < 0x80 ? 1 : 0;
            }
        }
    }
    EXPECT_EQ(differing, 0);
    EXPECT_EQ(asciiFromOther, 0);
    std::u16string text;
    DecodeCp932("A" + kA + "\xb1", text);
    EXPECT_EQ(text, u"Aあｱ");
}

TEST(FoldCase, LettersOfCp932)
{
    for (const auto &[upper, lower] : std::vector<std::pair<char16_t, char16_t>>{
             {u'Q', u'q'}, {u'Ω', u'ω'}, {u'Я', u'я'}, {u'Ё', u'ё'}, {u'Ⅻ', u'ⅻ'}, {u'Ｚ', u'ｚ'}}) {
        EXPECT_EQ(FoldCase(upper), lower);
        EXPECT_EQ(FoldCase(lower), lower);
    }
    EXPECT_EQ(FoldCase(0x03A2), 0x03A2); // no capital final sigma
    EXPECT_EQ(FoldCase(u'あ'), u'あ');
}

} // namespace
