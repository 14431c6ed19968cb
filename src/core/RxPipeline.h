// SPDX-License-Identifier: MIT
// The receive side of the display: the ring that the receive handler fills, and the 10 ms tick
// that drains it into the current line of every shown page, breaks lines by the line-break mode
// or after a pause, starts a new line when the direction changes, and keeps the line limit.
// Plain data in, pages out: the window forwards the handler's bytes and the timer, and shows the
// line counter and whatever the tick reports.
#pragma once

#include "Cells.h"
#include "Page.h"
#include "PageTable.h"
#include "TimeText.h"
#include "TrafficStream.h"

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace core
{

// The pages of a page table, in its order, and which of them are shown. Every pointer must be
// set: the line limit empties hidden pages too.
class PageSet
{
  public:
    explicit PageSet(const PageTable &pages = StandardPages())
        : page(static_cast<std::size_t>(pages.count())), visible(static_cast<std::size_t>(pages.count())),
          m_table(&pages)
    {
    }
    const PageTable &table() const { return *m_table; }
    int count() const { return m_table->count(); }

    std::vector<Page *> page;
    std::vector<bool> visible;

  private:
    const PageTable *m_table;
};

// Line-break modes: the item index of the line-break list. Any other index behaves as kBreakNone.
enum LineBreakMode : int { kBreakNone = 0, kBreakOnCr = 1, kBreakOnCrLf = 2 };

// Saves the shown pages as the log-save command does. Returns false and fills `error` when a file
// could not be written.
using LimitSaver = std::function<bool(std::string &error)>;

struct TickResult {
    enum class LimitSave { None, Saved, Failed };

    // The line counter shows "ログ行数: " followed by this number.
    int lineCount = 1;
    // Some page's lines changed: the views repaint.
    bool pagesChanged = false;
    // What the line limit did in this tick.
    LimitSave limitSave = LimitSave::None;
    // Set on the first failed save after a successful one (or after start): the window tells the
    // user once; later failures of the same run are silent.
    bool reportSaveFailure = false;
    std::string saveError;
};

class RxPipeline
{
  public:
    static constexpr int kRingSize = 48000;
    // Pages are saved and emptied when a shown page's highest line index exceeds this.
    static constexpr int kLineLimit = 5000;

    RxPipeline();

    // The receive handler's path: stores the bytes read from the port (a failed read is not a
    // byte and must not be passed) and notes `now` as the time of the last received byte when at
    // least one byte came. Returns the number stored: the handler reads no more from the port
    // than room() says, so that bytes the display cannot take yet stay queued in the device
    // instead of being lost here. `wallMs` (ms since 1970) is when the bytes were taken from the
    // port: a line begun by one of them keeps that time, however late a tick shows it.
    std::size_t receive(const std::uint8_t *data, std::size_t n, std::uint32_t now, std::int64_t wallMs = 0);
    // Opening the port discards whatever still waits.
    void ResetRing();
    std::size_t waiting() const;
    std::size_t room() const { return static_cast<std::size_t>(kRingSize - 1) - waiting(); }

    // One timer tick. `mode` is the line-break mode, `recvLineWait` the pause in ms after which
    // the current line is closed, `save` runs at the line limit (may be empty: then the pages are
    // emptied without saving).
    TickResult tick(std::uint32_t now, int mode, std::int32_t recvLineWait, const PageSet &pages,
                    const LimitSaver &save);

    // The time to give a line that a sender adds now (`now`, ms since 1970): never before the
    // line shown last.
    std::int64_t lineTime(std::int64_t now) { return m_lineTimes.stamp(now); }

    // The bytes as they are taken, and the lines as the pages complete them: receive() and the
    // tick feed it, the senders add their messages.
    TrafficStream &stream() { return m_stream; }

    std::uint32_t LastRxTick() const { return m_lastRxTick; }
    void SetLastRxTick(std::uint32_t t) { m_lastRxTick = t; }
    // A received line waits for the pause after which a tick closes it.
    bool lineWaitPending() const { return m_lastRxTick != 0; }
    bool CrSeen() const { return m_crSeen; }
    bool LfSeen() const { return m_lfSeen; }

  private:
    struct Line {
        std::string text; // CurLine of this page
        // The page's last line was moved into `text` at the first byte of the tick; the page
        // holds an empty placeholder until write-back. `heldLength` bytes of `text` are what
        // the page itself held.
        bool held = false;
        std::size_t heldLength = 0;
        // `text` contains kOutMark: the next byte starts a new incoming line.
        bool outgoing = false;
        // The line before the page's last one may be blank: check before the next byte.
        bool checkBlank = false;
        // `text` was begun in this tick, by a byte taken from the port at `startTime`.
        bool stamped = false;
        std::int64_t startTime = 0;
    };
    // When the byte at absolute ring position `at` onwards were taken from the port.
    struct TimeMark {
        std::uint64_t at = 0;
        std::int64_t time = 0;
    };

    static int highestIndex(const PageSet &pages);
    void takeUpLines(const PageSet &pages);
    bool removeBlankBeforeLast(const PageSet &pages);
    bool startLines(const PageSet &pages, std::int64_t time);
    static void writeBack(Page &page, Line &l);
    std::int64_t timeAtTail();
    std::size_t scanRun(const std::uint8_t *p, std::size_t n, int mode, const bool *split);
    void appendRun(const PageSet &pages, const std::uint8_t *p, std::size_t n);
    void endLines(const PageSet &pages);
    void runLimit(const PageSet &pages, const LimitSaver &save, int m, TickResult &result);

    std::vector<std::uint8_t> m_ring;
    int m_head = 0;
    int m_tail = 0;
    std::uint32_t m_lastRxTick = 0;
    bool m_crSeen = false;
    bool m_lfSeen = false;
    bool m_lineEndPending = false;
    std::vector<Line> m_line; // one per page of the last tick's set
    // Bytes stored and taken since the ring was last emptied, and the times of the bytes waiting.
    std::uint64_t m_pushed = 0;
    std::uint64_t m_popped = 0;
    std::deque<TimeMark> m_marks;
    LineTimes m_lineTimes;
    TrafficStream m_stream;

    // Whether a page's last line holds kOutMark, as of the page revision after this pipeline's
    // last tick that showed bytes.
    struct Known {
        const Page *page = nullptr;
        std::uint64_t revision = ~std::uint64_t{0};
        bool outgoing = false;
    };
    std::vector<Known> m_known;

    // The line limit in force: kLineLimit, or higher after a failed save (see runLimit).
    int m_limitAt = kLineLimit;
    bool m_saveFailureReported = false;
};

// Shows a sent message on a shown page: a blank line before the last and an empty last line are
// dropped, then "[OUT]  " and the cells are added. A CR LF inside the cells breaks the text into
// further lines, as a text view would show it (the last of them then carries no tag).
// `time` is when the message was sent; every line it makes carries it.
void AppendOutLine(Page &page, std::string_view cells, std::int64_t time = 0);
// The same for page i of the set; a hidden page is left alone.
void AppendOutLine(const PageSet &pages, int i, std::string_view cells, std::int64_t time = 0);

// Nothing but bytes up to 0x20.
bool IsBlankLine(std::string_view line);

} // namespace core
