// SPDX-License-Identifier: MIT
#include "Event.h"

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <unistd.h>

namespace platform
{

Event::Event(bool manualReset, bool initiallySignalled)
    : m_fd(::eventfd(initiallySignalled ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK)), m_manualReset(manualReset)
{
    if (m_fd < 0)
        throw std::runtime_error("eventfd failed");
}

Event::~Event()
{
    ::close(m_fd);
}

void Event::Set()
{
    // The counter only ever says "signalled"; adding 1 to an already signalled event changes
    // nothing a waiter can see.
    const std::uint64_t one = 1;
    while (::write(m_fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void Event::Reset()
{
    std::uint64_t value;
    while (::read(m_fd, &value, sizeof value) < 0 && errno == EINTR) {
    }
}

bool Event::TryWait()
{
    if (m_manualReset) {
        pollfd p{m_fd, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0;
    }
    std::uint64_t value;
    for (;;) {
        if (::read(m_fd, &value, sizeof value) == sizeof value)
            return true;
        if (errno != EINTR)
            return false;
    }
}

bool Event::Wait(int timeoutMs)
{
    for (;;) {
        pollfd p{m_fd, POLLIN, 0};
        const int r = ::poll(&p, 1, timeoutMs);
        if (r < 0 && errno == EINTR)
            continue; // a signal is no reason to give up the wait (time-outs are short here)
        if (r <= 0)
            return false;
        if (m_manualReset || TryWait())
            return true;
        // Another waiter took the signal of this auto-reset event: wait again.
    }
}

} // namespace platform
