// SPDX-License-Identifier: MIT
// The tty back end's device, shared by its three parts: SerialTty.cpp (open, close, purges,
// lines, counters), SerialTtySettings.cpp (control block, bit rates) and SerialTtyIo.cpp (the
// reader thread and the transfers). The waits, the overlapped operations and their time-outs are
// the serial core's (SerialCore.h), whose lifetime rules hold here too: the descriptor is used only
// under the core's lifetime lock, and it is closed only once the reader thread has ended.
//
// The reader thread takes what the kernel has into the device's own input queue as it arrives,
// however long the reader of the port is busy, and tells the core; the core's reads take from that
// queue. A hang-up is told to the core once, and the reader stops watching the descriptor, which
// would report it for ever.
#pragma once

#include "ArrivalTimes.h"
#include "ByteQueue.h"
#include "SerialCore.h"
#include "SerialInternal.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>

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

// Raw, binary, no job control: what a serial terminal needs.
void MakeRaw(termios &t);

class TtyDevice final : public SerialCore
{
  public:
    TtyDevice(int fd, std::string path);
    ~TtyDevice() override;

    // Called once by OpenTty before anybody else sees the device: reads the settings and starts
    // the reader thread. Throws std::system_error when no thread can be had.
    void initialise();

  private:
    // The serial core's primitives.
    long readSome(BYTE *buffer, DWORD count) override;
    long writeSome(const BYTE *buffer, DWORD count) override;
    int writableDescriptor() const override { return m_fd; }
    COMSTAT queueCounts() override;
    bool discard(DWORD clearFlags) override;
    bool setQueueSizes(DWORD inQueue, DWORD outQueue) override;
    bool readState(DCB *dcb) override;
    bool applyState(const DCB &dcb) override;
    bool lineFunction(DWORD function) override;
    bool modemLines(DWORD *status) override;
    bool errorCounts(CommErrorCounts *counts) override;
    bool nextArrival(DWORD *ageMs, DWORD *run) override;
    void stopDevice() override;
    void releaseDevice() override;

    bool readCounts(ErrorCounts *counts) const;
    mutable std::atomic<bool> m_noCounters{false}; // the driver has no error counters
    // The reader thread: moves bytes from the kernel into m_in until the device closes.
    void readerLoop();
    // Reads what the kernel has into the queue; returns the bytes moved, or -1 on a hang-up.
    long fillQueue(bool *sawNul);
    void takeCounts();
    void signalReader();
    void setModemLine(int line, bool on) const;
    // The settings the device has now, read once at the open (SerialTtySettings.cpp).
    void readSettings();
    bool restoreState(const termios &old, DWORD oldRate);

    const std::string m_path;
    int m_fd;

    mutable std::mutex m_stateMutex; // guards the settings below
    DCB m_dcb;
    DWORD m_inQueue = 4096;
    DWORD m_outQueue = 4096;

    // The input queue and what the reader learnt, guarded by m_inMutex.
    std::mutex m_inMutex;
    ByteQueue m_in{kInputQueueBytes};
    ArrivalTimes m_arrivals;             // when the queued bytes came
    std::uint64_t m_arrivedTotal = 0;    // bytes that ever arrived
    std::uint64_t m_purgeGeneration = 0; // bytes read before a purge are not queued after it
    bool m_readerStalled = false;        // the queue was full: the reader waits for room
    bool m_hungUp = false;
    ErrorCounts m_openCounts; // the driver's counters at the open
    ErrorCounts m_counts;     // ... when last read

    std::thread m_reader;
    int m_readerWake = -1; // eventfd: close, purge or room in the queue
};

} // namespace platform::tty
