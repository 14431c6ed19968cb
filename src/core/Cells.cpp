// SPDX-License-Identifier: MIT
#include "Cells.h"

#include <cstdio>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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
    tables[kPageHex].kind = RxCellTable::Kind::Hex;
    tables[kPageChar].kind = RxCellTable::Kind::Char;
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

#if defined(__x86_64__)
// HEX and CHAR cells of sixteen bytes at a time, made with byte shuffles: five and four 16-byte
// stores instead of sixteen eight-byte ones. A flood makes hundreds of megabytes of cells a
// second, for the pages and again for the traffic log. The shuffles are SSSE3, which every x86-64
// processor of the last fifteen years has; it is checked once all the same.
constexpr std::uint8_t kNone = 0x80; // a shuffle lane that takes no byte: zero

// Output lane j of the cells of sixteen bytes, where a cell of `width` holds byte j / width at
// `at` (a CHAR cell "  c ") or the two digits of that byte at `at` and `at` + 1 (a HEX cell
// " XX  "), with digit i of all sixteen bytes at index i of a 32-byte array; blanks elsewhere.
struct ShuffleMasks {
    std::uint8_t low[5][16];  // from indexes 0 to 15
    std::uint8_t high[5][16]; // from indexes 16 to 31
    char blanks[5][16];       // ' ' where neither gives a byte
};

constexpr ShuffleMasks MakeMasks(int width, int at, int digits)
{
    ShuffleMasks m{};
    for (int j = 0; j < 16 * width; ++j) {
        const int k = j / width;
        const int r = j % width - at;
        const int from = r >= 0 && r < digits ? k * digits + r : -1;
        const int reg = j / 16;
        const int lane = j % 16;
        m.low[reg][lane] = from >= 0 && from < 16 ? static_cast<std::uint8_t>(from) : kNone;
        m.high[reg][lane] = from >= 16 ? static_cast<std::uint8_t>(from - 16) : kNone;
        m.blanks[reg][lane] = from < 0 ? ' ' : '\0';
    }
    return m;
}

constexpr ShuffleMasks kHexMasks = MakeMasks(5, 1, 2);
constexpr ShuffleMasks kCharMasks = MakeMasks(4, 2, 1);

__m128i Load(const void *p)
{
    return _mm_loadu_si128(static_cast<const __m128i *>(p));
}

// The cells of the sixteen bytes at p.
__attribute__((target("ssse3"), always_inline)) inline void WriteHexBlock(char *d, const std::uint8_t *p)
{
    const __m128i digits = Load("0123456789ABCDEF");
    const __m128i nibble = _mm_set1_epi8(0x0F);
    const __m128i x = Load(p);
    const __m128i high = _mm_shuffle_epi8(digits, _mm_and_si128(_mm_srli_epi16(x, 4), nibble));
    const __m128i low = _mm_shuffle_epi8(digits, _mm_and_si128(x, nibble));
    const __m128i first = _mm_unpacklo_epi8(high, low); // the digits of bytes 0 to 7
    const __m128i second = _mm_unpackhi_epi8(high, low);
    for (std::size_t r = 0; r < 5; ++r) {
        const __m128i cells = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(first, Load(kHexMasks.low[r])),
                                                        _mm_shuffle_epi8(second, Load(kHexMasks.high[r]))),
                                           Load(kHexMasks.blanks[r]));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d + 16 * r), cells);
    }
}

// The cells of the sixteen bytes at p as if all were printable, then the cells of those that are
// not (below 0x20, or from 0x80) from the table: every CHAR cell is four long.
__attribute__((target("ssse3"), always_inline)) inline void WriteCharBlock(char *d, const RxCellTable &t,
                                                                           const std::uint8_t *p)
{
    const __m128i x = Load(p);
    for (std::size_t r = 0; r < 4; ++r) {
        const __m128i cells =
            _mm_or_si128(_mm_shuffle_epi8(x, Load(kCharMasks.low[r])), Load(kCharMasks.blanks[r]));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d + 16 * r), cells);
    }
    // Signed: the bytes from 0x80 count as below 0x20 too.
    auto others = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(x, _mm_set1_epi8(0x20))));
    while (others != 0) {
        const auto k = static_cast<std::size_t>(__builtin_ctz(others));
        std::memcpy(d + 4 * k, t.cell[p[k]].data(), 4);
        others &= others - 1;
    }
}

// The cells of n >= 16 bytes, sixteen at a time. Every cell of a page is as long as the others, so
// the bytes after the last whole block are made as the block that ends with them: its first
// cells are written again, the same.
__attribute__((target("ssse3"))) char *WriteBlocks(char *d, const RxCellTable &t, const std::uint8_t *p,
                                                   std::size_t n)
{
    const std::size_t last = n - 16;
    if (t.kind == RxCellTable::Kind::Hex) {
        for (std::size_t k = 0; k < last; k += 16)
            WriteHexBlock(d + 5 * k, p + k);
        WriteHexBlock(d + 5 * last, p + last);
        return d + 5 * n;
    }
    for (std::size_t k = 0; k < last; k += 16)
        WriteCharBlock(d + 4 * k, t, p + k);
    WriteCharBlock(d + 4 * last, t, p + last);
    return d + 4 * n;
}

bool HaveShuffles()
{
    static const bool have = __builtin_cpu_supports("ssse3") != 0;
    return have;
}
#endif

} // namespace

char *WriteRxCells(char *d, const RxCellTable &t, const std::uint8_t *p, std::size_t n)
{
#if defined(__x86_64__)
    if (n >= 16 && t.kind != RxCellTable::Kind::Table && HaveShuffles())
        return WriteBlocks(d, t, p, n);
#endif
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
