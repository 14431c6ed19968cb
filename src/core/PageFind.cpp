// SPDX-License-Identifier: MIT
#include "PageFind.h"

#include "Cells.h"
#include "Cp932.h"
#include "Page.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <utility>

namespace core
{
namespace
{

bool IsAscii(std::string_view s)
{
    return std::none_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

char FoldAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

// The value of a digit in radix 16 (either case), or 0xFF.
constexpr std::array<std::uint8_t, 256> HexValues()
{
    std::array<std::uint8_t, 256> v{};
    for (auto &x : v)
        x = 0xFF;
    for (int c = '0'; c <= '9'; ++c)
        v[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - '0');
    for (std::size_t c = 0; c < 6; ++c) {
        v['A' + c] = static_cast<std::uint8_t>(10 + c);
        v['a' + c] = static_cast<std::uint8_t>(10 + c);
    }
    return v;
}
constexpr std::array<std::uint8_t, 256> kHex = HexValues();

std::uint8_t HexDigit(char c)
{
    return kHex[static_cast<unsigned char>(c)];
}
bool IsDecDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The cells of one run of a byte page's line: their bytes and where their digits stand.
struct CellRun {
    std::vector<std::uint8_t> values;
    // Where each cell's digits stand: kept for a line read word by word; a line in the program's
    // own layout has them at known places, found only for the cells of a match.
    std::vector<int> starts;
    std::vector<int> ends;
    bool fixed = false;
    int radix = 16;
    std::string_view line;
    int start(std::size_t i) const;
    int end(std::size_t i) const;
    void add(std::uint8_t v, int start, int end)
    {
        values.push_back(v);
        starts.push_back(start);
        ends.push_back(end);
    }
    void resize(std::size_t n)
    {
        values.resize(n);
        starts.resize(n);
        ends.resize(n);
    }
};

// The runs of one line; their buffers are kept from line to line.
struct CellRuns {
    std::vector<CellRun> runs;
    std::size_t used = 0;
    CellRun &next()
    {
        if (used == runs.size())
            runs.emplace_back();
        CellRun &r = runs[used++];
        r.resize(0);
        r.fixed = false;
        return r;
    }
};

// One word of a byte page's line as a cell: two digits on the HEX page, one to three up to 255 on
// the DEC page.
bool ParseCellWord(std::string_view w, int radix, std::uint8_t *value)
{
    if (radix == 16) {
        if (w.size() != 2)
            return false;
        const std::uint8_t hi = HexDigit(w[0]);
        const std::uint8_t lo = HexDigit(w[1]);
        if ((hi | lo) > 0x0F)
            return false;
        *value = static_cast<std::uint8_t>(hi << 4 | lo);
        return true;
    }
    if (w.empty() || w.size() > 3)
        return false;
    int v = 0;
    for (const char c : w) {
        if (!IsDecDigit(c))
            return false;
        v = v * 10 + (c - '0');
    }
    if (v > 255)
        return false;
    *value = static_cast<std::uint8_t>(v);
    return true;
}

// The program's own layout of a byte page's line: a direction tag, then cells of five columns,
// " 0D  " on the HEX page and "  13 " on the DEC page. Reading them at their places costs a
// fraction of reading every column; a line laid out otherwise is read word by word.
constexpr std::size_t kTagLength = kInTag.size();
static_assert(kOutTag.size() == kTagLength);
constexpr std::size_t kCellWidth = 5;

// The two characters of a cell's first two digit columns, as one index.
std::size_t PairIndex(const char *p)
{
    return static_cast<std::size_t>(static_cast<unsigned char>(p[0]) << 8 | static_cast<unsigned char>(p[1]));
}

// What two digit columns say, looked up at once instead of tested character by character: on the
// HEX page the byte of "0D"; on the DEC page, for the hundreds and tens of "  7", " 42" or "213",
// the value so far times four plus the column of the first digit. -1 for anything else.
struct DigitPairs {
    std::vector<std::int16_t> hex = std::vector<std::int16_t>(65536, -1);
    std::vector<std::int16_t> dec = std::vector<std::int16_t>(65536, -1);
    DigitPairs()
    {
        for (int a = 0; a < 256; ++a) {
            for (int b = 0; b < 256; ++b) {
                const auto i = static_cast<std::size_t>(a << 8 | b);
                const std::uint8_t ha = kHex[static_cast<std::size_t>(a)];
                const std::uint8_t hb = kHex[static_cast<std::size_t>(b)];
                if ((ha | hb) <= 0x0F)
                    hex[i] = static_cast<std::int16_t>(ha << 4 | hb);
                const bool da = IsDecDigit(static_cast<char>(a));
                const bool db = IsDecDigit(static_cast<char>(b));
                if (a == ' ' && b == ' ')
                    dec[i] = 3;
                else if (a == ' ' && db)
                    dec[i] = static_cast<std::int16_t>((b - '0') << 2 | 2);
                else if (da && db)
                    dec[i] = static_cast<std::int16_t>(((a - '0') * 10 + (b - '0')) << 2 | 1);
            }
        }
    }
};

const DigitPairs &Pairs()
{
    static const DigitPairs pairs;
    return pairs;
}

int CellRun::start(std::size_t i) const
{
    if (!fixed)
        return starts[i];
    const std::size_t at = kTagLength + i * kCellWidth;
    return static_cast<int>(at) + (radix == 16 ? 1 : Pairs().dec[PairIndex(line.data() + at + 1)] & 3);
}

int CellRun::end(std::size_t i) const
{
    return fixed ? static_cast<int>(kTagLength + i * kCellWidth) + (radix == 16 ? 3 : 4) : ends[i];
}

bool ReadFixedCells(std::string_view line, int radix, CellRuns &runs)
{
    if (line.size() < kTagLength || (line.size() - kTagLength) % kCellWidth != 0 ||
        (line.substr(0, kTagLength) != kInTag && line.substr(0, kTagLength) != kOutTag))
        return false;
    CellRun &run = runs.next();
    const std::size_t n = (line.size() - kTagLength) / kCellWidth;
    run.values.resize(n);
    run.fixed = true;
    run.radix = radix;
    run.line = line;
    const char *p = line.data() + kTagLength;
    std::uint8_t *v = run.values.data();
    const DigitPairs &pairs = Pairs();
    if (radix == 16) {
        for (std::size_t k = 0; k < n; ++k, p += kCellWidth) {
            const std::int16_t e = pairs.hex[PairIndex(p + 1)];
            if (e < 0 || p[0] != ' ' || p[3] != ' ' || p[4] != ' ')
                return false;
            v[k] = static_cast<std::uint8_t>(e);
        }
        return true;
    }
    for (std::size_t k = 0; k < n; ++k, p += kCellWidth) {
        const std::int16_t e = pairs.dec[PairIndex(p + 1)];
        const int value = (e >> 2) * 10 + (p[3] - '0');
        if (e < 0 || !IsDecDigit(p[3]) || value > 255 || p[0] != ' ' || p[4] != ' ')
            return false;
        v[k] = static_cast<std::uint8_t>(value);
    }
    return true;
}

// Any other line: words apart by blanks; a word that is no cell (the tag) ends a run, so that a
// match never reaches across it.
void ReadWords(std::string_view line, int radix, CellRuns &runs)
{
    CellRun *run = &runs.next();
    std::size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ') {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < line.size() && line[j] != ' ')
            ++j;
        std::uint8_t v = 0;
        if (ParseCellWord(line.substr(i, j - i), radix, &v))
            run->add(v, static_cast<int>(i), static_cast<int>(j));
        else if (!run->values.empty())
            run = &runs.next();
        i = j;
    }
}

// UTF-8 as the converter writes it (valid) into UTF-16.
void AppendUtf16(std::string_view utf8, std::u16string &out)
{
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        char32_t c = 0;
        std::size_t n = 1;
        if (b < 0x80) {
            c = b;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1Fu;
            n = 2;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0Fu;
            n = 3;
        } else {
            c = b & 0x07u;
            n = 4;
        }
        if (i + n > utf8.size()) {
            out.push_back(u'\uFFFD');
            return;
        }
        for (std::size_t k = 1; k < n; ++k)
            c = c << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3Fu);
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
        i += n;
    }
}

// CP932 decoded by table, as the converter decodes it: the converter is consulted once for every
// byte on its own and every pair whose first byte is no character on its own, and a line is then
// decoded at a few nanoseconds a byte instead of a converter call's cost.
class Cp932Table
{
  public:
    Cp932Table()
    {
        std::u16string u;
        for (int b = 0; b < 256; ++b) {
            const char c = static_cast<char>(b);
            u.clear();
            AppendUtf16(platform::Cp932ToUtf8(std::string_view(&c, 1)), u);
            m_single[static_cast<std::size_t>(b)] = u.size() == 1 ? u[0] : u'\uFFFD';
            if (b < 0x80 || m_single[static_cast<std::size_t>(b)] != u'\uFFFD')
                continue; // a character of its own: never the first byte of a pair
            m_lead[static_cast<std::size_t>(b)] = true;
            for (int t = 0; t < 256; ++t) {
                const char pair[2] = {c, static_cast<char>(t)};
                u.clear();
                AppendUtf16(platform::Cp932ToUtf8(std::string_view(pair, 2)), u);
                if (u.size() == 1)
                    m_pair[static_cast<std::size_t>(b << 8 | t)] = u[0];
            }
        }
    }

    // With `fold` (a table of 65536), every character is folded on the way.
    void decode(std::string_view bytes, std::u16string &out, const char16_t *fold = nullptr) const
    {
        const std::size_t n = bytes.size();
        const std::size_t first = out.size();
        out.resize(first + n);
        char16_t *d = out.data() + first;
        const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
        for (std::size_t i = 0; i < n; ++i) {
            char16_t c =
                m_single[p[i]]; // U+FFFD for a byte that is no character, and a pair's half at the end
            if (m_lead[p[i]] && i + 1 < n) {
                const char16_t pair = m_pair[static_cast<std::size_t>(p[i] << 8 | p[i + 1])];
                if (pair != 0) {
                    c = pair;
                    ++i;
                }
            }
            *d++ = fold ? fold[c] : c;
        }
        out.resize(static_cast<std::size_t>(d - out.data()));
    }

    // Every byte sequence that decodes to c.
    std::vector<std::string> encodings(char16_t c) const
    {
        std::vector<std::string> out;
        for (std::size_t b = 0; b < 256; ++b)
            if (!m_lead[b] && m_single[b] == c)
                out.emplace_back(1, static_cast<char>(b));
        for (std::size_t i = 0; i < m_pair.size(); ++i)
            if (m_pair[i] == c)
                out.push_back({static_cast<char>(i >> 8), static_cast<char>(i & 0xFF)});
        return out;
    }

  private:
    std::array<char16_t, 256> m_single{};
    std::array<bool, 256> m_lead{}; // no character on its own: maybe the first byte of a pair
    std::vector<char16_t> m_pair = std::vector<char16_t>(65536, 0); // 0: no character
};

const Cp932Table &Table()
{
    static const Cp932Table table;
    return table;
}

// FoldCase for every UTF-16 unit, looked up in the loops.
const char16_t *FoldTable()
{
    static const std::vector<char16_t> table = [] {
        std::vector<char16_t> t(65536);
        for (std::size_t c = 0; c < t.size(); ++c)
            t[c] = FoldCase(static_cast<char16_t>(c));
        return t;
    }();
    return table.data();
}

// Horspool's search over UTF-16, its skips kept by the low byte of a character: characters that
// share it share the smallest skip, which keeps the search right with a table of 256.
class U16Searcher
{
  public:
    U16Searcher() = default;
    explicit U16Searcher(std::u16string pattern) : m_pattern(std::move(pattern))
    {
        const std::size_t m = m_pattern.size();
        m_skip.fill(m);
        for (std::size_t k = 0; k + 1 < m; ++k)
            m_skip[m_pattern[k] & 0xFFu] = m - 1 - k;
    }
    std::size_t find(const std::u16string &text, std::size_t from) const
    {
        const std::size_t m = m_pattern.size();
        const std::size_t n = text.size();
        if (m == 0)
            return std::u16string::npos;
        const char16_t last = m_pattern[m - 1];
        const char16_t *h = text.data();
        for (std::size_t i = from; i + m <= n; i += m_skip[h[i + m - 1] & 0xFFu]) {
            if (h[i + m - 1] == last && std::equal(m_pattern.begin(), m_pattern.end() - 1, h + i))
                return i;
        }
        return std::u16string::npos;
    }

  private:
    std::u16string m_pattern;
    std::array<std::size_t, 256> m_skip{};
};

// A character of the (folded) pattern that only one byte sequence decodes to, and that no other
// character folds to: those bytes are in every line that holds the pattern.
std::string KeyBytes(const std::u16string &pattern, bool caseSensitive)
{
    const char16_t *fold = FoldTable();
    for (const char16_t c : pattern) {
        if (c < 0x80 || c == u'\uFFFD')
            continue;
        if (!caseSensitive) {
            bool foldedTo = false; // by another character than itself
            for (std::size_t d = 0; d < 65536 && !foldedTo; ++d)
                foldedTo = fold[d] == c && d != c;
            if (foldedTo)
                continue;
        }
        std::vector<std::string> forms = Table().encodings(c);
        if (forms.size() == 1)
            return forms.front();
    }
    return {};
}

// A query made ready for many lines.
struct Prepared {
    FindQuery query;
    std::string ascii;     // Text: the pattern in bytes when it is all ASCII (folded without case)
    bool asciiOk = false;  // the pattern can match a line of ASCII
    std::u16string folded; // Text: the pattern folded without case
    // Text: a line of two-byte characters is searched skipping ahead as far as the pattern allows.
    U16Searcher searcher;
    int firstLiteral = -1; // Bytes: the first byte that is not kAnyByte
    CellRuns cells;
    // Text beyond ASCII: the bytes of one of its characters that every line holding it holds, so
    // that the other lines need no decoding; empty when no character has one such form.
    std::string key;
    std::string lineBuf;    // scratch
    std::u16string textBuf; // scratch

    explicit Prepared(FindQuery q) : query(std::move(q))
    {
        if (query.kind == FindQuery::Kind::Text) {
            asciiOk = std::all_of(query.text.begin(), query.text.end(), [](char16_t c) { return c < 0x80; });
            if (asciiOk)
                for (const char16_t c : query.text)
                    ascii.push_back(query.caseSensitive ? static_cast<char>(c)
                                                        : FoldAscii(static_cast<char>(c)));
            folded = query.text;
            if (!query.caseSensitive)
                for (char16_t &c : folded)
                    c = FoldCase(c);
            searcher = U16Searcher(folded);
            if (!asciiOk)
                key = KeyBytes(folded, query.caseSensitive);
        } else {
            const auto it =
                std::find_if(query.bytes.begin(), query.bytes.end(), [](int b) { return b != kAnyByte; });
            firstLiteral = it == query.bytes.end() ? -1 : static_cast<int>(it - query.bytes.begin());
        }
    }

    void findText(std::string_view line, int lineIndex, std::vector<FindMatch> &out)
    {
        const std::size_t m = query.text.size();
        if (m == 0)
            return;
        const bool asciiLine = IsAscii(line);
        if (asciiLine && !asciiOk)
            return;
        if (asciiOk) {
            std::string_view hay = line;
            if (!query.caseSensitive) {
                lineBuf.resize(line.size());
                std::transform(line.begin(), line.end(), lineBuf.begin(), FoldAscii);
                hay = lineBuf;
            }
            std::size_t at = hay.find(ascii);
            // An ASCII character of the text is an ASCII byte of the line, so a line without the
            // pattern's bytes cannot hold it decoded either, and needs no decoding.
            if (!asciiLine && at == std::string_view::npos)
                return;
            for (; asciiLine && at != std::string_view::npos; at = hay.find(ascii, at + m))
                out.push_back({lineIndex, static_cast<int>(at), static_cast<int>(m)});
            if (asciiLine)
                return;
        }
        if (!key.empty() && line.find(key) == std::string_view::npos)
            return;
        textBuf.clear();
        Table().decode(line, textBuf, query.caseSensitive ? nullptr : FoldTable());
        for (std::size_t at = searcher.find(textBuf, 0); at != std::u16string::npos;
             at = searcher.find(textBuf, at + m))
            out.push_back({lineIndex, static_cast<int>(at), static_cast<int>(m)});
    }

    void findBytes(std::string_view line, int lineIndex, std::vector<FindMatch> &out)
    {
        const std::vector<int> &pat = query.bytes;
        const std::size_t m = pat.size();
        if (m == 0)
            return;
        cells.used = 0;
        if (!ReadFixedCells(line, query.radix, cells)) {
            cells.used = 0;
            ReadWords(line, query.radix, cells);
        }
        for (std::size_t r = 0; r < cells.used; ++r) {
            const CellRun &run = cells.runs[r];
            const std::size_t n = run.values.size();
            const std::uint8_t *v = run.values.data();
            std::size_t i = 0;
            while (i + m <= n) {
                if (firstLiteral >= 0) {
                    // Straight to the next place where the first real byte of the pattern stands.
                    const std::size_t from = i + static_cast<std::size_t>(firstLiteral);
                    const void *hit =
                        std::memchr(v + from, pat[static_cast<std::size_t>(firstLiteral)], n - from);
                    if (!hit)
                        break;
                    i = static_cast<std::size_t>(static_cast<const std::uint8_t *>(hit) - v) -
                        static_cast<std::size_t>(firstLiteral);
                    if (i + m > n)
                        break;
                }
                bool same = true;
                for (std::size_t k = 0; k < m && same; ++k)
                    same = pat[k] == kAnyByte || pat[k] == v[i + k];
                if (!same) {
                    ++i;
                    continue;
                }
                const int start = run.start(i);
                out.push_back({lineIndex, start, run.end(i + m - 1) - start});
                i += m;
            }
        }
    }

    void find(std::string_view line, int lineIndex, std::vector<FindMatch> &out)
    {
        if (query.kind == FindQuery::Kind::Text)
            findText(line, lineIndex, out);
        else
            findBytes(line, lineIndex, out);
    }
};

} // namespace

// --- patterns ----------------------------------------------------------------------------------

std::optional<std::vector<int>> ParseBytePattern(std::string_view text, int radix, std::string *bad)
{
    std::vector<int> bytes;
    const auto fail = [&](std::string_view word) -> std::optional<std::vector<int>> {
        if (bad)
            *bad = std::string(word);
        return std::nullopt;
    };
    // Blanks, tabs, commas and the full-width blank of a Japanese input method part the bytes.
    constexpr std::string_view kWideBlank = "\xE3\x80\x80";
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ' || text[i] == '\t' || text[i] == ',') {
            ++i;
            continue;
        }
        if (text.substr(i, kWideBlank.size()) == kWideBlank) {
            i += kWideBlank.size();
            continue;
        }
        std::size_t j = i;
        while (j < text.size() && text[j] != ' ' && text[j] != '\t' && text[j] != ',' &&
               text.substr(j, kWideBlank.size()) != kWideBlank)
            ++j;
        const std::string_view word = text.substr(i, j - i);
        i = j;
        const bool anyWord = std::all_of(word.begin(), word.end(), [](char c) { return c == '?'; });
        if (radix == 16) {
            if (word.size() > 2 && word.size() % 2 != 0)
                return fail(word);
            for (std::size_t k = 0; k < word.size(); k += 2) {
                const std::string_view pair = word.substr(k, 2);
                if (std::all_of(pair.begin(), pair.end(), [](char c) { return c == '?'; })) {
                    bytes.push_back(kAnyByte);
                    continue;
                }
                int v = 0;
                for (const char c : pair) {
                    const std::uint8_t d = HexDigit(c);
                    if (d > 0x0F)
                        return fail(word);
                    v = v << 4 | d;
                }
                bytes.push_back(v);
            }
        } else {
            if (word.size() > 3)
                return fail(word);
            if (anyWord) {
                bytes.push_back(kAnyByte);
                continue;
            }
            std::uint8_t v = 0;
            if (!ParseCellWord(word, 10, &v))
                return fail(word);
            bytes.push_back(v);
        }
    }
    return bytes;
}

std::string BytePatternText(const std::vector<int> &bytes, int radix)
{
    std::string out;
    for (const int b : bytes) {
        if (!out.empty())
            out.push_back(' ');
        if (b == kAnyByte) {
            out += "??";
            continue;
        }
        char text[8];
        std::snprintf(text, sizeof text, radix == 16 ? "%02X" : "%d", b & 0xFF);
        out += text;
    }
    return out;
}

void DecodeCp932(std::string_view bytes, std::u16string &out)
{
    Table().decode(bytes, out);
}

char16_t FoldCase(char16_t c)
{
    // In order of the code points, so that the common characters (ASCII, kana, kanji) take few
    // comparisons.
    if (c < 0x80)
        return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 0x20) : c;
    if (c < 0x0391)
        return c;
    if (c <= 0x03A9) // Greek capitals; U+03A2 is none
        return c == 0x03A2 ? c : static_cast<char16_t>(c + 0x20);
    if (c == 0x0401) // Ё
        return 0x0451;
    if (c >= 0x0410 && c <= 0x042F) // Cyrillic capitals
        return static_cast<char16_t>(c + 0x20);
    if (c >= 0x2160 && c <= 0x216F) // Roman numerals
        return static_cast<char16_t>(c + 0x10);
    if (c >= 0xFF21 && c <= 0xFF3A) // full-width Latin capitals
        return static_cast<char16_t>(c + 0x20);
    return c;
}

void FindInLine(const FindQuery &query, std::string_view line, int lineIndex, std::vector<FindMatch> &out)
{
    Prepared(query).find(line, lineIndex, out);
}

// --- PageFinder --------------------------------------------------------------------------------

struct PageFinder::Matcher : Prepared {
    using Prepared::Prepared;
};

PageFinder::PageFinder() : m_matcher(std::make_unique<Matcher>(FindQuery{})) {}

PageFinder::~PageFinder() = default;

void PageFinder::setQuery(FindQuery query)
{
    m_matcher = std::make_unique<Matcher>(std::move(query));
    reset();
}

const FindQuery &PageFinder::query() const
{
    return m_matcher->query;
}

void PageFinder::restart()
{
    reset();
}

void PageFinder::reset()
{
    drop(0);
    m_done = 0;
    m_structure = ~std::uint64_t{0};
    m_revision = ~std::uint64_t{0};
}

void PageFinder::drop(int line)
{
    const auto from = std::lower_bound(m_matches.begin(), m_matches.end(), line,
                                       [](const FindMatch &a, int l) { return a.line < l; });
    m_matches.erase(from, m_matches.end());
    m_dropped = std::min(m_dropped, line);
    if (m_truncatedAt >= line)
        m_truncatedAt = -1;
}

int PageFinder::takeDropped()
{
    return std::exchange(m_dropped, INT_MAX);
}

void PageFinder::sync(const Page &page)
{
    if (page.structureRevision() != m_structure) {
        const int first = page.firstChangedSince(m_structure);
        m_structure = page.structureRevision();
        // A change from the last line searched on (a removal, not growth) is a drop as well.
        if (first <= m_done) {
            m_done = first;
            drop(first);
        }
    }
    if (m_done > std::max(0, page.count() - 1)) { // cannot happen without a structure change
        m_done = std::max(0, page.count() - 1);
        drop(m_done);
    }
    if (page.revision() == m_revision)
        return;
    // Only the last line can have changed besides: what was found in it is found again.
    const auto stale = std::lower_bound(m_matches.begin(), m_matches.end(), m_done,
                                        [](const FindMatch &a, int line) { return a.line < line; });
    m_matches.erase(stale, m_matches.end());
    if (m_truncatedAt >= m_done)
        m_truncatedAt = -1;
}

void PageFinder::searchLine(const Page &page, int line)
{
    if (m_truncatedAt >= 0)
        return;
    m_matcher->find(page.line(line), line, m_matches);
    if (m_matches.size() > kMaxMatches) {
        m_matches.resize(kMaxMatches);
        m_truncatedAt = line;
    }
}

bool PageFinder::update(const Page &page, Clock::time_point deadline)
{
    sync(page);
    if (page.revision() == m_revision)
        return true;
    const int last = page.count() - 1;
    bool searched = false;
    while (m_done < last) {
        if (searched && Clock::now() >= deadline)
            return false;
        searchLine(page, m_done);
        ++m_done;
        searched = true;
    }
    if (searched && Clock::now() >= deadline)
        return false;
    // The last line may still grow: it is searched again after every change.
    if (last >= 0)
        searchLine(page, last);
    m_revision = page.revision();
    return true;
}

bool PageFinder::complete(const Page &page) const
{
    return m_structure == page.structureRevision() && m_revision == page.revision();
}

} // namespace core
