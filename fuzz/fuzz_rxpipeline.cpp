// SPDX-License-Identifier: MIT
// Any byte stream, cut into ticks at random, with the line-break mode, the line wait and the
// other pages' visibility changing at random: no fault, and the HEX page together with what the
// line limit saved shows every byte once, in order.
#include "FuzzCheck.h"

#include "Page.h"
#include "RxPipeline.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace
{

// The bytes a HEX page line shows: one " XX  " cell per byte.
void TakeHexBytes(const std::string &line, std::string &bytes)
{
    auto digit = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    };
    for (std::size_t i = 0; i + 2 <= line.size(); ++i) {
        const int hi = digit(line[i]), lo = i + 1 < line.size() ? digit(line[i + 1]) : -1;
        if (hi < 0 || lo < 0)
            continue;
        bytes.push_back(static_cast<char>(hi * 16 + lo));
        ++i;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // The first bytes steer; the rest is the stream. Every eighth stream byte's low bits also
    // steer the next cut, so the fuzzer can shape ticks and data together.
    if (size < 2)
        return 0;
    const std::uint8_t *stream = data + 2;
    const std::size_t n = size - 2;
    std::uint32_t steer = data[0] | (data[1] << 8);
    auto next = [&steer](std::uint32_t range) {
        steer = steer * 1103515245u + 12345u;
        return (steer >> 16) % range;
    };

    std::array<core::Page, core::kPageCount> pages;
    core::PageSet set;
    for (int i = 0; i < core::kPageCount; ++i) {
        set.page[static_cast<std::size_t>(i)] = &pages[static_cast<std::size_t>(i)];
        set.visible[static_cast<std::size_t>(i)] = true;
        pages[static_cast<std::size_t>(i)].add(std::string());
    }
    std::vector<std::string> saved;
    const core::LimitSaver save = [&](std::string &) {
        for (int i = 0; i < pages[0].count(); ++i)
            saved.push_back(pages[0].line(i));
        return true;
    };

    core::RxPipeline rx;
    std::uint32_t now = 1000;
    int mode = data[0] % 4;
    std::int32_t wait = 500;
    std::size_t at = 0;
    while (at < n || rx.waiting() > 0) {
        if (next(64) == 0)
            mode = static_cast<int>(next(4)); // 3: not a mode, which breaks nowhere
        if (next(16) == 0)
            wait = static_cast<std::int32_t>(1 + next(5000));
        if (next(8) == 0) {
            const std::size_t page = 1 + next(3); // HEX stays shown: it is the page checked
            set.visible[page] = !set.visible[page];
        }
        const std::size_t want = std::min<std::size_t>(n - at, next(4) == 0 ? next(60000) : next(200));
        at += rx.receive(stream + at, std::min(want, rx.room()), now);
        now += next(4) == 0 ? next(6000) : next(20);
        rx.tick(now, mode, wait, set, save);
    }
    // Long enough for any line wait to close the last line.
    rx.tick(now + 6000, mode, wait, set, save);

    std::string shown;
    for (const std::string &line : saved)
        TakeHexBytes(line, shown);
    for (int i = 0; i < pages[0].count(); ++i)
        TakeHexBytes(pages[0].line(i), shown);
    FUZZ_CHECK(shown == std::string(reinterpret_cast<const char *>(stream), n));
    return 0;
}
