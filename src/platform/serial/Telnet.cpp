// SPDX-License-Identifier: MIT
#include "Telnet.h"

#include <cstring>

namespace platform::telnet
{
namespace
{

void AppendCommand(std::string *out, std::uint8_t verb, std::uint8_t option)
{
    out->push_back(static_cast<char>(IAC));
    out->push_back(static_cast<char>(verb));
    out->push_back(static_cast<char>(option));
}

std::string ComPortMessageBytes(std::uint8_t command, const std::uint8_t *value, std::size_t n)
{
    std::string out{static_cast<char>(IAC), static_cast<char>(SB), static_cast<char>(kOptComPort),
                    static_cast<char>(command)};
    AppendData(&out, value, n, true);
    out.push_back(static_cast<char>(IAC));
    out.push_back(static_cast<char>(SE));
    return out;
}

} // namespace

std::string Connection::start()
{
    std::string out;
    wantOption(m_us[kOptBinary], WILL, kOptBinary, &out);
    wantOption(m_him[kOptBinary], DO, kOptBinary, &out);
    wantOption(m_us[kOptSuppressGoAhead], WILL, kOptSuppressGoAhead, &out);
    wantOption(m_him[kOptSuppressGoAhead], DO, kOptSuppressGoAhead, &out);
    wantOption(m_us[kOptComPort], WILL, kOptComPort, &out);
    return out;
}

void Connection::wantOption(Side &side, std::uint8_t offer, std::uint8_t option, std::string *out)
{
    side.wanted = true;
    side.state = Q::WantYes;
    AppendCommand(out, offer, option);
}

Connection::ComPort Connection::comPort() const
{
    switch (m_us[kOptComPort].state) {
    case Q::Yes:
        return ComPort::Accepted;
    case Q::WantYes:
        return ComPort::Pending;
    default:
        return ComPort::Refused;
    }
}

void Connection::giveUpComPort()
{
    Side &side = m_us[kOptComPort];
    side.wanted = false;
    if (side.state == Q::WantYes)
        side.state = Q::No;
}

bool Connection::sendsBinary() const
{
    const Q q = m_us[kOptBinary].state;
    return q == Q::Yes || q == Q::WantYes;
}

bool Connection::receivesBinary() const
{
    const Q q = m_him[kOptBinary].state;
    return q == Q::Yes || q == Q::WantYes;
}

Received Connection::receive(const std::uint8_t *bytes, std::size_t n, std::uint8_t *data)
{
    Received out;
    for (std::size_t i = 0; i < n; ++i) {
        if (m_state == State::Data && receivesBinary()) {
            // Most of a flood is data between rare commands: it is copied a run at a time.
            const auto *iac = static_cast<const std::uint8_t *>(std::memchr(bytes + i, IAC, n - i));
            const std::size_t run = (iac != nullptr ? static_cast<std::size_t>(iac - bytes) : n) - i;
            if (run > 0) {
                std::memcpy(data + out.data, bytes + i, run);
                out.data += run;
                i += run;
                m_lastWasCr = bytes[i - 1] == '\r';
            }
            if (i == n)
                break;
        }
        const std::uint8_t b = bytes[i];
        switch (m_state) {
        case State::Data:
            if (b == IAC) {
                m_state = State::Iac;
            } else if (m_lastWasCr && b == 0 && !receivesBinary()) {
                m_lastWasCr = false; // CR NUL is a CR alone
            } else {
                m_lastWasCr = b == '\r';
                data[out.data++] = b;
            }
            break;
        case State::Iac:
            m_state = State::Data;
            afterIac(b, data, &out);
            break;
        case State::Verb:
            m_state = State::Data;
            command(m_verb, b, &out);
            break;
        case State::Sb:
            if (b == IAC)
                m_state = State::SbIac;
            else
                keep(b);
            break;
        case State::SbIac:
            if (b == IAC) {
                keep(IAC);
                m_state = State::Sb;
            } else if (b == SE) {
                m_state = State::Data;
                m_seenCommand = true;
                subnegotiation(&out);
            } else {
                // The sub-negotiation never ended: it is dropped, and what follows the IAC is
                // taken as the command it says it is.
                out.protocolError = true;
                m_state = State::Data;
                afterIac(b, data, &out);
            }
            break;
        }
    }
    return out;
}

void Connection::afterIac(std::uint8_t b, std::uint8_t *data, Received *out)
{
    if (b == IAC) {
        data[out->data++] = IAC;
        m_lastWasCr = false;
    } else if (b == WILL || b == WONT || b == DO || b == DONT) {
        m_verb = b;
        m_state = State::Verb;
    } else if (b == SB) {
        m_sbLength = 0;
        m_sbTooLong = false;
        m_state = State::Sb;
    } else if (b > SE) {
        m_seenCommand = true; // NOP, data mark, go ahead and the like: nothing to do here
    } else {
        out->protocolError = true; // no command has this code, and SE ends nothing here
    }
}

void Connection::keep(std::uint8_t b)
{
    if (m_sbLength < kMaxSubnegotiation)
        m_sb[m_sbLength++] = b;
    else
        m_sbTooLong = true;
}

void Connection::command(std::uint8_t verb, std::uint8_t option, Received *out)
{
    m_seenCommand = true;
    const bool hisOption = verb == WILL || verb == WONT;
    Side &side = hisOption ? m_him[option] : m_us[option];
    const std::uint8_t agree = hisOption ? DO : WILL;
    const std::uint8_t refuse = hisOption ? DONT : WONT;
    if (verb == WILL || verb == DO) {
        switch (side.state) {
        case Q::No:
            if (side.wanted) {
                side.state = Q::Yes;
                AppendCommand(&out->reply, agree, option);
            } else if (!side.refused) {
                side.refused = true;
                AppendCommand(&out->reply, refuse, option);
            }
            break;
        case Q::Yes:
            break; // an answer to nothing: answering again could start a loop
        case Q::WantNo:
            side.state = Q::No;
            break;
        case Q::WantYes:
            side.state = Q::Yes;
            break;
        }
    } else {
        switch (side.state) {
        case Q::No:
            break;
        case Q::Yes:
            side.state = Q::No;
            AppendCommand(&out->reply, refuse, option);
            break;
        case Q::WantNo:
        case Q::WantYes:
            side.state = Q::No;
            break;
        }
    }
}

void Connection::subnegotiation(Received *out)
{
    if (m_sbTooLong || m_sbLength < 2) {
        out->protocolError = true;
        return;
    }
    // Only COM-PORT-OPTION is spoken here, and only once the server took it; its messages to a
    // client carry the client's command code plus 100.
    if (m_sb[0] != kOptComPort || comPort() != ComPort::Accepted || m_sb[1] < kServerOffset)
        return;
    ComPortMessage message;
    message.command = static_cast<std::uint8_t>(m_sb[1] - kServerOffset);
    // A signature, the flow-control notices (TCP's own flow control holds this side back
    // already) and commands this program never sends carry nothing it needs.
    const bool oneByte = message.command >= kSetDataSize && message.command <= kPurgeData &&
                         message.command != kFlowSuspend && message.command != kFlowResume;
    if (message.command != kSetBaudRate && !oneByte)
        return;
    const std::size_t length = m_sbLength - 2;
    const std::uint8_t *value = m_sb + 2;
    if (length != (oneByte ? 1 : 4)) {
        out->protocolError = true;
        return;
    }
    message.value = oneByte ? value[0]
                            : (std::uint32_t{value[0]} << 24) | (std::uint32_t{value[1]} << 16) |
                                  (std::uint32_t{value[2]} << 8) | value[3];
    out->messages.push_back(message);
}

void AppendData(std::string *out, const std::uint8_t *bytes, std::size_t n, bool binary)
{
    for (std::size_t i = 0; i < n; ++i) {
        out->push_back(static_cast<char>(bytes[i]));
        if (bytes[i] == IAC)
            out->push_back(static_cast<char>(IAC));
        else if (bytes[i] == '\r' && !binary)
            out->push_back('\0');
    }
}

std::string ComPortCommand(std::uint8_t command, std::uint8_t value)
{
    return ComPortMessageBytes(command, &value, 1);
}

std::string SetBaudRate(std::uint32_t rate)
{
    const std::uint8_t value[4] = {static_cast<std::uint8_t>(rate >> 24),
                                   static_cast<std::uint8_t>(rate >> 16),
                                   static_cast<std::uint8_t>(rate >> 8), static_cast<std::uint8_t>(rate)};
    return ComPortMessageBytes(kSetBaudRate, value, sizeof value);
}

} // namespace platform::telnet
