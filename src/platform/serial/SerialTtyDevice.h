// SPDX-License-Identifier: MIT
// The tty back end's device object, shared by its three parts: SerialTty.cpp (open, close,
// purges, lines, counters), SerialTtySettings.cpp (control block, time-outs, bit rates) and
// SerialTtyIo.cpp (the reader thread, line-event waits, reads and writes).
//
// Lifetime: every call holds the device's lifetime lock shared while it uses the descriptor, and
// close() takes it exclusively before the descriptor goes, so no call can ever reach a descriptor
// number the process has since reused for something else. Calls that block register a wake-up
// descriptor of their thread with the device; close() and the purges signal them, so close() never
// waits for more than the time a woken call needs to leave.
#pragma once

#include "ArrivalTimes.h"
#include "ByteQueue.h"
#include "Serial.h"
#include "SerialInternal.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <sys/eventfd.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace platform::tty
{

// The reader thread takes what the kernel has as soon as it arrives. When the bytes come slowly
// (the reader waited at least kSlowSourceWait for them, and since then no read got near a full
// line-discipline buffer of 4096 bytes), the reader lets the next bytes gather for kGatherMs, so
// that a stream of small writes costs a few large reads, not one each.
constexpr std::size_t kTtyReadBufferBytes = 4096;
constexpr std::size_t kFloodReadBytes = kTtyReadBufferBytes * 3 / 4;
constexpr int kGatherMs = 2;
constexpr std::chrono::microseconds kSlowSourceWait{300};
// The driver's error counters are read this soon after a NUL byte arrived (breaks, parity and
// framing errors and overruns all arrive as NUL in raw mode), and at most this long after any
// other bytes (the driver's own losses come with no byte of their own).
constexpr int kCountsAfterNulMs = 10;
constexpr int kCountsAfterBytesMs = 250;
// A full input queue starts taking from the kernel again once this much room is free.
constexpr std::size_t kResumeRoomBytes = std::size_t{64} * 1024;

int Ioctl(int fd, unsigned long request, void *arg);

struct ErrorCounts {
    std::uint32_t frame = 0, parity = 0, overrun = 0, bufOverrun = 0, brk = 0;
};

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

const ThreadWaker &ThisThreadWaker();

// Raw, binary, no job control: what a serial terminal needs.
void MakeRaw(termios &t);

class TtyDevice final : public CommDevice
{
  public:
    TtyDevice(int fd, std::string path);
    ~TtyDevice() override;

    bool close() override;
    bool setupComm(DWORD inQueue, DWORD outQueue) override;
    bool purgeComm(DWORD flags) override;
    bool getCommState(DCB *dcb) override;
    bool setCommState(const DCB &dcb) override;
    bool getCommTimeouts(COMMTIMEOUTS *timeouts) override;
    bool setCommTimeouts(const COMMTIMEOUTS &timeouts) override;
    bool setCommMask(DWORD mask) override;
    bool escapeCommFunction(DWORD function) override;
    bool getCommModemStatus(DWORD *status) override;
    bool clearCommError(DWORD *errors, COMSTAT *status) override;
    bool getErrorCounts(CommErrorCounts *counts) override;
    bool inputArrival(DWORD *ageMs, DWORD *run) override;
    bool waitCommEvent(DWORD *mask, Event &wake) override;
    bool readFile(void *buffer, DWORD count, DWORD *read, OVERLAPPED *ov) override;
    bool writeFile(const void *buffer, DWORD count, DWORD *written, OVERLAPPED *ov) override;
    bool getOverlappedResult(OVERLAPPED *ov, DWORD *transferred, bool wait) override;

    // Called once by OpenTty before anybody else sees the device: reads the settings and starts
    // the reader thread. Throws std::system_error when no thread can be had.
    void initialise();

  private:
    // While a thread blocks in this device, close() and the purges can wake it.
    class Registration
    {
      public:
        explicit Registration(TtyDevice &device);
        ~Registration();
        Registration(const Registration &) = delete;
        Registration &operator=(const Registration &) = delete;
        int fd() const { return m_waker.fd(); }
        void drain() const { m_waker.drain(); }

      private:
        TtyDevice &m_device;
        const ThreadWaker &m_waker;
    };

    // A lock that owns nothing means the device is closed.
    std::shared_lock<std::shared_mutex> use();
    void wakeWaiters();

    bool readCounts(ErrorCounts *counts) const;
    mutable std::atomic<bool> m_noCounters{false}; // the driver has no error counters
    // The reader thread: moves bytes from the kernel into m_in until the device closes.
    void readerLoop();
    // Reads what the kernel has into the queue; returns the bytes moved, or -1 on a hang-up.
    long fillQueue(bool *sawNul);
    void takeCounts();
    void signalReader();
    // Non-blocking transfers: bytes moved (0 when the device would block), or -1 with the last
    // error set. Reads take from the input queue; a hung-up device fails once the queue is empty.
    long readSome(BYTE *buffer, DWORD count);
    long writeSome(const BYTE *buffer, DWORD count);
    bool readEndsOnFirstByte() const;
    bool finish(OVERLAPPED *ov, DWORD *transferred, bool ok, DWORD error);
    void setModemLine(int line, bool on) const;
    // The settings the device has now, read once at the open (SerialTtySettings.cpp).
    void readSettings();
    bool restoreState(const termios &old, DWORD oldRate);

    const std::string m_path;
    int m_fd;

    std::shared_mutex m_life;
    std::atomic<bool> m_closed{false};

    std::mutex m_waitMutex;
    std::vector<int> m_waiters;

    mutable std::mutex m_stateMutex; // guards the settings below
    DCB m_dcb;
    COMMTIMEOUTS m_timeouts;
    DWORD m_inQueue = 4096;
    DWORD m_outQueue = 4096;

    std::atomic<DWORD> m_mask{0};
    std::atomic<std::uint64_t> m_txGeneration{0};
    std::atomic<std::uint64_t> m_rxGeneration{0};

    // The input queue and what the reader learnt, guarded by m_inMutex. An EV_RXCHAR is due when
    // the bytes that ever arrived pass the total of the last report.
    std::mutex m_inMutex;
    ByteQueue m_in{kInputQueueBytes};
    ArrivalTimes m_arrivals; // when the queued bytes came
    std::uint64_t m_arrivedTotal = 0;
    std::uint64_t m_reportedTotal = 0;
    std::uint64_t m_purgeGeneration = 0; // bytes read before a purge are not queued after it
    bool m_readerStalled = false;        // the queue was full: the reader waits for room
    bool m_hungUp = false;
    DWORD m_hangUpError = ERROR_DEVICE_REMOVED;
    DWORD m_pendingEvents = 0; // EV_BREAK / EV_ERR seen since the last WaitCommEvent took them
    DWORD m_pendingErrors = 0; // CE_* bits since the last ClearCommError
    ErrorCounts m_openCounts;  // the driver's counters at the open
    ErrorCounts m_counts;      // ... when last read

    std::thread m_reader;
    int m_readerWake = -1; // eventfd: close, purge or room in the queue
};

} // namespace platform::tty
