// SPDX-License-Identifier: MIT
#include "TrafficLines.h"

#include "Cells.h"
#include "TimeText.h"

namespace core
{

void TrafficLines::received(const std::uint8_t *p, std::size_t n, std::int64_t time,
                            const std::string_view *hexCells, const std::string_view *charCells)
{
    if (n == 0)
        return;
    if (!m_open) {
        m_open = true;
        m_openAt = m_done.size();
        beginLine(time, false);
        m_chr.clear();
    }
    if (hexCells)
        m_done.append(*hexCells);
    else
        AppendRxCells(m_done, RxCells(kPageHex), p, n);
    if (charCells)
        m_chr.append(*charCells);
    else
        AppendRxCells(m_chr, RxCells(kPageChar), p, n);
}

void TrafficLines::endLine()
{
    if (!m_open)
        return;
    m_done.append(1, '|').append(m_chr).append("\r\n");
    ++m_lines;
    m_open = false;
}

void TrafficLines::sent(std::int64_t time, std::string_view hexCells, std::string_view charCells)
{
    endLine();
    beginLine(time, true);
    m_done.append(hexCells).append(1, '|').append(charCells).append("\r\n");
    ++m_lines;
}

void TrafficLines::beginLine(std::int64_t time, bool out)
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
    if (m_done.capacity() < m_lastTaken)
        m_done.reserve(m_lastTaken);
    m_done.append(m_cachedText).append(digits, 3).append(1, ' ').append(out ? kOutTag : kInTag);
}

std::string TrafficLines::take(std::string spare)
{
    const std::size_t completed = m_open ? m_openAt : m_done.size();
    std::string done;
    done.swap(m_done);
    m_done.swap(spare);
    m_done.clear();
    // The open line stays, at the start of the next hand-over.
    m_done.append(done, completed);
    done.resize(completed);
    m_openAt = 0;
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
