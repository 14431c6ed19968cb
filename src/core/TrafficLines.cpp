// SPDX-License-Identifier: MIT
#include "TrafficLines.h"

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

void TrafficLines::appendCount(std::size_t n)
{
    Put(m_records, static_cast<std::uint32_t>(n));
}

void TrafficLines::received(const std::uint8_t *p, std::size_t n, std::int64_t time)
{
    if (n == 0)
        return;
    if (!m_open) {
        m_open = true;
        m_records.push_back(static_cast<char>(kBegin));
        Put(m_records, time);
        m_bytesAt = kNone;
    }
    std::uint32_t count = 0;
    if (m_bytesAt != kNone)
        std::memcpy(&count, m_records.data() + m_bytesAt, sizeof count);
    if (m_bytesAt == kNone || n > UINT32_MAX - count) {
        // Runs of one byte come one after another when the pages change at every byte: they
        // share one record.
        m_records.push_back(static_cast<char>(kBytes));
        m_bytesAt = m_records.size();
        count = 0;
        appendCount(0);
    }
    count += static_cast<std::uint32_t>(n);
    std::memcpy(m_records.data() + m_bytesAt, &count, sizeof count);
    m_records.append(reinterpret_cast<const char *>(p), n);
}

void TrafficLines::endLine()
{
    if (!m_open)
        return;
    m_records.push_back(static_cast<char>(kEnd));
    m_open = false;
    m_bytesAt = kNone;
}

void TrafficLines::sent(std::int64_t time, std::string_view hexCells, std::string_view charCells)
{
    endLine();
    m_records.push_back(static_cast<char>(kSent));
    Put(m_records, time);
    appendCount(hexCells.size());
    m_records.append(hexCells.data(), hexCells.size());
    appendCount(charCells.size());
    m_records.append(charCells.data(), charCells.size());
}

std::string TrafficLines::take(std::string spare)
{
    std::string records = std::move(m_records);
    spare.clear();
    // A buffer of the size the last hand-over needed: growing one from nothing copies it over and
    // over while the display's thread fills it.
    spare.reserve(records.size());
    m_records = std::move(spare);
    m_bytesAt = kNone;
    return records;
}

void TrafficLines::clear()
{
    m_records = {}; // its memory too: the log may not start again
    m_open = false;
    m_bytesAt = kNone;
}

TrafficText::TrafficText() : m_hexCells(RxCells(kPageHex)), m_charCells(RxCells(kPageChar)) {}

void TrafficText::add(std::string_view records, std::string &out)
{
    Reader r(records);
    while (!r.atEnd()) {
        switch (r.get<char>()) {
        case TrafficLines::kBegin:
            endLine(out);
            m_openTime = r.get<std::int64_t>();
            m_open = !r.bad();
            m_bytes.clear();
            break;
        case TrafficLines::kBytes: {
            const std::string_view bytes = r.counted();
            if (m_open) // not bytes whose line began before this log
                m_bytes.append(bytes);
            break;
        }
        case TrafficLines::kEnd:
            endLine(out);
            break;
        case TrafficLines::kSent: {
            endLine(out);
            const auto time = r.get<std::int64_t>();
            const std::string_view hex = r.counted();
            const std::string_view chr = r.counted();
            if (!r.bad())
                line(out, time, true, hex, chr, {});
            break;
        }
        default:
            r.stop();
        }
    }
}

void TrafficText::finish(std::string &out)
{
    endLine(out);
}

void TrafficText::endLine(std::string &out)
{
    if (!m_open)
        return;
    m_open = false;
    line(out, m_openTime, false, {}, {}, m_bytes);
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
