// SPDX-License-Identifier: MIT
// The local times the program shows and writes, from milliseconds since 1970.
#pragma once

#include <cstdint>
#include <string>

namespace core
{

// "HH:MM:SS.mmm": the time column of the pages.
std::string ClockText(std::int64_t ms);
// "YYYY-MM-DD HH:MM:SS.mmm": the traffic log.
std::string DateTimeText(std::int64_t ms);
// "Quorvel_YYYYMMDD_HHMMSS.log": the traffic log started at `ms`.
std::string TrafficLogFileName(std::int64_t ms);

} // namespace core
