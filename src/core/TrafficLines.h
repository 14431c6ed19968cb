// SPDX-License-Identifier: MIT
// The lines of the traffic log as the pages break them, built whatever pages are shown, straight
// into the bytes of the log file. Each line is the local date and time at which it began
// ("YYYY-MM-DD HH:MM:SS.mmm"), a blank, the direction tag, the cells of the HEX page, "|", the
// cells of the CHAR page and CR LF: CP932 like the page files (the cells are ASCII). The receive
// pipeline feeds the received bytes and the line ends, the senders their messages.
//
// A flood completes hundreds of thousands of lines a second, and the log is ten times its bytes.
// The open line is built in place at the end of the hand-over buffer (its CHAR cells in a buffer
// used again for every line), so that no line costs an allocation or a copy of its own; cells a
// shown page has already made are copied instead of being made again.
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
    // `hexCells` and `charCells`, when given, are the bytes' cells on those pages.
    void received(const std::uint8_t *p, std::size_t n, std::int64_t time,
                  const std::string_view *hexCells = nullptr, const std::string_view *charCells = nullptr);
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
    // The date, time and tag that begin a line.
    void beginLine(std::int64_t time, bool out);

    // Completed lines, not yet taken, then the open line up to its HEX cells (from m_openAt).
    std::string m_done;
    std::size_t m_lines = 0;
    std::size_t m_lastTaken = 0;
    bool m_open = false;
    std::size_t m_openAt = 0;
    std::string m_chr; // the open line's CHAR cells
    // "YYYY-MM-DD HH:MM:SS." of m_cachedSecond: the local time is worked out once a second only.
    std::int64_t m_cachedSecond = 0;
    std::string m_cachedText;
};

} // namespace core
