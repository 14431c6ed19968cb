// SPDX-License-Identifier: MIT
// The lines of log_flood: line i is "#<i>" and CR LF, received at kFloodStart + i ms.
#pragma once

#include "TrafficRecorder.h"

#include <cstdint>
#include <cstdio>

inline constexpr std::int64_t kFloodStart = 1796749227045; // 2026-12-08 17:00:27.045 UTC

inline void AddFloodLine(core::TrafficRecorder &lines, std::uint64_t i)
{
    char text[32];
    const int n = std::snprintf(text, sizeof text, "#%llu\r\n", static_cast<unsigned long long>(i));
    lines.record(core::CompletedLine{false, false, std::string_view(text, static_cast<std::size_t>(n)),
                                     kFloodStart + static_cast<std::int64_t>(i), nullptr});
}
