// SPDX-License-Identifier: MIT
#include "TrafficRecorder.h"

#include "PageTable.h"
#include "TimeText.h"

#include <cstring>

namespace core
{
namespace
{

template <typename T> void Put(std::string &s, T value)
{
    s.append(reinterpret_cast<const char *>(&value), sizeof value);
}

// Reads the records. They are only ever cut between records (take() hands over whole ones); a
// record cut short or a tag not known ends the reading all the same, instead of reading past it.
class Reader
{
  public:
    explicit Reader(std::string_view s) : m_s(s) {}
    bool atEnd() const { return m_s.empty() || m_bad; }
    void stop() { m_bad = true; }
    bool bad() const { return m_bad; }
    template <typename T> T get()
    {
        T value;
        std::memcpy(&value, take(sizeof value).data(), sizeof value);
        return value;
    }
    std::string_view take(std::size_t n)
    {
        if (n > m_s.size()) {
            m_bad = true;
            static const char zeros[8] = {};
            return {zeros, n <= sizeof zeros ? n : 0};
        }
        const std::string_view part = m_s.substr(0, n);
        m_s.remove_prefix(n);
        return part;
    }
    std::string_view counted() { return take(get<std::uint32_t>()); }

  private:
    std::string_view m_s;
    bool m_bad = false;
};

} // namespace

void TrafficRecorder::counted(std::string_view bytes)
{
    Put(m_records, static_cast<std::uint32_t>(bytes.size()));
    m_records.append(bytes);
}

void TrafficRecorder::lineCompleted(const CompletedLine &line)
{
    if (!line.notSent)
        record(line);
}

void TrafficRecorder::record(const CompletedLine &line)
{
    m_records.push_back(line.outgoing ? kOut : kIn);
    Put(m_records, line.time);
    if (!line.outgoing) {
        counted(line.bytes);
        return;
    }
    const EchoCells *echo = line.echo;
    const bool cells = echo && echo->size() > static_cast<std::size_t>(kPageChar);
    counted(cells ? std::string_view((*echo)[kPageHex]) : std::string_view());
    counted(cells ? std::string_view((*echo)[kPageChar]) : std::string_view());
}

void TrafficRecorder::note(std::int64_t time, std::string_view text)
{
    m_records.push_back(kNote);
    Put(m_records, time);
    counted(text);
}

std::string TrafficRecorder::take(std::string spare)
{
    std::string records = std::move(m_records);
    spare.clear();
    // A buffer of the size the last hand-over needed: growing one from nothing copies it over and
    // over while the display's thread fills it.
    spare.reserve(records.size());
    m_records = std::move(spare);
    return records;
}

TrafficText::TrafficText() : m_hexCells(RxCells(kPageHex)), m_charCells(RxCells(kPageChar)) {}

void TrafficText::add(std::string_view records, std::string &out)
{
    Reader r(records);
    while (!r.atEnd()) {
        const char tag = r.get<char>();
        const auto time = r.get<std::int64_t>();
        if (tag == TrafficRecorder::kIn) {
            const std::string_view bytes = r.counted();
            if (!r.bad())
                line(out, time, false, {}, {}, bytes);
        } else if (tag == TrafficRecorder::kOut) {
            const std::string_view hex = r.counted();
            const std::string_view chr = r.counted();
            if (!r.bad())
                line(out, time, true, hex, chr, {});
        } else if (tag == TrafficRecorder::kNote) {
            const std::string_view text = r.counted();
            if (!r.bad())
                comment(out, time, text);
        } else {
            r.stop();
        }
    }
}

// The date and time of a line and a blank: "YYYY-MM-DD HH:MM:SS.mmm ".
void TrafficText::putTime(std::string &out, std::int64_t time)
{
    // Floor division: the milliseconds stay 0 to 999 for a time before 1970 too.
    const std::int64_t second = time >= 0 ? time / 1000 : (time - 999) / 1000;
    if (!m_cached || second != m_cachedSecond) {
        const std::string text = DateTimeText(second * 1000);
        m_cachedText = text.substr(0, text.size() - 3); // without the milliseconds
        m_cachedSecond = second;
        m_cached = true;
    }
    out += m_cachedText;
    const int milli = static_cast<int>(time - second * 1000);
    out += static_cast<char>('0' + milli / 100);
    out += static_cast<char>('0' + milli / 10 % 10);
    out += static_cast<char>('0' + milli % 10);
    out += ' ';
}

void TrafficText::comment(std::string &out, std::int64_t time, std::string_view text)
{
    ++m_lines;
    putTime(out, time);
    out += "# ";
    for (const char c : text)
        out += c == '\r' || c == '\n' ? ' ' : c;
    out += "\r\n";
}

// A received line's cells are made of its bytes; a sent line's are given.
void TrafficText::line(std::string &out, std::int64_t time, bool outgoing, std::string_view hex,
                       std::string_view chr, std::string_view bytes)
{
    const auto *p = reinterpret_cast<const std::uint8_t *>(bytes.data());
    ++m_lines;
    putTime(out, time);
    out += outgoing ? kOutTag : kInTag;
    out += hex;
    AppendRxCells(out, m_hexCells, p, bytes.size());
    out += '|';
    out += chr;
    AppendRxCells(out, m_charCells, p, bytes.size());
    out += "\r\n";
}

} // namespace core
