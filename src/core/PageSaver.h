// SPDX-License-Identifier: MIT
// The automatic save at the line limit, done by a thread of its own so that a flood, which
// reaches the limit many times a second, never waits for the disk on the display's tick. The
// window hands over the lines it takes out of the pages; the files are written in the order the
// saves were asked for.
//
// Each save replaces the files of the last one. A flood reaches the limit dozens of times a
// second, far more often than anybody can look at the files, and writing them all would keep the
// disk busy with little else. Saves therefore begin at most kMinInterval apart, and a save still
// waiting is not written but replaced by the next one, which then takes along the pages it does
// not save itself: the files end up as they would have, and the display never waits for the
// disk. A save that fails gives its lines back, with those of the save it replaced and every save
// asked for after it, so that the window can put them back on the pages. (Lines of saves replaced
// before that one are not kept: had the disk worked, the files would have held them only until
// the next save.)
//
// Threads: the user-interface thread may wait for this worker (an idle worker before a save of
// its own); the worker never waits for anybody.
#pragma once

#include "PageFiles.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace core
{

class PageSaver
{
  public:
    struct Job {
        std::string folder;
        PageLines lines;
        // The lines' times, which the files do not hold: they go back with the lines of a failed
        // save.
        std::array<std::vector<std::int64_t>, kPageCount> times;
    };
    struct Failure {
        std::string error;     // "path: reason" of the file that could not be written
        std::vector<Job> jobs; // not written, oldest first
    };

    static constexpr std::chrono::milliseconds kMinInterval{100};

    using SaveFunction = std::function<PageSaveResult(const std::string &folder, const PageLines &lines)>;

    // `save` writes the files (in tests: a save that waits or fails on purpose).
    explicit PageSaver(SaveFunction save = SavePageLines);
    // Writes what is still waiting, then ends the worker.
    ~PageSaver();
    PageSaver(const PageSaver &) = delete;
    PageSaver &operator=(const PageSaver &) = delete;

    void submit(Job job);
    // Returns when every save asked for so far is written (or given back), without waiting out
    // the interval.
    void waitIdle();
    // The failed save and those after it, once; the saver then writes again.
    std::optional<Failure> takeFailure();

  private:
    // A save waiting, with the one it replaced: the files hold neither until it is written.
    struct Waiting {
        Job job;
        std::optional<Job> replaced;
    };

    void run();

    const SaveFunction m_save;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Waiting> m_queue; // under m_mutex
    bool m_busy = false;
    bool m_stop = false;
    int m_idleWaiters = 0; // in waitIdle: the next save goes at once
    std::chrono::steady_clock::time_point m_lastStart;
    std::optional<Failure> m_failure;
    std::thread m_worker;
};

} // namespace core
