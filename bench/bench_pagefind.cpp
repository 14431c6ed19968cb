// SPDX-License-Identifier: MIT
// Find over a full page without widgets: 5000 lines of 1000 received bytes each (the line limit
// of pages whose lines are 1000 cells long), on each kind of page, against a plain scan of the
// same lines for the same characters (std::string_view::find) as the reference. Also the search
// in the find bar's slices (the longest slice is what the receive tick may wait for) and the
// search of one line that arrives on a full page.
#include "Page.h"
#include "PageFind.h"
#include "PageTable.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <vector>

using namespace core;

namespace
{

constexpr int kLines = 5000;
constexpr int kCells = 1000;

// 998 printable bytes and CR LF; one line in 50 holds "ERROR 42". On the TEXT page with
// `japanese`, a third of the printable bytes are two-byte CP932 characters instead, and the line
// says "ERROR 42 エラー".
std::vector<std::string> ReceivedLines(bool japanese)
{
    std::mt19937 rng(11);
    std::vector<std::string> lines;
    for (int i = 0; i < kLines; ++i) {
        std::string bytes;
        while (bytes.size() < kCells - 2) {
            if (japanese && rng() % 3 == 0 && bytes.size() + 2 <= kCells - 2) {
                bytes += "\x82";
                bytes += static_cast<char>(0xA0 + rng() % 80); // ぁ .. ゟ
            } else {
                bytes += static_cast<char>(' ' + rng() % 95);
            }
        }
        if (i % 50 == 25)
            bytes.replace(100, 14,
                          japanese ? "ERROR 42 \x83\x47\x83\x89\x81\x5b" : "ERROR 42 there"); // エラー
        bytes += "\r\n";
        lines.push_back(std::move(bytes));
    }
    return lines;
}

// The lines as page `kind` shows them, tag and cells.
const Page &FullPage(int kind, bool japanese = false)
{
    static std::vector<Page> pages(2 * kPageCount);
    Page &page = pages[static_cast<std::size_t>(kind + (japanese ? kPageCount : 0))];
    if (page.count() == 0) {
        for (const std::string &bytes : ReceivedLines(japanese)) {
            std::string line(kInTag);
            AppendRxCells(line, RxCells(kind), reinterpret_cast<const std::uint8_t *>(bytes.data()),
                          bytes.size());
            page.add(std::move(line));
        }
        page.add(std::string());
    }
    return page;
}

std::size_t PageBytes(const Page &page)
{
    std::size_t n = 0;
    for (const std::string &l : page.lines())
        n += l.size();
    return n;
}

FindQuery TextQuery(const std::u16string &text, bool caseSensitive)
{
    FindQuery q;
    q.text = text;
    q.caseSensitive = caseSensitive;
    return q;
}

FindQuery ByteQuery(const char *pattern, int radix)
{
    FindQuery q;
    q.kind = FindQuery::Kind::Bytes;
    q.radix = radix;
    q.bytes = ParseBytePattern(pattern, radix).value();
    return q;
}

void RunFind(benchmark::State &state, const Page &page, const FindQuery &query)
{
    PageFinder finder;
    for (auto _ : state) {
        finder.setQuery(query);
        benchmark::DoNotOptimize(finder.update(page, PageFinder::Clock::time_point::max()));
    }
    state.counters["matches"] = static_cast<double>(finder.matches().size());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * PageBytes(page)));
}

// The reference: every line scanned for the same characters, and nothing else.
void RunScan(benchmark::State &state, const Page &page, std::string_view needle)
{
    for (auto _ : state) {
        std::size_t found = 0;
        for (const std::string &l : page.lines())
            for (std::size_t at = std::string_view(l).find(needle); at != std::string_view::npos;
                 at = std::string_view(l).find(needle, at + needle.size()))
                ++found;
        benchmark::DoNotOptimize(found);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * PageBytes(page)));
}

void BM_FindTextIgnoringCase(benchmark::State &state)
{
    RunFind(state, FullPage(kPageText), TextQuery(u"error 42", false));
}
void BM_FindTextWithCase(benchmark::State &state)
{
    RunFind(state, FullPage(kPageText), TextQuery(u"ERROR 42", true));
}
void BM_ScanText(benchmark::State &state)
{
    RunScan(state, FullPage(kPageText), "ERROR 42");
}
void BM_FindTextCp932IgnoringCase(benchmark::State &state)
{
    RunFind(state, FullPage(kPageText, true), TextQuery(u"error 42", false));
}
void BM_FindTextCp932Japanese(benchmark::State &state)
{
    RunFind(state, FullPage(kPageText, true), TextQuery(u"エラー", false));
}
// The worst case: a character that every line holds, so every line is decoded.
void BM_FindTextCp932DecodingEveryLine(benchmark::State &state)
{
    RunFind(state, FullPage(kPageText, true), TextQuery(u"あいう", false));
}
void BM_FindCharCells(benchmark::State &state)
{
    RunFind(state, FullPage(kPageChar), TextQuery(u"_cr _lf", true));
}
void BM_ScanCharCells(benchmark::State &state)
{
    RunScan(state, FullPage(kPageChar), "_cr _lf");
}
void BM_FindHexBytes(benchmark::State &state)
{
    RunFind(state, FullPage(kPageHex), ByteQuery("0D 0A", 16));
}
void BM_FindHexAnyByte(benchmark::State &state)
{
    RunFind(state, FullPage(kPageHex), ByteQuery("?? 0D 0A", 16));
}
void BM_ScanHex(benchmark::State &state)
{
    RunScan(state, FullPage(kPageHex), " 0D   0A  ");
}
void BM_FindDecBytes(benchmark::State &state)
{
    RunFind(state, FullPage(kPageDec), ByteQuery("13 10", 10));
}

// The find bar's way: slices of a few milliseconds until the page is searched. The longest
// slice is reported, since that is what the receive tick may have to wait for.
void BM_FindHexInSlices(benchmark::State &state)
{
    const Page &page = FullPage(kPageHex);
    const auto slice = std::chrono::milliseconds(state.range(0));
    PageFinder finder;
    double longest = 0;
    std::int64_t slices = 0;
    for (auto _ : state) {
        finder.setQuery(ByteQuery("0D 0A", 16));
        for (bool done = false; !done; ++slices) {
            const auto start = PageFinder::Clock::now();
            done = finder.update(page, start + slice);
            longest = std::max(
                longest, std::chrono::duration<double, std::milli>(PageFinder::Clock::now() - start).count());
        }
    }
    state.counters["longest_slice_ms"] = longest;
    state.counters["slices"] = static_cast<double>(slices) / static_cast<double>(state.iterations());
}

// A tick's line on a page searched to its end: what the find costs while lines stream in.
void BM_FindOneArrivingLine(benchmark::State &state)
{
    Page page = FullPage(kPageHex);
    PageFinder finder;
    finder.setQuery(ByteQuery("0D 0A", 16));
    finder.update(page, PageFinder::Clock::time_point::max());
    const std::string line = page.line(0);
    for (auto _ : state) {
        page.replaceLast(line);
        page.add(std::string());
        benchmark::DoNotOptimize(finder.update(page, PageFinder::Clock::time_point::max()));
        state.PauseTiming();
        if (page.count() > kLines + 500) { // keeps the page its size
            page = FullPage(kPageHex);
            finder.setQuery(ByteQuery("0D 0A", 16));
            finder.update(page, PageFinder::Clock::time_point::max());
        }
        state.ResumeTiming();
    }
}

} // namespace

BENCHMARK(BM_FindTextIgnoringCase)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindTextWithCase)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanText)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindTextCp932IgnoringCase)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindTextCp932Japanese)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindTextCp932DecodingEveryLine)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindCharCells)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanCharCells)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindHexBytes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindHexAnyByte)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanHex)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindDecBytes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindHexInSlices)->Arg(4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindOneArrivingLine)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
