// SPDX-License-Identifier: MIT
// The traffic as the pages break it into lines, recorded for the traffic log whatever pages are
// shown: the receive pipeline feeds the received bytes and the line ends, the senders their
// messages. A flood completes hundreds of thousands of lines a second and the log's text is ten
// times its bytes, so the display's thread only records the bytes, the line ends and the times,
// compactly; the log's own thread makes the text of them (TrafficText).
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
    void appendCount(std::size_t n);

    std::string m_records;
    bool m_open = false;
    std::size_t m_bytesAt = std::string::npos; // the count of the last record, while it is kBytes
};

// The log's text of the records: each line is the local date and time at which it began
// ("YYYY-MM-DD HH:MM:SS.mmm"), a blank, the direction tag, the cells of the HEX page, "|", the
// cells of the CHAR page and CR LF: CP932 like the page files (the cells are ASCII). Each byte of
// the text is written once, into a buffer that is used again: the text is made as fast as the
// memory takes it.
class TrafficText
{
  public:
    TrafficText();
    ~TrafficText();
    TrafficText(const TrafficText &) = delete;
    TrafficText &operator=(const TrafficText &) = delete;

    // Adds the text of the lines the records complete; a line still open is kept until a later
    // call completes it. Stops after the record that brings the text to `textLimit` bytes or
    // more, and returns how many bytes of the records it read.
    std::size_t add(std::string_view records, std::size_t textLimit = SIZE_MAX);
    // Adds the open line, if any, as it stands.
    void finish();
    // The text of the lines added since the last clearText.
    std::string_view text() const { return {m_text, m_size}; }
    void clearText() { m_size = 0; }
    std::size_t lines() const { return m_lines; }

  private:
    // Room for n more bytes of text; returns where they go.
    char *room(std::size_t n);
    void line(std::int64_t time, bool out, std::string_view hex, std::string_view chr);
    void endLine();

    const RxCellTable &m_hexCells;
    const RxCellTable &m_charCells;
    char *m_text = nullptr; // not a string: growing it would fill it with zeros first
    std::size_t m_size = 0;
    std::size_t m_capacity = 0;
    std::size_t m_lines = 0;
    bool m_open = false;
    std::int64_t m_openTime = 0;
    std::string m_bytes; // the open line's bytes
    // "YYYY-MM-DD HH:MM:SS." of m_cachedSecond: the local time is worked out once a second only.
    std::int64_t m_cachedSecond = 0;
    std::string m_cachedText;
};

} // namespace core
