// SPDX-License-Identifier: MIT
// The network back end: a serial port on another machine, reached over TCP, on the serial core.
// Its parts: SerialNetConnect.cpp (the name look-up and the connection, with their time-outs),
// SerialNet.cpp (the open, the negotiation, the settings and the lines) and SerialNetIo.cpp (the
// I/O thread and the transfers).
//
// Two protocols. "rfc2217://" speaks Telnet with COM-PORT-OPTION (RFC 2217): the settings, the
// lines and the break are sent to the server, which applies them to its port and notifies CTS,
// DSR and the line errors it sees. A server that refuses COM-PORT-OPTION, or does not answer it
// in kNegotiationTimeoutMs, is plain Telnet: the bytes alone, 0xFF doubled. "socket://" is the
// bytes alone with no Telnet at all. Where the settings cannot reach the port, they are kept and
// reported back as set, so the component works as on any port; QueryRemotePort tells the window.
//
// The I/O thread reads what the server sends as it comes: the data into the device's input queue
// (kInputQueueBytes; a full queue stops the reading, and TCP holds the server back), the Telnet
// commands into the state below. What is to be sent, data and commands in the order they were
// given, waits in a small send buffer that the writer and the I/O thread empty into the socket.
// The connection ending, in whatever way (closed, reset, the keep-alive finding the link dead),
// is a hang-up, exactly as a pulled USB adapter is.
//
// Locks: m_mutex guards all the state below; it is taken inside the core's locks (SerialCore.h)
// and the device tells the core with it held.
#pragma once

#include "ArrivalTimes.h"
#include "ByteQueue.h"
#include "SerialCore.h"
#include "Telnet.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace platform::net
{

// How long the name look-up and the connection may take together; each address the name has is
// tried in turn, with an equal share of the time that is left.
constexpr int kConnectTimeoutMs = 3000;
// How long the server has to answer WILL COM-PORT-OPTION.
constexpr int kNegotiationTimeoutMs = 1000;
// A server that ends the connection this soon after it was made, having sent something (ser2net
// says "Port already in use" to a second client and closes), refused the open. Every open waits
// this long for it once the connection is made (and, over RFC 2217, negotiated).
constexpr int kSettleMs = 150;
// How long SetCommState waits for the server to answer a bit rate. A server that let one request
// go unanswered is not waited for again.
constexpr int kAnswerTimeoutMs = 1000;
// A dead link is noticed within about 15 s: keep-alive probes after 5 s of silence, three of
// them 3 s apart; and bytes sent that nobody acknowledges for 15 s end the connection too.
constexpr int kKeepIdleSeconds = 5;
constexpr int kKeepIntervalSeconds = 3;
constexpr int kKeepCount = 3;
constexpr unsigned kUnacknowledgedMs = 15000;
// The send buffer takes data while it holds less than this; commands may go a little beyond.
constexpr std::size_t kSendBufferBytes = std::size_t{64} * 1024;
constexpr std::size_t kCommandRoomBytes = 4096;
// One read of the socket.
constexpr std::size_t kReadBytes = std::size_t{16} * 1024;
// A server sends what its serial side gave it at once, often a few hundred bytes a segment: after
// a read that found less than a quarter of kReadBytes the I/O thread lets the next bytes gather
// this long (half of the window's tick, which takes them at most once a tick anyway), so that a
// flood costs a few large reads instead of one small one per segment.
constexpr int kGatherMs = 5;
constexpr std::size_t kGatherBelowBytes = kReadBytes / 4;

// A connected socket, or why there is none (a Windows error and the system's words).
struct Connected {
    int fd = -1;
    DWORD error = ERROR_SUCCESS;
    std::string detail;
};
Connected Connect(const std::string &host, std::uint16_t port, int timeoutMs);

class NetDevice final : public SerialCore
{
  public:
    enum class Protocol { Rfc2217, Raw };
    NetDevice(int fd, Protocol protocol);
    ~NetDevice() override;

    // Called once by the opener before anybody else sees the device: starts the I/O thread.
    // Throws std::system_error when no thread can be had.
    void initialise();
    // Makes the connection a port: for RFC 2217 offers the options and waits for the server's
    // answer to COM-PORT-OPTION; then lets a server that ends the connection at once be seen
    // (kSettleMs). False with a Windows error and the reason when the open failed:
    // ERROR_BAD_NET_RESP when the server does not speak Telnet (it closed the connection before
    // any Telnet command, or broke the Telnet grammar), ERROR_CONNECTION_REFUSED when it ended
    // the connection at once.
    bool settle(DWORD *error, std::string *why);

    RemotePortState remotePort() const override;

  private:
    // The serial core's primitives.
    long readSome(BYTE *buffer, DWORD count) override;
    long writeSome(const BYTE *buffer, DWORD count) override;
    int writableDescriptor() const override { return m_fd; }
    COMSTAT queueCounts() override;
    bool discard(DWORD clearFlags) override;
    bool setQueueSizes(DWORD inQueue, DWORD outQueue) override;
    bool readState(DCB *dcb) override;
    bool applyState(const DCB &dcb) override;
    bool lineFunction(DWORD function) override;
    bool modemLines(DWORD *status) override;
    bool errorCounts(CommErrorCounts *counts) override;
    bool nextArrival(DWORD *ageMs, DWORD *run) override;
    void stopDevice() override;
    void releaseDevice() override;

    // With m_mutex held.
    bool comPortLocked() const;
    std::size_t pendingLocked() const { return m_out.size() - m_outHead; }
    // Queues commands and starts sending them; false (last error set) after a hang-up or when
    // the server has not taken what was sent so far.
    bool sendLocked(const std::string &bytes);
    // Sends what the socket takes now; false once the connection is gone.
    bool flushLocked();
    void hangUpLocked();
    void takeMessagesLocked(const telnet::Received &received, DWORD *events, DWORD *errors);

    void ioLoop();
    // Reads what the socket has; false once the connection is gone. `broken`: the socket said so
    // (it is taken at its word when the input queue has no room to read into).
    // False once the connection is gone; *read gets the bytes read.
    bool readSocket(bool broken, std::size_t *read);
    void signalIo();

    const Protocol m_protocol;
    int m_fd;

    mutable std::mutex m_mutex;
    std::condition_variable m_changed; // negotiated, answered, hung up or stopping
    telnet::Connection m_telnet;
    bool m_opening = false;   // settle() has not decided yet
    bool m_noTelnet = false;  // the grammar broke during the open
    std::string m_firstBytes; // the server's first data bytes, for the reason of a failure

    ByteQueue m_in{kInputQueueBytes};
    ArrivalTimes m_arrivals;
    std::uint64_t m_arrivedTotal = 0;
    bool m_readerStalled = false;
    std::string m_out; // to send: m_out[m_outHead..]
    std::size_t m_outHead = 0;
    bool m_hungUp = false;
    bool m_stopping = false;

    DCB m_dcb;
    DWORD m_inQueue = 4096;
    DWORD m_outQueue = 4096;
    std::uint8_t m_modem = 0; // the last NOTIFY-MODEMSTATE
    CommErrorCounts m_counts;
    DWORD m_baudAsked = 0;
    DWORD m_baudAnswered = 0;
    bool m_answered = false;
    std::uint64_t m_baudAnswers = 0;
    bool m_serverSilent = false; // a bit rate went unanswered: the next ones are not waited for

    std::unique_ptr<std::uint8_t[]> m_readBuffer; // the I/O thread's
    std::unique_ptr<std::uint8_t[]> m_dataBuffer;
    std::thread m_io;
    int m_ioWake = -1; // eventfd: close, room in the queue, something to send
};

} // namespace platform::net
