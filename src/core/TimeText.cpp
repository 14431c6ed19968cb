// SPDX-License-Identifier: MIT
#include "TimeText.h"

#include "WallClock.h"

#include <cstdio>

namespace core
{

std::string ClockText(std::int64_t ms)
{
    const platform::LocalDateTime t = platform::ToLocalTime(ms);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", t.hour, t.minute, t.second, t.millisecond);
    return text;
}

std::string DateTimeText(std::int64_t ms)
{
    const platform::LocalDateTime t = platform::ToLocalTime(ms);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.year, t.month, t.day, t.hour,
                  t.minute, t.second, t.millisecond);
    return text;
}

std::string TrafficLogFileName(std::int64_t ms)
{
    const platform::LocalDateTime t = platform::ToLocalTime(ms);
    char text[48];
    std::snprintf(text, sizeof text, "Quorvel_%04d%02d%02d_%02d%02d%02d.log", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    return text;
}

} // namespace core
