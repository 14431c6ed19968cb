// SPDX-License-Identifier: MIT
#include "ScriptChannel.h"

#include <algorithm>
#include <utility>

void ScriptChannel::push(const std::uint8_t *bytes, std::size_t n)
{
    if (n == 0)
        return;
    {
        const std::lock_guard lock(m_mutex);
        if (n >= m_maxBytes) {
            m_dropped += m_inbox.size() + (n - m_maxBytes);
            m_inbox.assign(reinterpret_cast<const char *>(bytes) + (n - m_maxBytes), m_maxBytes);
        } else {
            m_inbox.append(reinterpret_cast<const char *>(bytes), n);
            if (m_inbox.size() > m_maxBytes) {
                const std::size_t excess = m_inbox.size() - m_maxBytes;
                m_inbox.erase(0, excess);
                m_dropped += excess;
            }
        }
    }
    m_changed.notify_all();
}

void ScriptChannel::wake(const std::function<void()> &change)
{
    {
        const std::lock_guard lock(m_mutex);
        change();
    }
    m_changed.notify_all();
}

void ScriptChannel::stop()
{
    {
        // Under the lock, so that a wait that has just looked at the flag is already waiting
        // when the notice comes.
        const std::lock_guard lock(m_mutex);
        m_stopped = true;
    }
    m_changed.notify_all();
}

bool ScriptChannel::waitUntil(const std::function<bool()> &ready, std::optional<Clock::time_point> deadline)
{
    std::unique_lock lock(m_mutex);
    const auto done = [&] { return m_stopped.load() || ready(); };
    if (deadline)
        m_changed.wait_until(lock, *deadline, done);
    else
        m_changed.wait(lock, done);
    return !m_stopped.load() && ready();
}

bool ScriptChannel::pull()
{
    if (m_inbox.empty())
        return false;
    if (m_buffer.empty())
        m_buffer.swap(m_inbox);
    else
        m_buffer.append(m_inbox);
    m_inbox.clear();
    if (m_buffer.size() > m_maxBytes) {
        const std::size_t excess = m_buffer.size() - m_maxBytes;
        m_buffer.erase(0, excess);
        m_dropped += excess;
        return true;
    }
    return false;
}

ScriptChannel::Found
ScriptChannel::waitFor(const std::function<bool(std::string &buffer, std::size_t from)> &match,
                       std::optional<Clock::time_point> deadline)
{
    std::size_t seen = 0;
    for (;;) {
        {
            const std::lock_guard lock(m_mutex);
            if (m_stopped)
                return Found::Stopped;
            if (pull())
                seen = 0;
        }
        if (match(m_buffer, std::min(seen, m_buffer.size())))
            return Found::Yes;
        seen = m_buffer.size();
        std::unique_lock lock(m_mutex);
        const auto more = [&] { return m_stopped.load() || !m_inbox.empty(); };
        if (deadline) {
            if (!m_changed.wait_until(lock, *deadline, more))
                return Found::TimedOut;
        } else {
            m_changed.wait(lock, more);
        }
    }
}

std::size_t ScriptChannel::takeDropped()
{
    const std::lock_guard lock(m_mutex);
    return std::exchange(m_dropped, 0);
}
