// SPDX-License-Identifier: MIT
#include "WallClock.h"

#include <chrono>
#include <ctime>

namespace platform
{

std::int64_t WallClockMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

LocalDateTime ToLocalTime(std::int64_t ms)
{
    // Floor division, so that a time before 1970 still gets a millisecond of 0 to 999.
    std::int64_t seconds = ms / 1000;
    int milli = static_cast<int>(ms % 1000);
    if (milli < 0) {
        milli += 1000;
        --seconds;
    }
    const auto t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    LocalDateTime out;
    if (!localtime_r(&t, &tm))
        return out;
    out.year = tm.tm_year + 1900;
    out.month = tm.tm_mon + 1;
    out.day = tm.tm_mday;
    out.hour = tm.tm_hour;
    out.minute = tm.tm_min;
    out.second = tm.tm_sec;
    out.millisecond = milli;
    return out;
}

} // namespace platform
