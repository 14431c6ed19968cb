// SPDX-License-Identifier: MIT
#include "ReceiveStats.h"

#include <QLoggingCategory>

#include <algorithm>
#include <string>

Q_LOGGING_CATEGORY(lcStats, "quorvel.stats", QtWarningMsg)

namespace
{

// A page line as the log shows it: printable ASCII as it is, every other byte as \xHH.
std::string Escaped(const std::string &line)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : line) {
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

// The last line of a page that is complete: the one before the line still being filled.
const std::string &LastCompleteLine(const core::Page &page)
{
    const int n = page.count();
    return page.line(n >= 2 && page.last().empty() ? n - 2 : n - 1);
}

} // namespace

bool ReceiveStats::enabled() const
{
    return lcStats().isDebugEnabled();
}

void ReceiveStats::tick(std::size_t read, std::size_t stored, Clock::time_point started, bool caughtUp,
                        const platform::CommErrorCounts &e, const core::Page &text)
{
    if (!enabled())
        return;
    m_received += read;
    m_dropped += read - stored;
    m_tickMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - started).count());
    const auto age = Clock::now() - m_since;
    const bool due = age >= std::chrono::seconds(1) ||
                     (caughtUp && m_received != m_loggedReceived && age >= std::chrono::milliseconds(100));
    if (!due)
        return;
    std::sort(m_tickMs.begin(), m_tickMs.end());
    qCDebug(lcStats,
            "rx-stats received=%llu dropped=%llu ticks=%zu tick-median-ms=%.3f tick-max-ms=%.3f "
            "overrun=%u parity=%u framing=%u breaks=%u lost=%u text-last=\"%s\"",
            m_received, m_dropped, m_tickMs.size(), m_tickMs[m_tickMs.size() / 2], m_tickMs.back(), e.overrun,
            e.parity, e.framing, e.breaks, e.lost, Escaped(LastCompleteLine(text)).c_str());
    m_tickMs.clear();
    m_loggedReceived = m_received;
    m_since = Clock::now();
}
