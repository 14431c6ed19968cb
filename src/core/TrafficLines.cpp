// SPDX-License-Identifier: MIT
#include "TrafficLines.h"

#include "Cells.h"

namespace core
{
void TrafficLines::received(const std::uint8_t *p, std::size_t n, std::int64_t time)
{
    if (n == 0)
        return;
    if (!m_open) {
        m_line = TrafficRecord{time, false, {}, {}};
        m_open = true;
    }
    AppendRxCells(m_line.hex, RxCells(kPageHex), p, n);
    AppendRxCells(m_line.chr, RxCells(kPageChar), p, n);
}

void TrafficLines::endLine()
{
    if (!m_open)
        return;
    m_done.push_back(std::move(m_line));
    m_line = TrafficRecord{};
    m_open = false;
}

void TrafficLines::sent(std::int64_t time, std::string hexCells, std::string charCells)
{
    endLine();
    m_done.push_back(TrafficRecord{time, true, std::move(hexCells), std::move(charCells)});
}

std::vector<TrafficRecord> TrafficLines::take()
{
    std::vector<TrafficRecord> done;
    done.swap(m_done);
    return done;
}

void TrafficLines::clear()
{
    m_line = TrafficRecord{};
    m_open = false;
    m_done.clear();
}

} // namespace core
