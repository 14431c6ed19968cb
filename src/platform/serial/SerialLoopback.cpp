// SPDX-License-Identifier: MIT
// The loopback back end. One mutex per plug guards the plug and the device of its current open;
// a device keeps the state of its own open (queues, latched errors, event mask, waiters), so a
// handle of an earlier open can only ever see its own closed object. Waits in waitCommEvent sleep
// in poll() on an eventfd of their own plus the caller's wake-up event; waits for a read or a
// write sleep on a condition variable. Every state change notifies both kinds of waiter.
#include "SerialLoopbackPlug.h"

#include "Event.h"
#include "SerialInternal.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <poll.h>

namespace platform
{

namespace
{

using Lock = std::unique_lock<std::mutex>;
using Clock = LoopbackPlug::Clock;

// A deadline `ms` from now, rounded up so that an operation never ends before its time-out.
std::int64_t DeadlineMs(std::uint64_t ms)
{
    return std::chrono::ceil<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count() +
           static_cast<std::int64_t>(ms);
}

Clock::time_point FromMs(std::int64_t ms)
{
    return Clock::time_point(std::chrono::milliseconds(ms));
}

// A DCB that a serial driver would refuse outright.
bool DcbIsInvalid(const DCB &dcb)
{
    return dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
           dcb.StopBits > TWOSTOPBITS;
}

constexpr DWORD kLineStatusErrors = CE_FRAME | CE_OVERRUN | CE_RXPARITY;

} // namespace

class LoopbackDevice final : public CommDevice
{
  public:
    explicit LoopbackDevice(std::shared_ptr<LoopbackPlug::Impl> plug) : m_plug(std::move(plug)) {}

    ~LoopbackDevice() override
    {
        const std::lock_guard lock(m_plug->mutex);
        if (!m_closed)
            closeLocked();
    }

    // The plug's lock, owning nothing once this open is closed (see Closed).
    Lock use()
    {
        Lock lock(m_plug->mutex);
        if (m_closed)
            lock.unlock();
        return lock;
    }

    // ---- Called by the plug with its mutex held.

    // Bytes (and line conditions) that arrive from the far end: one arrival, one wake-up. What
    // does not fit in the input queue is lost, as a driver loses it, and counted.
    void receiveLocked(const char *bytes, std::size_t n, DWORD lineErrors, bool breakSignal)
    {
        DWORD events = 0;
        const std::size_t room = inRoomLocked();
        if (n > room) {
            m_counts.lost += static_cast<DWORD>(n - room);
            lineErrors |= CE_RXOVER;
            n = room;
        } else if (lineErrors & CE_RXOVER) {
            ++m_counts.lost;
        }
        if (n > 0) {
            m_in.insert(m_in.end(), bytes, bytes + n);
            events |= EV_RXCHAR;
        }
        if (breakSignal) {
            lineErrors |= CE_BREAK;
            events |= EV_BREAK;
            ++m_counts.breaks;
        }
        if (lineErrors & CE_OVERRUN)
            ++m_counts.overrun;
        if (lineErrors & CE_RXPARITY)
            ++m_counts.parity;
        if (lineErrors & CE_FRAME)
            ++m_counts.framing;
        if (lineErrors & kLineStatusErrors)
            events |= EV_ERR;
        m_errors |= lineErrors;
        m_history |= events & m_mask;
        notifyLocked();
    }

    // The plug was pulled out: what was received can still be read, everything else fails as on
    // a device that went away.
    void removeLocked()
    {
        m_removed = true;
        notifyLocked();
    }

    // The output hold was lifted: what waited in the output queue goes out.
    void releaseOutputLocked()
    {
        flowOutLocked();
        notifyLocked();
    }

    // Moves waiting output back in as received bytes. With CTS flow control only as much as the
    // input queue has room for: a full queue drops RTS, which holds the sending side back.
    void flowOutLocked()
    {
        if (m_plug->hold || m_out.empty())
            return;
        const std::size_t n = ctsFlowLocked() ? std::min(m_out.size(), inRoomLocked()) : m_out.size();
        if (n == 0)
            return;
        const std::string out = m_out.substr(0, n);
        m_out.erase(0, n);
        receiveLocked(out.data(), out.size(), 0, false);
    }

    void notifyLocked()
    {
        m_cv.notify_all();
        for (Event *waiter : m_waiters)
            waiter->Set();
    }

    // ---- CommDevice

    bool close() override
    {
        const Lock lock = use();
        if (Closed(lock))
            return false;
        closeLocked();
        return true;
    }

    bool setupComm(DWORD inQueue, DWORD outQueue) override
    {
        std::function<bool(DWORD, DWORD)> refuse;
        {
            const Lock lock = use();
            if (Closed(lock))
                return false;
            ++m_plug->setupCalls;
            refuse = m_plug->refuseSetup;
        }
        // The test's predicate runs without the lock: it may well look at the plug.
        const bool refused = refuse && refuse(inQueue, outQueue);
        const Lock lock = use();
        if (Closed(lock))
            return false;
        if (refused)
            return Fail(ERROR_INVALID_PARAMETER);
        m_plug->inQueue = inQueue;
        m_plug->outQueue = outQueue;
        return true;
    }

    bool purgeComm(DWORD flags) override
    {
        const Lock lock = use();
        if (Closed(lock))
            return false;
        if (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
            return Fail(ERROR_INVALID_PARAMETER);
        if (flags & PURGE_RXCLEAR) {
            m_in.clear();
            m_inHead = 0;
        }
        if (flags & PURGE_TXCLEAR)
            m_out.clear();
        if (flags & PURGE_TXABORT) {
            ++m_txGeneration;
            m_pendingWrites.clear();
        }
        if (flags & PURGE_RXABORT)
            ++m_rxGeneration;
        notifyLocked();
        return true;
    }

    bool getCommState(DCB *dcb) override
    {
        const Lock lock = use();
        if (Closed(lock))
            return false;
        *dcb = m_plug->dcb;
        return true;
    }

    bool setCommState(const DCB &dcb) override
    {
        std::function<bool(const DCB &)> refuse;
        {
            const Lock lock = use();
            if (Closed(lock))
                return false;
            ++m_plug->setStateCalls;
            refuse = m_plug->refuseState;
        }
        const bool refused = (refuse && refuse(dcb)) || DcbIsInvalid(dcb);
        const Lock lock = use();
        if (Closed(lock))
            return false;
        if (refused)
            return Fail(ERROR_INVALID_PARAMETER);
        m_plug->dcb = dcb;
        m_plug->applyLineControl();
        return true;
    }

    bool getCommTimeouts(COMMTIMEOUTS *timeouts) override
    {
        const Lock lock = use();
        if (Closed(lock))
            return false;
        *timeouts = m_plug->timeouts;
        return true;
    }

    bool setCommTimeouts(const COMMTIMEOUTS &timeouts) override
    {
        std::function<bool(const COMMTIMEOUTS &)> refuse;
        {
            const Lock lock = use();
            if (Closed(lock))
                return false;
            refuse = m_plug->refuseTimeouts;
        }
        const bool refused = refuse && refuse(timeouts);
        const Lock lock = use();
        if (Closed(lock))
            return false;
        if (refused)
            return Fail(ERROR_INVALID_PARAMETER);
        m_plug->timeouts = timeouts;
        return true;
    }

    bool setCommMask(DWORD mask) override
    {
        const Lock lock = use();
        if (Closed(lock))
            return false;
        // As in a driver: a new mask forgets events seen so far and ends a wait in progress.
        m_mask = mask;
        m_history = 0;
        ++m_maskGeneration;
        notifyLocked();
        return true;
    }

    bool escapeCommFunction(DWORD function) override
    {
        const Lock lock = use();
        if (Closed(lock))
            return false;
        switch (function) {
        case SETRTS:
        case CLRRTS:
            m_plug->setRts(function == SETRTS);
            break;
        case SETDTR:
        case CLRDTR:
            m_plug->setDtr(function == SETDTR);
            break;
        case SETBREAK:
            if (!m_plug->breakOn) {
                m_plug->setBreak(true);
                receiveLocked(nullptr, 0, 0, true); // the plug hands the break straight back
            }
            break;
        case CLRBREAK:
            m_plug->setBreak(false);
            break;
        case SETXOFF:
        case SETXON:
        case RESETDEV: // nothing to do on a plug without a receiver of its own
            break;
        default:
            return Fail(ERROR_INVALID_PARAMETER);
        }
        return true;
    }

    bool getCommModemStatus(DWORD *status) override
    {
        const Lock lock = use();
        if (Closed(lock))
            return false;
        *status = (m_plug->rts ? MS_CTS_ON : 0) | (m_plug->dtr ? MS_DSR_ON : 0);
        return true;
    }

    bool getErrorCounts(CommErrorCounts *counts) override
    {
        const std::lock_guard lock(m_plug->mutex);
        *counts = CommErrorCounts{};
        if (m_closed)
            return Fail(ERROR_INVALID_HANDLE);
        *counts = m_counts;
        return true;
    }

    bool clearCommError(DWORD *errors, COMSTAT *status) override
    {
        const Lock lock = use();
        if (Closed(lock))
            return false;
        *errors = m_errors;
        m_errors = 0;
        status->cbInQue = static_cast<DWORD>(inAvailable());
        status->cbOutQue = static_cast<DWORD>(m_out.size());
        return true;
    }

    bool waitCommEvent(DWORD *mask, Event &wake) override
    {
        *mask = 0;
        Lock lock(m_plug->mutex);
        if (m_closed)
            return Fail(ERROR_INVALID_HANDLE);
        if (m_mask == 0)
            return Fail(ERROR_INVALID_PARAMETER);
        if (takeEventsLocked(mask))
            return true;
        if (m_removed)
            return Fail(ERROR_DEVICE_REMOVED);

        std::optional<Event> ping;
        try {
            ping.emplace(true);
        } catch (...) {
            return Fail(ERROR_NOT_ENOUGH_MEMORY);
        }
        const std::uint64_t maskGeneration = m_maskGeneration;
        m_waiters.push_back(&*ping);
        struct Unregister {
            LoopbackDevice *self;
            Event *ping;
            ~Unregister() { std::erase(self->m_waiters, ping); } // runs with the lock held
        } unregister{this, &*ping};

        for (;;) {
            lock.unlock();
            pollfd fds[2] = {{ping->pollDescriptor(), POLLIN, 0}, {wake.pollDescriptor(), POLLIN, 0}};
            const int r = ::poll(fds, 2, -1);
            const int pollError = r < 0 ? errno : 0;
            lock.lock();
            if (r < 0 && pollError != EINTR)
                return Fail(ERROR_GEN_FAILURE);
            if (m_closed)
                return Fail(ERROR_INVALID_HANDLE);
            if (takeEventsLocked(mask))
                return true;
            if (m_removed)
                return Fail(ERROR_DEVICE_REMOVED);
            if (m_maskGeneration != maskGeneration)
                return true; // SetCommMask ended the wait: no event
            if (r > 0 && (fds[1].revents & POLLIN)) {
                wake.Reset();
                return true;
            }
            ping->Reset();
        }
    }

    bool readFile(void *buffer, DWORD count, DWORD *read, OVERLAPPED *ov) override
    {
        const Lock lock = use();
        if (Closed(lock))
            return false;
        if (m_removed && inAvailable() == 0)
            return Fail(ERROR_DEVICE_REMOVED);
        const ReadRule rule = ReadRuleFor(m_plug->timeouts, count);
        *ov = OVERLAPPED{};
        ov->op = OVERLAPPED::Op::Read;
        ov->readBuffer = static_cast<BYTE *>(buffer);
        ov->requested = count;
        ov->purgeGeneration = m_rxGeneration;
        takeInputLocked(ov);
        if (rule.returnAtOnce || readCompleteLocked(*ov)) {
            ov->op = OVERLAPPED::Op::None;
            *read = ov->transferred;
            return true;
        }
        ov->deadlineMs = rule.totalMs > 0 ? DeadlineMs(rule.totalMs) : -1;
        return Fail(ERROR_IO_PENDING);
    }

    bool writeFile(const void *buffer, DWORD count, DWORD *written, OVERLAPPED *ov) override
    {
        const Lock lock = use();
        if (Closed(lock))
            return false;
        if (m_removed)
            return Fail(ERROR_DEVICE_REMOVED);
        const COMMTIMEOUTS &t = m_plug->timeouts;
        *ov = OVERLAPPED{};
        ov->op = OVERLAPPED::Op::Write;
        ov->writeBuffer = static_cast<const BYTE *>(buffer);
        ov->requested = count;
        ov->purgeGeneration = m_txGeneration;
        // Writes leave in the order they were issued: one waits while an earlier one is pending.
        if (m_pendingWrites.empty())
            acceptOutputLocked(ov);
        if (ov->transferred == ov->requested) {
            ov->op = OVERLAPPED::Op::None;
            *written = ov->transferred;
            return true;
        }
        const std::uint64_t total =
            std::uint64_t(t.WriteTotalTimeoutMultiplier) * count + t.WriteTotalTimeoutConstant;
        ov->deadlineMs = total > 0 ? DeadlineMs(total) : -1;
        m_pendingWrites.push_back(ov);
        return Fail(ERROR_IO_PENDING);
    }

    bool getOverlappedResult(OVERLAPPED *ov, DWORD *transferred, bool wait) override
    {
        Lock lock(m_plug->mutex);
        for (;;) {
            if (m_closed)
                return Fail(ERROR_INVALID_HANDLE);
            *transferred = ov->transferred;
            if (m_removed && ov->op == OVERLAPPED::Op::Write) {
                std::erase(m_pendingWrites, ov);
                return finish(ov, ERROR_DEVICE_REMOVED);
            }
            switch (ov->op) {
            case OVERLAPPED::Op::None:
                return true; // completed earlier
            case OVERLAPPED::Op::Read:
                if (ov->purgeGeneration != m_rxGeneration)
                    return finish(ov, ERROR_OPERATION_ABORTED);
                takeInputLocked(ov);
                *transferred = ov->transferred;
                if (readCompleteLocked(*ov) || expired(*ov))
                    return finish(ov, ERROR_SUCCESS);
                break;
            case OVERLAPPED::Op::Write: {
                const auto queued = std::find(m_pendingWrites.begin(), m_pendingWrites.end(), ov);
                if (ov->purgeGeneration != m_txGeneration || queued == m_pendingWrites.end())
                    return finish(ov, ERROR_OPERATION_ABORTED);
                if (queued == m_pendingWrites.begin())
                    acceptOutputLocked(ov);
                *transferred = ov->transferred;
                if (ov->transferred == ov->requested || expired(*ov)) {
                    // Completed, or cut short by the write time-out: the next write may go.
                    m_pendingWrites.erase(std::find(m_pendingWrites.begin(), m_pendingWrites.end(), ov));
                    notifyLocked();
                    return finish(ov, ERROR_SUCCESS);
                }
                break;
            }
            }
            if (!wait)
                return Fail(ERROR_IO_INCOMPLETE);
            if (ov->deadlineMs >= 0)
                m_cv.wait_until(lock, FromMs(ov->deadlineMs));
            else
                m_cv.wait(lock);
        }
    }

  private:
    void closeLocked()
    {
        m_closed = true;
        if (m_plug->open == this) {
            m_plug->open = nullptr;
            // Closing a port drops its output lines.
            m_plug->setDtr(false);
            m_plug->setRts(false);
            m_plug->setBreak(false);
        }
        m_in.clear();
        m_inHead = 0;
        m_out.clear();
        m_pendingWrites.clear();
        notifyLocked();
    }

    std::size_t inAvailable() const { return m_in.size() - m_inHead; }
    std::size_t inRoomLocked() const
    {
        const std::size_t cap = m_plug->inCapacity;
        return cap > inAvailable() ? cap - inAvailable() : 0;
    }
    bool ctsFlowLocked() const { return (m_plug->dcb.Flags & DCB_fOutxCtsFlow) != 0; }

    bool takeEventsLocked(DWORD *mask)
    {
        const DWORD events = m_history & m_mask;
        if (events == 0)
            return false;
        m_history = 0;
        *mask = events;
        return true;
    }

    void takeInputLocked(OVERLAPPED *ov)
    {
        const std::size_t n = std::min<std::size_t>(inAvailable(), ov->requested - ov->transferred);
        if (n == 0)
            return;
        std::memcpy(ov->readBuffer + ov->transferred, m_in.data() + m_inHead, n);
        ov->transferred += static_cast<DWORD>(n);
        m_inHead += n;
        if (m_inHead == m_in.size()) {
            m_in.clear();
            m_inHead = 0;
        } else if (m_inHead > 65536 && m_inHead * 2 > m_in.size()) {
            m_in.erase(m_in.begin(), m_in.begin() + static_cast<std::ptrdiff_t>(m_inHead));
            m_inHead = 0;
        }
        flowOutLocked(); // room again for output held back by flow control
    }

    // The tty's rule: a read wants all its bytes unless the time-outs end it with the first ones.
    bool readCompleteLocked(const OVERLAPPED &ov) const
    {
        if (ov.transferred == ov.requested)
            return true;
        return ov.transferred > 0 && ReadRuleFor(m_plug->timeouts, ov.requested).endOnFirstByte;
    }

    static bool expired(const OVERLAPPED &ov) { return ov.deadlineMs >= 0 && NowMs() >= ov.deadlineMs; }

    static bool finish(OVERLAPPED *ov, DWORD error)
    {
        ov->op = OVERLAPPED::Op::None;
        if (error == ERROR_SUCCESS)
            return true;
        return Fail(error);
    }

    // Moves what the device takes of the write now: everything when the output flows, else as
    // much as fits in the output queue (which flow control drains as the input queue has room).
    void acceptOutputLocked(OVERLAPPED *ov)
    {
        const char *from = reinterpret_cast<const char *>(ov->writeBuffer + ov->transferred);
        const std::size_t left = ov->requested - ov->transferred;
        // Held output, or output that flow control may have to hold, waits in the output queue.
        const bool queued = m_plug->hold || ctsFlowLocked();
        std::size_t n = 0;
        if (!queued) {
            n = left;
            if (n > 0)
                receiveLocked(from, n, 0, false);
        } else {
            for (;;) {
                const std::size_t room =
                    m_plug->capacity > m_out.size() ? m_plug->capacity - m_out.size() : 0;
                const std::size_t take = std::min(left - n, room);
                if (take == 0)
                    break;
                m_out.append(from + n, take);
                n += take;
                flowOutLocked();
            }
        }
        if (n == 0)
            return;
        m_plug->written.append(from, n);
        m_plug->log.push_back(LoopbackPlug::LineEvent{LoopbackPlug::LineEvent::Kind::Write, Clock::now(), n});
        ov->transferred += static_cast<DWORD>(n);
    }

    std::shared_ptr<LoopbackPlug::Impl> m_plug;

    // Guarded by m_plug->mutex.
    bool m_closed = false;
    bool m_removed = false;
    std::vector<BYTE> m_in; // received, not yet read: m_in[m_inHead..]
    std::size_t m_inHead = 0;
    std::string m_out; // written while the output is held
    DWORD m_errors = 0;
    CommErrorCounts m_counts; // since this open
    DWORD m_mask = 0;
    DWORD m_history = 0; // events of the mask seen since the last wait took them
    std::uint64_t m_maskGeneration = 0;
    std::uint64_t m_txGeneration = 0;
    std::uint64_t m_rxGeneration = 0;
    std::deque<const OVERLAPPED *> m_pendingWrites; // in issue order; only compared, never read
    std::vector<Event *> m_waiters;
    std::condition_variable m_cv;
};

// ---- The plug's calls into its open device

void ReceiveLocked(LoopbackDevice &device, const char *bytes, std::size_t n, DWORD lineErrors,
                   bool breakSignal)
{
    device.receiveLocked(bytes, n, lineErrors, breakSignal);
}

void ReleaseOutputLocked(LoopbackDevice &device)
{
    device.releaseOutputLocked();
}

void NotifyLocked(LoopbackDevice &device)
{
    device.notifyLocked();
}

void RemoveLocked(LoopbackDevice &device)
{
    device.removeLocked();
}

HANDLE OpenLoopback(int comNumber)
{
    const std::shared_ptr<LoopbackPlug::Impl> impl = LoopbackPlug::Get(comNumber)->impl();
    std::shared_ptr<LoopbackDevice> device;
    {
        const std::lock_guard lock(impl->mutex);
        if (impl->missing) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return nullptr;
        }
        if (impl->open) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return nullptr;
        }
        device = std::make_shared<LoopbackDevice>(impl);
        impl->open = device.get();
        ++impl->openCount;
        // The driver raises the lines its current settings ask for as the port opens.
        impl->applyLineControl();
    }
    return device;
}

} // namespace platform
