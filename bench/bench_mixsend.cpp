// SPDX-License-Identifier: MIT
// The mixed send of one line of 1000 number items: split, converted, planned and handed over call
// by call. The budget for the whole line is 1 ms.
#include "LineReader.h"
#include "MixSend.h"

#include <benchmark/benchmark.h>

#include <sstream>
#include <string>

namespace
{

std::string ThousandNumbers(bool hex)
{
    std::string text;
    for (int i = 0; i < 1000; ++i) {
        text += i ? (hex ? " " : ",") : "";
        text += hex ? "4F" : (i % 2 ? "0x" + std::to_string(i % 10) + "A" : std::to_string(i & 0xFF));
    }
    return text;
}

// What the sender does with a plan: the bytes of every item, then the echo.
std::size_t Forward(const core::MixSendPlan &plan)
{
    std::size_t queued = plan.bytes().size();
    for (const auto &cells : plan.cells)
        queued += cells.size();
    return queued;
}

void BM_MixSendThousandNumbers(benchmark::State &state)
{
    const std::string text = ThousandNumbers(false);
    for (auto _ : state) {
        auto plan = core::PlanMixSend(text, core::MixForm::Normal, core::MixType::Hex);
        benchmark::DoNotOptimize(Forward(plan));
    }
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_MixSendThousandNumbers)->Unit(benchmark::kMicrosecond);

void BM_MixSendThousandHexListItems(benchmark::State &state)
{
    const std::string text = "[OUT]  " + ThousandNumbers(true);
    for (auto _ : state) {
        auto plan = core::PlanMixSend(text, core::MixForm::List, core::MixType::Hex);
        benchmark::DoNotOptimize(Forward(plan));
    }
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_MixSendThousandHexListItems)->Unit(benchmark::kMicrosecond);

// Reading and planning a file of mixed-send lines (about 1 MB in memory): the continuous output
// without the serial port.
void BM_PlayOutLines(benchmark::State &state)
{
    std::string file;
    while (file.size() < (1u << 20))
        file += "0x02,\"Frame payload text\",0x41,66,$43,13,10\r\n";
    for (auto _ : state) {
        std::istringstream in(file);
        core::LineReader reader(in);
        std::string line;
        std::size_t sent = 0;
        while (reader.next(line))
            sent += Forward(core::PlanMixSend(line, core::MixForm::Normal, core::MixType::Hex));
        benchmark::DoNotOptimize(sent);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(file.size()));
}
BENCHMARK(BM_PlayOutLines)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
