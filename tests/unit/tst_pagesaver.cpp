// SPDX-License-Identifier: MIT
// The save at the line limit while the disk is behind: saves that wait are replaced by newer ones
// instead of holding up the display, the files end up as they would have, and a failed save
// waits for the next try until it is written or dropped.
#include "PageSaver.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

using namespace core;

namespace
{

// Holds the first save until released; fails while `failing` is set.
class SlowDisk
{
  public:
    PageSaveResult save(const PageLines &lines)
    {
        std::unique_lock lock(m_mutex);
        ++m_calls;
        m_changed.notify_all();
        m_changed.wait(lock, [&] { return m_released; });
        if (m_failing)
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
    void setFailing(bool failing)
    {
        std::lock_guard lock(m_mutex);
        m_failing = failing;
    }
    std::vector<PageLines> saved()
    {
        std::lock_guard lock(m_mutex);
        return m_saved;
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_calls = 0;
    bool m_released = false;
    bool m_failing = false;
    std::vector<PageLines> m_saved;
};

// A save of `pages`, each page holding one line that names the save.
PageSaver::Job Save(const std::string &name, std::initializer_list<int> pages)
{
    PageSaver::Job job{"folder", NoPageLines()};
    for (int i : pages)
        job.lines[i] = std::vector<std::string>{name};
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

using Names4 = std::vector<std::string>;

} // namespace

// While the first save is held, three more come: the last one is written in their place, with
// the pages it does not save itself taken from the earlier ones.
TEST(PageSaver, WaitingSavesAreReplaced)
{
    SlowDisk disk;
    PageSaver saver([&](const std::string &, const PageLines &lines) { return disk.save(lines); });
    saver.submit(Save("1", {0, 1, 2, 3}));
    disk.waitForCall();
    saver.submit(Save("2", {0, 1, 2, 3}));
    saver.submit(Save("3", {0}));
    saver.submit(Save("4", {0, 1}));
    disk.release();
    saver.waitIdle();
    const std::vector<PageLines> written = disk.saved();
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(Names({written[0]}), (Names4{"1", "1", "1", "1"}));
    EXPECT_EQ(Names({written[1]}), (Names4{"4", "4", "2", "2"}));
    EXPECT_FALSE(saver.takeFailure());
}

// A failed save keeps its lines for the next try, told once; newer lines of a page replace them
// and a dropped page loses them; once the disk works the rest is written, once.
TEST(PageSaver, FailedSaveWaitsUntilWrittenOrDropped)
{
    SlowDisk disk;
    disk.release();
    disk.setFailing(true);
    PageSaver saver([&](const std::string &, const PageLines &lines) { return disk.save(lines); });
    saver.submit(Save("1", {0, 1, 2, 3}));
    saver.waitIdle();
    EXPECT_EQ(saver.takeFailure(), std::optional<std::string>("HEX.txt: No space left on device"));
    saver.submit(Save("2", {0}));
    saver.waitIdle();
    EXPECT_FALSE(saver.takeFailure()); // told once until a save succeeds
    saver.drop(PageSaver::PageMask{false, true, false, false});

    disk.setFailing(false);
    saver.waitIdle();
    saver.waitIdle();
    const std::vector<PageLines> written = disk.saved();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(Names(written), (Names4{"2", "-", "1", "1"}));
    EXPECT_FALSE(saver.takeFailure());
}
