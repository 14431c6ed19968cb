// SPDX-License-Identifier: MIT
#include "RxPipeline.h"

#include <algorithm>
#include <cstring>

namespace core
{
namespace
{

constexpr std::uint8_t kCr = 0x0D;
constexpr std::uint8_t kLf = 0x0A;

} // namespace

bool IsBlankLine(std::string_view line)
{
    return std::all_of(line.begin(), line.end(),
                       [](char c) { return static_cast<unsigned char>(c) <= 0x20; });
}

RxPipeline::RxPipeline() : m_ring(kRingSize) {}

void RxPipeline::ResetRing()
{
    m_head = m_tail = 0;
    m_pushed = m_popped = 0;
    m_marks.clear();
}

std::int64_t RxPipeline::timeAtTail()
{
    while (m_marks.size() >= 2 && m_marks[1].at <= m_popped)
        m_marks.pop_front();
    return m_marks.empty() || m_marks.front().at > m_popped ? 0 : m_marks.front().time;
}

std::size_t RxPipeline::waiting() const
{
    return static_cast<std::size_t>((m_head - m_tail + kRingSize) % kRingSize);
}

std::size_t RxPipeline::receive(const std::uint8_t *data, std::size_t n, std::uint32_t now,
                                std::int64_t wallMs)
{
    if (n == 0)
        return 0;
    m_lastRxTick = now;
    const std::size_t take = std::min(n, room());
    if (take > 0 && (m_marks.empty() || m_marks.back().time != wallMs))
        m_marks.push_back(TimeMark{m_pushed, wallMs});
    m_pushed += take;
    const std::size_t first = std::min(take, static_cast<std::size_t>(kRingSize - m_head));
    std::memcpy(m_ring.data() + m_head, data, first);
    std::memcpy(m_ring.data(), data + first, take - first);
    m_head = static_cast<int>((static_cast<std::size_t>(m_head) + take) % kRingSize);
    m_stream.taken(data, take, wallMs);
    return take;
}

int RxPipeline::highestIndex(const PageSet &pages)
{
    int m = 0;
    for (int i = 0; i < pages.count(); ++i)
        if (pages.visible[i])
            m = std::max(m, pages.page[i]->count() - 1);
    return m;
}

void RxPipeline::takeUpLines(const PageSet &pages)
{
    for (int i = 0; i < pages.count(); ++i) {
        if (!pages.visible[i])
            continue;
        Line &l = m_line[i];
        Page &page = *pages.page[i];
        // A line this pipeline wrote back and nobody changed since needs no search for the mark:
        // a line that never ends (no line break, no pause) would otherwise be searched whole on
        // every tick.
        const bool known = &page == m_known[i].page && page.revision() == m_known[i].revision;
        l.held = page.count() > 0;
        l.text = page.takeLast();
        l.heldLength = l.text.size();
        l.outgoing = known ? m_known[i].outgoing : l.text.find(kOutMark) != std::string::npos;
        l.checkBlank = true;
    }
}

bool RxPipeline::removeBlankBeforeLast(const PageSet &pages)
{
    // Only a change of the page can put a blank line before the last one, so the check runs
    // after such changes until it finds none, instead of on every byte.
    bool changed = false;
    for (int i = 0; i < pages.count(); ++i) {
        Line &l = m_line[i];
        if (!pages.visible[i] || !l.checkBlank)
            continue;
        Page &page = *pages.page[i];
        const int n = page.count();
        if (n >= 3 && IsBlankLine(page.line(n - 2))) {
            page.remove(n - 2);
            changed = true; // another blank line may now stand there: check again next byte
        } else {
            l.checkBlank = false;
        }
    }
    return changed;
}

void RxPipeline::writeBack(Page &page, Line &l)
{
    page.replaceLast(std::move(l.text));
    if (l.stamped)
        page.setTime(page.count() - 1, l.startTime);
    l.text.clear();
}

bool RxPipeline::startLines(const PageSet &pages, std::int64_t time)
{
    bool changed = false;
    for (int i = 0; i < pages.count(); ++i) {
        if (!pages.visible[i])
            continue;
        Line &l = m_line[i];
        Page &page = *pages.page[i];
        if (l.outgoing) {
            // The outgoing line (or received text that looks like one) is written back before the
            // new incoming line starts, so that bytes received earlier in this tick are kept.
            writeBack(page, l);
            page.add(std::string(kInTag), time);
            l.text.assign(kInTag);
            l.held = false;
            l.outgoing = false;
            l.checkBlank = true;
            l.stamped = true;
            l.startTime = time;
            changed = true;
        }
        if (l.text.empty()) {
            l.text.assign(kInTag);
            l.stamped = true;
            l.startTime = time;
        }
    }
    return changed;
}

std::size_t RxPipeline::scanRun(const std::uint8_t *p, std::size_t n, int mode, const bool *split)
{
    // The line-break detector over a run of bytes; the run ends after the byte that ends a line,
    // or after a byte that may complete kOutMark on some page.
    bool cr = m_crSeen;
    bool lf = m_lfSeen;
    std::size_t k = 0;
    if (mode == kBreakOnCr) {
        while (k < n) {
            const std::uint8_t b = p[k++];
            if (b == kCr || cr) { // a CR left from another mode ends the line at once
                m_lineEndPending = true;
                cr = lf = false;
                break;
            }
            cr = lf = false;
            if (split[b])
                break;
        }
    } else if (mode == kBreakOnCrLf) {
        while (k < n) {
            const std::uint8_t b = p[k++];
            if (b == kCr)
                cr = true;
            else if (b == kLf)
                lf = true;
            else if (cr)
                cr = lf = false;
            if (cr && lf) {
                m_lineEndPending = true;
                cr = lf = false;
                break;
            }
            if (split[b])
                break;
        }
    } else {
        cr = lf = false;
        while (k < n && !split[p[k]])
            ++k;
        if (k < n)
            ++k;
    }
    m_crSeen = cr;
    m_lfSeen = lf;
    return k;
}

void RxPipeline::appendRun(const PageSet &pages, const std::uint8_t *p, std::size_t n)
{
    for (int i = 0; i < pages.count(); ++i) {
        if (!pages.visible[i])
            continue;
        const RxCellTable &cells = pages.table()[i].cells;
        Line &l = m_line[i];
        AppendRxCells(l.text, cells, p, n);
        // The run ends at the only byte whose cell can complete the mark, so only the end of the
        // line needs looking at.
        if (cells.closesOutMark[p[n - 1]]) {
            const std::size_t window = cells.length[p[n - 1]] + kOutMark.size() - 1;
            const std::size_t from = l.text.size() > window ? l.text.size() - window : 0;
            if (l.text.find(kOutMark, from) != std::string::npos)
                l.outgoing = true;
        }
    }
}

void RxPipeline::endLines(const PageSet &pages)
{
    for (int i = 0; i < pages.count(); ++i) {
        if (!pages.visible[i])
            continue;
        Line &l = m_line[i];
        Page &page = *pages.page[i];
        writeBack(page, l);
        page.add(std::string());
        l.held = false;
        l.stamped = false;
        l.outgoing = false;
        l.checkBlank = true;
    }
}

void RxPipeline::runLimit(const PageSet &pages, const LimitSaver &save, int m, TickResult &result)
{
    // The pages are saved as they stand before this byte: lines taken up for this tick go back
    // as the page held them.
    for (int i = 0; i < pages.count(); ++i) {
        Line &l = m_line[i];
        if (pages.visible[i] && l.held) {
            Page &page = *pages.page[i];
            // The line goes on as the first line of the emptied page, with the time it began.
            if (!l.stamped) {
                l.stamped = true;
                l.startTime = page.time(page.count() - 1);
            }
            page.replaceLast(l.text.substr(0, l.heldLength));
            l.held = false;
        }
    }
    std::string error;
    const bool saved = !save || save(error);
    if (saved) {
        for (Page *page : pages.page)
            page->clear();
        m_limitAt = kLineLimit;
        m_saveFailureReported = false;
        result.limitSave = TickResult::LimitSave::Saved;
        return;
    }
    // A failed save keeps every line and the display running. The next attempt comes when the
    // highest line index has grown by another kLineLimit lines past this one (or, should the
    // pages shrink to the limit again through a clear, at the ordinary limit): not on every tick.
    m_limitAt = m + kLineLimit;
    result.limitSave = TickResult::LimitSave::Failed;
    if (!m_saveFailureReported) {
        m_saveFailureReported = true;
        result.reportSaveFailure = true;
        result.saveError = std::move(error);
    }
}

TickResult RxPipeline::tick(std::uint32_t now, int mode, std::int32_t recvLineWait, const PageSet &pages,
                            const LimitSaver &save)
{
    TickResult result;
    m_line.resize(static_cast<std::size_t>(pages.count()));
    m_known.resize(static_cast<std::size_t>(pages.count()));
    std::vector<std::uint64_t> revisions(static_cast<std::size_t>(pages.count()));
    for (int i = 0; i < pages.count(); ++i) {
        revisions[i] = pages.page[i]->revision();
        m_line[i] = Line{};
    }

    // Bytes after which a run must stop: only they can complete the outgoing mark on a shown page.
    bool split[256];
    for (int b = 0; b < 256; ++b) {
        split[b] = false;
        for (int i = 0; i < pages.count(); ++i)
            split[b] = split[b] || (pages.visible[i] && pages.table()[i].cells.closesOutMark[b]);
    }

    bool firstByte = true;
    int m = highestIndex(pages);
    bool pagesDirty = false;
    for (;;) {
        // The limit is checked with the index found before the previous byte was shown, as the
        // counter is; a save thus comes one byte after the page grew past the limit.
        if (m > m_limitAt) {
            runLimit(pages, save, m, result);
            pagesDirty = true;
        } else if (m <= kLineLimit) {
            m_limitAt = kLineLimit;
        }
        if (pagesDirty) {
            m = highestIndex(pages);
            pagesDirty = false;
        }
        result.lineCount = m + 1;
        if (m_head == m_tail)
            break;

        if (firstByte) {
            takeUpLines(pages);
            firstByte = false;
        }
        bool changed = removeBlankBeforeLast(pages);
        m_lastRxTick = now;
        const std::int64_t time = m_lineTimes.stamp(timeAtTail());
        changed = startLines(pages, time) || changed;

        // Bytes are shown in runs that change no page until their last byte, which is the same
        // as showing them one by one: the counter and the limit only see page changes. A run is
        // a single byte when the page just changed or stands above the limit, so that the next
        // check comes exactly where it would come byte by byte.
        const auto contiguous = static_cast<std::size_t>((m_head >= m_tail ? m_head : kRingSize) - m_tail);
        const std::uint8_t *p = m_ring.data() + m_tail;
        const bool oneByte = changed || m > m_limitAt;
        const std::size_t n = scanRun(p, oneByte ? 1 : contiguous, mode, split);
        appendRun(pages, p, n);
        m_stream.received(p, n, time);
        m_tail = static_cast<int>((static_cast<std::size_t>(m_tail) + n) % kRingSize);
        m_popped += n;
        if (m_lineEndPending) {
            endLines(pages);
            m_stream.endLine();
            changed = true;
        }
        m_lineEndPending = false;
        pagesDirty = changed;
    }

    std::vector<bool> lastOutgoing(static_cast<std::size_t>(pages.count()));
    for (int i = 0; i < pages.count(); ++i) {
        Line &l = m_line[i];
        if (pages.visible[i] && !l.text.empty()) {
            writeBack(*pages.page[i], l);
            lastOutgoing[i] = l.outgoing;
        }
        l = Line{};
    }

    // Unsigned 32-bit difference, so the tick count may wrap between the byte and now; the wait
    // is compared as a signed value (a negative wait closes at once).
    if (m_lastRxTick != 0 &&
        static_cast<std::int64_t>(static_cast<std::uint32_t>(now - m_lastRxTick)) > recvLineWait) {
        for (int i = 0; i < pages.count(); ++i) {
            if (pages.visible[i] && !pages.page[i]->last().empty()) {
                pages.page[i]->add(std::string());
                lastOutgoing[i] = false;
            }
        }
        m_stream.endLine();
        m_lastRxTick = 0;
    }

    if (!firstByte)
        for (int i = 0; i < pages.count(); ++i)
            if (pages.visible[i])
                m_known[i] = Known{pages.page[i], pages.page[i]->revision(), lastOutgoing[i]};

    for (int i = 0; i < pages.count(); ++i)
        result.pagesChanged = result.pagesChanged || pages.page[i]->revision() != revisions[i];
    return result;
}

void AppendOutLine(Page &page, std::string_view cells, std::int64_t time)
{
    const int n = page.count();
    if (n >= 3 && IsBlankLine(page.line(n - 2)))
        page.remove(n - 2);
    if (page.count() > 0 && page.last().empty())
        page.remove(page.count() - 1);

    std::string text;
    text.reserve(kOutTag.size() + cells.size());
    text.append(kOutTag).append(cells);
    std::string_view rest(text);
    for (;;) {
        const std::size_t br = rest.find("\r\n");
        page.add(std::string(rest.substr(0, br)), time);
        if (br == std::string_view::npos)
            break;
        rest.remove_prefix(br + 2);
    }
}

void AppendOutLine(const PageSet &pages, int i, std::string_view cells, std::int64_t time)
{
    if (i >= 0 && i < pages.count() && pages.visible[i])
        AppendOutLine(*pages.page[i], cells, time);
}

} // namespace core
