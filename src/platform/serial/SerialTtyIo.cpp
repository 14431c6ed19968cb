// SPDX-License-Identifier: MIT
// The tty back end's waiting half: line-event waits and the emulated overlapped reads and writes.
#include "Event.h"
#include "SerialTtyDevice.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <poll.h>
#include <sys/ioctl.h>

namespace platform::tty
{

const ThreadWaker &ThisThreadWaker()
{
    thread_local ThreadWaker waker;
    return waker;
}

TtyDevice::Registration::Registration(TtyDevice &device) : m_device(device), m_waker(ThisThreadWaker())
{
    std::lock_guard lock(m_device.m_waitMutex);
    m_device.m_waiters.push_back(m_waker.fd());
}

TtyDevice::Registration::~Registration()
{
    {
        std::lock_guard lock(m_device.m_waitMutex);
        auto &w = m_device.m_waiters;
        const auto it = std::find(w.begin(), w.end(), m_waker.fd());
        if (it != w.end())
            w.erase(it);
    }
    m_waker.drain(); // a signal that came too late for this wait must not end the next one
}

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
    m_pendingErrors |= errors;
    m_pendingEvents |= events;
    if (events)
        wakeWaiters();
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
        m_hangUpError = n == 0 ? ERROR_DEVICE_REMOVED : ErrorFromErrno(errno);
        wakeWaiters();
        return -1;
    }
    *sawNul = std::memchr(buffer, 0, static_cast<std::size_t>(n)) != nullptr;
    if (generation == m_purgeGeneration) {
        m_in.push(buffer, static_cast<std::size_t>(n));
        m_arrivedTotal += static_cast<std::uint64_t>(n);
        m_arrivals.arrived(m_arrivedTotal, NowMs());
        if (m_in.room() == 0)
            m_readerStalled = true;
        wakeWaiters();
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
    if (count == 0)
        return 0;
    std::lock_guard in(m_inMutex);
    const std::size_t n = m_in.pop(buffer, count);
    if (n == 0 && m_hungUp) {
        SetLastError(m_hangUpError);
        return -1;
    }
    if (m_readerStalled && m_in.room() >= kResumeRoomBytes) {
        m_readerStalled = false;
        signalReader();
    }
    return static_cast<long>(n);
}

long TtyDevice::writeSome(const BYTE *buffer, DWORD count)
{
    if (count == 0)
        return 0;
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

bool TtyDevice::waitCommEvent(DWORD *mask, Event &wake)
{
    *mask = 0;
    auto lock = use();
    if (Closed(lock))
        return false;
    Registration registration(*this);
    if (registration.fd() < 0) // out of descriptors: a wait nobody could end is worse than none
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    for (;;) {
        if (m_closed.load())
            return Fail(ERROR_INVALID_HANDLE);
        const DWORD want = m_mask.load();
        if (want == 0)
            return Fail(ERROR_INVALID_PARAMETER);

        // Everything comes from what the reader thread saw: no system call per look.
        DWORD events = 0;
        bool hungUp;
        DWORD hangUpError;
        {
            std::lock_guard in(m_inMutex);
            events = m_pendingEvents;
            m_pendingEvents = 0;
            if (m_arrivedTotal > m_reportedTotal)
                events |= EV_RXCHAR;
            m_reportedTotal = m_arrivedTotal;
            hungUp = m_hungUp;
            hangUpError = m_hangUpError;
        }
        events &= want;
        if (events) {
            *mask = events;
            return true;
        }
        if (hungUp) // waiting would only spin
            return Fail(hangUpError);

        pollfd fds[2] = {
            {registration.fd(), POLLIN, 0},
            {wake.pollDescriptor(), POLLIN, 0},
        };
        const int r = ::poll(fds, 2, -1);
        if (r < 0 && errno != EINTR)
            return FailErrno(errno);
        if (r <= 0)
            continue;
        if (fds[0].revents) {
            registration.drain();
            continue; // new bytes or events, closed, purged or a new mask: look again
        }
        if (fds[1].revents && wake.TryWait())
            return true; // *mask stays 0
    }
}

bool TtyDevice::readEndsOnFirstByte() const
{
    std::lock_guard lock(m_stateMutex);
    return ReadRuleFor(m_timeouts, 0).endOnFirstByte;
}

bool TtyDevice::finish(OVERLAPPED *ov, DWORD *transferred, bool ok, DWORD error)
{
    ov->op = OVERLAPPED::Op::None;
    *transferred = ov->transferred;
    return ok ? true : Fail(error);
}

bool TtyDevice::readFile(void *buffer, DWORD count, DWORD *read, OVERLAPPED *ov)
{
    auto lock = use();
    if (Closed(lock))
        return false;
    ov->op = OVERLAPPED::Op::None;
    ov->transferred = 0;
    if (count == 0)
        return true;
    COMMTIMEOUTS t;
    {
        std::lock_guard state(m_stateMutex);
        t = m_timeouts;
    }
    const long n = readSome(static_cast<BYTE *>(buffer), count);
    if (n < 0)
        return false;
    const ReadRule rule = ReadRuleFor(t, count);
    if (rule.returnAtOnce || static_cast<DWORD>(n) == count || (n > 0 && rule.endOnFirstByte)) {
        *read = static_cast<DWORD>(n);
        return true;
    }
    const std::uint64_t total = rule.totalMs;
    ov->op = OVERLAPPED::Op::Read;
    ov->readBuffer = static_cast<BYTE *>(buffer);
    ov->writeBuffer = nullptr;
    ov->requested = count;
    ov->transferred = static_cast<DWORD>(n);
    ov->deadlineMs = total > 0 ? NowMs() + static_cast<std::int64_t>(total) : -1;
    ov->purgeGeneration = m_rxGeneration.load();
    return Fail(ERROR_IO_PENDING);
}

bool TtyDevice::writeFile(const void *buffer, DWORD count, DWORD *written, OVERLAPPED *ov)
{
    auto lock = use();
    if (Closed(lock))
        return false;
    ov->op = OVERLAPPED::Op::None;
    ov->transferred = 0;
    if (count == 0)
        return true;
    const long n = writeSome(static_cast<const BYTE *>(buffer), count);
    if (n < 0)
        return false;
    if (static_cast<DWORD>(n) == count) {
        *written = count;
        return true;
    }
    COMMTIMEOUTS t;
    {
        std::lock_guard state(m_stateMutex);
        t = m_timeouts;
    }
    const std::uint64_t total =
        t.WriteTotalTimeoutConstant + static_cast<std::uint64_t>(t.WriteTotalTimeoutMultiplier) * count;
    ov->op = OVERLAPPED::Op::Write;
    ov->readBuffer = nullptr;
    ov->writeBuffer = static_cast<const BYTE *>(buffer);
    ov->requested = count;
    ov->transferred = static_cast<DWORD>(n);
    ov->deadlineMs = total > 0 ? NowMs() + static_cast<std::int64_t>(total) : -1;
    ov->purgeGeneration = m_txGeneration.load();
    return Fail(ERROR_IO_PENDING);
}

bool TtyDevice::getOverlappedResult(OVERLAPPED *ov, DWORD *transferred, bool wait)
{
    auto lock = use();
    if (!lock) {
        ov->op = OVERLAPPED::Op::None;
        *transferred = ov->transferred;
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (ov->op == OVERLAPPED::Op::None) { // already complete
        *transferred = ov->transferred;
        return true;
    }
    const bool reading = ov->op == OVERLAPPED::Op::Read;
    std::optional<Registration> registration;
    if (wait) {
        registration.emplace(*this);
        if (registration->fd() < 0)
            return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    bool hungUp = false;
    for (;;) {
        if (m_closed.load())
            return finish(ov, transferred, false, ERROR_INVALID_HANDLE);
        const std::uint64_t generation = reading ? m_rxGeneration.load() : m_txGeneration.load();
        if (generation != ov->purgeGeneration)
            return finish(ov, transferred, false, ERROR_OPERATION_ABORTED);

        const DWORD left = ov->requested - ov->transferred;
        const long n = reading ? readSome(ov->readBuffer + ov->transferred, left)
                               : writeSome(ov->writeBuffer + ov->transferred, left);
        if (n < 0)
            return finish(ov, transferred, false, GetLastError());
        ov->transferred += static_cast<DWORD>(n);
        if (ov->transferred == ov->requested || (reading && ov->transferred > 0 && readEndsOnFirstByte()))
            return finish(ov, transferred, true, ERROR_SUCCESS);
        if (ov->deadlineMs >= 0 && NowMs() >= ov->deadlineMs)
            return finish(ov, transferred, true, ERROR_SUCCESS); // time-out: a short completion
        if (hungUp && n == 0) // the driver keeps saying "hung up" but moves nothing
            return finish(ov, transferred, false, ERROR_DEVICE_REMOVED);
        if (!wait) {
            *transferred = ov->transferred;
            return Fail(ERROR_IO_INCOMPLETE);
        }

        // A read waits for the reader thread, which signals every waiter when bytes come.
        pollfd fds[2] = {
            {reading ? -1 : m_fd, POLLOUT, 0},
            {registration->fd(), POLLIN, 0},
        };
        const int r = ::poll(fds, 2, RemainingMs(ov->deadlineMs));
        if (r < 0 && errno != EINTR)
            return finish(ov, transferred, false, ErrorFromErrno(errno));
        if (r <= 0)
            continue;
        if (fds[1].revents)
            registration->drain();
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))
            hungUp = true;
    }
}

} // namespace platform::tty
