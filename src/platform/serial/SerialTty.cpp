// SPDX-License-Identifier: MIT
// The tty back end: a serial port or a pseudo-terminal driven through termios and the tty ioctls.
// This part opens and closes the device, empties its queues and carries the lines and the
// counters; the settings are in SerialTtySettings.cpp, the reader thread and the transfers in
// SerialTtyIo.cpp.
#include "SerialInternal.h"
#include "SerialTermios2.h"
#include "SerialTtyDevice.h"

#include <algorithm>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/eventfd.h>
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

TtyDevice::TtyDevice(int fd, std::string path)
    : SerialCore(NewMask::KeepsWaiting), m_path(std::move(path)), m_fd(fd)
{
}

TtyDevice::~TtyDevice()
{
    if (!isClosed())
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

void TtyDevice::stopDevice()
{
    // The reader never waits for anybody but its wake-up, so this join is short.
    signalReader();
    if (m_reader.joinable() && m_reader.get_id() != std::this_thread::get_id())
        m_reader.join();
}

void TtyDevice::releaseDevice()
{
    // Output still held back by flow control would make the driver's close wait for it (up to
    // half a minute on a UART); closing means now. TIOCEXCL outlives the descriptor on a tty
    // that stays alive (a pseudo-terminal whose master is open), so it is dropped by hand.
    ::tcflush(m_fd, TCOFLUSH);
    Ioctl(m_fd, TIOCNXCL, nullptr);
    ::close(m_fd); // also releases the flock; never retried, the descriptor is gone either way
    m_fd = -1;
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

bool TtyDevice::discard(DWORD clearFlags)
{
    bool ok = true;
    int err = 0;
    if ((clearFlags & PURGE_TXCLEAR) && ::tcflush(m_fd, TCOFLUSH) < 0) {
        ok = false;
        err = errno;
    }
    if (clearFlags & PURGE_RXCLEAR) {
        std::lock_guard in(m_inMutex);
        if (::tcflush(m_fd, TCIFLUSH) < 0) {
            ok = false;
            err = errno;
        }
        m_in.clear();
        m_arrivals.clear();
        ++m_purgeGeneration;
        if (m_readerStalled) {
            m_readerStalled = false;
            signalReader();
        }
    }
    return ok ? true : FailErrno(err);
}

bool TtyDevice::lineFunction(DWORD function)
{
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

bool TtyDevice::modemLines(DWORD *status)
{
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

COMSTAT TtyDevice::queueCounts()
{
    COMSTAT status;
    {
        std::lock_guard in(m_inMutex);
        status.cbInQue = static_cast<DWORD>(m_in.size());
    }
    int outQueued = 0;
    if (Ioctl(m_fd, TIOCOUTQ, &outQueued) == 0 && outQueued > 0)
        status.cbOutQue = static_cast<DWORD>(outQueued);
    return status;
}

bool TtyDevice::nextArrival(DWORD *ageMs, DWORD *run)
{
    std::lock_guard in(m_inMutex);
    return m_arrivals.oldestQueued(m_arrivedTotal, m_in.size(), NowMs(), ageMs, run);
}

bool TtyDevice::errorCounts(CommErrorCounts *counts)
{
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
