// SPDX-License-Identifier: MIT
// The traffic log's side of the display thread and of its own: the recorder listens to the
// traffic stream and keeps each completed line compactly (its bytes, or a sent line's cells, and
// its time); the log's thread makes the text of them (TrafficText). The log's text is about ten
// times the traffic, so the display's thread does no more than copy the bytes.
#pragma once

#include "TrafficStream.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace core
{

struct RxCellTable;

class TrafficRecorder : public TrafficListener
{
  public:
    // Received lines and the sent lines the port took; a sent line it refused is no line of the
    // wire.
    void lineCompleted(const CompletedLine &line) override;
    // A line written as it stands (the one still open when the log stops).
    void record(const CompletedLine &line);
    // A comment of the program's own (a script's log) between the traffic lines, at `time`.
    void note(std::int64_t time, std::string_view text);
    bool empty() const { return m_records.empty(); }
    // Bytes of records since the last take.
    std::size_t size() const { return m_records.size(); }
    // What was recorded since the last call, for TrafficText. `spare` (a buffer handed back by
    // the writer) takes its place, so that its memory is used again.
    std::string take(std::string spare = {});

    // The records: a tag byte, then its fields in the machine's byte order.
    enum Tag : char {
        kIn = 'I',   // a received line: time (int64), count (uint32) and the bytes
        kOut = 'O',  // a sent line: time (int64), count and HEX cells, count and CHAR cells
        kNote = 'N', // a comment: time (int64), count and its text
    };

  private:
    void counted(std::string_view bytes);
    std::string m_records;
};

// The log's text of the records: each line is the local date and time at which it began
// ("YYYY-MM-DD HH:MM:SS.mmm"), a blank, the direction tag, the cells of the HEX page, "|", the
// cells of the CHAR page and CR LF: CP932 like the page files (the cells are ASCII). A comment is
// the date and time, "# " and its text on a line of its own (its line breaks become blanks), so
// that a reader of the traffic lines can pass over it.
class TrafficText
{
  public:
    TrafficText();

    // Appends to `out` the text of the records' lines.
    void add(std::string_view records, std::string &out);
    std::size_t lines() const { return m_lines; }

  private:
    void line(std::string &out, std::int64_t time, bool outgoing, std::string_view hex, std::string_view chr,
              std::string_view bytes);
    void putTime(std::string &out, std::int64_t time);
    void comment(std::string &out, std::int64_t time, std::string_view text);

    const RxCellTable &m_hexCells;
    const RxCellTable &m_charCells;
    std::size_t m_lines = 0;
    // "YYYY-MM-DD HH:MM:SS." of m_cachedSecond: the local time is worked out once a second only.
    std::int64_t m_cachedSecond = 0;
    bool m_cached = false;
    std::string m_cachedText;
};

} // namespace core
