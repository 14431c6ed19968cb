// SPDX-License-Identifier: MIT
// The automatic save at the line limit, done by a thread of its own so that a flood, which
// reaches the limit many times a second, never waits for the disk on the display's tick. The
// window hands over the lines it takes out of the pages; the files are written in the order the
// saves were asked for.
//
// Each save replaces the files of the last one. When the disk falls behind (a flood, a busy
// disk) a save still waiting is therefore not written but replaced by the next one, which then
// takes along the pages it does not save itself: the files end up as they would have, and the
// display never waits for the disk. A save that fails gives its lines back, with those of the
// save it replaced and every save asked for after it, so that the window can put them back on
// the pages. (Lines of saves replaced before that one are not kept: had the disk worked, the
// files would have held them only until the next save.)
//
// Threads: the user-interface thread may wait for this worker (an idle worker before a save of
// its own); the worker never waits for anybody.
#pragma once

#include "PageFiles.h"

#include <array>
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

    using SaveFunction = std::function<PageSaveResult(const std::string &folder, const PageLines &lines)>;

    // `save` writes the files (in tests: a save that waits or fails on purpose).
    explicit PageSaver(SaveFunction save = SavePageLines);
    // Writes what is still waiting, then ends the worker.
    ~PageSaver();
    PageSaver(const PageSaver &) = delete;
    PageSaver &operator=(const PageSaver &) = delete;

    void submit(Job job);
    // Returns when every save asked for so far is written (or given back).
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
    std::optional<Failure> m_failure;
    std::thread m_worker;
};

} // namespace core
