// SPDX-License-Identifier: MIT
// The automatic save at the line limit, done by a thread of its own so that a flood, which
// reaches the limit many times a second, never waits for the disk on the display's tick. The
// window hands over the lines it takes out of the pages.
//
// Each save replaces the files of the last one, so only the latest matters: the saver keeps one
// slot, the save still to be written. A save handed over while the slot is full takes its place,
// with the pages it does not save itself taken from the one it replaces: the files end up as they
// would have had every save been written, and the display never waits for the disk. Saves begin
// at most kMinInterval apart: a save costs the same however many lines came since the last one,
// so in a flood it is a cost per second, and files replaced a moment later need not be written
// more often than a person could open them. A save that fails keeps its lines in the slot
// (unless newer ones for the same page came meanwhile) and is tried again kRetryAfter later,
// until it is written or the window drops it ("ログクリア" is final, a save by hand supersedes
// it). The failure is told once until a save succeeds again.
//
// Threads: the user-interface thread may wait for this worker (waitIdle, before a save of its
// own); the worker never waits for anybody.
#pragma once

#include "PageFiles.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
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
    };

    static constexpr std::chrono::milliseconds kMinInterval{1000};
    static constexpr std::chrono::milliseconds kRetryAfter{1000};

    using SaveFunction = std::function<PageSaveResult(const std::string &folder, const PageLines &lines)>;
    static PageSaveResult SaveStandardPages(const std::string &folder, const PageLines &lines)
    {
        return SavePageLines(folder, lines);
    }
    // One flag per page of the table.
    using PageMask = std::vector<bool>;

    // `save` writes the files (in tests: a save that waits or fails on purpose).
    explicit PageSaver(SaveFunction save = SaveStandardPages);
    // Tries once more what still waits, then ends the worker.
    ~PageSaver();
    PageSaver(const PageSaver &) = delete;
    PageSaver &operator=(const PageSaver &) = delete;

    void submit(Job job);
    // Forgets the lines waiting for the pages in `pages`, also those of a save being written
    // should it fail.
    void drop(const PageMask &pages);
    // Returns when what was handed over is written, or its last try failed; the next try goes at
    // once, without waiting out the interval.
    void waitIdle();
    // "path: reason" of the first failed save since the last success, once.
    std::optional<std::string> takeFailure();

  private:
    void run();
    bool slotEmpty() const; // under m_mutex

    const SaveFunction m_save;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    Job m_slot;                         // under m_mutex, as are the fields below
    std::vector<std::uint64_t> m_drops; // per page, how often it was dropped
    bool m_busy = false;
    bool m_stop = false;
    bool m_lastFailed = false;
    bool m_failureTold = false; // since the last success
    std::uint64_t m_tries = 0;
    bool m_tryNow = false; // asked by waitIdle: the next try goes at once
    std::chrono::steady_clock::time_point m_lastStart;
    std::optional<std::string> m_failure;
    std::thread m_worker;
};

} // namespace core
