// SPDX-License-Identifier: MIT
#include "SerialCore.h"

#include "Event.h"
#include "SerialInternal.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace platform
{
namespace
{

constexpr DWORD kPurgeFlags = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

void Signal(int fd)
{
    const std::uint64_t one = 1;
    while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

// One eventfd per thread, registered with a device while that thread blocks in it. One shared
// descriptor would not do: a waiter that resets it could swallow the signal meant for another.
class ThreadWaker
{
  public:
    ThreadWaker() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~ThreadWaker()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    ThreadWaker(const ThreadWaker &) = delete;
    ThreadWaker &operator=(const ThreadWaker &) = delete;
    int fd() const { return m_fd; }
    void drain() const
    {
        std::uint64_t v;
        while (::read(m_fd, &v, sizeof v) < 0 && errno == EINTR) {
        }
    }

  private:
    int m_fd;
};

const ThreadWaker &ThisThreadWaker()
{
    thread_local ThreadWaker waker;
    return waker;
}

// The Windows rule the component relies on: a read wants all its bytes unless the time-outs end
// it with the first ones.
bool ReadDone(const OVERLAPPED &ov, const ReadRule &rule)
{
    return ov.transferred == ov.requested || (ov.transferred > 0 && rule.endOnFirstByte);
}

} // namespace

// While a thread blocks in this device, whatever changes the state can wake it.
class SerialCore::Registration
{
  public:
    explicit Registration(SerialCore &core) : m_core(core), m_waker(ThisThreadWaker())
    {
        const std::lock_guard lock(m_core.m_waitMutex);
        m_core.m_waiters.push_back(m_waker.fd());
    }
    ~Registration()
    {
        {
            const std::lock_guard lock(m_core.m_waitMutex);
            auto &w = m_core.m_waiters;
            if (const auto it = std::find(w.begin(), w.end(), m_waker.fd()); it != w.end())
                w.erase(it);
        }
        m_waker.drain(); // a signal that came too late for this wait must not end the next one
    }
    Registration(const Registration &) = delete;
    Registration &operator=(const Registration &) = delete;
    int fd() const { return m_waker.fd(); }
    void drain() const { m_waker.drain(); }

  private:
    SerialCore &m_core;
    const ThreadWaker &m_waker;
};

SerialCore::SerialCore(NewMask newMask, const COMMTIMEOUTS &timeouts)
    : m_newMask(newMask), m_timeouts(timeouts)
{
}

std::shared_lock<std::shared_mutex> SerialCore::use()
{
    std::shared_lock lock(m_life);
    if (m_closed.load())
        lock.unlock();
    return lock;
}

void SerialCore::wakeWaiters()
{
    const std::lock_guard lock(m_waitMutex);
    for (const int fd : m_waiters)
        Signal(fd);
}

void SerialCore::noteArrival(DWORD events, DWORD errors)
{
    {
        const std::lock_guard state(m_stateMutex);
        m_history |= events;
        m_errors |= errors;
    }
    wakeWaiters();
}

void SerialCore::noteHangUp(DWORD error)
{
    {
        const std::lock_guard state(m_stateMutex);
        if (m_goneError == ERROR_SUCCESS)
            m_goneError = error == ERROR_SUCCESS ? ERROR_DEVICE_REMOVED : error;
    }
    wakeWaiters();
}

COMMTIMEOUTS SerialCore::timeouts() const
{
    const std::lock_guard state(m_stateMutex);
    return m_timeouts;
}

DWORD SerialCore::goneError() const
{
    const std::lock_guard state(m_stateMutex);
    return m_goneError;
}

bool SerialCore::close()
{
    {
        // Under the registry lock, so a waiter registers either before the flag (and is
        // signalled) or after it (and sees it).
        const std::lock_guard lock(m_waitMutex);
        if (m_closed.load())
            return Fail(ERROR_INVALID_HANDLE);
        m_closed.store(true);
        for (const int fd : m_waiters)
            Signal(fd);
    }
    stopDevice();
    const std::unique_lock life(m_life);
    releaseDevice();
    return true;
}

bool SerialCore::setupComm(DWORD inQueue, DWORD outQueue)
{
    const auto lock = use();
    return !Closed(lock) && setQueueSizes(inQueue, outQueue);
}

bool SerialCore::getCommState(DCB *dcb)
{
    const auto lock = use();
    return !Closed(lock) && readState(dcb);
}

bool SerialCore::setCommState(const DCB &dcb)
{
    const auto lock = use();
    return !Closed(lock) && applyState(dcb);
}

bool SerialCore::getCommTimeouts(COMMTIMEOUTS *t)
{
    const auto lock = use();
    if (Closed(lock))
        return false;
    *t = timeouts();
    return true;
}

bool SerialCore::setCommTimeouts(const COMMTIMEOUTS &t)
{
    const auto lock = use();
    if (Closed(lock) || !acceptTimeouts(t))
        return false;
    const std::lock_guard state(m_stateMutex);
    m_timeouts = t;
    return true;
}

bool SerialCore::escapeCommFunction(DWORD function)
{
    const auto lock = use();
    return !Closed(lock) && lineFunction(function);
}

bool SerialCore::getCommModemStatus(DWORD *status)
{
    *status = 0;
    const auto lock = use();
    return !Closed(lock) && modemLines(status);
}

bool SerialCore::getErrorCounts(CommErrorCounts *counts)
{
    *counts = CommErrorCounts{};
    const auto lock = use();
    return !Closed(lock) && errorCounts(counts);
}

bool SerialCore::inputArrival(DWORD *ageMs, DWORD *run)
{
    const auto lock = use();
    return lock && nextArrival(ageMs, run); // closed: nothing waits
}

bool SerialCore::purgeComm(DWORD flags)
{
    const auto lock = use();
    if (Closed(lock))
        return false;
    if (flags & ~kPurgeFlags)
        return Fail(ERROR_INVALID_PARAMETER);
    if (flags & PURGE_TXABORT) {
        const std::lock_guard order(m_writeMutex);
        ++m_txGeneration;
        m_pendingWrites.clear();
    }
    if (flags & PURGE_RXABORT)
        m_rxGeneration.fetch_add(1);
    if (flags & PURGE_RXCLEAR) {
        // Nothing unread is left to report. Forgotten before the queue is emptied: a byte that
        // comes in between then costs an empty read, never a byte that waits unannounced.
        const std::lock_guard state(m_stateMutex);
        m_history &= ~EV_RXCHAR;
    }
    const DWORD clear = flags & (PURGE_TXCLEAR | PURGE_RXCLEAR);
    const bool ok = clear == 0 || discard(clear);
    wakeWaiters(); // aborted calls end, writes behind a purged one may go
    return ok;
}

bool SerialCore::setCommMask(DWORD mask)
{
    const auto lock = use();
    if (Closed(lock))
        return false;
    {
        const std::lock_guard state(m_stateMutex);
        m_mask = mask;
        ++m_maskGeneration;
        if (m_newMask == NewMask::EndsWait)
            m_history = 0;
    }
    wakeWaiters(); // a wait in progress looks at the new mask
    return true;
}

bool SerialCore::clearCommError(DWORD *errors, COMSTAT *status)
{
    *errors = 0;
    *status = COMSTAT{};
    const auto lock = use();
    if (Closed(lock))
        return false;
    DWORD gone;
    {
        const std::lock_guard state(m_stateMutex);
        *errors = m_errors;
        m_errors = 0;
        gone = m_goneError; // before the count: no byte arrives after a hang-up
    }
    *status = queueCounts();
    if (gone != ERROR_SUCCESS && status->cbInQue == 0)
        return Fail(gone); // nothing can be read any more
    return true;
}

bool SerialCore::waitCommEvent(DWORD *mask, Event &wake)
{
    *mask = 0;
    const auto lock = use();
    if (Closed(lock))
        return false;
    Registration registration(*this);
    if (registration.fd() < 0) // out of descriptors: a wait nobody could end is worse than none
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    std::uint64_t maskGeneration;
    {
        const std::lock_guard state(m_stateMutex);
        maskGeneration = m_maskGeneration;
    }
    for (;;) {
        if (m_closed.load())
            return Fail(ERROR_INVALID_HANDLE);
        DWORD events, gone;
        bool newMask;
        {
            const std::lock_guard state(m_stateMutex);
            newMask = m_newMask == NewMask::EndsWait && m_maskGeneration != maskGeneration;
            if (m_mask == 0 && !newMask)
                return Fail(ERROR_INVALID_PARAMETER);
            events = m_history & m_mask;
            m_history = 0;
            gone = m_goneError;
        }
        if (events) {
            *mask = events;
            return true;
        }
        if (gone != ERROR_SUCCESS) // waiting would only spin
            return Fail(gone);
        if (newMask)
            return true; // *mask stays 0

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
            continue; // new events, closed, purged or a new mask: look again
        }
        if (fds[1].revents && wake.TryWait()) {
            wake.Reset(); // whatever kind of event it is
            return true;  // *mask stays 0
        }
    }
}

long SerialCore::continueRead(OVERLAPPED *ov)
{
    if (ov->purgeGeneration != m_rxGeneration.load()) {
        SetLastError(ERROR_OPERATION_ABORTED);
        return -1;
    }
    // Asked before the back end is, so that nothing there then means nothing will ever come.
    const DWORD gone = goneError();
    const long n = readSome(ov->readBuffer + ov->transferred, ov->requested - ov->transferred);
    if (n < 0)
        return -1;
    if (n == 0 && gone != ERROR_SUCCESS) {
        SetLastError(gone);
        return -1;
    }
    ov->transferred += static_cast<DWORD>(n);
    return n;
}

// `*first`: the write is the first pending one, the one that moves bytes.
long SerialCore::continueWrite(OVERLAPPED *ov, bool *first)
{
    *first = false;
    if (const DWORD gone = goneError(); gone != ERROR_SUCCESS) {
        SetLastError(gone);
        return -1;
    }
    const std::lock_guard order(m_writeMutex);
    const auto queued = std::find(m_pendingWrites.begin(), m_pendingWrites.end(), ov);
    if (ov->purgeGeneration != m_txGeneration || queued == m_pendingWrites.end()) {
        SetLastError(ERROR_OPERATION_ABORTED);
        return -1;
    }
    if (queued != m_pendingWrites.begin())
        return 0;
    *first = true;
    const long n = writeSome(ov->writeBuffer + ov->transferred, ov->requested - ov->transferred);
    if (n > 0)
        ov->transferred += static_cast<DWORD>(n);
    return n;
}

bool SerialCore::finish(OVERLAPPED *ov, DWORD *transferred, DWORD error)
{
    if (ov->op == OVERLAPPED::Op::Write) {
        std::size_t left;
        {
            const std::lock_guard order(m_writeMutex);
            left = std::erase(m_pendingWrites, ov);
        }
        if (left)
            wakeWaiters(); // the next write may go
    }
    ov->op = OVERLAPPED::Op::None;
    *transferred = ov->transferred;
    return error == ERROR_SUCCESS || Fail(error);
}

bool SerialCore::readFile(void *buffer, DWORD count, DWORD *read, OVERLAPPED *ov)
{
    const auto lock = use();
    if (Closed(lock))
        return false;
    *ov = OVERLAPPED{};
    if (count == 0)
        return true;
    ov->op = OVERLAPPED::Op::Read;
    ov->readBuffer = static_cast<BYTE *>(buffer);
    ov->requested = count;
    ov->purgeGeneration = m_rxGeneration.load();
    if (continueRead(ov) < 0) {
        ov->op = OVERLAPPED::Op::None;
        return false;
    }
    const ReadRule rule = ReadRuleFor(timeouts(), count);
    if (rule.returnAtOnce || ReadDone(*ov, rule)) {
        ov->op = OVERLAPPED::Op::None;
        *read = ov->transferred;
        return true;
    }
    ov->deadlineMs = rule.totalMs > 0 ? DeadlineMs(rule.totalMs) : -1;
    return Fail(ERROR_IO_PENDING);
}

bool SerialCore::writeFile(const void *buffer, DWORD count, DWORD *written, OVERLAPPED *ov)
{
    const auto lock = use();
    if (Closed(lock))
        return false;
    if (const DWORD gone = goneError(); gone != ERROR_SUCCESS)
        return Fail(gone);
    *ov = OVERLAPPED{};
    if (count == 0)
        return true;
    ov->op = OVERLAPPED::Op::Write;
    ov->writeBuffer = static_cast<const BYTE *>(buffer);
    ov->requested = count;
    const COMMTIMEOUTS t = timeouts();
    const std::lock_guard order(m_writeMutex);
    ov->purgeGeneration = m_txGeneration;
    if (m_pendingWrites.empty()) {
        const long n = writeSome(ov->writeBuffer, count);
        if (n < 0) {
            ov->op = OVERLAPPED::Op::None;
            return false;
        }
        ov->transferred = static_cast<DWORD>(n);
    }
    if (ov->transferred == count) {
        ov->op = OVERLAPPED::Op::None;
        *written = count;
        return true;
    }
    const std::uint64_t total =
        t.WriteTotalTimeoutConstant + static_cast<std::uint64_t>(t.WriteTotalTimeoutMultiplier) * count;
    ov->deadlineMs = total > 0 ? DeadlineMs(total) : -1;
    m_pendingWrites.push_back(ov);
    return Fail(ERROR_IO_PENDING);
}

bool SerialCore::getOverlappedResult(OVERLAPPED *ov, DWORD *transferred, bool wait)
{
    const auto lock = use();
    if (!lock) {
        ov->op = OVERLAPPED::Op::None;
        *transferred = ov->transferred;
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (ov->op == OVERLAPPED::Op::None) { // complete already
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
    bool hungUp = false; // the writable descriptor said so
    for (;;) {
        if (m_closed.load())
            return finish(ov, transferred, ERROR_INVALID_HANDLE);
        bool first = false;
        const long n = reading ? continueRead(ov) : continueWrite(ov, &first);
        if (n < 0)
            return finish(ov, transferred, GetLastError());
        const bool done = reading ? ReadDone(*ov, ReadRuleFor(timeouts(), ov->requested))
                                  : ov->transferred == ov->requested;
        if (done)
            return finish(ov, transferred, ERROR_SUCCESS);
        if (ov->deadlineMs >= 0 && NowMs() >= ov->deadlineMs)
            return finish(ov, transferred, ERROR_SUCCESS); // time-out: a short completion
        if (hungUp && n == 0) // the driver keeps saying "hung up" but moves nothing
            return finish(ov, transferred, ERROR_DEVICE_REMOVED);
        if (!wait) {
            *transferred = ov->transferred;
            return Fail(ERROR_IO_INCOMPLETE);
        }

        // A read waits for the back end to say that bytes came; the first write also for room in
        // the device, the writes behind it for their turn.
        pollfd fds[2] = {
            {first ? writableDescriptor() : -1, POLLOUT, 0},
            {registration->fd(), POLLIN, 0},
        };
        const int r = ::poll(fds, 2, RemainingMs(ov->deadlineMs));
        if (r < 0 && errno != EINTR)
            return finish(ov, transferred, ErrorFromErrno(errno));
        if (r <= 0)
            continue;
        if (fds[1].revents)
            registration->drain();
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))
            hungUp = true;
    }
}

} // namespace platform
