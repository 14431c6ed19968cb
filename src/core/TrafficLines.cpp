// SPDX-License-Identifier: MIT
#include "TrafficLines.h"

#include "Cells.h"
#include "TimeText.h"

namespace core
{

void TrafficLines::received(const std::uint8_t *p, std::size_t n, std::int64_t time)
{
    if (n == 0)
        return;
    if (!m_open) {
        m_open = true;
        m_openTime = time;
        m_hex.clear();
        m_chr.clear();
    }
    AppendRxCells(m_hex, RxCells(kPageHex), p, n);
    AppendRxCells(m_chr, RxCells(kPageChar), p, n);
}

void TrafficLines::endLine()
{
    if (!m_open)
        return;
    appendLine(m_openTime, false, m_hex, m_chr);
    m_open = false;
}

void TrafficLines::sent(std::int64_t time, std::string_view hexCells, std::string_view charCells)
{
    endLine();
    appendLine(time, true, hexCells, charCells);
}

void TrafficLines::appendLine(std::int64_t time, bool out, std::string_view hex, std::string_view chr)
{
    // Floor division: the milliseconds stay 0 to 999 for a time before 1970 too.
    const std::int64_t second = time >= 0 ? time / 1000 : (time - 999) / 1000;
    if (m_cachedText.empty() || second != m_cachedSecond) {
        m_cachedSecond = second;
        const std::string text = DateTimeText(second * 1000);
        m_cachedText = text.substr(0, text.size() - 3);
    }
    const int milli = static_cast<int>(time - second * 1000);
    const char digits[3] = {static_cast<char>('0' + milli / 100), static_cast<char>('0' + milli / 10 % 10),
                            static_cast<char>('0' + milli % 10)};
    if (m_done.empty() && m_done.capacity() < m_lastTaken)
        m_done.reserve(m_lastTaken);
    m_done.append(m_cachedText).append(digits, 3).append(1, ' ').append(out ? kOutTag : kInTag);
    m_done.append(hex).append(1, '|').append(chr).append("\r\n");
    ++m_lines;
}

std::string TrafficLines::take(std::string spare)
{
    std::string done;
    done.swap(m_done);
    spare.clear();
    m_done.swap(spare);
    // The next hand-over is likely as large: room for it at once instead of growing step by step.
    m_lastTaken = done.size();
    return done;
}

void TrafficLines::clear()
{
    m_done.clear();
    m_open = false;
}

} // namespace core
