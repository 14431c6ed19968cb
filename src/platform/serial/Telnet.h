// SPDX-License-Identifier: MIT
// The Telnet side of a connection to a port on another machine, without any I/O: bytes received
// go in, data bytes, the answers to send back and the server's COM-PORT-OPTION messages come out;
// commands and data to send are encoded by the functions at the end. Telnet is RFC 854 (with the
// option negotiation of RFC 855 and binary transmission of RFC 856); the port is controlled
// through COM-PORT-OPTION, RFC 2217.
//
// The received stream is hostile: every byte value may come in any order and split anywhere.
// A command split across calls is put together; a sub-negotiation longer than this program
// needs is dropped, never stored; an option nobody asked for is refused once; nothing that comes
// in makes this side send an offer of its own, so no two sides can talk each other into a loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform::telnet
{

// Telnet commands (RFC 854).
constexpr std::uint8_t SE = 240;
constexpr std::uint8_t NOP = 241;
constexpr std::uint8_t SB = 250;
constexpr std::uint8_t WILL = 251;
constexpr std::uint8_t WONT = 252;
constexpr std::uint8_t DO = 253;
constexpr std::uint8_t DONT = 254;
constexpr std::uint8_t IAC = 255;

// Options.
constexpr std::uint8_t kOptBinary = 0;
constexpr std::uint8_t kOptEcho = 1;
constexpr std::uint8_t kOptSuppressGoAhead = 3;
constexpr std::uint8_t kOptComPort = 44;

// COM-PORT-OPTION commands as the client sends them; the server answers and notifies with the
// same code plus kServerOffset.
constexpr std::uint8_t kSetBaudRate = 1;
constexpr std::uint8_t kSetDataSize = 2;
constexpr std::uint8_t kSetParity = 3;
constexpr std::uint8_t kSetStopSize = 4;
constexpr std::uint8_t kSetControl = 5;
constexpr std::uint8_t kNotifyLineState = 6;
constexpr std::uint8_t kNotifyModemState = 7;
constexpr std::uint8_t kFlowSuspend = 8;
constexpr std::uint8_t kFlowResume = 9;
constexpr std::uint8_t kSetLineStateMask = 10;
constexpr std::uint8_t kSetModemStateMask = 11;
constexpr std::uint8_t kPurgeData = 12;
constexpr std::uint8_t kServerOffset = 100;

// SET-PARITY and SET-STOPSIZE values.
constexpr std::uint8_t kParityNone = 1, kParityOdd = 2, kParityEven = 3, kParityMark = 4, kParitySpace = 5;
constexpr std::uint8_t kStopOne = 1, kStopTwo = 2, kStopOneAndHalf = 3;
// SET-CONTROL values.
constexpr std::uint8_t kFlowNone = 1, kFlowXonXoff = 2, kFlowHardware = 3;
constexpr std::uint8_t kBreakOn = 5, kBreakOff = 6;
constexpr std::uint8_t kDtrOn = 8, kDtrOff = 9;
constexpr std::uint8_t kRtsOn = 11, kRtsOff = 12;
// PURGE-DATA values: the server's buffer of what the port received, of what it is to send, both.
constexpr std::uint8_t kPurgeReceived = 1, kPurgeToSend = 2, kPurgeBoth = 3;

// NOTIFY-LINESTATE bits (the others, data ready and the transmitter's state, are of no use here).
constexpr std::uint8_t kLineOverrun = 0x02;
constexpr std::uint8_t kLineParity = 0x04;
constexpr std::uint8_t kLineFraming = 0x08;
constexpr std::uint8_t kLineBreak = 0x10;
constexpr std::uint8_t kLineErrors = kLineOverrun | kLineParity | kLineFraming | kLineBreak;
// NOTIFY-MODEMSTATE bits: the lines, and "changed since the last notice" for CTS and DSR (a short
// pulse between two looks of the server).
constexpr std::uint8_t kModemDeltaCts = 0x01;
constexpr std::uint8_t kModemDeltaDsr = 0x02;
constexpr std::uint8_t kModemCts = 0x10;
constexpr std::uint8_t kModemDsr = 0x20;
constexpr std::uint8_t kModemRing = 0x40;
constexpr std::uint8_t kModemCd = 0x80;

// The longest sub-negotiation kept: a COM-PORT-OPTION message is at most the option, the command
// and a 4-byte value. Anything longer (a signature, garbage) is dropped whole.
constexpr std::size_t kMaxSubnegotiation = 32;

// A COM-PORT-OPTION message from the server: which client command it answers or what it
// notifies (the code less kServerOffset), and its value (a 4-byte value big-endian).
struct ComPortMessage {
    std::uint8_t command = 0;
    std::uint32_t value = 0;
    bool operator==(const ComPortMessage &) const = default;
};

// What one call of Connection::receive found besides the data bytes.
struct Received {
    std::size_t data = 0; // data bytes written to the caller's buffer
    std::string reply;    // option answers to send back, in order
    std::vector<ComPortMessage> messages;
    bool protocolError = false; // bytes that break the Telnet grammar were dropped
};

class Connection
{
  public:
    enum class ComPort { Pending, Accepted, Refused };

    // The offers a client makes as it connects: binary both ways, no go-ahead both ways, and
    // WILL COM-PORT-OPTION. Sent once, before anything else.
    std::string start();

    // Parses `n` received bytes. The data bytes go to `data`, which has room for `n` bytes (data
    // is never longer than what came).
    Received receive(const std::uint8_t *bytes, std::size_t n, std::uint8_t *data);

    // Whether the server took COM-PORT-OPTION (DO), refused it (DONT), or has not said yet.
    ComPort comPort() const;
    // No answer came in time, or a refusal: the connection goes on as plain Telnet for good, and
    // a DO that comes later is refused, so that both sides agree on what the port does.
    void giveUpComPort();
    // A whole Telnet command has come (the server speaks Telnet).
    bool seenCommand() const { return m_seenCommand; }
    // Data goes out binary unless the server refused it; then a CR is sent as CR NUL (RFC 854).
    bool sendsBinary() const;
    // Data comes in binary unless the server refused it; then a NUL after a CR is dropped.
    bool receivesBinary() const;

  private:
    // Option states of RFC 1143, without its queue: a side is only ever asked once.
    enum class Q : std::uint8_t { No, Yes, WantNo, WantYes };
    struct Side {
        Q state = Q::No;
        bool wanted = false;
        bool refused = false; // a refusal was sent once: the next ask goes unanswered
    };
    enum class State : std::uint8_t { Data, Iac, Verb, Sb, SbIac };

    void afterIac(std::uint8_t b, std::uint8_t *data, Received *out);
    void keep(std::uint8_t b); // a sub-negotiation byte
    void command(std::uint8_t verb, std::uint8_t option, Received *out);
    void subnegotiation(Received *out);
    void wantOption(Side &side, std::uint8_t offer, std::uint8_t option, std::string *out);

    Side m_us[256];  // our options: the server says DO / DONT, we WILL / WONT
    Side m_him[256]; // the server's options: it says WILL / WONT, we DO / DONT
    State m_state = State::Data;
    std::uint8_t m_verb = 0;
    bool m_lastWasCr = false; // outside binary: a NUL right after it is no data
    bool m_seenCommand = false;
    bool m_sbTooLong = false;
    std::uint8_t m_sb[kMaxSubnegotiation]{};
    std::size_t m_sbLength = 0;
};

// Appends data bytes as they go on the wire: IAC doubled; outside binary a CR is followed by NUL.
void AppendData(std::string *out, const std::uint8_t *bytes, std::size_t n, bool binary);
// A COM-PORT-OPTION command with a one-byte value, and SET-BAUDRATE with its 4-byte value; the
// value's bytes are escaped (a rate can hold the byte 0xFF).
std::string ComPortCommand(std::uint8_t command, std::uint8_t value);
std::string SetBaudRate(std::uint32_t rate);

} // namespace platform::telnet
