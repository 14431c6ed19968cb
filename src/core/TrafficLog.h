// SPDX-License-Identifier: MIT
// The traffic log's writer: a thread of its own makes the text of the recorded traffic
// (TrafficLines, TrafficText) straight into the log file's buffer, so that the display never
// waits for the disk. It writes the text into the file at most a second after making it, and
// another thread then flushes the file to the disk. The file only grows: nothing already written
// changes.
//
// A write or flush that fails stops the log for good: what waits and what comes afterwards is
// dropped, and the failure is reported once (takeFailure). The terminal goes on without it.
//
// Threads: the user-interface thread hands lines over and may wait for room (when the disk falls
// far behind) or for everything to be written; the two workers never wait for anybody.
#pragma once

#include "AppendFile.h"
#include "TrafficLines.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
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
    // Where the text goes: the log file, or in tests an output that fails on purpose. The
    // writer's thread fills it (TextSink) and writes it out; syncData runs on the flush thread,
    // possibly at the same time.
    class Output : public TextSink
    {
      public:
        // Everything committed so far into the file.
        virtual bool writeOut(std::string *error) = 0;
        // What is in the file to the disk.
        virtual bool syncData(std::string *error) = 0;
        // True, with the reason, once anything failed: making room may fail without telling.
        virtual bool failed(std::string *error) = 0;
    };
    static std::unique_ptr<Output> FileOutput(platform::AppendFile file);

    static constexpr std::chrono::milliseconds kFlushEvery{1000};

    // `maxPending`: bytes of records that may wait before a hand-over waits for room (their text
    // is about ten times as much).
    explicit TrafficLog(std::unique_ptr<Output> output, std::size_t maxPending = 16u << 20);
    ~TrafficLog();
    TrafficLog(const TrafficLog &) = delete;
    TrafficLog &operator=(const TrafficLog &) = delete;

    // Records from TrafficLines::take.
    void submit(platform::ByteBuffer records);
    // A written buffer to fill again, when there is one (empty, its memory kept): a flood hands
    // over megabytes a tick, and fresh memory for each costs more than filling it.
    platform::ByteBuffer spare();
    // Returns when the lines completed by everything handed over so far are written (or dropped
    // after a failure); the output may still hold some of it back until its next flush.
    void waitWritten();
    // Writes what still waits, with a line still open as it stands, flushes the file and ends the
    // workers; a failure on the way is taken with takeFailure afterwards. Nothing may be handed
    // over after it.
    void close();
    // Why the log stopped, once.
    std::optional<std::string> takeFailure();
    bool failed() const;

  private:
    void run();
    void syncToDisk();
    void fail(const std::string &error); // under m_mutex

    const std::size_t m_maxPending;
    std::unique_ptr<Output> m_output; // the worker's alone

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<platform::ByteBuffer> m_queue; // under m_mutex, as are the fields below
    std::vector<platform::ByteBuffer> m_spares;
    std::size_t m_spareBytes = 0; // their capacity
    std::size_t m_pendingBytes = 0;
    bool m_busy = false;
    bool m_stop = false;
    bool m_written = false;  // the writer has ended: the last flush follows
    bool m_unsynced = false; // written out since the last flush
    bool m_failed = false;
    std::optional<std::string> m_failure;
    std::thread m_worker;
    std::thread m_syncer;
};

} // namespace core
