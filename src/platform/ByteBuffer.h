// SPDX-License-Identifier: MIT
// A growable run of bytes for the megabytes one thread fills and another reads: the traffic log's
// records, handed over every tick. Past a megabyte its memory is taken in whole huge pages where
// the system has them. Fresh memory is faulted in page by page as it is first written, and in a
// flood the display's thread fills a dozen such buffers before the writer hands any back: one
// fault per two megabytes instead of one per four kilobytes.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace platform
{

// Frees memory from malloc or AllocateHugePages.
struct FreeBytes {
    void operator()(char *p) const;
};
using BytesPtr = std::unique_ptr<char[], FreeBytes>;

constexpr std::size_t kHugePage = std::size_t(2) << 20;
// n bytes, a multiple of kHugePage, in whole huge pages where the system has them (else in small
// ones); null when there is not that much memory.
BytesPtr AllocateHugePages(std::size_t n);

class ByteBuffer
{
  public:
    ByteBuffer() = default;
    ByteBuffer(ByteBuffer &&other) noexcept;
    ByteBuffer &operator=(ByteBuffer &&other) noexcept;
    ByteBuffer(const ByteBuffer &) = delete;
    ByteBuffer &operator=(const ByteBuffer &) = delete;
    ~ByteBuffer() = default;

    char *data() { return m_data.get(); }
    const char *data() const { return m_data.get(); }
    std::size_t size() const { return m_size; }
    std::size_t capacity() const { return m_capacity; }
    bool empty() const { return m_size == 0; }
    std::string_view view() const { return {m_data.get(), m_size}; }
    operator std::string_view() const { return view(); } // NOLINT(google-explicit-constructor)

    // Empty, its memory kept.
    void clear() { m_size = 0; }
    void reserve(std::size_t n)
    {
        if (n > m_capacity)
            grow(n);
    }
    // n more bytes at the end, to be written there.
    char *extend(std::size_t n)
    {
        if (m_capacity - m_size < n)
            grow(m_size + n);
        char *p = m_data.get() + m_size;
        m_size += n;
        return p;
    }
    void append(const void *p, std::size_t n)
    {
        if (n != 0)
            std::memcpy(extend(n), p, n);
    }
    void push_back(char c) { *extend(1) = c; }

  private:
    void grow(std::size_t need);

    BytesPtr m_data;
    std::size_t m_size = 0;
    std::size_t m_capacity = 0;
};

} // namespace platform
