// SPDX-License-Identifier: MIT
// The in-process loopback plug: a port mapped to "loopback" in [PORTS] opens one of these instead
// of a device. Bytes written come back as received bytes; RTS drives CTS, DTR drives DSR; a break
// sent comes back as a received break (EV_BREAK). Tests reach the plug of a port by its COM name
// to watch the lines, inject line errors and received data, hold back output (as CTS flow control
// would) and make the device refuse settings.
#pragma once

#include "Serial.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform
{

class LoopbackDevice;

class LoopbackPlug
{
  public:
    // The plug behind "COMn" (created on first use; it outlives opens and closes of the port).
    static std::shared_ptr<LoopbackPlug> Get(int comNumber);
    // Forgets every plug and its settings (between tests). Plugs still open stay usable by their
    // holders but are no longer found by Get.
    static void ResetAll();

    using Clock = std::chrono::steady_clock;
    struct LineEvent {
        enum class Kind { RtsOn, RtsOff, DtrOn, DtrOff, BreakOn, BreakOff, Write } kind;
        Clock::time_point when;
        std::size_t bytes = 0; // Write: how many bytes were accepted
    };

    bool isOpen() const;
    int openCount() const; // how many times the plug has been opened so far

    // Output lines as the device drives them.
    bool rts() const;
    bool dtr() const;
    bool breakOn() const;
    // Every line change and accepted write since the plug was created or the log was cleared.
    std::vector<LineEvent> lineLog() const;
    void clearLineLog();

    // Everything written to the device since the last call (in order), whether or not it has
    // come back yet.
    std::string takeWritten();

    // Received side: bytes that arrive as if sent by the far end, and line errors (CE_* bits)
    // latched until ClearCommError reads them; an optional break. All of one call arrive in one
    // wake-up of a waiting WaitCommEvent. Each error bit and the break count once in the
    // device's error counts (GetCommErrorCounts).
    void inject(const std::string &bytes, DWORD lineErrors = 0, bool breakSignal = false);

    // While held, written bytes stay in the output queue (cbOutQue) and do not come back; a write
    // that cannot finish before its time-out completes short. Releasing lets them through.
    void holdOutput(bool hold);
    // Size of the output queue the device takes before a write has to wait (default 4096).
    void setOutputCapacity(std::size_t bytes);
    // Size of the input queue (default kInputQueueBytes). Bytes that arrive when it is full are
    // lost and counted, except written bytes under RTS/CTS flow control: they wait in the output
    // queue until reading makes room, and a write that does not fit waits with them.
    void setInputCapacity(std::size_t bytes);

    // Settings the device refuses: the predicate sees the DCB asked for; true refuses it and
    // SetCommState fails with ERROR_INVALID_PARAMETER. Likewise for SetupComm and
    // SetCommTimeouts. Pass nullptr to accept everything again.
    void refuseState(std::function<bool(const DCB &)> predicate);
    void refuseSetup(std::function<bool(DWORD inQueue, DWORD outQueue)> predicate);
    void refuseTimeouts(std::function<bool(const COMMTIMEOUTS &)> predicate);
    // The last values the device accepted.
    DCB state() const;
    COMMTIMEOUTS timeouts() const;
    DWORD inQueueSize() const;
    DWORD outQueueSize() const;
    // How many SetCommState / SetupComm calls the device has seen (accepted or not).
    int setStateCalls() const;
    int setupCalls() const;

    // Opening this plug fails as if the device were missing.
    void setMissing(bool missing);
    bool isMissing() const;
    // Pulls the plug out: the open device (if any) hangs up as a pulled adapter does, and later
    // opens fail until setMissing(false) plugs it in again.
    void unplug();

    // For the device implementation.
    struct Impl;
    std::shared_ptr<Impl> impl() const { return m_impl; }
    explicit LoopbackPlug(int comNumber);

  private:
    std::shared_ptr<Impl> m_impl;
};

} // namespace platform
