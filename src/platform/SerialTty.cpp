// SPDX-License-Identifier: MIT
// The tty back end: a serial port or a pseudo-terminal driven through termios and the tty ioctls.
// This half opens and closes the device and carries the settings, lines and counters.
#include "SerialBackends.h"
#include "SerialTermios2.h"
#include "SerialTtyDevice.h"

#include <algorithm>
#include <chrono>
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

// A driver may round a rate; more than this much off means it cannot do the rate asked for.
constexpr unsigned kRateTolerancePercent = 3;

// A driver without modem lines or counters answers one of these: the feature is missing, not broken.
bool Unsupported(int err)
{
    return err == ENOTTY || err == EINVAL;
}

// The fixed Bnnn codes; any other rate goes through termios2.
speed_t StandardSpeed(DWORD rate)
{
    struct Entry {
        DWORD rate;
        speed_t code;
    };
    static constexpr Entry table[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},
        {150, B150},         {200, B200},         {300, B300},         {600, B600},
        {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
        {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
        {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
        {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
        {3500000, B3500000}, {4000000, B4000000},
    };
    for (const Entry &e : table)
        if (e.rate == rate)
            return e.code;
    return B0;
}

// Raw, binary, no job control: what a serial terminal needs. A break is not ignored and does not
// raise a signal, so it arrives as a NUL byte and the driver counts it.
void MakeRaw(termios &t)
{
    t.c_iflag &=
        ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | IMAXBEL);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
}

} // namespace

std::int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
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
        close();
    if (m_reader.joinable()) // initialise failed after the thread started: cannot happen today
        m_reader.join();
    if (m_readerWake >= 0)
        ::close(m_readerWake);
}

void TtyDevice::initialise()
{
    termios t{};
    if (::tcgetattr(m_fd, &t) == 0) {
        DCB dcb;
        unsigned in = 0, out = 0;
        if (termios2::GetRates(m_fd, &in, &out) && out != 0)
            dcb.BaudRate = out;
        switch (t.c_cflag & CSIZE) {
        case CS5:
            dcb.ByteSize = 5;
            break;
        case CS6:
            dcb.ByteSize = 6;
            break;
        case CS7:
            dcb.ByteSize = 7;
            break;
        default:
            dcb.ByteSize = 8;
            break;
        }
        if (!(t.c_cflag & PARENB))
            dcb.Parity = NOPARITY;
        else if (t.c_cflag & CMSPAR)
            dcb.Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
        else
            dcb.Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
        dcb.StopBits = (t.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
        DWORD flags = DCB_fBinary | (DTR_CONTROL_ENABLE << DCB_fDtrControlShift);
        if (t.c_cflag & CRTSCTS)
            flags |= DCB_fOutxCtsFlow | (RTS_CONTROL_HANDSHAKE << DCB_fRtsControlShift);
        else
            flags |= RTS_CONTROL_ENABLE << DCB_fRtsControlShift;
        if (t.c_iflag & IXON)
            flags |= DCB_fOutX;
        if (t.c_iflag & IXOFF)
            flags |= DCB_fInX;
        dcb.Flags = flags;
        dcb.XonChar = static_cast<char>(t.c_cc[VSTART]);
        dcb.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
        m_dcb = dcb;
    }
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

bool TtyDevice::setupComm(DWORD inQueue, DWORD outQueue)
{
    auto lock = use();
    if (!lock)
        return Fail(ERROR_INVALID_HANDLE);
    // The tty layer sizes its own buffers; the sizes are kept for what the caller may ask, and
    // nonsense (0, or a negative number passed as unsigned) is refused as Windows does.
    constexpr DWORD kMax = 1u << 20;
    if (inQueue == 0 || outQueue == 0 || inQueue > kMax || outQueue > kMax)
        return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard state(m_stateMutex);
    m_inQueue = inQueue;
    m_outQueue = outQueue;
    return true;
}

bool TtyDevice::purgeComm(DWORD flags)
{
    auto lock = use();
    if (!lock)
        return Fail(ERROR_INVALID_HANDLE);
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
        ++m_purgeGeneration;
        m_reportedTotal = m_arrivedTotal; // nothing unread is left to report
        if (m_readerStalled) {
            m_readerStalled = false;
            signalReader();
        }
    }
    return ok ? true : FailErrno(err);
}

bool TtyDevice::getCommState(DCB *dcb)
{
    auto lock = use();
    if (!lock)
        return Fail(ERROR_INVALID_HANDLE);
    std::lock_guard state(m_stateMutex);
    *dcb = m_dcb;
    return true;
}

void TtyDevice::setModemLine(int line, bool on) const
{
    // A pseudo-terminal has no modem lines (ENOTTY): nothing to drive, nothing wrong.
    int bits = line;
    Ioctl(m_fd, on ? TIOCMBIS : TIOCMBIC, &bits);
}

bool TtyDevice::restoreState(const termios &old, DWORD oldRate)
{
    ::tcsetattr(m_fd, TCSANOW, &old);
    if (StandardSpeed(oldRate) == B0)
        termios2::SetCustomRate(m_fd, oldRate);
    return false;
}

bool TtyDevice::setCommState(const DCB &dcb)
{
    auto lock = use();
    if (!lock)
        return Fail(ERROR_INVALID_HANDLE);
    if (dcb.BaudRate < 10 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
        dcb.StopBits > TWOSTOPBITS)
        return Fail(ERROR_INVALID_PARAMETER);

    std::lock_guard state(m_stateMutex);
    termios t{};
    if (::tcgetattr(m_fd, &t) < 0)
        return FailErrno(errno);
    const termios old = t;

    MakeRaw(t);
    static constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= sizes[dcb.ByteSize - 5];
    t.c_iflag &= ~(INPCK | IGNPAR);
    switch (dcb.Parity) {
    case ODDPARITY:
        t.c_cflag |= PARENB | PARODD;
        break;
    case EVENPARITY:
        t.c_cflag |= PARENB;
        break;
    case MARKPARITY:
        t.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case SPACEPARITY:
        t.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    if (dcb.Parity != NOPARITY)
        t.c_iflag |= INPCK; // a byte with a parity error is counted and read as NUL
    if (dcb.StopBits != ONESTOPBIT)
        t.c_cflag |= CSTOPB; // 1.5 stop bits exist only for 5-bit words; two is the nearest
    if ((dcb.Flags & DCB_fOutxCtsFlow) || DcbRtsControl(dcb) == RTS_CONTROL_HANDSHAKE)
        t.c_cflag |= CRTSCTS;
    if (dcb.Flags & DCB_fOutX)
        t.c_iflag |= IXON;
    if (dcb.Flags & DCB_fInX)
        t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);

    const speed_t code = StandardSpeed(dcb.BaudRate);
    // No separate input rate: an input code left over from an earlier custom rate would
    // otherwise keep the receiver at that rate.
    t.c_cflag &= ~CIBAUD;
    if (code != B0) {
        ::cfsetispeed(&t, code);
        ::cfsetospeed(&t, code);
    }
    // glibc reports EINVAL when the driver narrowed the word size or dropped parity (a
    // pseudo-terminal always does): the settings were applied all the same.
    if (::tcsetattr(m_fd, TCSANOW, &t) < 0 && errno != EINVAL)
        return FailErrno(errno);
    if (code == B0) {
        const int err = termios2::SetCustomRate(m_fd, dcb.BaudRate);
        if (err != 0) {
            restoreState(old, m_dcb.BaudRate);
            return FailErrno(err);
        }
    }
    // Whether the driver can do the rate is the refusal that matters: it answers with the rate
    // it really set.
    unsigned inRate = 0, outRate = 0;
    if (termios2::GetRates(m_fd, &inRate, &outRate)) {
        const std::uint64_t want = dcb.BaudRate;
        const std::uint64_t got = outRate;
        const std::uint64_t diff = got > want ? got - want : want - got;
        if (diff * 100 > want * kRateTolerancePercent) {
            restoreState(old, m_dcb.BaudRate);
            return Fail(ERROR_INVALID_PARAMETER);
        }
    }

    switch (DcbDtrControl(dcb)) {
    case DTR_CONTROL_DISABLE:
        setModemLine(TIOCM_DTR, false);
        break;
    default: // ENABLE; HANDSHAKE has no driver support here, so DTR just says "ready"
        setModemLine(TIOCM_DTR, true);
        break;
    }
    switch (DcbRtsControl(dcb)) {
    case RTS_CONTROL_DISABLE:
        setModemLine(TIOCM_RTS, false);
        break;
    case RTS_CONTROL_ENABLE:
        setModemLine(TIOCM_RTS, true);
        break;
    default: // HANDSHAKE: the driver drives RTS; TOGGLE: left to whoever transmits
        break;
    }
    m_dcb = dcb;
    return true;
}

bool TtyDevice::getCommTimeouts(COMMTIMEOUTS *timeouts)
{
    auto lock = use();
    if (!lock)
        return Fail(ERROR_INVALID_HANDLE);
    std::lock_guard state(m_stateMutex);
    *timeouts = m_timeouts;
    return true;
}

bool TtyDevice::setCommTimeouts(const COMMTIMEOUTS &timeouts)
{
    auto lock = use();
    if (!lock)
        return Fail(ERROR_INVALID_HANDLE);
    std::lock_guard state(m_stateMutex);
    m_timeouts = timeouts;
    return true;
}

bool TtyDevice::setCommMask(DWORD mask)
{
    auto lock = use();
    if (!lock)
        return Fail(ERROR_INVALID_HANDLE);
    m_mask.store(mask);
    wakeWaiters(); // a pending wait looks at the new mask (and ends on 0)
    return true;
}

bool TtyDevice::escapeCommFunction(DWORD function)
{
    auto lock = use();
    if (!lock)
        return Fail(ERROR_INVALID_HANDLE);
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
    if (!lock)
        return Fail(ERROR_INVALID_HANDLE);
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
    if (!lock)
        return Fail(ERROR_INVALID_HANDLE);
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

bool TtyDevice::getErrorCounts(CommErrorCounts *counts)
{
    *counts = CommErrorCounts{};
    auto lock = use();
    if (!lock)
        return Fail(ERROR_INVALID_HANDLE);
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
