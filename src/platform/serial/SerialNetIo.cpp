// SPDX-License-Identifier: MIT
// The network back end's I/O thread, and the transfers the serial core makes through it.
#include "SerialInternal.h"
#include "SerialNetDevice.h"

#include <algorithm>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform::net
{
namespace
{

// A full input queue starts taking from the socket again once this much room is free.
constexpr std::size_t kResumeRoomBytes = std::size_t{64} * 1024;
// How many of the server's first data bytes are kept for the reason of a failed open.
constexpr std::size_t kFirstBytesKept = 64;

} // namespace

void NetDevice::signalIo()
{
    if (m_ioWake < 0)
        return;
    const std::uint64_t one = 1;
    while (::write(m_ioWake, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void NetDevice::hangUpLocked()
{
    if (m_hungUp)
        return;
    m_hungUp = true;
    noteHangUp(ERROR_DEVICE_REMOVED);
    m_changed.notify_all();
}

bool NetDevice::flushLocked()
{
    while (!m_hungUp && m_outHead < m_out.size()) {
        const ssize_t n =
            ::send(m_fd, m_out.data() + m_outHead, m_out.size() - m_outHead, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            m_outHead += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            hangUpLocked(); // reset, or the link found dead
        }
    }
    if (m_outHead == m_out.size()) {
        m_out.clear();
        m_outHead = 0;
    } else if (m_outHead >= kSendBufferBytes) {
        m_out.erase(0, m_outHead);
        m_outHead = 0;
    }
    return !m_hungUp;
}

bool NetDevice::sendLocked(const std::string &bytes)
{
    if (m_hungUp)
        return Fail(ERROR_DEVICE_REMOVED);
    if (pendingLocked() + bytes.size() > kSendBufferBytes + kCommandRoomBytes)
        return Fail(ERROR_GEN_FAILURE); // the server has stopped taking what is sent
    m_out += bytes;
    if (!flushLocked())
        return Fail(ERROR_DEVICE_REMOVED);
    if (pendingLocked() > 0)
        signalIo(); // the I/O thread sends the rest as the socket takes it
    return true;
}

void NetDevice::takeMessagesLocked(const telnet::Received &received, DWORD *events, DWORD *errors)
{
    using namespace telnet;
    for (const ComPortMessage &m : received.messages) {
        switch (m.command) {
        case kNotifyModemState: {
            const auto now = static_cast<std::uint8_t>(m.value);
            // A line that changed, or one that the server saw change and change back.
            if (((m_modem ^ now) & kModemCts) || (now & kModemDeltaCts))
                *events |= EV_CTS;
            if (((m_modem ^ now) & kModemDsr) || (now & kModemDeltaDsr))
                *events |= EV_DSR;
            m_modem = now;
            break;
        }
        case kNotifyLineState: {
            struct Error {
                std::uint8_t bit;
                DWORD error;
                DWORD CommErrorCounts::*count;
            };
            static constexpr Error kErrors[] = {
                {kLineOverrun, CE_OVERRUN, &CommErrorCounts::overrun},
                {kLineParity, CE_RXPARITY, &CommErrorCounts::parity},
                {kLineFraming, CE_FRAME, &CommErrorCounts::framing},
                {kLineBreak, CE_BREAK, &CommErrorCounts::breaks},
            };
            for (const Error &e : kErrors) {
                if (m.value & e.bit) {
                    *errors |= e.error;
                    ++(m_counts.*e.count);
                    *events |= e.bit == kLineBreak ? EV_BREAK : EV_ERR;
                }
            }
            break;
        }
        case kSetBaudRate:
            m_baudAnswered = m.value;
            m_answered = true;
            ++m_baudAnswers;
            break;
        default:
            break; // the other answers say what was asked; nothing waits for them
        }
    }
}

bool NetDevice::readSocket(bool broken, std::size_t *read)
{
    *read = 0;
    const std::lock_guard lock(m_mutex);
    const std::size_t want = std::min(m_in.room(), kReadBytes);
    if (want == 0) {
        m_readerStalled = true;
        if (broken)
            hangUpLocked();
        return !m_hungUp;
    }
    ssize_t n;
    do
        n = ::recv(m_fd, m_readBuffer.get(), want, 0);
    while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return true;
    if (n <= 0) { // closed, reset, or the link found dead
        hangUpLocked();
        return false;
    }
    *read = static_cast<std::size_t>(n);
    // A server that sends with Nagle's algorithm (ser2net does) holds its next small segment until
    // the last one is acknowledged, and Linux may hold that acknowledgement past the read, the more
    // so once the socket has sent replies of its own: the I/O thread's pause to let bytes gather
    // then holds the server back. Asking for quick acknowledgement sends a waiting one at once and
    // takes the socket out of that mode, which the kernel enters again by itself: so after every
    // read.
    const int quickAck = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_QUICKACK, &quickAck, sizeof quickAck);
    const std::uint8_t *data = m_readBuffer.get();
    auto count = static_cast<std::size_t>(n);
    DWORD events = 0, errors = 0;
    if (m_protocol == Protocol::Rfc2217) {
        const telnet::Received received = m_telnet.receive(m_readBuffer.get(), count, m_dataBuffer.get());
        data = m_dataBuffer.get();
        count = received.data;
        if (received.protocolError && m_opening)
            m_noTelnet = true;
        // Answers to a server that stopped taking bytes are dropped rather than kept for ever.
        if (pendingLocked() + received.reply.size() <= kSendBufferBytes + kCommandRoomBytes)
            m_out += received.reply;
        takeMessagesLocked(received, &events, &errors);
        m_changed.notify_all();
    }
    if (m_opening && m_firstBytes.size() < kFirstBytesKept)
        m_firstBytes.append(reinterpret_cast<const char *>(data),
                            std::min(count, kFirstBytesKept - m_firstBytes.size()));
    if (count > 0) {
        m_in.push(data, count); // fits: data is never longer than what was read
        m_arrivedTotal += count;
        m_arrivals.arrived(m_arrivedTotal, NowMs());
        events |= EV_RXCHAR;
    }
    if (m_in.room() == 0)
        m_readerStalled = true;
    if (events || errors)
        noteArrival(events, errors);
    return flushLocked();
}

void NetDevice::ioLoop()
{
    bool gather = false;
    for (;;) {
        const auto lock = use();
        if (!lock)
            return;
        short watch = 0;
        {
            const std::lock_guard state(m_mutex);
            if (m_stopping)
                return;
            // Level-triggered: the socket is watched only for what can be done, and never after
            // a hang-up, which would report itself for ever.
            if (!m_hungUp && !m_readerStalled)
                watch |= POLLIN;
            if (!m_hungUp && pendingLocked() > 0)
                watch |= POLLOUT;
        }
        // While gathering only a wake-up (a close, a write, room again) is waited for, briefly.
        const short waitFor = gather ? static_cast<short>(watch & ~POLLIN) : watch;
        pollfd fds[2] = {{waitFor ? m_fd : -1, waitFor, 0}, {m_ioWake, POLLIN, 0}};
        const int r = ::poll(fds, 2, gather ? kGatherMs : -1);
        if (gather && r == 0) {
            gather = false;
            continue;
        }
        if (r < 0 && errno != EINTR)
            return; // cannot wait: leaving is better than spinning
        if (fds[1].revents) {
            std::uint64_t v;
            while (::read(m_ioWake, &v, sizeof v) < 0 && errno == EINTR) {
            }
        }
        const short got = fds[0].revents;
        if (got & POLLOUT) {
            const std::lock_guard state(m_mutex);
            flushLocked();
        }
        if (got & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) {
            std::size_t read = 0;
            readSocket((got & (POLLHUP | POLLERR | POLLNVAL)) != 0, &read);
            gather = read > 0 && read < kGatherBelowBytes;
        }
    }
}

long NetDevice::readSome(BYTE *buffer, DWORD count)
{
    const std::lock_guard lock(m_mutex);
    const std::size_t n = m_in.pop(buffer, count);
    if (m_readerStalled && m_in.room() >= kResumeRoomBytes) {
        m_readerStalled = false;
        signalIo();
    }
    return static_cast<long>(n);
}

long NetDevice::writeSome(const BYTE *buffer, DWORD count)
{
    const std::lock_guard lock(m_mutex);
    if (!flushLocked()) {
        SetLastError(ERROR_DEVICE_REMOVED);
        return -1;
    }
    const std::size_t room = kSendBufferBytes > pendingLocked() ? kSendBufferBytes - pendingLocked() : 0;
    std::size_t taken;
    if (m_protocol == Protocol::Raw) {
        taken = std::min<std::size_t>(count, room);
        m_out.append(reinterpret_cast<const char *>(buffer), taken);
    } else {
        taken = std::min<std::size_t>(count, room / 2); // each byte may be doubled
        telnet::AppendData(&m_out, buffer, taken, m_telnet.sendsBinary());
    }
    if (!flushLocked()) {
        SetLastError(ERROR_DEVICE_REMOVED);
        return -1;
    }
    if (pendingLocked() > 0)
        signalIo(); // the I/O thread sends the rest as the socket takes it
    return static_cast<long>(taken);
}

COMSTAT NetDevice::queueCounts()
{
    const std::lock_guard lock(m_mutex);
    COMSTAT status;
    status.cbInQue = static_cast<DWORD>(m_in.size());
    status.cbOutQue = static_cast<DWORD>(pendingLocked());
    return status;
}

bool NetDevice::nextArrival(DWORD *ageMs, DWORD *run)
{
    const std::lock_guard lock(m_mutex);
    return m_arrivals.oldestQueued(m_arrivedTotal, m_in.size(), NowMs(), ageMs, run);
}

} // namespace platform::net
