// SPDX-License-Identifier: MIT
// The traffic as the pages break it into lines, recorded for the traffic log whatever pages are
// shown: the receive pipeline feeds the received bytes and the line ends, the senders their
// messages. A flood completes hundreds of thousands of lines a second and the log's text is ten
// times its bytes, so the display's thread only records the bytes, the line ends and the times,
// compactly; the log's own thread makes the text of them (TrafficText).
#pragma once

#include "ByteBuffer.h"

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
    // What was recorded since the last call, for TrafficText. `spare` (a buffer handed back by
    // the writer) takes its place, so that its memory is used again.
    platform::ByteBuffer take(platform::ByteBuffer spare = {});
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

    platform::ByteBuffer m_records;
    bool m_open = false;
    std::size_t m_bytesAt = kNone; // the count of the last record, while it is kBytes
};

// Where TrafficText puts the text: the log file's own buffer, or in tests memory.
class TextSink
{
  public:
    // The most room() is asked for at once.
    static constexpr std::size_t kMaxRoom = std::size_t(1) << 20;

    virtual ~TextSink() = default;
    // Where the next n bytes (n <= kMaxRoom) go; commit(k) says that the first k are put there.
    virtual char *room(std::size_t n) = 0;
    virtual void commit(std::size_t n) = 0;
};

class TextBuffer : public TextSink
{
  public:
    char *room(std::size_t n) override
    {
        m_text.resize(m_size + n);
        return m_text.data() + m_size;
    }
    void commit(std::size_t n) override { m_size += n; }
    std::string_view text() const { return {m_text.data(), m_size}; }
    void clear() { m_size = 0; }

  private:
    std::string m_text;
    std::size_t m_size = 0;
};

// The log's text of the records: each line is the local date and time at which it began
// ("YYYY-MM-DD HH:MM:SS.mmm"), a blank, the direction tag, the cells of the HEX page, "|", the
// cells of the CHAR page and CR LF: CP932 like the page files (the cells are ASCII). Each byte of
// the text is written once, straight into the sink: the text is made as fast as the memory
// takes it.
class TrafficText
{
  public:
    explicit TrafficText(TextSink &sink);
    TrafficText(const TrafficText &) = delete;
    TrafficText &operator=(const TrafficText &) = delete;

    // Puts the text of the lines the records complete; a line still open is kept until a later
    // call completes it.
    void add(std::string_view records);
    // Puts the open line, if any, as it stands.
    void finish();
    std::size_t lines() const { return m_lines; }

  private:
    void line(std::int64_t time, bool out, std::string_view hex, std::string_view chr,
              std::string_view bytes);
    char *putTime(char *d, std::int64_t time);
    void endLine();
    char *room(std::size_t n);
    void commitRoom();

    TextSink &m_sink;
    // The sink's room taken and not yet committed, and where in it the next line goes.
    char *m_roomBegin = nullptr;
    char *m_at = nullptr;
    char *m_roomEnd = nullptr;
    const RxCellTable &m_hexCells;
    const RxCellTable &m_charCells;
    std::size_t m_lines = 0;
    bool m_open = false;
    std::int64_t m_openTime = 0;
    std::string m_bytes; // the open line's bytes
    // "YYYY-MM-DD HH:MM:SS." of m_cachedSecond: the local time is worked out once a second only.
    static constexpr std::size_t kSecondLength = 20;
    std::int64_t m_cachedSecond = 0;
    bool m_cached = false;
    char m_cachedText[kSecondLength] = {};
};

} // namespace core
