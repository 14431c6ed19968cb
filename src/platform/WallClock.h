// SPDX-License-Identifier: MIT
// The calendar time of day, for the times shown beside the page lines and written to the traffic
// log. The tick (Tick.h) measures pauses; it has no date and wraps, so it cannot say when a line
// came.
#pragma once

#include <cstdint>

namespace platform
{

// Milliseconds since 1970-01-01 00:00:00 UTC.
std::int64_t WallClockMs();

struct LocalDateTime {
    int year = 1970;
    int month = 1; // 1 to 12
    int day = 1;   // 1 to 31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

// The time `ms` in the machine's time zone.
LocalDateTime ToLocalTime(std::int64_t ms);

} // namespace platform
