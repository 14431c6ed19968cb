// SPDX-License-Identifier: MIT
// The tty back end: a serial port or a pseudo-terminal driven through termios and the tty ioctls.
// This part opens and closes the device, purges it and carries the lines and the counters; the
// settings are in SerialTtySettings.cpp, the waits and transfers in SerialTtyIo.cpp.
#include "SerialInternal.h"
#include "SerialTermios2.h"
#include "SerialTtyDevice.h"

#include <algorithm>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <system_error>

namespace platform
{
namespace tty
{
namespace
{

// A driver without modem lines or counters answers one of these: the feature is missing, not broken.
bool Unsupported(int err)
{
    return err == ENOTTY || err == EINVAL;
}

} // namespace

int Ioctl(int fd, unsigned long request, void *arg)
{
    int r;
    do
        r = ::ioctl(fd, request, arg);
    while (r < 0 && errno == EINTR);
    return r;
}

TtyDevice::TtyDevice(int fd, std::string path) : m_path(std::move(path)), m_fd(fd) {}

TtyDevice::~TtyDevice()
{
    if (!m_closed.load())
        close(); // joins the reader
    if (m_readerWake >= 0)
        ::close(m_readerWake);
}

void TtyDevice::initialise()
{
    readSettings();
    readCounts(&m_openCounts);
    m_counts = m_openCounts;
    m_readerWake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_readerWake < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
    m_reader = std::thread([this] { readerLoop(); });
}

std::shared_lock<std::shared_mutex> TtyDevice::use()
{
    std::shared_lock lock(m_life);
    if (m_closed.load())
        lock.unlock();
    return lock;
}

void TtyDevice::wakeWaiters()
{
    std::lock_guard lock(m_waitMutex);
    const std::uint64_t one = 1;
    for (const int fd : m_waiters)
        while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
        }
}

bool TtyDevice::close()
{
    {
        // Under the registry lock, so a waiter registers either before the flag (and is signalled)
        // or after it (and sees it).
        std::lock_guard lock(m_waitMutex);
        if (m_closed.load())
            return Fail(ERROR_INVALID_HANDLE);
        m_closed.store(true);
        const std::uint64_t one = 1;
        for (const int fd : m_waiters)
            while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
            }
    }
    // The reader never waits for anybody but its wake-up, so this join is short.
    signalReader();
    if (m_reader.joinable() && m_reader.get_id() != std::this_thread::get_id())
        m_reader.join();
    std::unique_lock life(m_life);
    // Output still held back by flow control would make the driver's close wait for it (up to
    // half a minute on a UART); closing means now. TIOCEXCL outlives the descriptor on a tty
    // that stays alive (a pseudo-terminal whose master is open), so it is dropped by hand.
    ::tcflush(m_fd, TCOFLUSH);
    Ioctl(m_fd, TIOCNXCL, nullptr);
    ::close(m_fd); // also releases the flock; never retried, the descriptor is gone either way
    m_fd = -1;
    return true;
}

bool TtyDevice::readCounts(ErrorCounts *counts) const
{
    // A driver that has none (a pseudo-terminal) is asked only once.
    if (m_noCounters)
        return false;
    serial_icounter_struct ic{};
    if (Ioctl(m_fd, TIOCGICOUNT, &ic) < 0) {
        if (Unsupported(errno))
            m_noCounters = true;
        return false;
    }
    counts->frame = static_cast<std::uint32_t>(ic.frame);
    counts->parity = static_cast<std::uint32_t>(ic.parity);
    counts->overrun = static_cast<std::uint32_t>(ic.overrun);
    counts->bufOverrun = static_cast<std::uint32_t>(ic.buf_overrun);
    counts->brk = static_cast<std::uint32_t>(ic.brk);
    return true;
}

bool TtyDevice::purgeComm(DWORD flags)
{
    auto lock = use();
    if (Closed(lock))
        return false;
    if (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
        return Fail(ERROR_INVALID_PARAMETER);
    if (flags & PURGE_TXABORT)
        m_txGeneration.fetch_add(1);
    if (flags & PURGE_RXABORT)
        m_rxGeneration.fetch_add(1);
    if (flags & (PURGE_TXABORT | PURGE_RXABORT))
        wakeWaiters();
    bool ok = true;
    int err = 0;
    if ((flags & PURGE_TXCLEAR) && ::tcflush(m_fd, TCOFLUSH) < 0) {
        ok = false;
        err = errno;
    }
    if (flags & PURGE_RXCLEAR) {
        std::lock_guard in(m_inMutex);
        if (::tcflush(m_fd, TCIFLUSH) < 0) {
            ok = false;
            err = errno;
        }
        m_in.clear();
        m_arrivals.clear();
        ++m_purgeGeneration;
        m_reportedTotal = m_arrivedTotal; // nothing unread is left to report
        if (m_readerStalled) {
            m_readerStalled = false;
            signalReader();
        }
    }
    return ok ? true : FailErrno(err);
}

bool TtyDevice::setCommMask(DWORD mask)
{
    auto lock = use();
    if (Closed(lock))
        return false;
    m_mask.store(mask);
    wakeWaiters(); // a pending wait looks at the new mask (and ends on 0)
    return true;
}

bool TtyDevice::escapeCommFunction(DWORD function)
{
    auto lock = use();
    if (Closed(lock))
        return false;
    unsigned long request = 0;
    int bits = 0;
    switch (function) {
    case SETRTS:
        request = TIOCMBIS;
        bits = TIOCM_RTS;
        break;
    case CLRRTS:
        request = TIOCMBIC;
        bits = TIOCM_RTS;
        break;
    case SETDTR:
        request = TIOCMBIS;
        bits = TIOCM_DTR;
        break;
    case CLRDTR:
        request = TIOCMBIC;
        bits = TIOCM_DTR;
        break;
    case SETBREAK:
        request = TIOCSBRK;
        break;
    case CLRBREAK:
        request = TIOCCBRK;
        break;
    default:
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (Ioctl(m_fd, request, bits ? &bits : nullptr) < 0 && !Unsupported(errno))
        return FailErrno(errno);
    return true;
}

bool TtyDevice::getCommModemStatus(DWORD *status)
{
    *status = 0;
    auto lock = use();
    if (Closed(lock))
        return false;
    int bits = 0;
    if (Ioctl(m_fd, TIOCMGET, &bits) < 0)
        return Unsupported(errno) ? true : FailErrno(errno);
    if (bits & TIOCM_CTS)
        *status |= MS_CTS_ON;
    if (bits & TIOCM_DSR)
        *status |= MS_DSR_ON;
    if (bits & TIOCM_RNG)
        *status |= MS_RING_ON;
    if (bits & TIOCM_CAR)
        *status |= MS_RLSD_ON;
    return true;
}

bool TtyDevice::clearCommError(DWORD *errors, COMSTAT *status)
{
    *errors = 0;
    *status = COMSTAT{};
    auto lock = use();
    if (Closed(lock))
        return false;
    {
        std::lock_guard in(m_inMutex);
        *errors = m_pendingErrors;
        m_pendingErrors = 0;
        status->cbInQue = static_cast<DWORD>(m_in.size());
        if (m_hungUp && m_in.size() == 0)
            return Fail(m_hangUpError); // nothing can be read any more
    }
    int outQueued = 0;
    if (Ioctl(m_fd, TIOCOUTQ, &outQueued) == 0 && outQueued > 0)
        status->cbOutQue = static_cast<DWORD>(outQueued);
    return true;
}

bool TtyDevice::inputArrival(DWORD *ageMs, DWORD *run)
{
    auto lock = use();
    if (!lock)
        return false; // closed: nothing waits
    std::lock_guard in(m_inMutex);
    if (m_in.size() == 0)
        return false;
    std::int64_t ms = 0;
    std::uint64_t n = 0;
    if (!m_arrivals.at(m_arrivedTotal - m_in.size(), &ms, &n))
        return false;
    *ageMs = static_cast<DWORD>(std::clamp<std::int64_t>(NowMs() - ms, 0, 0x7FFFFFFF));
    *run = static_cast<DWORD>(std::min<std::uint64_t>({n, m_in.size(), 0x7FFFFFFF}));
    return true;
}

bool TtyDevice::getErrorCounts(CommErrorCounts *counts)
{
    *counts = CommErrorCounts{};
    auto lock = use();
    if (Closed(lock))
        return false;
    std::lock_guard in(m_inMutex);
    // Counters are free-running: the difference is right across a wrap too.
    counts->overrun = m_counts.overrun - m_openCounts.overrun;
    counts->parity = m_counts.parity - m_openCounts.parity;
    counts->framing = m_counts.frame - m_openCounts.frame;
    counts->breaks = m_counts.brk - m_openCounts.brk;
    counts->lost = m_counts.bufOverrun - m_openCounts.bufOverrun;
    return true;
}

} // namespace tty

HANDLE OpenTty(const std::string &path)
{
    using namespace tty;
    int fd;
    do
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int err = errno;
        SetLastError(err == ENXIO || err == ENODEV ? ERROR_FILE_NOT_FOUND : ErrorFromErrno(err));
        return nullptr;
    }
    auto refuse = [fd](DWORD error) {
        ::close(fd);
        SetLastError(error);
        return HANDLE();
    };
    termios t{};
    if (!::isatty(fd) || ::tcgetattr(fd, &t) < 0)
        return refuse(ERROR_FILE_NOT_FOUND); // not a serial device
    // TIOCEXCL alone does not stop root; an exclusive flock does, in any process and through
    // any path (symbolic links such as /dev/serial/by-id lead to the same inode).
    int r;
    do
        r = ::flock(fd, LOCK_EX | LOCK_NB);
    while (r < 0 && errno == EINTR);
    if (r < 0)
        return refuse(errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : ErrorFromErrno(errno));
    Ioctl(fd, TIOCEXCL, nullptr);

    MakeRaw(t);
    ::tcsetattr(fd, TCSANOW, &t); // EINVAL: a pseudo-terminal narrowed the word size; harmless
    ::tcflush(fd, TCIFLUSH);      // whatever arrived before this open is not ours

    std::shared_ptr<tty::TtyDevice> device;
    try {
        device = std::make_shared<tty::TtyDevice>(fd, path);
    } catch (...) {
        Ioctl(fd, TIOCNXCL, nullptr);
        return refuse(ERROR_NOT_ENOUGH_MEMORY);
    }
    try {
        device->initialise();
    } catch (...) {
        device->close(); // the descriptor goes with the device
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return device;
}

} // namespace platform
