// SPDX-License-Identifier: MIT
// The lines of the traffic log as the pages break them, built whatever pages are shown: every
// line has the time it began, its direction and the cells of the HEX and CHAR pages. The receive
// pipeline feeds the received bytes and the line ends, the senders their messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace core
{

struct TrafficRecord {
    std::int64_t time = 0; // when the line began, ms since 1970
    bool out = false;
    std::string hex; // the HEX page's cells, without the tag
    std::string chr; // the CHAR page's cells
};

class TrafficLines
{
  public:
    // Received bytes: they continue the open incoming line, or begin one at `time`.
    void received(const std::uint8_t *p, std::size_t n, std::int64_t time);
    // The open incoming line, if any, is complete.
    void endLine();
    // A sent message is one complete line; an incoming line still open ends before it.
    void sent(std::int64_t time, std::string hexCells, std::string charCells);
    bool lineOpen() const { return m_open; }
    // The completed lines since the last call, oldest first.
    std::vector<TrafficRecord> take();
    // Forgets the open line and what was not taken.
    void clear();

  private:
    TrafficRecord m_line;
    bool m_open = false;
    std::vector<TrafficRecord> m_done;
};

} // namespace core
