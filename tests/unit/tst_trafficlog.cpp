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

// Fails every write after the first `good` ones; keeps what it was given before.
class FailingOutput : public TrafficLog::Output
{
  public:
    FailingOutput(std::string &kept, int &writes, int good) : m_kept(kept), m_writes(writes), m_good(good) {}
    bool write(std::string_view bytes, std::string *error) override
    {
        if (++m_writes > m_good) {
            *error = "cannot write log: No space left on device";
            return false;
        }
        m_kept.append(bytes);
        return true;
    }
    bool sync(std::string *) override { return true; }

  private:
    std::string &m_kept;
    int &m_writes;
    const int m_good;
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
    TrafficText text;
    const std::uint8_t ab[] = {'a', 'b'};
    lines.received(ab, 1, kSomeTime);
    lines.received(ab + 1, 1, kSomeTime + 50); // the same line: its time stays
    lines.sent(kSomeTime + 1000, " 78  ", "  x ");
    lines.received(ab, 2, kSomeTime + 2001);
    EXPECT_TRUE(lines.lineOpen());
    text.add(lines.take());
    EXPECT_EQ(text.text(), "2026-12-08 17:00:27.045 [IN ]   61   62  |  a   b \r\n"
                           "2026-12-08 17:00:28.045 [OUT]   78  |  x \r\n");
    text.clearText();
    lines.endLine();
    EXPECT_FALSE(lines.lineOpen());
    lines.received(ab + 1, 1, kSomeTime + 3000);
    text.add(lines.take());
    EXPECT_EQ(text.text(), "2026-12-08 17:00:29.046 [IN ]   61   62  |  a   b \r\n");
    text.clearText();
    text.finish();
    EXPECT_EQ(text.text(), "2026-12-08 17:00:30.045 [IN ]   62  |  b \r\n");
    EXPECT_EQ(text.lines(), 4u);
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
    int writes = 0;
    TrafficLog log(std::make_unique<FailingOutput>(kept, writes, 1));
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
    EXPECT_EQ(writes, 2);
    EXPECT_EQ(kept, first);
}
