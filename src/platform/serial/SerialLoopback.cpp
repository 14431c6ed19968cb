// SPDX-License-Identifier: MIT
// The loopback back end: the device of one open of a plug, on the serial core. One mutex per
// plug guards the plug and the queues of the device of its current open; the core keeps the rest
// of the open's state (events, errors, pending operations), so a handle of an earlier open can
// only ever reach its own closed object. The plug's calls into the device run with the plug's
// mutex held and tell the core what arrived.
#include "SerialLoopbackPlug.h"

#include "SerialCore.h"
#include "SerialInternal.h"

#include <algorithm>
#include <cstring>

namespace platform
{

namespace
{

using Clock = LoopbackPlug::Clock;

// A DCB that a serial driver would refuse outright.
bool DcbIsInvalid(const DCB &dcb)
{
    return dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
           dcb.StopBits > TWOSTOPBITS;
}

constexpr DWORD kLineStatusErrors = CE_FRAME | CE_OVERRUN | CE_RXPARITY;

} // namespace

class LoopbackDevice final : public SerialCore
{
  public:
    // Made with the plug's mutex held: the time-outs are the plug's, kept across opens as a driver
    // keeps them.
    explicit LoopbackDevice(std::shared_ptr<LoopbackPlug::Impl> plug)
        : SerialCore(NewMask::EndsWait, plug->timeouts), m_plug(std::move(plug))
    {
    }

    ~LoopbackDevice() override
    {
        if (!isClosed())
            close();
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
        noteArrival(events, lineErrors);
    }

    // The plug was pulled out: what was received can still be read, everything else fails as on
    // a device that went away.
    void removeLocked() { noteHangUp(ERROR_DEVICE_REMOVED); }

    // The output hold was lifted or the queues resized: what waited in the output queue goes out.
    void releaseOutputLocked()
    {
        flowOutLocked();
        wakeWaiters();
    }

    void notifyLocked() { wakeWaiters(); }

  private:
    using Lock = std::unique_lock<std::mutex>;

    // ---- The serial core's primitives.

    long readSome(BYTE *buffer, DWORD count) override
    {
        const Lock lock(m_plug->mutex);
        const std::size_t n = std::min<std::size_t>(inAvailable(), count);
        if (n == 0)
            return 0;
        std::memcpy(buffer, m_in.data() + m_inHead, n);
        m_inHead += n;
        if (m_inHead == m_in.size()) {
            m_in.clear();
            m_inHead = 0;
        } else if (m_inHead > 65536 && m_inHead * 2 > m_in.size()) {
            m_in.erase(m_in.begin(), m_in.begin() + static_cast<std::ptrdiff_t>(m_inHead));
            m_inHead = 0;
        }
        flowOutLocked(); // room again for output held back by flow control
        return static_cast<long>(n);
    }

    // Takes what the device takes of the write now: everything when the output flows, else as
    // much as fits in the output queue (which flow control drains as the input queue has room).
    long writeSome(const BYTE *buffer, DWORD count) override
    {
        const Lock lock(m_plug->mutex);
        const char *from = reinterpret_cast<const char *>(buffer);
        // Held output, or output that flow control may have to hold, waits in the output queue.
        const bool queued = m_plug->hold || ctsFlowLocked();
        std::size_t n = 0;
        if (!queued) {
            n = count;
            receiveLocked(from, n, 0, false);
        } else {
            for (;;) {
                const std::size_t room =
                    m_plug->capacity > m_out.size() ? m_plug->capacity - m_out.size() : 0;
                const std::size_t take = std::min(count - n, room);
                if (take == 0)
                    break;
                m_out.append(from + n, take);
                n += take;
                flowOutLocked();
            }
        }
        if (n > 0) {
            m_plug->written.append(from, n);
            m_plug->log.push_back(
                LoopbackPlug::LineEvent{LoopbackPlug::LineEvent::Kind::Write, Clock::now(), n});
        }
        return static_cast<long>(n);
    }

    COMSTAT queueCounts() override
    {
        const Lock lock(m_plug->mutex);
        COMSTAT status;
        status.cbInQue = static_cast<DWORD>(inAvailable());
        status.cbOutQue = static_cast<DWORD>(m_out.size());
        return status;
    }

    bool discard(DWORD clearFlags) override
    {
        const Lock lock(m_plug->mutex);
        if (clearFlags & PURGE_RXCLEAR) {
            m_in.clear();
            m_inHead = 0;
        }
        if (clearFlags & PURGE_TXCLEAR)
            m_out.clear();
        return true;
    }

    // The test's predicates run without the plug's lock: they may well look at the plug.
    bool setQueueSizes(DWORD inQueue, DWORD outQueue) override
    {
        std::function<bool(DWORD, DWORD)> refuse;
        {
            const Lock lock(m_plug->mutex);
            ++m_plug->setupCalls;
            refuse = m_plug->refuseSetup;
        }
        if (refuse && refuse(inQueue, outQueue))
            return Fail(ERROR_INVALID_PARAMETER);
        const Lock lock(m_plug->mutex);
        m_plug->inQueue = inQueue;
        m_plug->outQueue = outQueue;
        return true;
    }

    bool readState(DCB *dcb) override
    {
        const Lock lock(m_plug->mutex);
        *dcb = m_plug->dcb;
        return true;
    }

    bool applyState(const DCB &dcb) override
    {
        std::function<bool(const DCB &)> refuse;
        {
            const Lock lock(m_plug->mutex);
            ++m_plug->setStateCalls;
            refuse = m_plug->refuseState;
        }
        if ((refuse && refuse(dcb)) || DcbIsInvalid(dcb))
            return Fail(ERROR_INVALID_PARAMETER);
        const Lock lock(m_plug->mutex);
        m_plug->dcb = dcb;
        m_plug->applyLineControl();
        return true;
    }

    bool acceptTimeouts(const COMMTIMEOUTS &timeouts) override
    {
        std::function<bool(const COMMTIMEOUTS &)> refuse;
        {
            const Lock lock(m_plug->mutex);
            refuse = m_plug->refuseTimeouts;
        }
        if (refuse && refuse(timeouts))
            return Fail(ERROR_INVALID_PARAMETER);
        const Lock lock(m_plug->mutex);
        m_plug->timeouts = timeouts;
        return true;
    }

    bool lineFunction(DWORD function) override
    {
        const Lock lock(m_plug->mutex);
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

    bool modemLines(DWORD *status) override
    {
        const Lock lock(m_plug->mutex);
        *status = (m_plug->rts ? MS_CTS_ON : 0) | (m_plug->dtr ? MS_DSR_ON : 0);
        return true;
    }

    bool errorCounts(CommErrorCounts *counts) override
    {
        const Lock lock(m_plug->mutex);
        *counts = m_counts;
        return true;
    }

    void releaseDevice() override
    {
        const Lock lock(m_plug->mutex);
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
    }

    // ---- With the plug's mutex held.

    std::size_t inAvailable() const { return m_in.size() - m_inHead; }
    std::size_t inRoomLocked() const
    {
        const std::size_t cap = m_plug->inCapacity;
        return cap > inAvailable() ? cap - inAvailable() : 0;
    }
    bool ctsFlowLocked() const { return (m_plug->dcb.Flags & DCB_fOutxCtsFlow) != 0; }

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

    std::shared_ptr<LoopbackPlug::Impl> m_plug;

    // Guarded by m_plug->mutex.
    std::vector<BYTE> m_in; // received, not yet read: m_in[m_inHead..]
    std::size_t m_inHead = 0;
    std::string m_out;        // written while the output is held
    CommErrorCounts m_counts; // since this open
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
