// SPDX-License-Identifier: MIT
// The network back end: the open with its negotiation, the settings and the lines as RFC 2217
// commands, and what the window may ask of the remote port. The I/O thread and the transfers are
// in SerialNetIo.cpp, the connection in SerialNetConnect.cpp.
#include "PortDevice.h"
#include "PortNames.h"
#include "SerialInternal.h"
#include "SerialNetDevice.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <system_error>

namespace platform
{
namespace net
{
namespace
{

using namespace telnet;

// A DCB that a serial driver would refuse outright.
bool DcbIsInvalid(const DCB &dcb)
{
    return dcb.BaudRate < 10 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
           dcb.StopBits > TWOSTOPBITS;
}

std::uint8_t ParityValue(BYTE parity)
{
    switch (parity) {
    case ODDPARITY:
        return kParityOdd;
    case EVENPARITY:
        return kParityEven;
    case MARKPARITY:
        return kParityMark;
    case SPACEPARITY:
        return kParitySpace;
    default:
        return kParityNone;
    }
}

std::uint8_t StopValue(BYTE stopBits)
{
    switch (stopBits) {
    case ONE5STOPBITS:
        return kStopOneAndHalf;
    case TWOSTOPBITS:
        return kStopTwo;
    default:
        return kStopOne;
    }
}

// The DCB's flow control as one SET-CONTROL value; for both directions, as the serial back end
// has it.
std::uint8_t FlowValue(const DCB &dcb)
{
    if ((dcb.Flags & DCB_fOutxCtsFlow) || DcbRtsControl(dcb) == RTS_CONTROL_HANDSHAKE)
        return kFlowHardware;
    if (dcb.Flags & (DCB_fOutX | DCB_fInX))
        return kFlowXonXoff;
    return kFlowNone;
}

std::string HostAndPort(const PortTarget &target)
{
    const bool v6 = target.host.find(':') != std::string::npos;
    return (v6 ? "[" + target.host + "]" : target.host) + ":" + std::to_string(target.port);
}

// The first bytes of a server that gave up, as text for the reason of the failure.
std::string Printable(const std::string &bytes)
{
    std::string text;
    for (const char c : bytes)
        text += c >= 0x20 && c < 0x7f ? c : '.';
    return text;
}

} // namespace

NetDevice::NetDevice(int fd, Protocol protocol)
    : SerialCore(NewMask::KeepsWaiting), m_protocol(protocol), m_fd(fd),
      m_readBuffer(new std::uint8_t[kReadBytes]), m_dataBuffer(new std::uint8_t[kReadBytes])
{
}

NetDevice::~NetDevice()
{
    if (!isClosed())
        close(); // joins the I/O thread
    if (m_ioWake >= 0)
        ::close(m_ioWake);
}

void NetDevice::initialise()
{
    m_ioWake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_ioWake < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
    {
        const std::lock_guard lock(m_mutex);
        m_opening = true;
        if (m_protocol == Protocol::Rfc2217)
            m_out = m_telnet.start(); // sent before anything else
    }
    m_io = std::thread([this] { ioLoop(); });
}

bool NetDevice::settle(DWORD *error, std::string *why)
{
    std::unique_lock lock(m_mutex);
    auto sent = [this] {
        return m_firstBytes.empty() ? "" : " (it sent \"" + Printable(m_firstBytes) + "\")";
    };
    if (m_protocol == Protocol::Rfc2217) {
        flushLocked();
        m_changed.wait_for(lock, std::chrono::milliseconds(kNegotiationTimeoutMs), [this] {
            return m_telnet.comPort() != Connection::ComPort::Pending || m_hungUp || m_noTelnet || m_stopping;
        });
        if (m_noTelnet || (m_hungUp && !m_telnet.seenCommand())) {
            *error = ERROR_BAD_NET_RESP;
            *why = (m_noTelnet ? "the server sent bytes that are no Telnet"
                               : "the server closed the connection before any Telnet negotiation") +
                   sent();
            return false;
        }
        // What the open found holds for the whole connection: a server that agrees later is
        // refused, so that the port does what QueryRemotePort said at the open.
        if (m_telnet.comPort() != Connection::ComPort::Accepted)
            m_telnet.giveUpComPort();
    }
    // Also after a negotiation that went well: ser2net may agree to the options before it tells
    // a second client that the port is in use.
    m_changed.wait_for(lock, std::chrono::milliseconds(kSettleMs), [this] { return m_hungUp || m_stopping; });
    m_opening = false;
    if (m_hungUp) {
        *error = ERROR_CONNECTION_REFUSED;
        *why = "the server ended the connection at once" + sent();
        return false;
    }
    // Only the line errors and the modem lines are worth a notice; data ready and the
    // transmitter's state would come with every byte.
    if (comPortLocked())
        sendLocked(ComPortCommand(kSetLineStateMask, kLineErrors) + ComPortCommand(kSetModemStateMask, 0xFF));
    return true;
}

bool NetDevice::comPortLocked() const
{
    return m_protocol == Protocol::Rfc2217 && m_telnet.comPort() == Connection::ComPort::Accepted;
}

RemotePortState NetDevice::remotePort() const
{
    const std::lock_guard lock(m_mutex);
    RemotePortState state;
    state.isNetwork = true;
    state.raw = m_protocol == Protocol::Raw;
    state.rfc2217 = comPortLocked();
    state.baudAsked = m_baudAsked;
    state.baudAnswered = m_baudAnswered;
    state.answered = m_answered;
    return state;
}

void NetDevice::stopDevice()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    // The I/O thread never waits for anybody but its wake-up, so this join is short.
    signalIo();
    if (m_io.joinable() && m_io.get_id() != std::this_thread::get_id())
        m_io.join();
}

void NetDevice::releaseDevice()
{
    // Closing means now: what the server has not taken yet is not waited for.
    ::close(m_fd);
    m_fd = -1;
}

bool NetDevice::setQueueSizes(DWORD inQueue, DWORD outQueue)
{
    // Kept for what the caller may ask; nonsense is refused as Windows does.
    constexpr DWORD kMax = 1u << 20;
    if (inQueue == 0 || outQueue == 0 || inQueue > kMax || outQueue > kMax)
        return Fail(ERROR_INVALID_PARAMETER);
    const std::lock_guard lock(m_mutex);
    m_inQueue = inQueue;
    m_outQueue = outQueue;
    return true;
}

bool NetDevice::readState(DCB *dcb)
{
    const std::lock_guard lock(m_mutex);
    *dcb = m_dcb;
    return true;
}

bool NetDevice::applyState(const DCB &dcb)
{
    if (DcbIsInvalid(dcb))
        return Fail(ERROR_INVALID_PARAMETER);
    std::unique_lock lock(m_mutex);
    m_baudAsked = dcb.BaudRate;
    m_baudAnswered = 0;
    m_answered = false;
    if (!comPortLocked()) {
        m_dcb = dcb; // kept, so that the component sees what it set
        return true;
    }
    std::string commands = SetBaudRate(dcb.BaudRate) + ComPortCommand(kSetDataSize, dcb.ByteSize) +
                           ComPortCommand(kSetParity, ParityValue(dcb.Parity)) +
                           ComPortCommand(kSetStopSize, StopValue(dcb.StopBits)) +
                           ComPortCommand(kSetControl, FlowValue(dcb));
    commands += ComPortCommand(kSetControl, DcbDtrControl(dcb) == DTR_CONTROL_DISABLE ? kDtrOff : kDtrOn);
    if (DcbRtsControl(dcb) == RTS_CONTROL_DISABLE)
        commands += ComPortCommand(kSetControl, kRtsOff);
    else if (DcbRtsControl(dcb) == RTS_CONTROL_ENABLE)
        commands += ComPortCommand(kSetControl, kRtsOn);
    // HANDSHAKE: the server's port drives RTS; TOGGLE: left to whoever transmits.
    const std::uint64_t answersBefore = m_baudAnswers;
    if (!sendLocked(commands))
        return false;
    m_dcb = dcb;
    // The answer is advisory: it is waited for a moment so that QueryRemotePort can tell what the
    // port took, but never longer, and not at all from a server known not to answer.
    if (!m_serverSilent) {
        const bool answered = m_changed.wait_for(lock, std::chrono::milliseconds(kAnswerTimeoutMs), [&] {
            return m_baudAnswers != answersBefore || m_hungUp || m_stopping;
        });
        if (!answered)
            m_serverSilent = true;
    }
    return true;
}

bool NetDevice::lineFunction(DWORD function)
{
    std::uint8_t value;
    switch (function) {
    case SETRTS:
        value = kRtsOn;
        break;
    case CLRRTS:
        value = kRtsOff;
        break;
    case SETDTR:
        value = kDtrOn;
        break;
    case CLRDTR:
        value = kDtrOff;
        break;
    case SETBREAK:
        value = kBreakOn;
        break;
    case CLRBREAK:
        value = kBreakOff;
        break;
    default:
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const std::lock_guard lock(m_mutex);
    if (m_hungUp)
        return Fail(ERROR_DEVICE_REMOVED);
    if (!comPortLocked())
        return true; // accepted; the remote port never hears of it
    return sendLocked(ComPortCommand(kSetControl, value));
}

bool NetDevice::modemLines(DWORD *status)
{
    const std::lock_guard lock(m_mutex);
    if (!comPortLocked())
        return true; // no line is known to be on
    if (m_modem & kModemCts)
        *status |= MS_CTS_ON;
    if (m_modem & kModemDsr)
        *status |= MS_DSR_ON;
    if (m_modem & kModemRing)
        *status |= MS_RING_ON;
    if (m_modem & kModemCd)
        *status |= MS_RLSD_ON;
    return true;
}

bool NetDevice::errorCounts(CommErrorCounts *counts)
{
    const std::lock_guard lock(m_mutex);
    *counts = m_counts;
    return true;
}

bool NetDevice::discard(DWORD clearFlags)
{
    const std::lock_guard lock(m_mutex);
    if (clearFlags & PURGE_RXCLEAR) {
        m_in.clear();
        m_arrivals.clear();
        if (m_readerStalled) {
            m_readerStalled = false;
            signalIo();
        }
    }
    // What this machine's TCP stack holds already cannot be taken back; the server empties its
    // own buffers.
    if (!comPortLocked() || m_hungUp)
        return true;
    const bool rx = clearFlags & PURGE_RXCLEAR;
    const bool tx = clearFlags & PURGE_TXCLEAR;
    return sendLocked(ComPortCommand(kPurgeData, rx && tx ? kPurgeBoth : rx ? kPurgeReceived : kPurgeToSend));
}

} // namespace net

HANDLE OpenNetwork(const PortTarget &target)
{
    using namespace net;
    if (!target.addressProblem.empty()) {
        NoteOpenDetail(target.path + ": " + target.addressProblem);
        SetLastError(ERROR_INVALID_NETNAME);
        return nullptr;
    }
    const Connected connection = Connect(target.host, target.port, kConnectTimeoutMs);
    if (connection.fd < 0) {
        NoteOpenDetail(connection.detail);
        SetLastError(connection.error);
        return nullptr;
    }
    const bool rfc2217 = target.protocol == PortTarget::Protocol::Rfc2217;
    std::shared_ptr<NetDevice> device;
    try {
        device = std::make_shared<NetDevice>(connection.fd, rfc2217 ? NetDevice::Protocol::Rfc2217
                                                                    : NetDevice::Protocol::Raw);
    } catch (...) {
        ::close(connection.fd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    try {
        device->initialise();
    } catch (...) {
        device->close(); // the socket goes with the device
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    DWORD error = ERROR_SUCCESS;
    std::string why;
    if (!device->settle(&error, &why)) {
        device->close();
        NoteOpenDetail(HostAndPort(target) + ": " + why);
        SetLastError(error);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return device;
}

} // namespace platform
