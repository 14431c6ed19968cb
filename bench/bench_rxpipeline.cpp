// SPDX-License-Identifier: MIT
// Throughput of the receive display without widgets: bytes into the ring, ticks into the four
// shown pages, the line limit emptying them as it does in the window.
#include "RxPipeline.h"

#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

using namespace core;

namespace
{

struct Rig {
    std::array<Page, kPageCount> page;
    PageSet set;
    RxPipeline rx;
    std::uint32_t now = 1;
    LimitSaver save = [](std::string &) { return true; };

    Rig()
    {
        for (int i = 0; i < kPageCount; ++i) {
            set.page[i] = &page[i];
            set.visible[i] = true;
            page[i].add(std::string());
        }
    }
    // One tick's worth of bytes, then the tick.
    void tick(const std::uint8_t *data, std::size_t n, int mode)
    {
        rx.receive(data, n, now);
        now += 10;
        benchmark::DoNotOptimize(rx.tick(now, mode, 500, set, save));
    }
};

// 58 printable bytes and CR LF, like a device that reports in text lines.
std::vector<std::uint8_t> TextLines(std::size_t bytes)
{
    std::vector<std::uint8_t> v;
    v.reserve(bytes);
    while (v.size() < bytes) {
        for (int k = 0; k < 58; ++k)
            v.push_back(static_cast<std::uint8_t>('0' + (v.size() + static_cast<std::size_t>(k)) % 43));
        v.push_back('\r');
        v.push_back('\n');
    }
    v.resize(bytes);
    return v;
}

std::vector<std::uint8_t> RandomBytes(std::size_t bytes)
{
    std::mt19937 rng(7);
    std::vector<std::uint8_t> v(bytes);
    for (auto &b : v)
        b = static_cast<std::uint8_t>(rng());
    return v;
}

// Streams `data` in ticks of range(0) bytes; in CR LF mode the pages fill up and the line limit
// empties them every 5000 lines.
void Stream(benchmark::State &state, const std::vector<std::uint8_t> &data, int mode)
{
    const auto chunk = static_cast<std::size_t>(state.range(0));
    Rig rig;
    std::size_t pos = 0;
    for (auto _ : state) {
        if (pos + chunk > data.size())
            pos = 0;
        rig.tick(data.data() + pos, chunk, mode);
        pos += chunk;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void BM_CrLfMode60ByteLines(benchmark::State &state)
{
    static const auto data = TextLines(4 << 20);
    Stream(state, data, kBreakOnCrLf);
}

void BM_CrLfModeRandomBytes(benchmark::State &state)
{
    static const auto data = RandomBytes(4 << 20);
    Stream(state, data, kBreakOnCrLf);
}

// The default mode ends lines only after a pause: a burst of range(1) bytes of 60-byte text lines
// arrives in ticks of range(0) bytes and grows one line on each page, then a silent tick closes
// it. The pages are emptied between bursts outside the timing.
void BM_DefaultMode60ByteLines(benchmark::State &state)
{
    const auto chunk = static_cast<std::size_t>(state.range(0));
    const auto burst = static_cast<std::size_t>(state.range(1));
    const auto data = TextLines(burst);
    Rig rig;
    for (auto _ : state) {
        for (std::size_t pos = 0; pos < burst; pos += chunk)
            rig.tick(data.data() + pos, std::min(chunk, burst - pos), kBreakNone);
        rig.now += 1000;
        rig.tick(nullptr, 0, kBreakNone);
        state.PauseTiming();
        for (auto &p : rig.page) {
            p.clear();
            p.add(std::string());
        }
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * burst));
}

} // namespace

// 10240 bytes: 1 MB/s in 10 ms ticks; 47999: a full ring in every tick.
BENCHMARK(BM_CrLfMode60ByteLines)->Arg(10240)->Arg(47999);
BENCHMARK(BM_CrLfModeRandomBytes)->Arg(10240)->Arg(47999);
BENCHMARK(BM_DefaultMode60ByteLines)->Args({10240, 1 << 20})->Args({47999, 1 << 20})->Args({47999, 16 << 20});

BENCHMARK_MAIN();
