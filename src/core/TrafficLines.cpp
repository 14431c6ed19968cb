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
    std::size_t left() const { return m_s.size(); }
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
        m_bytesAt = std::string::npos;
    }
    std::uint32_t count = 0;
    if (m_bytesAt != std::string::npos)
        std::memcpy(&count, m_records.data() + m_bytesAt, sizeof count);
    if (m_bytesAt == std::string::npos || n > UINT32_MAX - count) {
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
    m_bytesAt = std::string::npos;
}

void TrafficLines::sent(std::int64_t time, std::string_view hexCells, std::string_view charCells)
{
    endLine();
    m_records.push_back(static_cast<char>(kSent));
    Put(m_records, time);
    appendCount(hexCells.size());
    m_records.append(hexCells);
    appendCount(charCells.size());
    m_records.append(charCells);
}

std::string TrafficLines::take(std::string spare)
{
    std::string records;
    records.swap(m_records);
    spare.clear();
    m_records.swap(spare);
    m_bytesAt = std::string::npos;
    return records;
}

void TrafficLines::clear()
{
    m_records.clear();
    m_open = false;
    m_bytesAt = std::string::npos;
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
                line(time, true, hex, chr);
            break;
        }
        default:
            r.stop();
        }
    }
}

void TrafficText::finish()
{
    endLine();
}

void TrafficText::endLine()
{
    if (!m_open)
        return;
    m_open = false;
    line(m_openTime, false, {}, {});
}

// A received line's cells are made of m_bytes; a sent line's are given. A line of any length is
// put in pieces of at most the sink's largest room; most take one.
void TrafficText::line(std::int64_t time, bool out, std::string_view hex, std::string_view chr)
{
    // Floor division: the milliseconds stay 0 to 999 for a time before 1970 too.
    const std::int64_t second = time >= 0 ? time / 1000 : (time - 999) / 1000;
    if (m_cachedText.empty() || second != m_cachedSecond) {
        m_cachedSecond = second;
        const std::string text = DateTimeText(second * 1000);
        m_cachedText = text.substr(0, text.size() - 3);
    }
    const std::string_view tag = out ? kOutTag : kInTag;
    const auto *p = reinterpret_cast<const std::uint8_t *>(m_bytes.data());
    const std::size_t n = out ? 0 : m_bytes.size();
    const std::size_t cellLength = m_hexCells.maxLength + m_charCells.maxLength;
    const std::size_t length =
        m_cachedText.size() + 4 + tag.size() + hex.size() + chr.size() + n * cellLength + 3 + 8;

    constexpr std::size_t kMax = TextSink::kMaxRoom;
    char *begin = m_sink.room(std::min(length, kMax));
    char *end = begin + std::min(length, kMax);
    char *d = begin;
    auto reserve = [&](std::size_t k) {
        if (std::size_t(end - d) < k) {
            m_sink.commit(std::size_t(d - begin));
            d = begin = m_sink.room(kMax);
            end = begin + kMax;
        }
    };
    auto put = [&](std::string_view s) {
        while (!s.empty()) { // an empty view may have no data at all, which memcpy must not be given
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
            reserve(k * table.maxLength + 8); // WriteRxCells may write 8 bytes past its cells
            d = WriteRxCells(d, table, p + i, k);
        }
    };
    reserve(m_cachedText.size() + 4 + tag.size());
    put(m_cachedText);
    const int milli = static_cast<int>(time - second * 1000);
    *d++ = static_cast<char>('0' + milli / 100);
    *d++ = static_cast<char>('0' + milli / 10 % 10);
    *d++ = static_cast<char>('0' + milli % 10);
    *d++ = ' ';
    put(tag);
    put(hex);
    cells(m_hexCells);
    reserve(1);
    *d++ = '|';
    put(chr);
    cells(m_charCells);
    reserve(2);
    *d++ = '\r';
    *d++ = '\n';
    m_sink.commit(std::size_t(d - begin));
    ++m_lines;
}

} // namespace core
