// SPDX-License-Identifier: MIT
// What the serial core and its back ends share, internal to the platform layer: the openers, the
// error helpers, the clock, the opening check of every device call and the one rule for read
// time-outs.
#pragma once

#include "Serial.h"

#include <cstdint>
#include <string>

namespace platform
{

// Opens a tty device (a serial port or a pseudo-terminal) exclusively; nullptr + last error on
// failure.
HANDLE OpenTty(const std::string &path);
// Opens the loopback plug of COMn; nullptr + last error when the plug is set missing or busy.
HANDLE OpenLoopback(int comNumber);
// Connects to a port on another machine; nullptr + last error (and the system's words for it,
// NoteOpenDetail) when the address is bad, the connection fails or the server speaks no Telnet.
struct PortTarget;
HANDLE OpenNetwork(const PortTarget &target);

// Sets the last error and returns false, for `return Fail(...)`.
bool Fail(DWORD error);
// The one place errno becomes a Windows error.
DWORD ErrorFromErrno(int err);
bool FailErrno(int err);

// Steady-clock milliseconds.
std::int64_t NowMs();
// A steady-clock deadline `ms` from now, rounded up so that an operation never ends before its
// time-out.
std::int64_t DeadlineMs(std::uint64_t ms);
// Milliseconds left until a steady-clock deadline, for poll (-1: no deadline).
int RemainingMs(std::int64_t deadlineMs);

// The opening check of a device call: `lock` owns nothing once the device is closed, and the call
// then fails as one on a closed handle does. Use: `auto lock = use(); if (Closed(lock)) return false;`
template <class Lock> bool Closed(const Lock &lock)
{
    if (lock.owns_lock())
        return false;
    SetLastError(ERROR_INVALID_HANDLE);
    return true;
}

// How a read of `count` bytes ends under the time-outs, the part of the Windows rules the
// component relies on.
struct ReadRule {
    bool returnAtOnce = false;   // give back what is waiting now, even nothing
    bool endOnFirstByte = false; // end as soon as at least one byte came
    std::uint64_t totalMs = 0;   // the total time-out (0: none)
};
ReadRule ReadRuleFor(const COMMTIMEOUTS &t, DWORD count);

} // namespace platform
