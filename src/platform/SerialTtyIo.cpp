// SPDX-License-Identifier: MIT
// The tty back end's waiting half: line-event waits and the emulated overlapped reads and writes.
#include "Event.h"
#include "SerialTtyDevice.h"

#include <algorithm>
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

long TtyDevice::readSome(BYTE *buffer, DWORD count)
{
    if (count == 0)
        return 0;
    std::lock_guard lock(m_rxMutex);
    for (;;) {
        const ssize_t n = ::read(m_fd, buffer, count);
        if (n > 0) {
            m_readTotal += static_cast<std::uint64_t>(n);
            return static_cast<long>(n);
        }
        if (n == 0) { // end of file on a tty: the other side hung up
            SetLastError(ERROR_DEVICE_REMOVED);
            return -1;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        SetLastError(ErrorFromErrno(errno));
        return -1;
    }
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

bool TtyDevice::readReturnsOnFirstByte() const
{
    std::lock_guard lock(m_stateMutex);
    const COMMTIMEOUTS &t = m_timeouts;
    return t.ReadIntervalTimeout == MAXDWORD &&
           (t.ReadTotalTimeoutMultiplier == 0 || t.ReadTotalTimeoutMultiplier == MAXDWORD);
}

bool TtyDevice::waitCommEvent(DWORD *mask, Event &wake)
{
    *mask = 0;
    auto lock = use();
    if (!lock)
        return Fail(ERROR_INVALID_HANDLE);
    Registration registration(*this);
    if (registration.fd() < 0) // out of descriptors: a wait nobody could end is worse than none
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    for (;;) {
        if (m_closed.load())
            return Fail(ERROR_INVALID_HANDLE);
        const DWORD want = m_mask.load();
        if (want == 0)
            return Fail(ERROR_INVALID_PARAMETER);

        DWORD events = 0;
        int queued = 0;
        {
            std::lock_guard rx(m_rxMutex);
            ErrorCounts now;
            if (readCounts(&now)) {
                if (now.brk != m_eventBase.brk)
                    events |= EV_BREAK;
                if (now.frame != m_eventBase.frame || now.parity != m_eventBase.parity ||
                    now.overrun != m_eventBase.overrun || now.bufOverrun != m_eventBase.bufOverrun)
                    events |= EV_ERR;
                m_eventBase = now;
            }
            if (!queuedInput(&queued)) // a hung-up tty: waiting would only spin
                return FailErrno(errno);
            const std::uint64_t arrived = m_readTotal + static_cast<std::uint64_t>(std::max(queued, 0));
            if (arrived > m_reportedTotal)
                events |= EV_RXCHAR;
            m_reportedTotal = arrived;
        }
        events &= want;
        if (events) {
            *mask = events;
            return true;
        }

        // Bytes that are already reported keep the device readable; then only growth counts.
        pollfd fds[3] = {
            {queued > 0 ? -1 : m_fd, POLLIN, 0},
            {registration.fd(), POLLIN, 0},
            {wake.pollDescriptor(), POLLIN, 0},
        };
        const int r = ::poll(fds, 3, queued > 0 ? kGrowthPollMs : -1);
        if (r < 0 && errno != EINTR)
            return FailErrno(errno);
        if (r <= 0)
            continue;
        if (fds[1].revents) {
            registration.drain();
            continue; // closed, purged or a new mask: look again
        }
        if (fds[2].revents && wake.TryWait())
            return true; // *mask stays 0
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))
            return Fail(ERROR_DEVICE_REMOVED);
    }
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
    if (!lock)
        return Fail(ERROR_INVALID_HANDLE);
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
    const bool returnWhatIsThere = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                                   t.ReadTotalTimeoutConstant == 0;
    if (returnWhatIsThere || static_cast<DWORD>(n) == count || (n > 0 && readReturnsOnFirstByte())) {
        *read = static_cast<DWORD>(n);
        return true;
    }
    std::uint64_t total = t.ReadTotalTimeoutConstant;
    if (t.ReadTotalTimeoutMultiplier != MAXDWORD)
        total += static_cast<std::uint64_t>(t.ReadTotalTimeoutMultiplier) * count;
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
    if (!lock)
        return Fail(ERROR_INVALID_HANDLE);
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
        if (ov->transferred == ov->requested || (reading && ov->transferred > 0 && readReturnsOnFirstByte()))
            return finish(ov, transferred, true, ERROR_SUCCESS);
        if (ov->deadlineMs >= 0 && NowMs() >= ov->deadlineMs)
            return finish(ov, transferred, true, ERROR_SUCCESS); // time-out: a short completion
        if (hungUp && n == 0) // the driver keeps saying "hung up" but moves nothing
            return finish(ov, transferred, false, ERROR_DEVICE_REMOVED);
        if (!wait) {
            *transferred = ov->transferred;
            return Fail(ERROR_IO_INCOMPLETE);
        }

        pollfd fds[2] = {
            {m_fd, static_cast<short>(reading ? POLLIN : POLLOUT), 0},
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
