// SPDX-License-Identifier: MIT
// The traffic log without a window: the lines the pipeline builds for it (whatever pages are
// shown, across the line limit), the file its writer makes of them, a writer that fails, and the
// texts of its times and file name.
#include "RxPipeline.h"
#include "TimeText.h"
#include "TrafficLog.h"

#include "FileIo.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

using namespace core;

namespace
{

// 2026-12-08 17:00:27.045 UTC.
constexpr std::int64_t kSomeTime = 1796749227045;

class UtcTimes : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

std::vector<std::string> SplitCrLf(const std::string &text)
{
    std::vector<std::string> lines;
    std::size_t from = 0;
    for (std::size_t at; (at = text.find("\r\n", from)) != std::string::npos; from = at + 2)
        lines.push_back(text.substr(from, at - from));
    EXPECT_EQ(from, text.size()) << "text after the last CR LF";
    return lines;
}

std::string NumberedLine(int i)
{
    char text[16];
    std::snprintf(text, sizeof text, "#%06d\r\n", i);
    return text;
}

// A disk with room for `capacity` bytes: what fits is kept, the rest fails as a full disk does.
class FullDisk : public TrafficLog::Output
{
  public:
    FullDisk(std::string &kept, std::size_t capacity) : m_kept(kept), m_capacity(capacity) {}
    char *room(std::size_t n) override
    {
        m_room.resize(n);
        return m_room.data();
    }
    void commit(std::size_t n) override
    {
        if (m_kept.size() + n > m_capacity)
            m_full = true;
        if (!m_full)
            m_kept.append(m_room, 0, n);
    }
    bool writeOut(std::string *error) override { return !failed(error); }
    bool syncData(std::string *) override { return true; }
    bool failed(std::string *error) override
    {
        if (m_full)
            *error = "cannot write log: No space left on device";
        return m_full;
    }

  private:
    std::string &m_kept;
    const std::size_t m_capacity;
    std::string m_room;
    bool m_full = false;
};

} // namespace

TEST_F(UtcTimes, TimeTextsAndFileName)
{
    EXPECT_EQ(ClockText(kSomeTime), "17:00:27.045");
    EXPECT_EQ(DateTimeText(kSomeTime), "2026-12-08 17:00:27.045");
    EXPECT_EQ(TrafficLogFileName(kSomeTime), "Quorvel_20261208_170027.log");
    EXPECT_EQ(DateTimeText(999), "1970-01-01 00:00:00.999");
}

// Many times 5000 lines with only the TEXT page shown: the pages are emptied at the limit again
// and again, the log holds every line, with the HEX and CHAR cells of pages nobody looks at.
TEST_F(UtcTimes, FloodOfManyLineLimitsIsLoggedWhole)
{
    constexpr int kLines = 6 * RxPipeline::kLineLimit + 123;
    std::array<Page, kPageCount> pages;
    PageSet set;
    for (int i = 0; i < kPageCount; ++i) {
        set.page[i] = &pages[i];
        set.visible[i] = i == kPageText;
        pages[i].add(std::string());
    }
    RxPipeline rx;
    rx.setLogging(true);
    TempDir dir;
    const std::string path = dir.file(TrafficLogFileName(kSomeTime));
    int limits = 0;
    {
        platform::AppendFile file;
        ASSERT_TRUE(file.create(path));
        TrafficLog log(TrafficLog::FileOutput(std::move(file)));
        std::string pending;
        std::uint32_t now = 1;
        std::int64_t takenAt = kSomeTime;
        for (int i = 0; i < kLines; ++i) {
            pending += NumberedLine(i);
            if (pending.size() < 40000 && i + 1 < kLines)
                continue;
            rx.receive(reinterpret_cast<const std::uint8_t *>(pending.data()), pending.size(), now, takenAt);
            takenAt += 1000;
            pending.clear();
            const TickResult r = rx.tick(now++, kBreakOnCrLf, 500, set, [](std::string &) { return true; });
            limits += r.limitSave == TickResult::LimitSave::Saved ? 1 : 0;
            log.submit(rx.traffic().take());
        }
    }
    EXPECT_EQ(limits, 6);

    const std::optional<std::string> text = platform::ReadWholeFile(path);
    ASSERT_TRUE(text);
    const std::vector<std::string> lines = SplitCrLf(*text);
    ASSERT_EQ(lines.size(), std::size_t(kLines));
    EXPECT_EQ(lines.front(), "2026-12-08 17:00:27.045 [IN ]   23   30   30   30   30   30   30   0D   0A  |"
                             "  #   0   0   0   0   0   0  _cr _lf");
    EXPECT_EQ(lines.back().substr(24), "[IN ]   23   30   33   30   31   32   32   0D   0A  |"
                                       "  #   0   3   0   1   2   2  _cr _lf");
    for (int i = 0; i < kLines; ++i) {
        const std::string digits = NumberedLine(i).substr(1, 6);
        std::string cells;
        for (char c : digits)
            cells += std::string("  ") + c + ' ';
        ASSERT_EQ(lines[std::size_t(i)].substr(lines[std::size_t(i)].find('|') + 5, 24), cells) << i;
    }
}

// Records cut at any hand-over make the same lines; a line still open waits for its end, or is
// written as it stands when the log ends.
TEST_F(UtcTimes, SendEndsTheOpenLineAndKeepsTheOrder)
{
    TrafficLines lines;
    TextBuffer buffer;
    TrafficText text(buffer);
    const std::uint8_t ab[] = {'a', 'b'};
    lines.received(ab, 1, kSomeTime);
    lines.received(ab + 1, 1, kSomeTime + 50); // the same line: its time stays
    lines.sent(kSomeTime + 1000, " 78  ", "  x ");
    lines.received(ab, 2, kSomeTime + 2001);
    EXPECT_TRUE(lines.lineOpen());
    text.add(lines.take());
    EXPECT_EQ(buffer.text(), "2026-12-08 17:00:27.045 [IN ]   61   62  |  a   b \r\n"
                             "2026-12-08 17:00:28.045 [OUT]   78  |  x \r\n");
    buffer.clear();
    lines.endLine();
    EXPECT_FALSE(lines.lineOpen());
    lines.received(ab + 1, 1, kSomeTime + 3000);
    text.add(lines.take());
    EXPECT_EQ(buffer.text(), "2026-12-08 17:00:29.046 [IN ]   61   62  |  a   b \r\n");
    buffer.clear();
    text.finish();
    EXPECT_EQ(buffer.text(), "2026-12-08 17:00:30.045 [IN ]   62  |  b \r\n");
    EXPECT_EQ(text.lines(), 4u);
}

// Lines whose text is larger than the most the sink gives at once are put in pieces; the text is
// the same as if it had been put at once.
TEST_F(UtcTimes, LinesLargerThanOnePieceAreWhole)
{
    for (const std::size_t n : {std::size_t(1), TextSink::kMaxRoom / 9, std::size_t(300001)}) {
        std::string bytes(n, '\0');
        std::string hex;
        std::string chr;
        for (std::size_t i = 0; i < n; ++i) {
            bytes[i] = static_cast<char>('A' + i % 26);
            char cell[8];
            std::snprintf(cell, sizeof cell, " %02X  ", static_cast<unsigned>(bytes[i]));
            hex += cell;
            chr += std::string("  ") + bytes[i] + ' ';
        }
        TrafficLines lines;
        lines.received(reinterpret_cast<const std::uint8_t *>(bytes.data()), n, kSomeTime);
        lines.endLine();
        lines.sent(kSomeTime, hex, chr);
        TextBuffer buffer;
        TrafficText text(buffer);
        text.add(lines.take());
        const std::string line = hex + "|" + chr + "\r\n";
        EXPECT_TRUE(buffer.text() ==
                    "2026-12-08 17:00:27.045 [IN ]  " + line + "2026-12-08 17:00:27.045 [OUT]  " + line)
            << n << " bytes";
    }
}

// A write that fails stops the log: told once, nothing more written, nothing written rewritten.
TEST(TrafficLog, FailedWriteStopsTheLogOnce)
{
    auto records = [](const char *message) {
        TrafficLines lines;
        lines.sent(kSomeTime, message, "");
        return lines.take();
    };
    std::string kept;
    TrafficLog log(std::make_unique<FullDisk>(kept, 60));
    log.submit(records("first"));
    log.waitWritten();
    EXPECT_NE(kept.find("[OUT]  first|\r\n"), std::string::npos) << kept;
    const std::string first = kept;

    log.submit(records("second"));
    log.waitWritten();
    EXPECT_TRUE(log.failed());
    const std::optional<std::string> failure = log.takeFailure();
    ASSERT_TRUE(failure);
    EXPECT_NE(failure->find("No space left on device"), std::string::npos);
    EXPECT_FALSE(log.takeFailure());

    log.submit(records("third"));
    log.waitWritten();
    log.close();
    EXPECT_FALSE(log.takeFailure());
    EXPECT_EQ(kept, first);
}
