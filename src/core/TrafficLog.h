// SPDX-License-Identifier: MIT
// The traffic log's writer: a thread of its own formats the completed lines and appends them to
// the log file, one line each: "YYYY-MM-DD HH:MM:SS.mmm", a blank, the direction tag, the HEX
// cells, "|", the CHAR cells, CR LF (CP932 like the page files; the cells are ASCII). The display
// thus never waits for the disk. The file is flushed to the disk at least once a second while
// lines come. Each line is written once, at the file's end: nothing
// already written is written again.
//
// A write or flush that fails stops the log for good: what waits and what comes afterwards is
// dropped, and the failure is reported once (takeFailure). The terminal goes on without it.
//
// Threads: the user-interface thread hands lines over and may wait for room (when the disk falls
// far behind) or for everything to be written; the worker never waits for anybody.
#pragma once

#include "TrafficLines.h"

#include "AppendFile.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace core
{

class TrafficLog
{
  public:
    // Where the lines go: the log file, or in tests an output that fails on purpose.
    class Output
    {
      public:
        virtual ~Output() = default;
        virtual bool write(const std::string_view *pieces, std::size_t count, std::string *error) = 0;
        virtual bool sync(std::string *error) = 0;
    };
    static std::unique_ptr<Output> FileOutput(platform::AppendFile file);

    static constexpr std::chrono::milliseconds kFlushEvery{1000};

    // `maxPending`: bytes of cells that may wait for the disk before a hand-over waits for room.
    explicit TrafficLog(std::unique_ptr<Output> output, std::size_t maxPending = 64u << 20);
    // Writes what still waits, flushes the file and ends the worker.
    ~TrafficLog();
    TrafficLog(const TrafficLog &) = delete;
    TrafficLog &operator=(const TrafficLog &) = delete;

    void submit(std::vector<TrafficRecord> records);
    // Returns when every line handed over so far is written (or dropped after a failure).
    void waitWritten();
    // Why the log stopped, once.
    std::optional<std::string> takeFailure();
    bool failed() const;
    unsigned long long linesWritten() const;

  private:
    void run();
    bool writeBatch(const std::vector<TrafficRecord> &batch, std::string &error);

    const std::size_t m_maxPending;
    std::unique_ptr<Output> m_output; // the worker's alone

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<TrafficRecord> m_queue; // under m_mutex, as are the fields below
    std::size_t m_pendingBytes = 0;
    bool m_busy = false;
    bool m_stop = false;
    bool m_failed = false;
    std::optional<std::string> m_failure;
    unsigned long long m_written = 0;
    std::thread m_worker;

    // The worker's cache of the date and time down to the second: a flood writes thousands of
    // lines a second, and the local time of each is worked out once per second only.
    std::int64_t m_cachedSecond = -1;
    std::string m_cachedText;
};

} // namespace core
