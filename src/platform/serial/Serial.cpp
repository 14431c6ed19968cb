// SPDX-License-Identifier: MIT
// The Windows-named entry points: check the handle, then let the back end do the work.
#include "Serial.h"

#include "Loopback.h"
#include "PortDevice.h"
#include "PortNames.h"
#include "SerialInternal.h"

#include <atomic>

namespace platform
{
namespace
{

thread_local DWORD t_lastError = ERROR_SUCCESS;
std::atomic<DWORD> g_nextId{1};

bool Invalid()
{
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
}

} // namespace

DWORD GetLastError()
{
    return t_lastError;
}
void SetLastError(DWORD error)
{
    t_lastError = error;
}

CommDevice::CommDevice() : m_id(g_nextId.fetch_add(1))
{
    if (m_id == 0xFFFFFFFFu) // the invalid value is never an open device's number
        m_id = g_nextId.fetch_add(1);
}

HANDLE CreateFileA(const std::string &deviceName)
{
    const int n = ComNumberFromDeviceName(deviceName);
    const PortTarget target = n > 0 ? ResolvePort(n) : PortTarget{};
    NoteOpenStart(n, target);
    HANDLE h;
    switch (target.kind) {
    case PortTarget::Kind::Device:
        h = OpenTty(target.path);
        break;
    case PortTarget::Kind::Loopback:
        h = OpenLoopback(n);
        break;
    case PortTarget::Kind::Network:
        h = OpenNetwork(target);
        break;
    case PortTarget::Kind::None:
    default:
        SetLastError(ERROR_FILE_NOT_FOUND);
        h = nullptr;
        break;
    }
    if (!h) {
        const DWORD error = GetLastError();
        NoteOpenFailure(error);
        SetLastError(error);
    }
    return h;
}

bool CloseHandle(const HANDLE &h)
{
    return h ? h->close() : Invalid();
}
bool SetupComm(const HANDLE &h, DWORD in, DWORD out)
{
    return h ? h->setupComm(in, out) : Invalid();
}
bool PurgeComm(const HANDLE &h, DWORD flags)
{
    return h ? h->purgeComm(flags) : Invalid();
}
bool GetCommState(const HANDLE &h, DCB *dcb)
{
    return h && dcb ? h->getCommState(dcb) : Invalid();
}
bool SetCommState(const HANDLE &h, const DCB &dcb)
{
    if (!h)
        return Invalid();
    if (h->setCommState(dcb))
        return true;
    const DWORD error = GetLastError();
    if (error == ERROR_INVALID_PARAMETER)
        NoteSettingRefused(dcb);
    SetLastError(error);
    return false;
}
bool GetCommTimeouts(const HANDLE &h, COMMTIMEOUTS *t)
{
    return h && t ? h->getCommTimeouts(t) : Invalid();
}
bool SetCommTimeouts(const HANDLE &h, const COMMTIMEOUTS &t)
{
    return h ? h->setCommTimeouts(t) : Invalid();
}
bool SetCommMask(const HANDLE &h, DWORD mask)
{
    return h ? h->setCommMask(mask) : Invalid();
}
bool EscapeCommFunction(const HANDLE &h, DWORD f)
{
    return h ? h->escapeCommFunction(f) : Invalid();
}
bool GetCommModemStatus(const HANDLE &h, DWORD *s)
{
    return h && s ? h->getCommModemStatus(s) : Invalid();
}
bool SetCommBreak(const HANDLE &h)
{
    return h ? h->escapeCommFunction(SETBREAK) : Invalid();
}
bool ClearCommBreak(const HANDLE &h)
{
    return h ? h->escapeCommFunction(CLRBREAK) : Invalid();
}

bool ClearCommError(const HANDLE &h, DWORD *errors, COMSTAT *status)
{
    if (!h)
        return Invalid();
    DWORD e = 0;
    COMSTAT s;
    const bool ok = h->clearCommError(&e, &s);
    if (errors)
        *errors = e;
    if (status)
        *status = s;
    return ok;
}

bool GetCommErrorCounts(const HANDLE &h, CommErrorCounts *counts)
{
    if (!h)
        return Invalid();
    CommErrorCounts c;
    const bool ok = h->getErrorCounts(&c);
    if (counts)
        *counts = c;
    return ok;
}

bool GetInputArrival(const HANDLE &h, DWORD *ageMs, DWORD *run)
{
    DWORD age = 0, n = 0;
    const bool known = h && h->inputArrival(&age, &n);
    if (ageMs)
        *ageMs = known ? age : 0;
    if (run)
        *run = known ? n : 0;
    return known;
}

RemotePortState QueryRemotePort(const HANDLE &h)
{
    return h ? h->remotePort() : RemotePortState{};
}

bool WaitCommEvent(const HANDLE &h, DWORD *mask, Event &wake)
{
    if (mask)
        *mask = 0;
    if (!h)
        return Invalid();
    DWORD m = 0;
    const bool ok = h->waitCommEvent(&m, wake);
    if (mask)
        *mask = m;
    return ok;
}

bool ReadFile(const HANDLE &h, void *buffer, DWORD count, DWORD *read, OVERLAPPED *ov)
{
    if (read)
        *read = 0;
    if (!h || !ov || (!buffer && count))
        return h ? (SetLastError(ERROR_INVALID_PARAMETER), false) : Invalid();
    DWORD n = 0;
    const bool ok = h->readFile(buffer, count, &n, ov);
    if (read)
        *read = n;
    return ok;
}

bool WriteFile(const HANDLE &h, const void *buffer, DWORD count, DWORD *written, OVERLAPPED *ov)
{
    if (written)
        *written = 0;
    if (!h || !ov || (!buffer && count))
        return h ? (SetLastError(ERROR_INVALID_PARAMETER), false) : Invalid();
    DWORD n = 0;
    const bool ok = h->writeFile(buffer, count, &n, ov);
    if (written)
        *written = n;
    return ok;
}

bool GetOverlappedResult(const HANDLE &h, OVERLAPPED *ov, DWORD *transferred, bool wait)
{
    if (transferred)
        *transferred = 0;
    if (!h || !ov)
        return h ? (SetLastError(ERROR_INVALID_PARAMETER), false) : Invalid();
    DWORD n = 0;
    const bool ok = h->getOverlappedResult(ov, &n, wait);
    if (transferred)
        *transferred = n;
    return ok;
}

} // namespace platform
