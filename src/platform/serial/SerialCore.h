// SPDX-License-Identifier: MIT
// The I/O core every serial back end sits on. The overlapped reads and writes with their
// time-outs, GetOverlappedResult, the wait for line events and the error state that
// ClearCommError hands out are written here once; a back end supplies only what its device does:
// hand over the bytes that are there, take bytes to send, apply settings, drive the lines, empty
// its queues and let the device go (the primitives below).
//
// Lifetime: every call holds the device's lifetime lock shared while it is in the back end, and
// close() takes it exclusively before the back end lets its device go, so no call can ever reach a
// device, or a descriptor number the process has since reused, that a later open got. Once closed,
// every call fails as one on a closed handle does (ERROR_INVALID_HANDLE).
//
// Waiting: a call that blocks registers a wake-up descriptor of its own thread with the device and
// sleeps in poll() on it (with the caller's wake-up event, or with the device's writable
// descriptor). It registers before it looks at the state and looks again after every wake-up, so
// no change is missed. Everything that changes what a waiter looks at wakes every waiter: close(),
// a purge, a new mask, a write that ends, and the back end when bytes, line events, room or a
// hang-up come. close() wakes them before it waits for the lifetime lock, so it never waits longer
// than a woken call takes to leave.
//
// Hang-up: once the back end says its device went, the event wait and reads that find nothing
// fail at once with the back end's error instead of sleeping (what was received can still be
// read), so nobody spins on a device that keeps reporting a hang-up.
//
// Locks, outermost first: the lifetime lock, the write-order lock, the back end's own locks, the
// core's state lock, the registry of waiters. The core calls a primitive with at most the first
// two held; a back end may tell the core (noteArrival, noteHangUp, wakeWaiters) with its own
// locks held, and never calls into the core otherwise.
#pragma once

#include "Serial.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <shared_mutex>
#include <vector>

namespace platform
{

class SerialCore : public CommDevice
{
  public:
    // What a new event mask does to the events seen so far and to a wait in progress. A Windows
    // driver forgets them and ends the wait with no event; the loopback plug does the same. The
    // tty back end keeps them, so that bytes that came between the open and the mask still wake
    // the receiver, and a wait in progress goes on under the new mask (and fails when it is 0).
    enum class NewMask { EndsWait, KeepsWaiting };

    bool close() final;
    bool setupComm(DWORD inQueue, DWORD outQueue) final;
    bool purgeComm(DWORD flags) final;
    bool getCommState(DCB *dcb) final;
    bool setCommState(const DCB &dcb) final;
    bool getCommTimeouts(COMMTIMEOUTS *timeouts) final;
    bool setCommTimeouts(const COMMTIMEOUTS &timeouts) final;
    bool setCommMask(DWORD mask) final;
    bool escapeCommFunction(DWORD function) final;
    bool getCommModemStatus(DWORD *status) final;
    bool clearCommError(DWORD *errors, COMSTAT *status) final;
    bool getErrorCounts(CommErrorCounts *counts) final;
    bool inputArrival(DWORD *ageMs, DWORD *run) final;
    bool waitCommEvent(DWORD *mask, Event &wake) final;
    bool readFile(void *buffer, DWORD count, DWORD *read, OVERLAPPED *ov) final;
    bool writeFile(const void *buffer, DWORD count, DWORD *written, OVERLAPPED *ov) final;
    bool getOverlappedResult(OVERLAPPED *ov, DWORD *transferred, bool wait) final;

  protected:
    // `timeouts`: what the device has at the open.
    explicit SerialCore(NewMask newMask, const COMMTIMEOUTS &timeouts = {});
    // A back end closes the device in its own destructor (close() calls its primitives).
    ~SerialCore() override = default;

    // ---- The primitives. Each runs with the device open and its lifetime lock held, returns at
    // once, and sets the last error where it fails.

    // Moves up to `count` received bytes into `buffer`: how many (0 when none are there), or -1.
    virtual long readSome(BYTE *buffer, DWORD count) = 0;
    // Takes up to `count` bytes to send: how many (0 when the device has no room now), or -1.
    virtual long writeSome(const BYTE *buffer, DWORD count) = 0;
    // A descriptor that polls writable when writeSome may take more; -1 when the back end calls
    // wakeWaiters() itself whenever room comes.
    virtual int writableDescriptor() const { return -1; }
    // The queue counts of ClearCommError.
    virtual COMSTAT queueCounts() = 0;
    // Empties the queues PURGE_TXCLEAR and PURGE_RXCLEAR name.
    virtual bool discard(DWORD clearFlags) = 0;
    // SetupComm, GetCommState, SetCommState; a back end that may refuse time-outs says so in
    // acceptTimeouts (the core keeps the ones accepted).
    virtual bool setQueueSizes(DWORD inQueue, DWORD outQueue) = 0;
    virtual bool readState(DCB *dcb) = 0;
    virtual bool applyState(const DCB &dcb) = 0;
    virtual bool acceptTimeouts(const COMMTIMEOUTS & /*timeouts*/) { return true; }
    // EscapeCommFunction (breaks included) and GetCommModemStatus.
    virtual bool lineFunction(DWORD function) = 0;
    virtual bool modemLines(DWORD *status) = 0;
    // GetCommErrorCounts and GetInputArrival.
    virtual bool errorCounts(CommErrorCounts *counts) = 0;
    virtual bool nextArrival(DWORD * /*ageMs*/, DWORD * /*run*/) { return false; }
    // Closing: stopDevice ends the back end's own threads while the device is still there (no
    // lock held, the calls woken); releaseDevice then lets the device go, with no call left in it.
    virtual void stopDevice() {}
    virtual void releaseDevice() = 0;

    // ---- What a back end tells the core, from any thread.

    // Line events (EV_*) and line errors (CE_*) arrived; waiters look again.
    void noteArrival(DWORD events, DWORD errors);
    // The device went (a hang-up, a pulled adapter): `error` is what the calls that can no longer
    // succeed fail with. Only the first report counts.
    void noteHangUp(DWORD error);
    // Something a waiter may look at changed (room to write, for example).
    void wakeWaiters();

    // For a back end's own threads: the lifetime lock, owning nothing once the device is closed.
    std::shared_lock<std::shared_mutex> use();
    bool isClosed() const { return m_closed.load(); }

  private:
    class Registration;

    COMMTIMEOUTS timeouts() const;
    DWORD goneError() const;
    long continueRead(OVERLAPPED *ov);
    long continueWrite(OVERLAPPED *ov, bool *first);
    bool finish(OVERLAPPED *ov, DWORD *transferred, DWORD error);

    const NewMask m_newMask;

    std::shared_mutex m_life;
    std::atomic<bool> m_closed{false};

    std::mutex m_waitMutex; // guards m_waiters
    std::vector<int> m_waiters;

    // Writes leave in the order they were issued: only the first pending one moves bytes.
    std::mutex m_writeMutex;                        // guards the two below
    std::deque<const OVERLAPPED *> m_pendingWrites; // only compared, never read
    std::uint64_t m_txGeneration = 0;
    std::atomic<std::uint64_t> m_rxGeneration{0};

    mutable std::mutex m_stateMutex; // guards the state below
    COMMTIMEOUTS m_timeouts;
    DWORD m_mask = 0;
    std::uint64_t m_maskGeneration = 0;
    DWORD m_history = 0;   // events since a wait last looked
    DWORD m_errors = 0;    // CE_* bits since the last ClearCommError
    DWORD m_goneError = 0; // ERROR_SUCCESS while the device is there
};

} // namespace platform
