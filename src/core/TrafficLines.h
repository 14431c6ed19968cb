// SPDX-License-Identifier: MIT
// The lines of the traffic log as the pages break them, built whatever pages are shown, straight
// into the bytes of the log file. Each line is the local date and time at which it began
// ("YYYY-MM-DD HH:MM:SS.mmm"), a blank, the direction tag, the cells of the HEX page, "|", the
// cells of the CHAR page and CR LF: CP932 like the page files (the cells are ASCII). The receive
// pipeline feeds the received bytes and the line ends, the senders their messages.
//
// A flood completes thousands of lines a second: the open line's cells are kept in two buffers
// that are used again for every line, and the completed lines go into one buffer per hand-over,
// so that no line costs an allocation of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace core
{

class TrafficLines
{
  public:
    // Received bytes: they continue the open incoming line, or begin one at `time` (ms since 1970).
    void received(const std::uint8_t *p, std::size_t n, std::int64_t time);
    // The open incoming line, if any, is complete.
    void endLine();
    // A sent message is one complete line; an incoming line still open ends before it.
    void sent(std::int64_t time, std::string_view hexCells, std::string_view charCells);
    bool lineOpen() const { return m_open; }
    // The log's bytes of the lines completed since the last call, oldest first. `spare` (a
    // buffer handed back by the writer) takes their place, so that its memory is used again.
    std::string take(std::string spare = {});
    std::size_t completedLines() const { return m_lines; }
    // Forgets the open line and what was not taken.
    void clear();

  private:
    void appendLine(std::int64_t time, bool out, std::string_view hex, std::string_view chr);

    std::string m_done; // completed lines, not yet taken
    std::size_t m_lines = 0;
    std::size_t m_lastTaken = 0;
    bool m_open = false;
    std::int64_t m_openTime = 0;
    std::string m_hex; // the open line's cells
    std::string m_chr;
    // "YYYY-MM-DD HH:MM:SS." of m_cachedSecond: the local time is worked out once a second only.
    std::int64_t m_cachedSecond = 0;
    std::string m_cachedText;
};

} // namespace core
