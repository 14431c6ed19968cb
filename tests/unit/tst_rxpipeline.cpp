// SPDX-License-Identifier: MIT
// The receive display on byte input: cells, ring, line breaks, pauses, direction changes, hidden
// pages and the line limit; and a comparison with a byte-by-byte model of the tick on random
// traffic, since the pipeline shows bytes in runs.
#include "Cells.h"
#include "RxPipeline.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using namespace core;

namespace
{

std::vector<std::string> Lines(const Page &p)
{
    std::vector<std::string> v;
    for (int i = 0; i < p.count(); ++i)
        v.push_back(p.line(i));
    return v;
}

// -1 when both pages hold the same lines.
int FirstDifference(const Page &a, const Page &b)
{
    const int n = std::max(a.count(), b.count());
    for (int i = 0; i < n; ++i)
        if (i >= a.count() || i >= b.count() || a.line(i) != b.line(i))
            return i;
    return -1;
}

std::string Hex(const std::vector<int> &bytes)
{
    std::string s(kInTag);
    for (int b : bytes)
        s += RxCell(kPageHex, static_cast<std::uint8_t>(b));
    return s;
}

struct Fixture {
    std::array<Page, kPageCount> page;
    PageSet set;
    RxPipeline rx;
    std::uint32_t now = 1000;
    int mode = kBreakNone;
    std::int32_t wait = 500;
    int saves = 0;
    bool saveOk = true;
    std::vector<int> savedCounts; // HEX page line count seen by each save

    Fixture()
    {
        for (int i = 0; i < kPageCount; ++i) {
            set.page[i] = &page[i];
            set.visible[i] = true;
            page[i].add(std::string()); // as at start
        }
    }
    void feed(std::string_view bytes)
    {
        rx.receive(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size(), now);
    }
    TickResult tick()
    {
        return rx.tick(now, mode, wait, set, [this](std::string &error) {
            ++saves;
            savedCounts.push_back(page[kPageHex].count());
            if (!saveOk)
                error = "disk full";
            return saveOk;
        });
    }
    TickResult show(std::string_view bytes)
    {
        feed(bytes);
        return tick();
    }
};

TEST(RxCells, EveryPageFormat)
{
    struct Case {
        int page;
        int byte;
        std::string cell;
    };
    const Case cases[] = {
        {kPageHex, 0xAB, " AB  "},    {kPageHex, 0x00, " 00  "}, {kPageDec, 7, "   7 "},
        {kPageDec, 255, " 255 "},     {kPageChar, 0x00, " _nu"}, {kPageChar, 0x1B, " _ec"},
        {kPageChar, 0x1F, " _us"},    {kPageChar, 0x20, "    "}, {kPageChar, 0x41, "  A "},
        {kPageChar, 0x7F, "  \x7f "}, {kPageChar, 0x80, " _sp"}, {kPageChar, 0xFF, " _sp"},
        {kPageText, 0x0D, ""},        {kPageText, 0x0A, ""},     {kPageText, 0x00, ""},
        {kPageText, 0x41, "A"},       {kPageText, 0x82, "\x82"}, {kPageText, 0x09, "\t"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(RxCell(c.page, static_cast<std::uint8_t>(c.byte)), c.cell) << c.page << " " << c.byte;
}

TEST(RxCells, ControlNamesAreSixByteRecords)
{
    const char *expected[33] = {"_nu", "_sh", "_sx", "_ex", "_et", "_eq", "_ak", "_bl", "_bs", "_ht", "_lf",
                                "_vt", "_ff", "_cr", "_so", "_si", "_de", "_d1", "_d2", "_d3", "_d4", "_nk",
                                "_sn", "_eb", "_cn", "_em", "_sb", "_ec", "_fs", "_gs", "_rs", "_us", "_sp"};
    static_assert(sizeof CtrlCharNames == 33 * 6);
    for (int b = 0; b <= 0x20; ++b) {
        EXPECT_STREQ(CtrlCharNames[b], expected[b]);
        EXPECT_EQ(CtrlCharNames[b][4], '\0');
        EXPECT_EQ(CtrlCharNames[b][5], '\0');
    }
}

TEST(RxRing, HoldsOneLessThanItsSize)
{
    Fixture f;
    std::vector<std::uint8_t> data(30000);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7);
    EXPECT_EQ(f.rx.receive(data.data(), data.size(), 5), data.size());
    EXPECT_EQ(f.rx.receive(data.data(), data.size(), 6), 17999u) << "what does not fit is not taken";
    EXPECT_EQ(f.rx.waiting(), static_cast<std::size_t>(RxPipeline::kRingSize - 1));
    EXPECT_EQ(f.rx.room(), 0u);
    EXPECT_EQ(f.rx.LastRxTick(), 6u);
    EXPECT_EQ(f.rx.receive(data.data(), 0, 9), 0u);
    EXPECT_EQ(f.rx.LastRxTick(), 6u) << "no byte, no receive time";

    // Drained, and filled again across the end of the store: every byte in its order.
    f.now = 6;
    f.tick();
    EXPECT_EQ(f.rx.waiting(), 0u);
    EXPECT_EQ(f.rx.receive(data.data(), data.size(), 7), data.size());
    f.now = 7;
    f.tick();
    std::vector<int> all;
    for (const std::size_t n : {data.size(), std::size_t(17999), data.size()})
        all.insert(all.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_TRUE(f.page[kPageHex].line(0) == Hex(all));
}

// What a listener of the traffic stream sees: the bytes in the order they were taken, each run
// with its time, whatever the ticks; and every line once complete, both directions in page
// order, a line cut by a clear too.
TEST(TrafficStream, BytesAndCompletedLines)
{
    struct Listener : TrafficListener {
        std::vector<std::pair<std::string, std::int64_t>> taken;
        std::vector<std::string> lines;
        void bytesTaken(const std::uint8_t *bytes, std::size_t n, std::int64_t time) override
        {
            taken.emplace_back(std::string(reinterpret_cast<const char *>(bytes), n), time);
        }
        void lineCompleted(const CompletedLine &line) override
        {
            lines.push_back(std::string(line.outgoing ? "out " : "in ") + std::string(line.bytes) + " @" +
                            std::to_string(line.time) + (line.notSent ? " not sent" : ""));
        }
    } l;
    Fixture f;
    f.mode = kBreakOnCr;
    f.rx.stream().subscribe(&l);
    auto take = [&](std::string_view bytes, std::int64_t time) {
        f.rx.receive(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size(), f.now, time);
    };
    take("ab", 1000);
    take("c\rd", 1001);
    f.tick();
    take("e", 1500);
    f.tick();
    f.rx.stream().sent("x", 2000, NoEchoCells(), true);
    take("f\r", 2500);
    take("g", 2600);
    f.tick();
    f.rx.stream().endLine(); // "ログクリア"
    f.rx.stream().sent("y", 3000, NoEchoCells(), false);
    f.rx.stream().unsubscribe(&l);
    take("h\r", 3500);
    f.tick();

    EXPECT_EQ(l.taken, (std::vector<std::pair<std::string, std::int64_t>>{
                           {"ab", 1000}, {"c\rd", 1001}, {"e", 1500}, {"f\r", 2500}, {"g", 2600}}));
    EXPECT_EQ(l.lines, (std::vector<std::string>{"in abc\r @1000", "in de @1001", "out x @2000",
                                                 "in f\r @2500", "in g @2600", "out y @3000 not sent"}));
}

TEST(RxPipeline, LineBreakModes)
{
    struct Case {
        int mode;
        std::vector<std::string> ticks; // bytes arriving before each tick
        std::vector<std::string> hex;
        std::vector<std::string> text;
    };
    const Case cases[] = {
        {kBreakOnCr,
         {"AB\r\nCD\r"},
         {Hex({0x41, 0x42, 0x0D}), Hex({0x0A, 0x43, 0x44, 0x0D}), ""},
         {"[IN ]  AB", "[IN ]  CD", ""}},
        {kBreakOnCrLf, {"AB\r\n"}, {Hex({0x41, 0x42, 0x0D, 0x0A}), ""}, {"[IN ]  AB", ""}},
        {kBreakOnCrLf, {"A\nB\r"}, {Hex({0x41, 0x0A, 0x42, 0x0D}), ""}, {"[IN ]  AB", ""}},
        {kBreakOnCrLf, {"\rX"}, {Hex({0x0D, 0x58})}, {"[IN ]  X"}},
        {kBreakOnCrLf, {"\r\r\nZ"}, {Hex({0x0D, 0x0D, 0x0A}), Hex({0x5A})}, {"[IN ]  ", "[IN ]  Z"}},
        // A CR and its LF in different ticks.
        {kBreakOnCrLf, {"A\r", "\nB"}, {Hex({0x41, 0x0D, 0x0A}), Hex({0x42})}, {"[IN ]  A", "[IN ]  B"}},
        {kBreakNone, {"A\r\nB\r\n"}, {Hex({0x41, 0x0D, 0x0A, 0x42, 0x0D, 0x0A})}, {"[IN ]  AB"}},
        {7, {"A\rB"}, {Hex({0x41, 0x0D, 0x42})}, {"[IN ]  AB"}},
        {kBreakNone, {"\r\n"}, {Hex({0x0D, 0x0A})}, {"[IN ]  "}},
        {kBreakOnCr, {"A", "B\r", "C"}, {Hex({0x41, 0x42, 0x0D}), Hex({0x43})}, {"[IN ]  AB", "[IN ]  C"}},
    };
    for (const auto &c : cases) {
        Fixture f;
        f.mode = c.mode;
        for (const auto &t : c.ticks)
            f.show(t);
        EXPECT_EQ(Lines(f.page[kPageHex]), c.hex) << "mode " << c.mode << " " << c.ticks[0];
        EXPECT_EQ(Lines(f.page[kPageText]), c.text) << "mode " << c.mode << " " << c.ticks[0];
    }
}

TEST(RxPipeline, AllPagesGetTheirCells)
{
    Fixture f;
    f.show(std::string("\x00\x1b A\x80", 5));
    EXPECT_EQ(f.page[kPageHex].line(0), "[IN ]   00   1B   20   41   80  ");
    EXPECT_EQ(f.page[kPageDec].line(0), "[IN ]     0   27   32   65  128 ");
    EXPECT_EQ(f.page[kPageChar].line(0), "[IN ]   _nu _ec      A  _sp");
    EXPECT_EQ(f.page[kPageText].line(0), "[IN ]  \x1b A\x80");
}

TEST(RxPipeline, ModeChangeKeepsAPendingCr)
{
    // The detector's memory outlives the mode: a CR seen in CR LF mode ends the line at the next
    // byte once the mode is CR.
    Fixture f;
    f.mode = kBreakOnCrLf;
    f.show("A\r");
    EXPECT_TRUE(f.rx.CrSeen());
    f.mode = kBreakOnCr;
    f.show("B");
    EXPECT_EQ(Lines(f.page[kPageHex]), (std::vector<std::string>{Hex({0x41, 0x0D, 0x42}), ""}));
    EXPECT_FALSE(f.rx.CrSeen());
}

TEST(RxPipeline, PauseClosesTheLineOnce)
{
    struct Case {
        std::uint32_t received;
        std::uint32_t ticks[3];
        int closedAt; // index of the tick that adds the empty line, -1 for none
    };
    const Case cases[] = {
        {1000, {1000, 1500, 1501}, 2},
        {1000, {1200, 1499, 1500}, -1},
        // The tick count wraps between the byte and the pause: 0x1F4 is 500, not yet a pause.
        {0xFFFFFF00u, {0xFFFFFF00u, 0x000000F4u, 0x000000F5u}, 2},
        {0xFFFFFFF0u, {0xFFFFFFF0u, 0x00000200u, 0x00000300u}, 1},
    };
    for (const auto &c : cases) {
        Fixture f;
        f.now = c.received;
        f.feed("AB");
        for (int t = 0; t < 3; ++t) {
            f.now = c.ticks[t];
            f.tick();
            const bool closed = f.page[kPageHex].count() == 2;
            EXPECT_EQ(closed, c.closedAt >= 0 && t >= c.closedAt) << std::hex << c.received << " tick " << t;
        }
        if (c.closedAt >= 0) {
            EXPECT_EQ(f.rx.LastRxTick(), 0u);
            EXPECT_EQ(Lines(f.page[kPageText]), (std::vector<std::string>{"[IN ]  AB", ""}));
            f.now += 100000; // further silence adds nothing
            f.tick();
            EXPECT_EQ(f.page[kPageHex].count(), 2);
        }
    }
}

TEST(RxPipeline, PauseSkipsEmptyLastLinesAndHiddenPages)
{
    Fixture f;
    f.mode = kBreakOnCr;
    f.set.visible[kPageDec] = false;
    f.show("A\rB");
    f.page[kPageText].replaceLast(""); // a page whose last line is already empty gets nothing
    f.now += 501;
    f.tick();
    EXPECT_EQ(f.page[kPageHex].count(), 3);
    EXPECT_EQ(f.page[kPageText].count(), 2);
    EXPECT_EQ(Lines(f.page[kPageDec]), std::vector<std::string>{""});
}

TEST(RxPipeline, NewIncomingLineAfterOutgoingLine)
{
    Fixture f;
    f.show("A");
    for (int i = 0; i < kPageCount; ++i)
        AppendOutLine(f.set, i, "xyz");
    f.show("B");
    EXPECT_EQ(Lines(f.page[kPageHex]), (std::vector<std::string>{Hex({0x41}), "[OUT]  xyz", Hex({0x42})}));
    EXPECT_EQ(Lines(f.page[kPageText]), (std::vector<std::string>{"[IN ]  A", "[OUT]  xyz", "[IN ]  B"}));
}

TEST(RxPipeline, TextCellsWithLineBreakContinueWithoutTag)
{
    // A string send of A B CR LF C D: the TEXT cells hold the bytes themselves.
    Fixture f;
    AppendOutLine(f.set, kPageHex, " 41   42   0D   0A   43   44  ");
    AppendOutLine(f.set, kPageText, "AB\r\nCD");
    f.show("EF");
    EXPECT_EQ(Lines(f.page[kPageText]), (std::vector<std::string>{"[OUT]  AB", "CDEF"}));
    EXPECT_EQ(Lines(f.page[kPageHex]),
              (std::vector<std::string>{"[OUT]   41   42   0D   0A   43   44  ", Hex({0x45, 0x46})}));
}

TEST(RxPipeline, ReceivedOutMarkStartsANewLine)
{
    // Whether the mark and the next byte come in one tick or two, the page ends the same, and
    // the bytes of the marked line are kept.
    const std::vector<std::vector<std::string>> splits = {{"ab[OUT]c"}, {"ab[OUT]", "c"}, {"ab[OU", "T]c"}};
    for (const auto &ticks : splits) {
        Fixture f;
        for (const auto &t : ticks)
            f.show(t);
        EXPECT_EQ(Lines(f.page[kPageText]), (std::vector<std::string>{"[IN ]  ab[OUT]", "[IN ]  c"}))
            << ticks.size();
        EXPECT_EQ(f.page[kPageHex].count(), 1);
    }
}

TEST(RxPipeline, HiddenPages)
{
    Fixture f;
    f.show("A");
    f.set.visible[kPageHex] = false;
    f.show("B");
    EXPECT_EQ(Lines(f.page[kPageHex]), std::vector<std::string>{Hex({0x41})});
    f.set.visible[kPageHex] = true;
    f.show("C");
    EXPECT_EQ(Lines(f.page[kPageHex]), std::vector<std::string>{Hex({0x41, 0x43})});
    EXPECT_EQ(Lines(f.page[kPageDec]), std::vector<std::string>{"[IN ]    65   66   67 "});

    // Every page hidden: the ring still drains and the counter shows 1.
    f.set.visible.assign(f.set.visible.size(), false);
    f.mode = kBreakOnCr;
    for (int i = 0; i < 20; ++i)
        f.feed("line\r");
    const auto r = f.tick();
    EXPECT_EQ(r.lineCount, 1);
    EXPECT_EQ(f.rx.waiting(), 0u);
    EXPECT_FALSE(r.pagesChanged);
    EXPECT_EQ(f.page[kPageHex].count(), 1);
}

TEST(RxPipeline, HiddenTextPageAndCrMode)
{
    Fixture f;
    f.mode = kBreakOnCr;
    f.set.visible[kPageText] = false;
    f.show("AB\rCD");
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(f.page[i].count(), 2) << i;
    EXPECT_EQ(f.page[kPageHex].line(1), Hex({0x43, 0x44}));
    EXPECT_EQ(Lines(f.page[kPageText]), std::vector<std::string>{""});
}

TEST(RxPipeline, RingOverflowBetweenTwoTicks)
{
    Fixture f;
    f.set.visible = {true, false, false, false};
    const std::string burst(48000, 'A');
    f.feed(burst);
    f.tick();
    EXPECT_EQ(f.page[kPageHex].count(), 1);
    EXPECT_EQ(f.page[kPageHex].line(0).size(), kInTag.size() + 5u * 47999u);
}

TEST(RxPipeline, LongLinesStayWhole)
{
    Fixture f;
    std::string expected(kInTag);
    for (int t = 0; t < 50; ++t) {
        std::string chunk(300, static_cast<char>('a' + t % 26));
        f.show(chunk);
        expected += chunk;
    }
    EXPECT_EQ(Lines(f.page[kPageText]), std::vector<std::string>{expected});
}

TEST(RxPipeline, CounterShowsHighestShownIndexPlusOne)
{
    Fixture f;
    f.mode = kBreakOnCr;
    EXPECT_EQ(f.tick().lineCount, 1);
    EXPECT_EQ(f.show("a\rb\rc\r").lineCount, 4);
    f.page[kPageDec].clear();
    f.set.visible[kPageHex] = false;
    f.page[kPageChar].clear();
    f.page[kPageText].clear();
    EXPECT_EQ(f.tick().lineCount, 1);
}

void Fill(Page &p, int lines)
{
    p.clear();
    for (int i = 0; i < lines - 1; ++i)
        p.add("[IN ]  old " + std::to_string(i));
    p.add(std::string());
}

TEST(RxLineLimit, SavesAndEmptiesAtTheNextCheck)
{
    // 5002 lines reached by lines added outside the tick: the next tick saves, even with nothing
    // received, and empties all four pages, hidden ones too.
    Fixture f;
    f.set.visible[kPageDec] = false;
    Fill(f.page[kPageHex], 5002);
    Fill(f.page[kPageDec], 10);
    const auto r = f.tick();
    EXPECT_EQ(f.saves, 1);
    EXPECT_EQ(f.savedCounts, std::vector<int>{5002});
    EXPECT_EQ(r.limitSave, TickResult::LimitSave::Saved);
    EXPECT_EQ(r.lineCount, 1);
    for (const auto &p : f.page)
        EXPECT_EQ(p.count(), 0);

    // 5001 lines are within the limit.
    Fixture g;
    Fill(g.page[kPageChar], 5001);
    g.tick();
    EXPECT_EQ(g.saves, 0);
    EXPECT_EQ(g.page[kPageChar].count(), 5001);
}

TEST(RxLineLimit, LineBuiltEarlierContinuesOnEmptiedPages)
{
    Fixture f;
    f.mode = kBreakOnCr;
    for (auto &p : f.page)
        Fill(p, 5001);
    const auto r = f.show("A\rBC");
    // The CR makes 5002 lines; the check before C (which sees the count from before B) saves.
    EXPECT_EQ(f.saves, 1);
    EXPECT_EQ(f.savedCounts, std::vector<int>{5002});
    EXPECT_EQ(r.lineCount, 1);
    EXPECT_EQ(Lines(f.page[kPageHex]), std::vector<std::string>{Hex({0x42, 0x43})});
    EXPECT_EQ(Lines(f.page[kPageText]), std::vector<std::string>{"[IN ]  BC"});

    // Otherwise the next byte starts a new incoming line on the emptied pages.
    Fixture g;
    for (auto &p : g.page)
        Fill(p, 5002);
    g.show("Z");
    EXPECT_EQ(Lines(g.page[kPageDec]), std::vector<std::string>{"[IN ]    90 "});
}

TEST(RxLineLimit, FailedSaveKeepsPagesReportsOnceAndRetriesLater)
{
    Fixture f;
    f.mode = kBreakOnCr;
    f.saveOk = false;
    Fill(f.page[kPageHex], 5002);
    auto r = f.show("A\r");
    EXPECT_EQ(f.saves, 1);
    EXPECT_EQ(r.limitSave, TickResult::LimitSave::Failed);
    EXPECT_TRUE(r.reportSaveFailure);
    EXPECT_EQ(r.saveError, "disk full");
    EXPECT_EQ(f.page[kPageHex].count(), 5003) << "nothing lost, the display goes on";
    EXPECT_EQ(f.page[kPageHex].line(5001), Hex({0x41, 0x0D}));

    // Later ticks neither retry nor report until the page has grown by another 5000 lines.
    for (int i = 0; i < 10; ++i) {
        r = f.show("B\r");
        EXPECT_EQ(r.limitSave, TickResult::LimitSave::None);
        EXPECT_FALSE(r.reportSaveFailure);
    }
    EXPECT_EQ(f.saves, 1);
    std::string many;
    for (int i = 0; i < 4990; ++i)
        many += "C\r";
    f.show(many);
    EXPECT_EQ(f.saves, 1);
    EXPECT_EQ(f.page[kPageHex].count(), 5003 + 10 + 4990);

    // The next attempt fails again: silent this time.
    r = f.show("D\rE\r");
    EXPECT_EQ(f.saves, 2);
    EXPECT_EQ(r.limitSave, TickResult::LimitSave::Failed);
    EXPECT_FALSE(r.reportSaveFailure);

    // Once the folder is writable again, the next limit saves and empties.
    f.saveOk = true;
    for (int i = 0; i < 5000; ++i)
        f.feed("F\r");
    r = f.tick();
    EXPECT_EQ(f.saves, 3);
    EXPECT_EQ(r.limitSave, TickResult::LimitSave::Saved);
    EXPECT_LT(f.page[kPageHex].count(), 5000);

    // And a later failure is reported again.
    f.saveOk = false;
    Fill(f.page[kPageHex], 5002);
    r = f.tick();
    EXPECT_TRUE(r.reportSaveFailure);
}

TEST(RxLineLimit, ClearAfterAFailureRestoresTheOrdinaryLimit)
{
    Fixture f;
    f.saveOk = false;
    Fill(f.page[kPageHex], 5002);
    f.tick();
    EXPECT_EQ(f.saves, 1);
    for (auto &p : f.page)
        p.clear(); // "ログクリア"
    f.tick();
    Fill(f.page[kPageHex], 5002);
    f.tick();
    EXPECT_EQ(f.saves, 2);
}

TEST(AppendOutLine, ThreeSteps)
{
    struct Case {
        std::vector<std::string> before;
        std::vector<std::string> after;
    };
    const Case cases[] = {
        {{}, {"[OUT]  x"}},
        {{""}, {"[OUT]  x"}},
        {{"a"}, {"a", "[OUT]  x"}},
        {{"a", ""}, {"a", "[OUT]  x"}},
        {{"a", " \t", "b"}, {"a", "b", "[OUT]  x"}},
        {{"a", " ", ""}, {"a", "[OUT]  x"}},
        {{"a", "", "", ""}, {"a", "", "[OUT]  x"}},
        {{"a", "b", " "}, {"a", "b", " ", "[OUT]  x"}},
    };
    for (const auto &c : cases) {
        Page p;
        for (const auto &l : c.before)
            p.add(l);
        AppendOutLine(p, "x");
        EXPECT_EQ(Lines(p), c.after) << c.before.size();
    }

    Page hidden;
    hidden.add("");
    Page other;
    PageSet set;
    set.page = {&hidden, &other, &other, &other};
    set.visible = {false, true, true, true};
    AppendOutLine(set, kPageHex, "x");
    EXPECT_EQ(Lines(hidden), std::vector<std::string>{""});
}

// The tick as a byte-by-byte sequence of steps, to check the run-wise pipeline against.
class ModelPipeline
{
  public:
    std::vector<std::uint8_t> ring = std::vector<std::uint8_t>(RxPipeline::kRingSize);
    int head = 0, tail = 0;
    std::uint32_t lastRx = 0;
    bool cr = false, lf = false;
    int limitAt = RxPipeline::kLineLimit;
    bool reported = false;

    void receive(std::string_view bytes, std::uint32_t now)
    {
        for (char c : bytes) {
            const int next = (head + 1) % RxPipeline::kRingSize;
            if (next != tail) {
                ring[head] = static_cast<std::uint8_t>(c);
                head = next;
            }
            lastRx = now;
        }
    }
    static int highest(const PageSet &s)
    {
        int m = 0;
        for (int i = 0; i < kPageCount; ++i)
            if (s.visible[i])
                m = std::max(m, s.page[i]->count() - 1);
        return m;
    }
    TickResult tick(std::uint32_t now, int mode, std::int32_t wait, const PageSet &s, const LimitSaver &save)
    {
        TickResult r;
        std::string cur[kPageCount];
        bool first = true;
        int m = highest(s);
        for (;;) {
            if (m > limitAt) {
                std::string error;
                if (save(error)) {
                    for (Page *p : s.page)
                        p->clear();
                    limitAt = RxPipeline::kLineLimit;
                    reported = false;
                    r.limitSave = TickResult::LimitSave::Saved;
                } else {
                    limitAt = m + RxPipeline::kLineLimit;
                    r.limitSave = TickResult::LimitSave::Failed;
                    if (!reported) {
                        reported = r.reportSaveFailure = true;
                        r.saveError = error;
                    }
                }
            } else if (m <= RxPipeline::kLineLimit) {
                limitAt = RxPipeline::kLineLimit;
            }
            m = highest(s);
            r.lineCount = m + 1;
            if (head == tail)
                break;
            const std::uint8_t b = ring[tail];
            tail = (tail + 1) % RxPipeline::kRingSize;
            if (first) {
                for (int i = 0; i < kPageCount; ++i)
                    if (s.visible[i])
                        cur[i] = s.page[i]->last();
                first = false;
            }
            for (int i = 0; i < kPageCount; ++i) {
                Page &p = *s.page[i];
                if (s.visible[i] && p.count() >= 3 && IsBlankLine(p.line(p.count() - 2)))
                    p.remove(p.count() - 2);
            }
            lastRx = now;
            bool pending = false;
            if (b == 0x0D)
                cr = true;
            if (b == 0x0A)
                lf = true;
            if (mode == kBreakOnCr) {
                pending = cr;
                cr = lf = false;
            } else if (mode == kBreakOnCrLf) {
                if (cr && b != 0x0D && b != 0x0A)
                    cr = lf = false;
                if (cr && lf) {
                    pending = true;
                    cr = lf = false;
                }
            } else {
                cr = lf = false;
            }
            for (int i = 0; i < kPageCount; ++i) {
                if (!s.visible[i])
                    continue;
                Page &p = *s.page[i];
                if (cur[i].find("[OUT]") != std::string::npos) {
                    p.replaceLast(cur[i]);
                    cur[i] = kInTag;
                    p.add(cur[i]);
                }
                if (cur[i].empty())
                    cur[i] = kInTag;
                cur[i] += RxCell(i, b);
                if (pending) {
                    p.replaceLast(cur[i]);
                    p.add("");
                    cur[i].clear();
                }
            }
        }
        for (int i = 0; i < kPageCount; ++i)
            if (s.visible[i] && !cur[i].empty())
                s.page[i]->replaceLast(cur[i]);
        if (lastRx != 0 && static_cast<std::int64_t>(static_cast<std::uint32_t>(now - lastRx)) > wait) {
            for (int i = 0; i < kPageCount; ++i)
                if (s.visible[i] && !s.page[i]->last().empty())
                    s.page[i]->add("");
            lastRx = 0;
        }
        return r;
    }
};

TEST(RxPipeline, MatchesByteByByteModelOnRandomTraffic)
{
    int limitSaves = 0, limitFailures = 0;
    const char alphabet[] = {'\r', '\n', '\r', '\n', '[', 'O', 'U', 'T', ']', ' ', 'A', '\0', '\x82', '\t'};
    for (unsigned seed = 1; seed <= 60; ++seed) {
        std::mt19937 rng(seed);
        auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
        std::array<Page, kPageCount> pa, pb;
        PageSet a, b;
        for (int i = 0; i < kPageCount; ++i) {
            a.page[i] = &pa[i];
            b.page[i] = &pb[i];
            a.visible[i] = b.visible[i] = true;
            const int lines = seed % 3 == 0 ? 4990 + pick(8) : 1;
            for (int k = 0; k < lines - 1; ++k) {
                pa[i].add("x");
                pb[i].add("x");
            }
            pa[i].add("");
            pb[i].add("");
        }
        RxPipeline rx;
        ModelPipeline model;
        std::uint32_t now = seed % 2 ? 0xFFFFF000u : 100u;
        int mode = pick(4);
        bool saveOk = true;
        std::vector<std::string> savedA, savedB;
        auto saver = [&saveOk](std::vector<std::string> &log, const PageSet &s) {
            return [&log, &s, &saveOk](std::string &error) {
                std::string snapshot;
                for (int i = 0; i < kPageCount; ++i)
                    if (s.visible[i])
                        snapshot += s.page[i]->fileText() + "|";
                log.push_back(snapshot);
                error = "e";
                return saveOk;
            };
        };
        const LimitSaver saveA = saver(savedA, a), saveB = saver(savedB, b);
        for (int op = 0; op < 300; ++op) {
            switch (pick(10)) {
            case 0:
                mode = pick(4);
                break;
            case 1: {
                const int i = pick(kPageCount);
                a.visible[i] = b.visible[i] = !a.visible[i];
                break;
            }
            case 2: {
                static const char *cells[] = {"x", "AB\r\nCD", "", "  ", "a\r\n\r\n", "[OUT]"};
                const char *c = cells[pick(6)];
                for (int i = 0; i < kPageCount; ++i) {
                    AppendOutLine(a, i, c);
                    AppendOutLine(b, i, c);
                }
                if (pick(2))
                    for (int i = 0; i < kPageCount; ++i)
                        if (a.visible[i]) {
                            pa[i].add("");
                            pb[i].add("");
                        }
                break;
            }
            case 3:
                saveOk = !saveOk;
                break;
            default: {
                std::string bytes;
                const int n = pick(4) == 0 ? pick(400) : pick(12);
                for (int k = 0; k < n; ++k)
                    bytes += alphabet[pick(sizeof alphabet)];
                rx.receive(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size(), now);
                model.receive(bytes, now);
                now += static_cast<std::uint32_t>(pick(3) == 0 ? 700 : 10);
                const TickResult ra = rx.tick(now, mode, 500, a, saveA);
                const TickResult rb = model.tick(now, mode, 500, b, saveB);
                ASSERT_EQ(ra.lineCount, rb.lineCount) << "seed " << seed << " op " << op;
                ASSERT_EQ(ra.limitSave, rb.limitSave) << "seed " << seed << " op " << op;
                ASSERT_EQ(ra.reportSaveFailure, rb.reportSaveFailure);
                limitSaves += ra.limitSave == TickResult::LimitSave::Saved;
                limitFailures += ra.limitSave == TickResult::LimitSave::Failed;
                break;
            }
            }
            for (int i = 0; i < kPageCount; ++i)
                ASSERT_EQ(FirstDifference(pa[i], pb[i]), -1)
                    << "seed " << seed << " op " << op << " page " << i;
            ASSERT_EQ(rx.CrSeen(), model.cr);
            ASSERT_EQ(rx.LfSeen(), model.lf);
            ASSERT_EQ(rx.LastRxTick(), model.lastRx);
            ASSERT_EQ(savedA, savedB) << "seed " << seed;
        }
    }
    // The traffic must have reached the limit both ways for the comparison to cover it.
    EXPECT_GT(limitSaves, 5);
    EXPECT_GT(limitFailures, 5);
}

} // namespace

// A line keeps the time at which its first byte was taken from the port, however many ticks it
// takes to show it; the tick's own clock plays no part.
TEST(RxPipelineTimes, LineKeepsTheTimeOfItsFirstByte)
{
    Fixture f;
    f.mode = kBreakOnCrLf;
    auto take = [&](std::string_view bytes, std::int64_t at) {
        f.rx.receive(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size(), f.now, at);
    };
    take("AB", 1000);
    take("C", 1500);
    f.tick();
    take("D\r\n", 2000); // the same line, one tick later
    take("E", 3000);
    f.now += 50;
    f.tick();
    take("F\r\nG", 4000); // a line ends and the next begins within one read
    f.tick();
    AppendOutLine(f.set, kPageHex, RxCell(kPageHex, 'x'), 5000);
    for (int i = 0; i < kPageCount; ++i) {
        const Page &p = f.page[i];
        ASSERT_EQ(p.count(), i == kPageHex ? 4 : 3) << i;
        EXPECT_EQ(p.time(0), 1000) << i;
        EXPECT_EQ(p.time(1), 3000) << i;
        EXPECT_EQ(p.time(2), 4000) << i;
    }
    EXPECT_EQ(f.page[kPageHex].time(3), 5000);
    EXPECT_EQ(f.page[kPageHex].line(0), Hex({'A', 'B', 'C', 'D', '\r', '\n'}));
}

// The cells of every page's table, as appended to a line, are the table's cells one after another: printable
// runs of every length, a control character or a byte from 0x80 at every place of a run, all 256 bytes, and
// random bytes.
TEST(RxCells, WrittenCellsAreTheTablesCells)
{
    std::vector<std::string> inputs;
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    inputs.push_back(all);
    for (std::size_t n = 0; n <= 70; ++n)
        inputs.push_back(all.substr(0x20 + n % 40, n) + all.substr(0x41, n));
    for (std::size_t at = 0; at < 48; ++at) {
        std::string run = all.substr(0x30, 48);
        run[at] = at % 2 == 0 ? '\r' : '\xA5';
        inputs.push_back(run);
    }
    std::mt19937 random(5);
    std::string noise(1000, '\0');
    for (char &c : noise)
        c = static_cast<char>(random());
    inputs.push_back(noise);

    for (int page = 0; page < kPageCount; ++page) {
        const RxCellTable &t = RxCells(page);
        for (const std::string &in : inputs) {
            std::string expected;
            for (const char c : in)
                expected += t.view(static_cast<std::uint8_t>(c));
            std::string made = "before";
            AppendRxCells(made, t, reinterpret_cast<const std::uint8_t *>(in.data()), in.size());
            ASSERT_EQ(made, "before" + expected) << "page " << page << ", " << in.size() << " bytes";
        }
    }
}
