// SPDX-License-Identifier: MIT
// A bounded first-in first-out store of bytes: a driver's input queue. Not locked; its owner
// guards it. The memory is taken once, untouched until bytes are written, so a large bound costs
// resident memory only when a flood really fills it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace platform
{

class ByteQueue
{
  public:
    explicit ByteQueue(std::size_t capacity) : m_bytes(new std::uint8_t[capacity]), m_capacity(capacity) {}

    std::size_t size() const { return m_size; }
    std::size_t room() const { return m_capacity - m_size; }
    std::size_t capacity() const { return m_capacity; }
    void clear() { m_head = m_size = 0; }

    // Stores as much of the bytes as there is room for; returns how many.
    std::size_t push(const std::uint8_t *data, std::size_t n)
    {
        n = std::min(n, room());
        std::size_t tail = (m_head + m_size) % m_capacity;
        const std::size_t first = std::min(n, m_capacity - tail);
        std::memcpy(m_bytes.get() + tail, data, first);
        std::memcpy(m_bytes.get(), data + first, n - first);
        m_size += n;
        return n;
    }

    // Takes up to n of the oldest bytes; returns how many.
    std::size_t pop(std::uint8_t *data, std::size_t n)
    {
        n = std::min(n, m_size);
        const std::size_t first = std::min(n, m_capacity - m_head);
        std::memcpy(data, m_bytes.get() + m_head, first);
        std::memcpy(data + first, m_bytes.get(), n - first);
        m_head = (m_head + n) % m_capacity;
        m_size -= n;
        if (m_size == 0)
            m_head = 0;
        return n;
    }

  private:
    std::unique_ptr<std::uint8_t[]> m_bytes;
    std::size_t m_capacity;
    std::size_t m_head = 0;
    std::size_t m_size = 0;
};

} // namespace platform
