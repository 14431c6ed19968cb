// SPDX-License-Identifier: MIT
// The tty back end's settings: the device control block translated to and from termios, and the
// bit rates (the fixed codes, any other rate through termios2).
#include "SerialTermios2.h"
#include "SerialTtyDevice.h"

#include <sys/ioctl.h>

namespace platform::tty
{
namespace
{

// A driver may round a rate; more than this much off means it cannot do the rate asked for.
constexpr unsigned kRateTolerancePercent = 3;

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

} // namespace

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

void TtyDevice::readSettings()
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
}

bool TtyDevice::setQueueSizes(DWORD inQueue, DWORD outQueue)
{
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

bool TtyDevice::readState(DCB *dcb)
{
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

bool TtyDevice::applyState(const DCB &dcb)
{
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

} // namespace platform::tty
