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

constexpr std::size_t kHugePage = std::size_t(2) << 20;
// Below this a buffer grows as any other, from the heap.
constexpr std::size_t kHugeFrom = std::size_t(1) << 20;

} // namespace

void ByteBuffer::Free::operator()(char *p) const
{
    std::free(p);
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
    char *p = nullptr;
    if (capacity >= kHugeFrom) {
        if (capacity > SIZE_MAX - kHugePage)
            throw std::bad_alloc();
        capacity = (capacity + kHugePage - 1) / kHugePage * kHugePage;
        p = static_cast<char *>(std::aligned_alloc(kHugePage, capacity));
        if (p)
            ::madvise(p, capacity, MADV_HUGEPAGE); // a hint: without it, small pages
    } else {
        p = static_cast<char *>(std::malloc(capacity));
    }
    if (!p)
        throw std::bad_alloc();
    if (m_size != 0)
        std::memcpy(p, m_data.get(), m_size);
    m_data.reset(p);
    m_capacity = capacity;
}

} // namespace platform
