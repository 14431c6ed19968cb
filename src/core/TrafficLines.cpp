// SPDX-License-Identifier: MIT
#include "TrafficLines.h"

#include "Cells.h"
#include "TimeText.h"

#include <algorithm>
#include <cstring>

namespace core
{
namespace
{

template <typename T> void Put(platform::ByteBuffer &s, T value)
{
    std::memcpy(s.extend(sizeof value), &value, sizeof value);
}

// Reads the records. They are only ever cut between records (take() hands over whole ones); a
// record cut short or a tag not known ends the reading all the same, instead of reading past it.
class Reader
{
  public:
    explicit Reader(std::string_view s) : m_s(s) {}
    bool atEnd() const { return m_s.empty() || m_bad; }
    char next() const { return atEnd() ? '\0' : m_s.front(); }
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
    m_records.append(p, n);
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

platform::ByteBuffer TrafficLines::take(platform::ByteBuffer spare)
{
    platform::ByteBuffer records = std::move(m_records);
    spare.clear();
    // A buffer of the size the last hand-over needed: growing one from nothing copies it over and
    // over while the display's thread fills it.
    if (spare.capacity() < records.size())
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

TrafficText::TrafficText(TextSink &sink)
    : m_sink(sink), m_hexCells(RxCells(kPageHex)), m_charCells(RxCells(kPageChar))
{
}

void TrafficText::add(std::string_view records)
{
    Reader r(records);
    while (!r.atEnd()) {
        switch (r.get<char>()) {
        case TrafficLines::kBegin: {
            endLine();
            const auto time = r.get<std::int64_t>();
            if (r.bad())
                break;
            // Most lines come whole within one hand-over, as one run of bytes: their text is made
            // straight from the records.
            if (r.next() == TrafficLines::kBytes) {
                Reader ahead = r;
                ahead.get<char>();
                const std::string_view bytes = ahead.counted();
                if (ahead.next() == TrafficLines::kEnd) {
                    ahead.get<char>();
                    r = ahead;
                    line(time, false, {}, {}, bytes);
                    break;
                }
            }
            m_open = true;
            m_openTime = time;
            m_bytes.clear();
            break;
        }
        case TrafficLines::kBytes: {
            const std::string_view bytes = r.counted();
            if (m_open) // not bytes whose line began before this log
                m_bytes.append(bytes);
            break;
        }
        case TrafficLines::kEnd:
            endLine();
            break;
        case TrafficLines::kSent: {
            endLine();
            const auto time = r.get<std::int64_t>();
            const std::string_view hex = r.counted();
            const std::string_view chr = r.counted();
            if (!r.bad())
                line(time, true, hex, chr, {});
            break;
        }
        default:
            r.stop();
        }
    }
    commitRoom(); // what the call made is the sink's, to be written out
}

void TrafficText::finish()
{
    endLine();
    commitRoom();
}

// Lines go into one room of the sink's largest size as long as they fit, and are committed
// together: asking the sink for each line would cost as much as making a short line's text.
char *TrafficText::room(std::size_t n)
{
    if (static_cast<std::size_t>(m_roomEnd - m_at) < n) {
        commitRoom();
        m_roomBegin = m_at = m_sink.room(TextSink::kMaxRoom);
        m_roomEnd = m_at + TextSink::kMaxRoom;
    }
    return m_at;
}

void TrafficText::commitRoom()
{
    if (m_at != m_roomBegin)
        m_sink.commit(static_cast<std::size_t>(m_at - m_roomBegin));
    m_roomBegin = m_at = m_roomEnd = nullptr;
}

void TrafficText::endLine()
{
    if (!m_open)
        return;
    m_open = false;
    line(m_openTime, false, {}, {}, m_bytes);
}

// The date and time of a line and a blank: "YYYY-MM-DD HH:MM:SS.mmm ".
char *TrafficText::putTime(char *d, std::int64_t time)
{
    // Floor division: the milliseconds stay 0 to 999 for a time before 1970 too.
    const std::int64_t second = time >= 0 ? time / 1000 : (time - 999) / 1000;
    if (!m_cached || second != m_cachedSecond) {
        const std::string text = DateTimeText(second * 1000);
        std::memcpy(m_cachedText, text.data(), std::min(text.size(), kSecondLength));
        m_cachedSecond = second;
        m_cached = true;
    }
    std::memcpy(d, m_cachedText, kSecondLength);
    d += kSecondLength;
    const int milli = static_cast<int>(time - second * 1000);
    *d++ = static_cast<char>('0' + milli / 100);
    *d++ = static_cast<char>('0' + milli / 10 % 10);
    *d++ = static_cast<char>('0' + milli % 10);
    *d++ = ' ';
    return d;
}

// A received line's cells are made of its bytes; a sent line's are given. A line of any length
// is put in pieces of at most the sink's largest room; nearly all take one.
void TrafficText::line(std::int64_t time, bool out, std::string_view hex, std::string_view chr,
                       std::string_view bytes)
{
    constexpr std::size_t kTimeLength = kSecondLength + 4;
    constexpr std::size_t kMax = TextSink::kMaxRoom;
    const std::string_view tag = out ? kOutTag : kInTag;
    const auto *p = reinterpret_cast<const std::uint8_t *>(bytes.data());
    const std::size_t n = bytes.size();
    // WriteRxCells may write 8 bytes past its cells.
    const std::size_t length = kTimeLength + tag.size() + hex.size() + chr.size() +
                               n * (m_hexCells.maxLength + m_charCells.maxLength) + 3 + 8;
    ++m_lines;
    if (length <= kMax) {
        char *d = putTime(room(length), time);
        std::memcpy(d, tag.data(), tag.size());
        d += tag.size();
        if (!hex.empty()) // an empty view may have no data at all, which memcpy must not be given
            std::memcpy(d, hex.data(), hex.size());
        d = WriteRxCells(d + hex.size(), m_hexCells, p, n);
        *d++ = '|';
        if (!chr.empty())
            std::memcpy(d, chr.data(), chr.size());
        d = WriteRxCells(d + chr.size(), m_charCells, p, n);
        *d++ = '\r';
        *d++ = '\n';
        m_at = d;
        return;
    }

    commitRoom();
    char *begin = m_sink.room(kMax);
    char *end = begin + kMax;
    char *d = begin;
    auto reserve = [&](std::size_t k) {
        if (static_cast<std::size_t>(end - d) < k) {
            m_sink.commit(static_cast<std::size_t>(d - begin));
            d = begin = m_sink.room(kMax);
            end = begin + kMax;
        }
    };
    auto put = [&](std::string_view s) {
        while (!s.empty()) {
            const std::size_t k = std::min(s.size(), kMax / 2);
            reserve(k);
            std::memcpy(d, s.data(), k);
            d += k;
            s.remove_prefix(k);
        }
    };
    auto cells = [&](const RxCellTable &table) {
        const std::size_t perPiece = kMax / 2 / table.maxLength;
        for (std::size_t i = 0; i < n; i += perPiece) {
            const std::size_t k = std::min(n - i, perPiece);
            reserve(k * table.maxLength + 8);
            d = WriteRxCells(d, table, p + i, k);
        }
    };
    d = putTime(d, time);
    put(tag);
    put(hex);
    cells(m_hexCells);
    put("|");
    put(chr);
    cells(m_charCells);
    put("\r\n");
    m_sink.commit(static_cast<std::size_t>(d - begin));
}

} // namespace core
