// SPDX-License-Identifier: MIT
// The traffic as the pages break it into lines, recorded for the traffic log whatever pages are
// shown: the receive pipeline feeds the received bytes and the line ends, the senders their
// messages. The log's text is about ten times the traffic, so the display's thread only records
// the bytes, the line ends and the times, compactly; the log's own thread makes the text of them
// (TrafficText).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace core
{

struct RxCellTable;

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
    // Nothing was recorded since the last take.
    bool empty() const { return m_records.empty(); }
    // Bytes of records since the last take.
    std::size_t size() const { return m_records.size(); }
    // What was recorded since the last call, for TrafficText. `spare` (a buffer handed back by
    // the writer) takes its place, so that its memory is used again.
    std::string take(std::string spare = {});
    // Forgets the open line and what was not taken.
    void clear();

    // The records: a tag byte, then its fields in the machine's byte order.
    enum Tag : char {
        kBegin = 'B', // an incoming line begins: time (int64)
        kBytes = 'R', // received bytes of the open line: count (uint32), the bytes
        kEnd = 'E',   // the open line is complete
        kSent = 'S',  // a sent line: time (int64), count and HEX cells, count and CHAR cells
    };

  private:
    static constexpr std::size_t kNone = ~std::size_t(0);
    void appendCount(std::size_t n);

    std::string m_records;
    bool m_open = false;
    std::size_t m_bytesAt = kNone; // the count of the last record, while it is kBytes
};

// The log's text of the records: each line is the local date and time at which it began
// ("YYYY-MM-DD HH:MM:SS.mmm"), a blank, the direction tag, the cells of the HEX page, "|", the
// cells of the CHAR page and CR LF: CP932 like the page files (the cells are ASCII).
class TrafficText
{
  public:
    TrafficText();

    // Appends to `out` the text of the lines the records complete; a line still open is kept
    // until a later call completes it.
    void add(std::string_view records, std::string &out);
    // Appends the open line, if any, as it stands.
    void finish(std::string &out);
    std::size_t lines() const { return m_lines; }

  private:
    void line(std::string &out, std::int64_t time, bool outgoing, std::string_view hex, std::string_view chr,
              std::string_view bytes);
    void putTime(std::string &out, std::int64_t time);
    void endLine(std::string &out);

    const RxCellTable &m_hexCells;
    const RxCellTable &m_charCells;
    std::size_t m_lines = 0;
    bool m_open = false;
    std::int64_t m_openTime = 0;
    std::string m_bytes; // the open line's bytes
    // "YYYY-MM-DD HH:MM:SS." of m_cachedSecond: the local time is worked out once a second only.
    std::int64_t m_cachedSecond = 0;
    bool m_cached = false;
    std::string m_cachedText;
};

} // namespace core
