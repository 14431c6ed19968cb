// SPDX-License-Identifier: MIT
// What the session's thread and a script's thread share: the bytes received since the script
// started, and the wake-ups. The session side hands in each run of received bytes as the traffic
// stream reports it and never waits for the script; the script side waits for what it needs (a
// match, a count, a line, the end of a pause, the answer to a call it handed to the session) and
// is woken at once by new bytes, by an answer and by a stop.
//
// The bytes are bounded: a script that does not read while the device talks keeps only the latest
// kMaxBytes; the older ones are dropped, counted, and the script side is told how many (it says so
// in the log). Once stopped, a channel stays stopped: every wait returns at once.
//
// Threads: push, wake and stop from any thread (the session's); the waits and takeDropped from the
// script's only.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

class ScriptChannel
{
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kMaxBytes = std::size_t(1) << 20;

    explicit ScriptChannel(std::size_t maxBytes = kMaxBytes) : m_maxBytes(maxBytes) {}

    // The session side.
    void push(const std::uint8_t *bytes, std::size_t n);
    // Runs `change` under the lock (the answer to a call, say) and wakes the waits.
    void wake(const std::function<void()> &change);
    void stop();
    bool stopped() const { return m_stopped.load(std::memory_order_relaxed); }

    // The script side. Waits until `ready` (run under the lock: quick, no Lua) says yes, the
    // deadline passes (none: no limit) or the channel stops. True when ready.
    bool waitUntil(const std::function<bool()> &ready, std::optional<Clock::time_point> deadline);
    enum class Found { Yes, TimedOut, Stopped };
    // Waits until `match` finds what it looks for in the received bytes and takes it from them. It
    // runs without the lock, on the script's buffer, first at once and then each time more bytes
    // came; `from` is where the bytes it has not seen yet begin (0 after older bytes were dropped).
    Found waitFor(const std::function<bool(std::string &buffer, std::size_t from)> &match,
                  std::optional<Clock::time_point> deadline);
    // Bytes dropped since the last call.
    std::size_t takeDropped();

  private:
    // The script side, with the lock held. True when older bytes of the buffer were dropped.
    bool pull();

    const std::size_t m_maxBytes;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::atomic<bool> m_stopped{false};
    std::string m_inbox;       // under m_mutex: what came since the script last looked
    std::size_t m_dropped = 0; // under m_mutex
    std::string m_buffer;      // the script's own
};
