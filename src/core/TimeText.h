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

// The times of the lines in the order the pages get them: a later line never carries an earlier
// time. A received line's time is worked out from two clocks (when the device took its first
// byte, and the calendar clock), each read to the millisecond at its own moment, so two lines a
// millisecond apart could come out the wrong way round; and a sent line is stamped as it goes,
// while bytes that came before it may still wait to be shown after it. A calendar clock set back
// by more than kClockStepMs (by hand, or by a time server) is followed rather than waited for.
class LineTimes
{
  public:
    static constexpr std::int64_t kClockStepMs = 10000;

    // The time to give the next line (or run of bytes) whose own time is `time`.
    std::int64_t stamp(std::int64_t time)
    {
        if (time < m_last && m_last - time <= kClockStepMs)
            time = m_last;
        m_last = time;
        return time;
    }

  private:
    std::int64_t m_last = 0;
};

} // namespace core
