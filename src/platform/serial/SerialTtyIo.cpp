// SPDX-License-Identifier: MIT
// The tty back end's reader thread, and the transfers the serial core makes through it.
#include "SerialTtyDevice.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <poll.h>

namespace platform::tty
{

void TtyDevice::signalReader()
{
    if (m_readerWake < 0)
        return;
    const std::uint64_t one = 1;
    while (::write(m_readerWake, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void TtyDevice::takeCounts()
{
    ErrorCounts now;
    if (!readCounts(&now))
        return;
    DWORD events = 0, errors = 0;
    std::lock_guard in(m_inMutex);
    const ErrorCounts &was = m_counts;
    if (now.frame != was.frame)
        errors |= CE_FRAME;
    if (now.parity != was.parity)
        errors |= CE_RXPARITY;
    if (now.overrun != was.overrun)
        errors |= CE_OVERRUN;
    if (now.bufOverrun != was.bufOverrun)
        errors |= CE_RXOVER;
    if (errors)
        events |= EV_ERR;
    if (now.brk != was.brk) {
        errors |= CE_BREAK;
        events |= EV_BREAK;
    }
    m_counts = now;
    if (errors || events)
        noteArrival(events, errors);
}

long TtyDevice::fillQueue(bool *sawNul)
{
    // Reading happens outside the queue's lock, so that the reader of the port never waits for
    // a system call; a purge in between makes what was read belong to before the purge.
    thread_local std::uint8_t buffer[kTtyReadBufferBytes * 4];
    std::size_t room;
    std::uint64_t generation;
    {
        std::lock_guard in(m_inMutex);
        room = m_in.room();
        generation = m_purgeGeneration;
    }
    const std::size_t want = std::min(room, sizeof buffer);
    if (want == 0)
        return 0;
    ssize_t n;
    do
        n = ::read(m_fd, buffer, want);
    while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return 0;
    std::lock_guard in(m_inMutex);
    if (n <= 0) { // end of file or an error on a tty: the other side hung up, the device went
        m_hungUp = true;
        noteHangUp(n == 0 ? ERROR_DEVICE_REMOVED : ErrorFromErrno(errno));
        return -1;
    }
    *sawNul = std::memchr(buffer, 0, static_cast<std::size_t>(n)) != nullptr;
    if (generation == m_purgeGeneration) {
        m_in.push(buffer, static_cast<std::size_t>(n));
        m_arrivedTotal += static_cast<std::uint64_t>(n);
        m_arrivals.arrived(m_arrivedTotal, NowMs());
        if (m_in.room() == 0)
            m_readerStalled = true;
        noteArrival(EV_RXCHAR, 0);
    }
    return static_cast<long>(n);
}

void TtyDevice::readerLoop()
{
    std::int64_t countsDue = -1; // when the driver's counters are read next (-1: no need)
    bool gather = false;
    bool slow = false;
    for (;;) {
        auto lock = use();
        if (!lock)
            return;
        bool stalled, hungUp;
        {
            std::lock_guard in(m_inMutex);
            stalled = m_readerStalled;
            hungUp = m_hungUp;
        }
        std::int64_t now = NowMs();
        if (countsDue >= 0 && now >= countsDue) {
            takeCounts();
            countsDue = -1;
        }
        // Level-triggered: the device is watched only while its bytes have somewhere to go, and
        // never after a hang-up, which would report itself for ever.
        const bool watch = !stalled && !hungUp && !gather;
        int timeout = -1;
        if (gather)
            timeout = kGatherMs;
        if (countsDue >= 0)
            timeout = timeout < 0 ? RemainingMs(countsDue) : std::min(timeout, RemainingMs(countsDue));
        pollfd fds[2] = {{watch ? m_fd : -1, POLLIN, 0}, {m_readerWake, POLLIN, 0}};
        const auto pollStart = std::chrono::steady_clock::now();
        const int r = ::poll(fds, 2, timeout);
        const bool waited = std::chrono::steady_clock::now() - pollStart >= kSlowSourceWait;
        if (r < 0 && errno != EINTR)
            return; // cannot wait: leaving is better than spinning
        if (fds[1].revents) {
            std::uint64_t v;
            while (::read(m_readerWake, &v, sizeof v) < 0 && errno == EINTR) {
            }
        }
        if (gather && r == 0)
            gather = false;
        if (!watch || !(fds[0].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        bool sawNul = false;
        const long n = fillQueue(&sawNul);
        if (n <= 0)
            continue;
        if (!m_noCounters) {
            const std::int64_t due = NowMs() + (sawNul ? kCountsAfterNulMs : kCountsAfterBytesMs);
            countsDue = countsDue < 0 ? due : std::min(countsDue, due);
        }
        // Only a slow source is given time to gather: in a flood the next bytes are already on
        // their way, and a pause would only slow the reading down. A source is slow once it kept
        // the reader waiting, and stays so while what gathered fills less than a flood's read.
        slow = (slow || waited) && static_cast<std::size_t>(n) < kFloodReadBytes;
        gather = slow;
    }
}

long TtyDevice::readSome(BYTE *buffer, DWORD count)
{
    std::lock_guard in(m_inMutex);
    const std::size_t n = m_in.pop(buffer, count);
    if (m_readerStalled && m_in.room() >= kResumeRoomBytes) {
        m_readerStalled = false;
        signalReader();
    }
    return static_cast<long>(n);
}

long TtyDevice::writeSome(const BYTE *buffer, DWORD count)
{
    for (;;) {
        const ssize_t n = ::write(m_fd, buffer, count);
        if (n >= 0)
            return static_cast<long>(n);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        SetLastError(ErrorFromErrno(errno));
        return -1;
    }
}

} // namespace platform::tty
