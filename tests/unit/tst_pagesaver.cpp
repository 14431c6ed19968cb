// SPDX-License-Identifier: MIT
// The save at the line limit while the disk is behind: saves that wait are replaced by newer ones
// instead of holding up the display, the files end up as they would have, and a failure gives
// back what the files do not hold.
#include "PageSaver.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

using namespace core;

namespace
{

// Holds the first save until released; fails the saves from the `failFrom`-th on.
class SlowDisk
{
  public:
    explicit SlowDisk(int failFrom) : m_failFrom(failFrom) {}
    PageSaveResult save(const PageLines &lines)
    {
        std::unique_lock lock(m_mutex);
        const int call = ++m_calls;
        m_changed.notify_all();
        m_changed.wait(lock, [&] { return m_released; });
        if (call >= m_failFrom)
            return PageSaveResult{false, 0, "HEX.txt", "No space left on device"};
        m_saved.push_back(lines);
        return {};
    }
    void waitForCall()
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return m_calls > 0; });
    }
    void release()
    {
        std::lock_guard lock(m_mutex);
        m_released = true;
        m_changed.notify_all();
    }
    std::vector<PageLines> saved()
    {
        std::lock_guard lock(m_mutex);
        return m_saved;
    }

  private:
    const int m_failFrom;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_calls = 0;
    bool m_released = false;
    std::vector<PageLines> m_saved;
};

// A save of `pages`, each page holding one line that names the save.
PageSaver::Job Save(const std::string &name, std::initializer_list<int> pages)
{
    PageSaver::Job job{"folder", {}, {}};
    for (int i : pages) {
        job.lines[i] = std::vector<std::string>{name};
        job.times[i] = {0};
    }
    return job;
}

// Per page, the names of the saves whose lines it holds, oldest first ("-" for none).
std::vector<std::string> Names(const std::vector<PageLines> &saves)
{
    std::vector<std::string> names(kPageCount);
    for (int i = 0; i < kPageCount; ++i) {
        for (const PageLines &lines : saves)
            if (lines[i])
                for (const std::string &line : *lines[i])
                    names[i] += line;
        if (names[i].empty())
            names[i] = "-";
    }
    return names;
}

struct Case {
    const char *name;
    int failFrom;
    std::vector<std::string> written; // per page, after the first save
    std::vector<std::string> givenBack;
};

class PageSaverBehind : public ::testing::TestWithParam<Case>
{
};

// While the first save is held, three more come: the last one is written in their place, with
// the pages it does not save itself taken from the earlier ones.
TEST_P(PageSaverBehind, WaitingSavesAreReplaced)
{
    const Case &c = GetParam();
    SlowDisk disk(c.failFrom);
    std::optional<PageSaver::Failure> failure;
    {
        PageSaver saver([&](const std::string &, const PageLines &lines) { return disk.save(lines); });
        saver.submit(Save("1", {0, 1, 2, 3}));
        disk.waitForCall();
        saver.submit(Save("2", {0, 1, 2, 3}));
        saver.submit(Save("3", {0}));
        saver.submit(Save("4", {0, 1}));
        disk.release();
        saver.waitIdle();
        failure = saver.takeFailure();
    }
    std::vector<PageLines> written = disk.saved();
    ASSERT_FALSE(written.empty());
    EXPECT_EQ(Names({written.front()}), (std::vector<std::string>{"1", "1", "1", "1"}));
    written.erase(written.begin());
    EXPECT_EQ(Names(written), c.written);
    std::vector<PageLines> givenBack;
    if (failure)
        for (const PageSaver::Job &job : failure->jobs)
            givenBack.push_back(job.lines);
    EXPECT_EQ(Names(givenBack), c.givenBack);
}

INSTANTIATE_TEST_SUITE_P(Saves, PageSaverBehind,
                         ::testing::Values(Case{"written", 100, {"4", "4", "2", "2"}, {"-", "-", "-", "-"}},
                                           // The failed save comes back with the one it replaced last.
                                           Case{"failed", 2, {"-", "-", "-", "-"}, {"34", "24", "2", "2"}}),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
