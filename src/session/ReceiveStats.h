// SPDX-License-Identifier: MIT
// Receive statistics for measurements (bench/bench_window_flood reads them): once a second, and
// at once (at most every 100 ms) when the display has caught up with a burst, a line under the
// logging category "quorvel.stats" with the bytes received and dropped, the tick durations, the
// line-error counts and the last complete line of the TEXT page. Enabled by
// QT_LOGGING_RULES="quorvel.stats.debug=true"; otherwise nothing is measured.
#pragma once

#include "Page.h"
#include "Serial.h"

#include <chrono>
#include <cstddef>
#include <vector>

class ReceiveStats
{
  public:
    using Clock = std::chrono::steady_clock;

    bool enabled() const;
    // What one tick did, since the last: bytes read from the port and stored in the ring, when
    // it began, whether it caught up with the port, and what the pages show.
    void tick(std::size_t read, std::size_t stored, Clock::time_point started, bool caughtUp,
              const platform::CommErrorCounts &errors, const core::Page &text);

  private:
    unsigned long long m_received = 0;
    unsigned long long m_dropped = 0;
    unsigned long long m_loggedReceived = 0;
    std::vector<double> m_tickMs;
    Clock::time_point m_since = Clock::now();
};
