// SPDX-License-Identifier: MIT
// A worker thread's message queue (PostThreadMessageA / WaitMessage / PeekMessageA): messages of
// a number and two parameters, posted from any thread, taken by the one owning thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

namespace platform
{

struct ThreadMessage {
    std::uint32_t message = 0;
    std::uintptr_t wParam = 0;
    std::intptr_t lParam = 0;
};

class ThreadQueue
{
  public:
    // Fails (false) once the queue is closed: the owning thread has ended and nobody will take
    // the message, so the poster keeps ownership of what the message carries.
    bool Post(const ThreadMessage &msg)
    {
        {
            std::lock_guard lock(m_mutex);
            if (m_closed)
                return false;
            m_messages.push_back(msg);
        }
        m_cv.notify_one();
        return true;
    }

    // Blocks until at least one message is waiting.
    void WaitMessage()
    {
        std::unique_lock lock(m_mutex);
        m_cv.wait(lock, [this] { return !m_messages.empty(); });
    }

    std::optional<ThreadMessage> PeekMessage()
    {
        std::lock_guard lock(m_mutex);
        if (m_messages.empty())
            return std::nullopt;
        ThreadMessage msg = m_messages.front();
        m_messages.pop_front();
        return msg;
    }

    // Refuses further posts and hands back whatever was still queued, for the owner to release.
    std::deque<ThreadMessage> Close()
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
        return std::exchange(m_messages, {});
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<ThreadMessage> m_messages;
    bool m_closed = false;
};

} // namespace platform
