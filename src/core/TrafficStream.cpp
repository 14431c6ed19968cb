// SPDX-License-Identifier: MIT
#include "TrafficStream.h"

#include <algorithm>

namespace core
{

void TrafficStream::subscribe(TrafficListener *listener)
{
    if (std::find(m_listeners.begin(), m_listeners.end(), listener) == m_listeners.end())
        m_listeners.push_back(listener);
}

void TrafficStream::unsubscribe(TrafficListener *listener)
{
    m_listeners.erase(std::remove(m_listeners.begin(), m_listeners.end(), listener), m_listeners.end());
    // Nobody to give the open line to: its bytes are not kept for nothing.
    if (m_listeners.empty()) {
        m_bytes = std::string();
        m_kept = false;
    }
}

void TrafficStream::taken(const std::uint8_t *bytes, std::size_t n, std::int64_t time)
{
    if (n == 0)
        return;
    for (TrafficListener *l : m_listeners)
        l->bytesTaken(bytes, n, time);
}

void TrafficStream::received(const std::uint8_t *bytes, std::size_t n, std::int64_t time)
{
    if (n == 0)
        return;
    if (!m_open) {
        m_open = true;
        m_openTime = time;
        m_bytes.clear();
        m_kept = !m_listeners.empty();
    }
    if (m_kept)
        m_bytes.append(reinterpret_cast<const char *>(bytes), n);
}

void TrafficStream::endLine()
{
    if (!m_open)
        return;
    m_open = false;
    if (m_kept) {
        const CompletedLine line{false, false, m_bytes, m_openTime, nullptr};
        for (TrafficListener *l : m_listeners)
            l->lineCompleted(line);
    }
    m_bytes.clear();
}

void TrafficStream::sent(std::string_view bytes, std::int64_t time, const EchoCells &echo, bool accepted)
{
    endLine();
    const CompletedLine line{true, !accepted, bytes, time, &echo};
    for (TrafficListener *l : m_listeners)
        l->lineCompleted(line);
}

std::optional<CompletedLine> TrafficStream::openLine() const
{
    if (!m_open || !m_kept)
        return std::nullopt;
    return CompletedLine{false, false, m_bytes, m_openTime, nullptr};
}

} // namespace core
