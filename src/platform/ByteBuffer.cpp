// SPDX-License-Identifier: MIT
#include "ByteBuffer.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <sys/mman.h>
#include <utility>

namespace platform
{
namespace
{

// Below this a buffer grows as any other, from the heap.
constexpr std::size_t kHugeFrom = std::size_t(1) << 20;

} // namespace

void FreeBytes::operator()(char *p) const
{
    std::free(p);
}

BytesPtr AllocateHugePages(std::size_t n)
{
    BytesPtr p(static_cast<char *>(std::aligned_alloc(kHugePage, n)));
    if (p)
        ::madvise(p.get(), n, MADV_HUGEPAGE); // a hint: without it, small pages
    return p;
}

ByteBuffer::ByteBuffer(ByteBuffer &&other) noexcept
    : m_data(std::move(other.m_data)), m_size(std::exchange(other.m_size, 0)),
      m_capacity(std::exchange(other.m_capacity, 0))
{
}

ByteBuffer &ByteBuffer::operator=(ByteBuffer &&other) noexcept
{
    if (this != &other) {
        m_data = std::move(other.m_data);
        m_size = std::exchange(other.m_size, 0);
        m_capacity = std::exchange(other.m_capacity, 0);
    }
    return *this;
}

void ByteBuffer::grow(std::size_t need)
{
    if (need < m_size) // the sum overflowed
        throw std::bad_alloc();
    std::size_t capacity = std::max({need, m_capacity + m_capacity / 2, std::size_t(256)});
    BytesPtr p;
    if (capacity >= kHugeFrom) {
        if (capacity > SIZE_MAX - kHugePage)
            throw std::bad_alloc();
        capacity = (capacity + kHugePage - 1) / kHugePage * kHugePage;
        p = AllocateHugePages(capacity);
    } else {
        p.reset(static_cast<char *>(std::malloc(capacity)));
    }
    if (!p)
        throw std::bad_alloc();
    if (m_size != 0)
        std::memcpy(p.get(), m_data.get(), m_size);
    m_data = std::move(p);
    m_capacity = capacity;
}

} // namespace platform
