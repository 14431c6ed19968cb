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
    for (int c = 'A'; c <= 'F'; ++c) {
        v[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - 'A' + 10);
        v[static_cast<std::size_t>(c - 'A' + 'a')] = static_cast<std::uint8_t>(c - 'A' + 10);
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
    std::vector<int> starts;
    std::vector<int> ends;
    void clear()
    {
        values.clear();
        starts.clear();
        ends.clear();
    }
    void add(std::uint8_t v, int start, int end)
    {
        values.push_back(v);
        starts.push_back(start);
        ends.push_back(end);
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

bool ReadFixedCells(std::string_view line, int radix, std::vector<CellRun> &runs)
{
    if (line.size() < kTagLength || (line.size() - kTagLength) % kCellWidth != 0 ||
        (line.substr(0, kTagLength) != kInTag && line.substr(0, kTagLength) != kOutTag))
        return false;
    CellRun &run = runs.emplace_back();
    const std::size_t n = (line.size() - kTagLength) / kCellWidth;
    run.values.resize(n);
    run.starts.resize(n);
    run.ends.resize(n);
    const char *p = line.data() + kTagLength;
    for (std::size_t k = 0; k < n; ++k, p += kCellWidth) {
        const int at = static_cast<int>(kTagLength + k * kCellWidth);
        if (p[0] != ' ' || p[4] != ' ')
            return false;
        if (radix == 16) {
            const std::uint8_t hi = HexDigit(p[1]);
            const std::uint8_t lo = HexDigit(p[2]);
            if ((hi | lo) > 0x0F || p[3] != ' ')
                return false;
            run.values[k] = static_cast<std::uint8_t>(hi << 4 | lo);
            run.starts[k] = at + 1;
            run.ends[k] = at + 3;
        } else {
            int j = 1;
            while (j < 3 && p[j] == ' ')
                ++j;
            int v = 0;
            for (int d = j; d < 4; ++d) {
                if (!IsDecDigit(p[d]))
                    return false;
                v = v * 10 + (p[d] - '0');
            }
            if (v > 255)
                return false;
            run.values[k] = static_cast<std::uint8_t>(v);
            run.starts[k] = at + j;
            run.ends[k] = at + 4;
        }
    }
    return true;
}

// Any other line: words apart by blanks; a word that is no cell (the tag) ends a run, so that a
// match never reaches across it.
void ReadWords(std::string_view line, int radix, std::vector<CellRun> &runs)
{
    runs.emplace_back();
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
            runs.back().add(v, static_cast<int>(i), static_cast<int>(j));
        else if (!runs.back().values.empty())
            runs.emplace_back();
        i = j;
    }
}

// A query made ready for many lines.
struct Prepared {
    FindQuery query;
    std::string ascii;     // Text: the pattern in bytes when it is all ASCII (folded without case)
    bool asciiOk = false;  // the pattern can match a line of ASCII
    std::u16string folded; // Text: the pattern folded without case
    int firstLiteral = -1; // Bytes: the first byte that is not kAnyByte
    std::vector<CellRun> runs;
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
        } else {
            const auto it =
                std::find_if(query.bytes.begin(), query.bytes.end(), [](int b) { return b != kAnyByte; });
            firstLiteral = it == query.bytes.end() ? -1 : static_cast<int>(it - query.bytes.begin());
        }
    }

    void findText(std::string_view line, int lineIndex, const TextDecoder &decode,
                  std::vector<FindMatch> &out)
    {
        const std::size_t m = query.text.size();
        if (m == 0)
            return;
        if (IsAscii(line)) {
            if (!asciiOk)
                return;
            std::string_view hay = line;
            if (!query.caseSensitive) {
                lineBuf.resize(line.size());
                std::transform(line.begin(), line.end(), lineBuf.begin(), FoldAscii);
                hay = lineBuf;
            }
            for (std::size_t at = hay.find(ascii); at != std::string_view::npos; at = hay.find(ascii, at + m))
                out.push_back({lineIndex, static_cast<int>(at), static_cast<int>(m)});
            return;
        }
        textBuf.clear();
        decode(line, textBuf);
        if (!query.caseSensitive)
            for (char16_t &c : textBuf)
                c = FoldCase(c);
        const std::u16string_view hay = textBuf;
        for (std::size_t at = hay.find(folded); at != std::u16string_view::npos;
             at = hay.find(folded, at + m))
            out.push_back({lineIndex, static_cast<int>(at), static_cast<int>(m)});
    }

    void findBytes(std::string_view line, int lineIndex, std::vector<FindMatch> &out)
    {
        const std::vector<int> &pat = query.bytes;
        const std::size_t m = pat.size();
        if (m == 0)
            return;
        runs.clear();
        if (!ReadFixedCells(line, query.radix, runs)) {
            runs.clear();
            ReadWords(line, query.radix, runs);
        }
        for (const CellRun &run : runs) {
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
                out.push_back({lineIndex, run.starts[i], run.ends[i + m - 1] - run.starts[i]});
                i += m;
            }
        }
    }

    void find(std::string_view line, int lineIndex, const TextDecoder &decode, std::vector<FindMatch> &out)
    {
        if (query.kind == FindQuery::Kind::Text)
            findText(line, lineIndex, decode, out);
        else
            findBytes(line, lineIndex, out);
    }
};

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
    AppendUtf16(platform::Cp932ToUtf8(bytes), out);
}

char16_t FoldCase(char16_t c)
{
    struct Range {
        char16_t first, last, offset;
    };
    static constexpr Range kRanges[] = {
        {u'A', u'Z', 0x20},     {0x0391, 0x03A1, 0x20}, {0x03A3, 0x03A9, 0x20},
        {0x0410, 0x042F, 0x20}, {0x2160, 0x216F, 0x10}, {0xFF21, 0xFF3A, 0x20},
    };
    if (c == 0x0401) // Ё
        return 0x0451;
    for (const Range &r : kRanges)
        if (c >= r.first && c <= r.last)
            return static_cast<char16_t>(c + r.offset);
    return c;
}

void FindInLine(const FindQuery &query, std::string_view line, int lineIndex, const TextDecoder &decode,
                std::vector<FindMatch> &out)
{
    Prepared(query).find(line, lineIndex, decode ? decode : TextDecoder(DecodeCp932), out);
}

// --- PageFinder --------------------------------------------------------------------------------

struct PageFinder::Matcher : Prepared {
    using Prepared::Prepared;
};

PageFinder::PageFinder(TextDecoder decode)
    : m_decode(decode ? std::move(decode) : TextDecoder(DecodeCp932)),
      m_matcher(std::make_unique<Matcher>(FindQuery{}))
{
}

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
    m_matcher->find(page.line(line), line, m_decode, m_matches);
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
