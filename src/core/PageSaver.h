// SPDX-License-Identifier: MIT
// The automatic save at the line limit, done by a thread of its own so that a flood, which
// reaches the limit many times a second, never waits for the disk on the display's tick. The
// window hands over the lines it takes out of the pages; the files are written in the order the
// saves were asked for. A save that fails gives its lines back, with every save asked for after
// it, so that the window can put them back on the pages: nothing is lost.
//
// Threads: the user-interface thread may wait for this worker (room in the queue, an idle
// worker before a save of its own); the worker never waits for anybody.
#pragma once

#include "PageFiles.h"

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
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

    // At most `maxPending` saves wait; a further one waits for room.
    explicit PageSaver(std::size_t maxPending = 2);
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
    void run();

    const std::size_t m_maxPending;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Job> m_queue; // under m_mutex
    bool m_busy = false;
    bool m_stop = false;
    std::optional<Failure> m_failure;
    std::thread m_worker;
};

} // namespace core
