// SPDX-License-Identifier: MIT
#include "SerialInternal.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace platform
{

std::int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::int64_t DeadlineMs(std::uint64_t ms)
{
    using namespace std::chrono;
    return ceil<milliseconds>(steady_clock::now().time_since_epoch()).count() + static_cast<std::int64_t>(ms);
}

int RemainingMs(std::int64_t deadlineMs)
{
    if (deadlineMs < 0)
        return -1;
    const std::int64_t left = deadlineMs - NowMs();
    return left <= 0 ? 0 : static_cast<int>(std::min<std::int64_t>(left, 1 << 30));
}

bool Fail(DWORD error)
{
    SetLastError(error);
    return false;
}

DWORD ErrorFromErrno(int err)
{
    switch (err) {
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case ENOENT:
    case ENOTDIR:
        return ERROR_FILE_NOT_FOUND;
    case EBUSY:
    case EWOULDBLOCK:
        return ERROR_SHARING_VIOLATION;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case ENOTTY:
        return ERROR_NOT_SUPPORTED;
    case EIO:
    case ENXIO:
    case ENODEV:
    case EPIPE:
        return ERROR_DEVICE_REMOVED; // a hung-up tty or a pulled adapter
    default:
        return ERROR_GEN_FAILURE;
    }
}

bool FailErrno(int err)
{
    return Fail(ErrorFromErrno(err));
}

ReadRule ReadRuleFor(const COMMTIMEOUTS &t, DWORD count)
{
    ReadRule rule;
    const bool interval = t.ReadIntervalTimeout == MAXDWORD;
    rule.returnAtOnce = interval && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
    rule.endOnFirstByte =
        interval && (t.ReadTotalTimeoutMultiplier == 0 || t.ReadTotalTimeoutMultiplier == MAXDWORD);
    rule.totalMs = t.ReadTotalTimeoutConstant;
    if (t.ReadTotalTimeoutMultiplier != MAXDWORD)
        rule.totalMs += static_cast<std::uint64_t>(t.ReadTotalTimeoutMultiplier) * count;
    return rule;
}

} // namespace platform
