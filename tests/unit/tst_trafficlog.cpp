// SPDX-License-Identifier: MIT
// The traffic log without a window: the lines the pipeline builds for it (whatever pages are
// shown, across the line limit), the file its writer makes of them, a writer that fails, and the
// texts of its times and file name.
#include "LogFlood.h"
#include "RxPipeline.h"
#include "TimeText.h"
#include "TrafficLog.h"

#include "FileIo.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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
    bool write(std::string_view text, std::string *error) override
    {
        if (m_kept.size() + text.size() > m_capacity) {
            *error = "cannot write log: No space left on device";
            return false;
        }
        m_kept.append(text);
        return true;
    }
    bool sync(std::string *) override { return true; }

  private:
    std::string &m_kept;
    const std::size_t m_capacity;
};

} // namespace

TEST_F(UtcTimes, TimeTextsAndFileName)
{
    EXPECT_EQ(ClockText(kSomeTime), "17:00:27.045");
    EXPECT_EQ(DateTimeText(kSomeTime), "2026-12-08 17:00:27.045");
    EXPECT_EQ(TrafficLogFileName(kSomeTime), "Quorvel_20261208_170027.log");
    EXPECT_EQ(DateTimeText(999), "1970-01-01 00:00:00.999");
}

// A line never gets an earlier time than the one before it, unless the clock was set back.
TEST(LineTimes, NeverBackButForAClockSetBack)
{
    struct Step {
        std::int64_t time, stamped;
    };
    const Step steps[] = {
        {kSomeTime, kSomeTime},
        {kSomeTime - 1, kSomeTime}, // two clocks read a millisecond apart
        {kSomeTime + 5, kSomeTime + 5},
        {kSomeTime - 4000, kSomeTime + 5},          // bytes that waited, shown after a send
        {kSomeTime - 3600000, kSomeTime - 3600000}, // the clock set back an hour
        {kSomeTime - 3599999, kSomeTime - 3599999},
    };
    LineTimes times;
    for (const Step &step : steps)
        EXPECT_EQ(times.stamp(step.time), step.stamped) << step.time - kSomeTime;
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
    TrafficRecorder recorder;
    rx.stream().subscribe(&recorder);
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
            log.submit(recorder.take());
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
// written as it stands when the log ends. A sent line the port refused is not a line of the log.
TEST_F(UtcTimes, SendEndsTheOpenLineAndKeepsTheOrder)
{
    TrafficStream stream;
    TrafficRecorder lines;
    stream.subscribe(&lines);
    std::string buffer;
    TrafficText text;
    const std::uint8_t ab[] = {'a', 'b'};
    EchoCells echo = NoEchoCells();
    echo[kPageHex] = " 78  ";
    echo[kPageChar] = "  x ";
    stream.received(ab, 1, kSomeTime);
    stream.received(ab + 1, 1, kSomeTime + 50); // the same line: its time stays
    stream.sent("x", kSomeTime + 1000, echo, true);
    stream.sent("y", kSomeTime + 1500, echo, false);
    stream.received(ab, 2, kSomeTime + 2001);
    EXPECT_TRUE(stream.openLine());
    text.add(lines.take(), buffer);
    EXPECT_EQ(buffer, "2026-12-08 17:00:27.045 [IN ]   61   62  |  a   b \r\n"
                      "2026-12-08 17:00:28.045 [OUT]   78  |  x \r\n");
    buffer.clear();
    stream.endLine();
    EXPECT_FALSE(stream.openLine());
    stream.received(ab + 1, 1, kSomeTime + 3000);
    text.add(lines.take(), buffer);
    EXPECT_EQ(buffer, "2026-12-08 17:00:29.046 [IN ]   61   62  |  a   b \r\n");
    buffer.clear();
    lines.record(*stream.openLine());
    // A comment (a script's log) is a line of its own, its line breaks blanks.
    lines.note(kSomeTime + 4000, "step 1\r\nok|");
    text.add(lines.take(), buffer);
    EXPECT_EQ(buffer, "2026-12-08 17:00:30.045 [IN ]   62  |  b \r\n"
                      "2026-12-08 17:00:31.045 # step 1  ok|\r\n");
    EXPECT_EQ(text.lines(), 5u);
}

// Lines of any length, a megabyte of text and more, come out whole.
TEST_F(UtcTimes, LongLinesAreWhole)
{
    for (const std::size_t n : {std::size_t(1), std::size_t(300001)}) {
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
        TrafficStream stream;
        TrafficRecorder lines;
        stream.subscribe(&lines);
        stream.received(reinterpret_cast<const std::uint8_t *>(bytes.data()), n, kSomeTime);
        stream.endLine();
        EchoCells echo = NoEchoCells();
        echo[kPageHex] = hex;
        echo[kPageChar] = chr;
        stream.sent(bytes, kSomeTime, echo, true);
        std::string buffer;
        TrafficText text;
        text.add(lines.take(), buffer);
        const std::string line = hex + "|" + chr + "\r\n";
        EXPECT_TRUE(buffer ==
                    "2026-12-08 17:00:27.045 [IN ]  " + line + "2026-12-08 17:00:27.045 [OUT]  " + line)
            << n << " bytes";
    }
}

// A write that fails stops the log: told once, nothing more written, nothing written rewritten.
TEST(TrafficLog, FailedWriteStopsTheLogOnce)
{
    auto records = [](const char *message) {
        TrafficRecorder lines;
        EchoCells echo = NoEchoCells();
        echo[kPageHex] = message;
        lines.record(CompletedLine{true, false, message, kSomeTime, &echo});
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

// A program killed in the middle of a flood leaves a log that is a beginning of its traffic, and
// no write of it ever went anywhere but after what was written before: the system calls on the
// file, as strace saw them, are plain appends whose bytes add up to the file.
TEST_F(UtcTimes, KilledInAFloodLeavesABeginningWrittenOnlyAtItsEnd)
{
    if (::access("/usr/bin/strace", X_OK) != 0)
        GTEST_SKIP() << "strace is not installed (scripts/deps.sh installs it)";
    TempDir dir;
    const std::string log = dir.file("flood.log");
    const std::string trace = dir.file("trace.txt");
    const pid_t strace = ::fork();
    if (strace == 0) {
        ::execl(
            "/usr/bin/strace", "strace", "-f", "-qq", "-y", "-o", trace.c_str(), "-e",
            "trace=openat,write,writev,pwrite64,pwritev,pwritev2,lseek,ftruncate,fallocate,copy_file_range",
            QUORVEL_LOG_FLOOD, log.c_str(), static_cast<char *>(nullptr));
        ::_exit(127);
    }
    ASSERT_GT(strace, 0);
    // Killed once a few megabytes are there.
    pid_t flood = 0;
    for (int i = 0; i < 3000; ++i) {
        struct stat st {
        };
        if (!flood)
            std::ifstream(log + ".pid") >> flood;
        if (flood && ::stat(log.c_str(), &st) == 0 && st.st_size > (4 << 20))
            break;
        ::usleep(10000);
    }
    if (flood > 0)
        ::kill(flood, SIGKILL);
    int status = 0;
    bool ended = false;
    for (int i = 0; i < 1000 && !ended; ++i) {
        ended = ::waitpid(strace, &status, WNOHANG) == strace;
        if (!ended)
            ::usleep(10000);
    }
    if (!ended) { // nothing is left running behind the test
        ::kill(strace, SIGKILL);
        ::waitpid(strace, &status, 0);
    }
    ASSERT_GT(flood, 0) << "log_flood did not start";
    ASSERT_TRUE(ended) << "strace did not end";

    const std::string text = platform::ReadWholeFile(log).value_or("");
    ASSERT_GT(text.size(), std::size_t(4) << 20);
    // The beginning of the text of the same lines, made here.
    std::string expected;
    {
        TrafficRecorder lines;
        TrafficText made;
        for (std::uint64_t i = 0; expected.size() < text.size(); ++i) {
            AddFloodLine(lines, i);
            made.add(lines.take(), expected);
        }
    }
    ASSERT_TRUE(expected.compare(0, text.size(), text) == 0) << "the log is not a beginning of the traffic";

    // Every call on the file is an append; their bytes are the file's. A write that the kill cut
    // short may have put some of its bytes there, or none.
    std::ifstream calls(trace);
    std::string call;
    std::uint64_t appended = 0;
    std::uint64_t unfinished = 0;
    std::map<std::string, std::uint64_t> waiting; // by thread: a write not yet returned, its count
    int writes = 0;
    const std::string file = "<" + log + ">";
    auto result = [&](const std::string &line, std::uint64_t asked) {
        const std::string value = line.substr(line.find_first_not_of(' ', line.rfind('=') + 1));
        if (value.empty() || value[0] == '?')
            unfinished += asked; // killed inside the call
        else if (value[0] != '-')
            appended += std::stoull(value); // "-1 E...": nothing written
    };
    auto asked = [](const std::string &line) {
        const std::size_t end = line.find_last_of("0123456789", line.rfind(')'));
        const std::size_t begin = line.find_last_not_of("0123456789", end) + 1;
        return std::stoull(line.substr(begin, end + 1 - begin));
    };
    while (std::getline(calls, call)) {
        const std::string pid = call.substr(0, call.find(' '));
        if (call.find(" resumed>") != std::string::npos) {
            if (const auto w = waiting.find(pid); w != waiting.end()) {
                result(call, w->second);
                waiting.erase(w);
            }
            continue;
        }
        if (call.find(file) == std::string::npos)
            continue;
        const std::size_t from = call.find_first_not_of(' ', pid.size()); // strace pads the number
        const std::string name = call.substr(from, call.find('(') - from);
        if (name == "openat") {
            EXPECT_NE(call.find("O_APPEND"), std::string::npos) << call;
            continue;
        }
        ASSERT_TRUE(name == "write" || name == "writev") << "not an append: " << call;
        ++writes;
        const std::size_t cut = call.find(" <unfinished ...>");
        if (cut != std::string::npos)
            waiting[pid] = std::stoull(call.substr(call.rfind(',', cut) + 1));
        else
            result(call, asked(call));
    }
    for (const auto &w : waiting)
        unfinished += w.second;
    EXPECT_GT(writes, 1);
    EXPECT_GE(text.size(), appended);
    EXPECT_LE(text.size(), appended + unfinished);
}
