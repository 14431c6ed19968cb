// SPDX-License-Identifier: MIT
// The loopback back end's two halves: the device of one open (SerialLoopback.cpp) and the plug
// with its control calls for tests (SerialLoopbackPlug.cpp). One mutex per plug guards the plug
// and the device of its current open.
#pragma once

#include "Loopback.h"

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace platform
{

struct LoopbackPlug::Impl {
    explicit Impl(int n) : comNumber(n) {}

    const int comNumber;
    mutable std::mutex mutex;

    // Everything below is guarded by `mutex`.
    LoopbackDevice *open = nullptr; // the device of the current open, if any
    int openCount = 0;
    bool missing = false;

    bool rts = false;
    bool dtr = false;
    bool breakOn = false;
    std::vector<LineEvent> log;
    std::string written;

    bool hold = false;
    std::size_t capacity = 4096;
    std::size_t inCapacity = kInputQueueBytes;

    std::function<bool(const DCB &)> refuseState;
    std::function<bool(DWORD, DWORD)> refuseSetup;
    std::function<bool(const COMMTIMEOUTS &)> refuseTimeouts;

    // What the device was last set to; a driver keeps these across opens.
    DCB dcb;
    COMMTIMEOUTS timeouts;
    DWORD inQueue = 0;
    DWORD outQueue = 0;
    int setStateCalls = 0;
    int setupCalls = 0;

    void setLine(bool &line, bool value, LineEvent::Kind on, LineEvent::Kind off)
    {
        if (line == value)
            return;
        line = value;
        log.push_back(LineEvent{value ? on : off, Clock::now(), 0});
    }
    void setRts(bool on) { setLine(rts, on, LineEvent::Kind::RtsOn, LineEvent::Kind::RtsOff); }
    void setDtr(bool on) { setLine(dtr, on, LineEvent::Kind::DtrOn, LineEvent::Kind::DtrOff); }
    void setBreak(bool on) { setLine(breakOn, on, LineEvent::Kind::BreakOn, LineEvent::Kind::BreakOff); }

    // The levels a driver gives the lines for the DCB's control modes. Handshake lines are raised
    // because the loopback's input never fills; RTS toggle rests low between transmissions, and
    // the loopback never has one in progress.
    void applyLineControl()
    {
        const DWORD d = DcbDtrControl(dcb);
        setDtr(d == DTR_CONTROL_ENABLE || d == DTR_CONTROL_HANDSHAKE);
        const DWORD r = DcbRtsControl(dcb);
        setRts(r == RTS_CONTROL_ENABLE || r == RTS_CONTROL_HANDSHAKE);
    }
};

// The plug's calls into the device of its current open, made with the plug's mutex held.
void ReceiveLocked(LoopbackDevice &device, const char *bytes, std::size_t n, DWORD lineErrors,
                   bool breakSignal);
void ReleaseOutputLocked(LoopbackDevice &device);
void NotifyLocked(LoopbackDevice &device);
void RemoveLocked(LoopbackDevice &device);

} // namespace platform
