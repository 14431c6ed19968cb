// SPDX-License-Identifier: MIT
// The traffic log's writer: a thread of its own makes the text of the recorded traffic
// (TrafficRecorder, TrafficText) and appends it to the log file in whole lines, so that the display
// never waits for the disk; another thread flushes the file to the disk at most a second after a
// write. The file only grows: every write goes after what was written before it.
//
// A write or flush that fails stops the log for good: what waits and what comes afterwards is
// dropped, and the failure is reported once (takeFailure). The terminal goes on without it.
//
// Threads: the user-interface thread hands records over and never waits for the disk: a backlog
// that grows too large is reported (backlogFull), and the window then stops taking bytes from the
// port until the writer catches up. Only close() waits, and only for a few seconds: a writer held
// up longer by a stalled disk is left to finish on its own, with what it still had lost. The two
// workers never wait for anybody but each other's state.
#pragma once

#include "AppendFile.h"
#include "TrafficRecorder.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace core
{

class TrafficLog
{
  public:
    // Where the text goes: the log file, or in tests an output that fails or holds on purpose.
    // write runs on the writer's thread, sync on the flush thread, possibly at the same time.
    class Output
    {
      public:
        virtual ~Output() = default;
        // Appends whole lines.
        virtual bool write(std::string_view text, std::string *error) = 0;
        // What was written, to the disk.
        virtual bool sync(std::string *error) = 0;
    };
    static std::unique_ptr<Output> FileOutput(platform::AppendFile file);

    static constexpr std::chrono::milliseconds kFlushEvery{1000};
    // How long close() gives a writer that still has something to write.
    static constexpr std::chrono::milliseconds kCloseGrace{3000};
    // Bytes of records that may wait for the writer before the backlog counts as full (their text
    // is about ten times as much): a few seconds of a flood.
    static constexpr std::size_t kMaxPending = std::size_t(16) << 20;

    explicit TrafficLog(std::unique_ptr<Output> output, std::size_t maxPending = kMaxPending);
    ~TrafficLog();
    TrafficLog(const TrafficLog &) = delete;
    TrafficLog &operator=(const TrafficLog &) = delete;

    // Records from TrafficRecorder::take. Never waits.
    void submit(std::string records);
    // A written buffer to fill again, when there is one (empty, its memory kept): a flood hands
    // over megabytes a tick, and fresh memory for each costs more than filling it.
    std::string spare();
    // So many records wait, with `notYetSubmitted` more on the way, that no more should be made
    // until the writer catches up.
    bool backlogFull(std::size_t notYetSubmitted = 0) const;
    // Returns when the lines completed by everything handed over so far are written (or dropped
    // after a failure). Tests only: it waits for the disk.
    void waitWritten();
    // Writes what still waits, flushes the file and ends the workers. False when the writer did not finish
    // within `grace`: it is then left to end on its own and what it had not written is lost. Nothing may be
    // handed over after it.
    bool close(std::chrono::milliseconds grace = kCloseGrace);
    // Why the log stopped, once.
    std::optional<std::string> takeFailure();
    bool failed() const;

  private:
    struct State;
    static void Write(const std::shared_ptr<State> &state);
    static void Flush(const std::shared_ptr<State> &state);

    std::shared_ptr<State> m_state; // shared with the workers, which may outlive this object
    std::thread m_writer;
    std::thread m_flusher;
    bool m_closedInTime = true;
};

} // namespace core
