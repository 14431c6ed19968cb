// SPDX-License-Identifier: MIT
// The network back end against servers the test scripts on 127.0.0.1: the exact RFC 2217
// commands the calls send, the server's notices reaching the modem status, the events and the
// error state, servers that never answer, refuse COM-PORT-OPTION, speak no Telnet or hang up in
// the middle of a command, raw TCP, and the reasons of failed opens. The bytes are written out as
// RFC 854 and RFC 2217 give them.
#include "Event.h"
#include "PortDevice.h"
#include "PortIo.h"
#include "PortMapFile.h"
#include "ScriptedServer.h"
#include "Serial.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <optional>
#include <random>
#include <string>
#include <thread>

using namespace platform;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace
{

constexpr auto kBound = 10s; // no step comes near this unless it hangs

std::string Bytes(std::initializer_list<int> values)
{
    std::string s;
    for (const int v : values)
        s.push_back(static_cast<char>(v));
    return s;
}

// IAC SB COM-PORT-OPTION <body> IAC SE; the body as it goes on the wire.
std::string Sb(std::initializer_list<int> body)
{
    return Bytes({0xFF, 0xFA, 0x2C}) + Bytes(body) + Bytes({0xFF, 0xF0});
}

std::chrono::milliseconds Since(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

// Waits for line events until the port hangs up: the error the wait then fails with.
DWORD ErrorOfTheHangUp(const HANDLE &port)
{
    Event wake;
    auto waits = std::async(std::launch::async, [&] {
        DWORD mask = 0;
        while (WaitCommEvent(port, &mask, wake)) {
        }
        return GetLastError();
    });
    if (waits.wait_for(kBound) != std::future_status::ready) {
        CloseHandle(port); // ends the wait
        ADD_FAILURE() << "the hang-up was not noticed";
    }
    return waits.get();
}

class NetPort : public testing::Test
{
  protected:
    void TearDown() override
    {
        if (m_port)
            CloseHandle(m_port);
    }

    HANDLE open(const std::string &address)
    {
        m_map.write("COM9=" + address);
        return CreateFileA("\\\\.\\COM9");
    }

    // The events of one WaitCommEvent that starts before `cause` runs.
    DWORD eventsOf(const std::function<void()> &cause)
    {
        Event wake;
        auto wait = std::async(std::launch::async, [&] {
            DWORD mask = 0;
            return WaitCommEvent(m_port, &mask, wake) ? mask : 0xDEADu;
        });
        std::this_thread::sleep_for(20ms);
        cause();
        if (wait.wait_for(kBound) != std::future_status::ready) {
            wake.Set();
            ADD_FAILURE() << "no event came";
        }
        return wait.get();
    }

    PortMapFile m_map{""};
    HANDLE m_port;
};

TEST_F(NetPort, LinesBreakAndPurgesAreSetControlAndPurgeData)
{
    ScriptedServer server(Rfc2217Greeting);
    m_port = open(server.address());
    ASSERT_TRUE(m_port) << "error " << GetLastError() << ": " << LastOpenProblem().detail;
    Peer &peer = server.peer();
    EXPECT_EQ(peer.all(), ClientOffers() + ClientMasks());
    EXPECT_EQ(QueryRemotePort(m_port), (RemotePortState{true, true, false, 0, 0, false}));

    const struct {
        const char *what;
        std::function<bool()> call;
        std::string bytes;
    } cases[] = {
        {"SETDTR", [&] { return EscapeCommFunction(m_port, SETDTR); }, Sb({5, 8})},
        {"CLRDTR", [&] { return EscapeCommFunction(m_port, CLRDTR); }, Sb({5, 9})},
        {"SETRTS", [&] { return EscapeCommFunction(m_port, SETRTS); }, Sb({5, 11})},
        {"CLRRTS", [&] { return EscapeCommFunction(m_port, CLRRTS); }, Sb({5, 12})},
        {"SETBREAK", [&] { return EscapeCommFunction(m_port, SETBREAK); }, Sb({5, 5})},
        {"CLRBREAK", [&] { return EscapeCommFunction(m_port, CLRBREAK); }, Sb({5, 6})},
        {"SetCommBreak", [&] { return SetCommBreak(m_port); }, Sb({5, 5})},
        {"ClearCommBreak", [&] { return ClearCommBreak(m_port); }, Sb({5, 6})},
        {"purge received", [&] { return PurgeComm(m_port, PURGE_RXCLEAR | PURGE_RXABORT); }, Sb({12, 1})},
        {"purge to send", [&] { return PurgeComm(m_port, PURGE_TXCLEAR); }, Sb({12, 2})},
        {"purge both", [&] { return PurgeComm(m_port, PURGE_TXCLEAR | PURGE_RXCLEAR); }, Sb({12, 3})},
        {"an abort alone purges nothing there", [&] { return PurgeComm(m_port, PURGE_TXABORT); }, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_TRUE(c.call());
        EXPECT_EQ(peer.read(c.bytes.size()), c.bytes);
    }
    EXPECT_FALSE(EscapeCommFunction(m_port, 77));
    EXPECT_EQ(peer.drain(), "");

    // The data, 0xFF doubled both ways.
    ASSERT_TRUE(SendAll(m_port, Bytes({'a', 0xFF, 0xFF, 'b'})));
    EXPECT_EQ(peer.read(6), Bytes({'a', 0xFF, 0xFF, 0xFF, 0xFF, 'b'}));
    peer.send(Bytes({'x', 0xFF, 0xFF, 'y', 0xFF, 0xF1, 'z'})); // with a NOP
    EXPECT_EQ(ReceiveUpTo(m_port, 4), Bytes({'x', 0xFF, 'y', 'z'}));
}

TEST_F(NetPort, SettingsAreSentAndTheAnsweredRateKept)
{
    ScriptedServer server(Rfc2217Greeting);
    m_port = open(server.address());
    ASSERT_TRUE(m_port) << LastOpenProblem().detail;
    Peer &peer = server.peer();

    auto dcbOf = [](DWORD rate, BYTE size, BYTE parity, BYTE stop, DWORD flags) {
        DCB dcb;
        dcb.BaudRate = rate;
        dcb.ByteSize = size;
        dcb.Parity = parity;
        dcb.StopBits = stop;
        dcb.Flags = DCB_fBinary | flags;
        return dcb;
    };
    constexpr DWORD dtrOn = DTR_CONTROL_ENABLE << DCB_fDtrControlShift;
    constexpr DWORD rtsOn = RTS_CONTROL_ENABLE << DCB_fRtsControlShift;
    const struct {
        const char *what;
        DCB dcb;
        std::string sent;
        std::string answer; // the server's SET-BAUDRATE answer
        DWORD answered;
    } cases[] = {
        {"7E2, hardware flow, the server can only do 9600",
         dcbOf(115200, 7, EVENPARITY, TWOSTOPBITS,
               dtrOn | DCB_fOutxCtsFlow | (RTS_CONTROL_HANDSHAKE << DCB_fRtsControlShift)),
         Sb({1, 0x00, 0x01, 0xC2, 0x00}) + Sb({2, 7}) + Sb({3, 3}) + Sb({4, 2}) + Sb({5, 3}) + Sb({5, 8}),
         Sb({101, 0x00, 0x00, 0x25, 0x80}), 9600},
        {"a rate holding 0xFF, 8N1, no flow, DTR off", dcbOf(0x0001FFFF, 8, NOPARITY, ONESTOPBIT, rtsOn),
         Sb({1, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF}) + Sb({2, 8}) + Sb({3, 1}) + Sb({4, 1}) + Sb({5, 1}) +
             Sb({5, 9}) + Sb({5, 11}),
         Sb({101, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF}), 0x0001FFFF},
        {"5O1.5, XON/XOFF", dcbOf(300, 5, ODDPARITY, ONE5STOPBITS, dtrOn | rtsOn | DCB_fOutX),
         Sb({1, 0x00, 0x00, 0x01, 0x2C}) + Sb({2, 5}) + Sb({3, 2}) + Sb({4, 3}) + Sb({5, 2}) + Sb({5, 8}) +
             Sb({5, 11}),
         Sb({101, 0x00, 0x00, 0x01, 0x2C}), 300},
        {"mark parity", dcbOf(1200, 8, MARKPARITY, ONESTOPBIT, dtrOn | DCB_fInX),
         Sb({1, 0x00, 0x00, 0x04, 0xB0}) + Sb({2, 8}) + Sb({3, 4}) + Sb({4, 1}) + Sb({5, 2}) + Sb({5, 8}) +
             Sb({5, 12}),
         Sb({101, 0x00, 0x00, 0x04, 0xB0}), 1200},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const auto start = Clock::now();
        auto set = std::async(std::launch::async, [&] { return SetCommState(m_port, c.dcb); });
        EXPECT_EQ(peer.read(c.sent.size()), c.sent);
        peer.send(c.answer);
        ASSERT_EQ(set.wait_for(kBound), std::future_status::ready);
        EXPECT_TRUE(set.get());
        EXPECT_LT(Since(start), 800ms) << "waited past the answer";
        EXPECT_EQ(QueryRemotePort(m_port),
                  (RemotePortState{true, true, false, c.dcb.BaudRate, c.answered, true}));
        DCB now;
        ASSERT_TRUE(GetCommState(m_port, &now));
        EXPECT_EQ(now.BaudRate, c.dcb.BaudRate);
        EXPECT_EQ(now.ByteSize, c.dcb.ByteSize);
    }
    // A DCB no port can have is refused before anything is sent.
    EXPECT_FALSE(SetCommState(m_port, dcbOf(9600, 9, NOPARITY, ONESTOPBIT, 0)));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(peer.drain(), "");
}

TEST_F(NetPort, AServerThatStopsAnsweringIsNotWaitedFor)
{
    ScriptedServer server(Rfc2217Greeting);
    m_port = open(server.address());
    ASSERT_TRUE(m_port) << LastOpenProblem().detail;
    DCB dcb;
    dcb.BaudRate = 57600;
    auto start = Clock::now();
    EXPECT_TRUE(SetCommState(m_port, dcb));
    EXPECT_GE(Since(start), 900ms);
    EXPECT_LT(Since(start), 2500ms);
    EXPECT_EQ(QueryRemotePort(m_port), (RemotePortState{true, true, false, 57600, 0, false}));
    // Known silent now: the next settings go out without a wait.
    start = Clock::now();
    EXPECT_TRUE(SetCommState(m_port, dcb));
    EXPECT_LT(Since(start), 300ms);
    // Both sets of commands did go out.
    const std::string sent = server.peer().drain();
    const std::string setRate = Sb({1}).substr(0, 4);
    const std::size_t first = sent.find(setRate);
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(sent.find(setRate, first + 1), std::string::npos);
}

TEST_F(NetPort, ModemNoticesDriveCtsDsrAndTheirEvents)
{
    ScriptedServer server(Rfc2217Greeting);
    m_port = open(server.address());
    ASSERT_TRUE(m_port) << LastOpenProblem().detail;
    Peer &peer = server.peer();
    ASSERT_TRUE(SetCommMask(m_port, EV_CTS | EV_DSR));

    const struct {
        std::string notice;
        DWORD status, events;
    } steps[] = {
        {Sb({107, 0x30}), MS_CTS_ON | MS_DSR_ON, EV_CTS | EV_DSR},
        {Sb({107, 0x21}), MS_DSR_ON, EV_CTS},
        {Sb({107, 0x00}), 0, EV_DSR},
        {Sb({107, 0x01}), 0, EV_CTS},                           // CTS pulsed between two looks of the server
        {Sb({107, 0x02}), 0, EV_DSR},                           // and DSR
        {Sb({107, 0xC0}) + Sb({107, 0x10}), MS_CTS_ON, EV_CTS}, // ring and CD alone are no CTS/DSR event
        {Sb({107, 0xFF, 0xFF}), MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON, EV_CTS | EV_DSR},
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(testing::PrintToString(s.notice));
        EXPECT_EQ(eventsOf([&] { peer.send(s.notice); }), s.events);
        DWORD status = 0xDEAD;
        EXPECT_TRUE(GetCommModemStatus(m_port, &status));
        EXPECT_EQ(status, s.status);
    }
}

TEST_F(NetPort, LineNoticesReachTheErrorStateAndCounts)
{
    ScriptedServer server(Rfc2217Greeting);
    m_port = open(server.address());
    ASSERT_TRUE(m_port) << LastOpenProblem().detail;
    Peer &peer = server.peer();
    ASSERT_TRUE(SetCommMask(m_port, EV_BREAK | EV_ERR));

    const struct {
        std::string notice;
        DWORD errors, events;
        CommErrorCounts counts; // overrun, parity, framing, breaks
    } steps[] = {
        {Sb({106, 0x02}), CE_OVERRUN, EV_ERR, {1, 0, 0, 0, 0}},
        {Sb({106, 0x04}), CE_RXPARITY, EV_ERR, {1, 1, 0, 0, 0}},
        {Sb({106, 0x08}), CE_FRAME, EV_ERR, {1, 1, 1, 0, 0}},
        {Sb({106, 0x10}), CE_BREAK, EV_BREAK, {1, 1, 1, 1, 0}},
        {Sb({106, 0x1E}), CE_OVERRUN | CE_RXPARITY | CE_FRAME | CE_BREAK, EV_BREAK | EV_ERR, {2, 2, 2, 2, 0}},
        // Data ready and the transmitter's state are no errors; the overrun after them is.
        {Sb({106, 0x61}) + Sb({106, 0x02}), CE_OVERRUN, EV_ERR, {3, 2, 2, 2, 0}},
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(testing::PrintToString(s.notice));
        EXPECT_EQ(eventsOf([&] { peer.send(s.notice); }), s.events);
        DWORD errors = 0;
        COMSTAT stat;
        EXPECT_TRUE(ClearCommError(m_port, &errors, &stat));
        EXPECT_EQ(errors, s.errors);
        CommErrorCounts counts;
        EXPECT_TRUE(GetCommErrorCounts(m_port, &counts));
        EXPECT_EQ(counts, s.counts);
    }
}

// A server that refuses COM-PORT-OPTION, or never answers it, is plain Telnet: the bytes go
// through with 0xFF doubled, and nothing of the settings or lines is sent.
TEST_F(NetPort, WithoutComPortOptionTheConnectionIsPlainTelnet)
{
    const struct {
        const char *what;
        ScriptedServer::Script greeting;
        std::chrono::milliseconds least, most; // how long the open takes
    } cases[] = {
        {"refused",
         [](Peer &p) {
             p.read(ClientOffers().size());
             p.send(Bytes({0xFF, 0xFD, 0x00, 0xFF, 0xFB, 0x00, 0xFF, 0xFE, 0x2C}));
         },
         0ms, 500ms},
        {"never answered", [](Peer &p) { p.read(ClientOffers().size()); }, 900ms, 2500ms},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedServer server(c.greeting);
        const auto start = Clock::now();
        m_port = open(server.address());
        const auto took = Since(start);
        ASSERT_TRUE(m_port) << LastOpenProblem().detail;
        EXPECT_GE(took, c.least);
        EXPECT_LT(took, c.most);
        Peer &peer = server.peer();
        EXPECT_EQ(QueryRemotePort(m_port), (RemotePortState{true, false, false, 0, 0, false}));

        DCB dcb;
        dcb.BaudRate = 19200;
        const auto set = Clock::now();
        EXPECT_TRUE(SetCommState(m_port, dcb));
        EXPECT_LT(Since(set), 300ms);
        EXPECT_TRUE(EscapeCommFunction(m_port, SETDTR));
        EXPECT_TRUE(SetCommBreak(m_port));
        EXPECT_TRUE(PurgeComm(m_port, PURGE_RXCLEAR | PURGE_TXCLEAR));
        DWORD status = 0xDEAD;
        EXPECT_TRUE(GetCommModemStatus(m_port, &status));
        EXPECT_EQ(status, 0u);
        ASSERT_TRUE(SendAll(m_port, Bytes({0xFF, '\r', 0x00})));
        EXPECT_EQ(peer.drain(), Bytes({0xFF, 0xFF, '\r', 0x00}));
        EXPECT_EQ(QueryRemotePort(m_port), (RemotePortState{true, false, false, 19200, 0, false}));

        // Agreeing after the open changes nothing.
        peer.send(Bytes({0xFF, 0xFD, 0x2C}));
        EXPECT_EQ(peer.read(3), Bytes({0xFF, 0xFC, 0x2C}));
        EXPECT_EQ(QueryRemotePort(m_port).rfc2217, false);
        CloseHandle(m_port);
        m_port = nullptr;
    }
}

// Every failed open says why: the kind, the Windows error and the system's or the server's words.
// A server that closes before any Telnet command or breaks the grammar speaks no Telnet; one that
// ends the connection at once with a word of why (ser2net to a second client) refused the open.
TEST_F(NetPort, AFailedOpenSaysWhy)
{
    using Kind = OpenProblem::Kind;
    const std::string unused = std::to_string(UnusedLoopbackPort());
    const std::string busy = "Port already in use\r\n";
    const struct {
        const char *what;
        std::string address; // empty: the scripted server's, with `scheme`
        const char *scheme;
        ScriptedServer::Script greeting;
        Kind kind;
        DWORD error;
        const char *detail; // part of the reason
    } cases[] = {
        {"nothing listens",
         "rfc2217://127.0.0.1:" + unused,
         "",
         {},
         Kind::Refused,
         ERROR_CONNECTION_REFUSED,
         "Connection refused"},
        {"no such host",
         "socket://no-such-bench.invalid:2000",
         "",
         {},
         Kind::HostNotFound,
         ERROR_BAD_NET_NAME,
         "no-such-bench.invalid"},
        {"no port", "rfc2217://127.0.0.1", "", {}, Kind::BadAddress, ERROR_INVALID_NETNAME, "no port"},
        {"a bracket open", "socket://[::1:2000", "", {}, Kind::BadAddress, ERROR_INVALID_NETNAME, "bracket"},
        {"closes at once", "", "rfc2217", [](Peer &p) { p.close(); }, Kind::NotRfc2217, ERROR_BAD_NET_RESP,
         "closed"},
        {"greets in another protocol", "", "rfc2217",
         [](Peer &p) {
             p.send("SSH-2.0-OpenSSH_9.2\r\n");
             p.read(ClientOffers().size()); // taken, so that the close is no reset
             p.close();
         },
         Kind::NotRfc2217, ERROR_BAD_NET_RESP, "SSH-2.0-OpenSSH_9.2"},
        {"breaks the Telnet grammar", "", "rfc2217",
         [](Peer &p) {
             p.send(Bytes({'o', 'k', 0xFF, 0x41}));
         },
         Kind::NotRfc2217, ERROR_BAD_NET_RESP, "no Telnet"},
        {"closes in the middle of its first command", "", "rfc2217",
         [](Peer &p) {
             p.send(Bytes({0xFF, 0xFA, 0x2C, 0x6B}));
             p.close();
         },
         Kind::NotRfc2217, ERROR_BAD_NET_RESP, "closed"},
        {"RFC 2217, in use", "", "rfc2217",
         [&](Peer &p) {
             p.read(ClientOffers().size());
             p.send(Bytes({0xFF, 0xFD, 0x00, 0xFF, 0xFB, 0x00, 0xFF, 0xFD, 0x2C}) + busy);
             p.close();
         },
         Kind::Refused, ERROR_CONNECTION_REFUSED, "Port already in use"},
        {"raw TCP, in use", "", "socket",
         [&](Peer &p) {
             p.send(busy);
             p.close();
         },
         Kind::Refused, ERROR_CONNECTION_REFUSED, "Port already in use"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::optional<ScriptedServer> server;
        if (c.address.empty())
            server.emplace(c.greeting);
        const std::string address = server ? server->address(c.scheme) : c.address;
        const auto start = Clock::now();
        m_port = open(address);
        EXPECT_FALSE(m_port);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_LT(Since(start), 2000ms);
        const OpenProblem p = LastOpenProblem();
        EXPECT_EQ(p.kind, c.kind);
        EXPECT_EQ(p.comNumber, 9);
        EXPECT_EQ(p.target.path, address);
        EXPECT_NE(p.detail.find(c.detail), std::string::npos) << p.detail;
        if (server) {
            EXPECT_NE(p.detail.find("127.0.0.1:" + std::to_string(server->port())), std::string::npos)
                << p.detail;
        }
        if (m_port)
            CloseHandle(m_port);
        m_port = nullptr;
    }
}

// After the open, a server that sends garbage or stops in the middle of a command and closes is
// a hang-up: what came before can be read, and everything else fails as on a pulled adapter.
TEST_F(NetPort, AServerThatHangsUpInTheMiddleOfACommandIsAHangUp)
{
    std::mt19937 random(854);
    std::string garbage(64 * 1024, '\0');
    for (char &b : garbage)
        b = static_cast<char>(random() % 3 == 0 ? 0xFF : random() % 256);
    const struct {
        const char *what;
        std::string sent;
        const char *data; // what is read back; nullptr: anything
    } cases[] = {
        {"a cut sub-negotiation", Bytes({'d', 0xFF, 0xFA, 0x2C, 0x6B}), "d"},
        {"a cut option", Bytes({'d', 0xFF, 0xFB}), "d"},
        {"an over-long sub-negotiation", Bytes({0xFF, 0xFA, 0x2C}) + std::string(10000, 'x') + "\xff\xf0tail",
         "tail"},
        {"garbage", garbage, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedServer server(Rfc2217Greeting);
        m_port = open(server.address());
        ASSERT_TRUE(m_port) << LastOpenProblem().detail;
        Peer &peer = server.peer();
        ASSERT_TRUE(SetCommMask(m_port, EV_RXCHAR | EV_ERR | EV_BREAK | EV_CTS | EV_DSR));
        peer.send(c.sent);
        peer.close();

        EXPECT_EQ(ErrorOfTheHangUp(m_port), ERROR_DEVICE_REMOVED);
        const std::string read = ReceiveUpTo(m_port, c.sent.size(), 500ms);
        if (c.data) {
            EXPECT_EQ(read, c.data);
        }
        EXPECT_FALSE(SendAll(m_port, "x"));
        EXPECT_EQ(GetLastError(), ERROR_DEVICE_REMOVED);
        EXPECT_FALSE(EscapeCommFunction(m_port, SETDTR));
        EXPECT_TRUE(CloseHandle(m_port));
        m_port = nullptr;
    }
}

TEST_F(NetPort, RawTcpCarriesTheBytesAlone)
{
    ScriptedServer server;
    const auto start = Clock::now();
    m_port = open(server.address("socket"));
    ASSERT_TRUE(m_port) << LastOpenProblem().detail;
    EXPECT_LT(Since(start), 500ms);
    Peer &peer = server.peer();
    EXPECT_EQ(peer.drain(), "") << "raw TCP sends no Telnet";
    EXPECT_EQ(QueryRemotePort(m_port), (RemotePortState{true, false, true, 0, 0, false}));

    std::string every;
    for (int round = 0; round < 4; ++round)
        for (int b = 0; b < 256; ++b)
            every.push_back(static_cast<char>(b));
    every += std::string(3000, '\xff') + std::string("\r\0\xff\xfa\x2c", 5);
    ASSERT_TRUE(SendAll(m_port, every));
    EXPECT_EQ(peer.read(every.size()), every);
    peer.send(every);
    EXPECT_EQ(ReceiveUpTo(m_port, every.size()), every);

    // Settings and lines are taken and stay here.
    DCB dcb;
    dcb.BaudRate = 115200;
    dcb.ByteSize = 7;
    EXPECT_TRUE(SetCommState(m_port, dcb));
    EXPECT_TRUE(EscapeCommFunction(m_port, SETRTS));
    EXPECT_TRUE(SetCommBreak(m_port));
    EXPECT_TRUE(PurgeComm(m_port, PURGE_TXCLEAR | PURGE_RXCLEAR));
    DCB now;
    ASSERT_TRUE(GetCommState(m_port, &now));
    EXPECT_EQ(now.BaudRate, 115200u);
    EXPECT_EQ(now.ByteSize, 7);
    DWORD status = 0xDEAD;
    EXPECT_TRUE(GetCommModemStatus(m_port, &status));
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(peer.drain(), "");
    EXPECT_EQ(QueryRemotePort(m_port), (RemotePortState{true, false, true, 115200, 0, false}));

    // The server going away is a hang-up.
    peer.close();
    ASSERT_TRUE(SetCommMask(m_port, EV_RXCHAR));
    EXPECT_EQ(ErrorOfTheHangUp(m_port), ERROR_DEVICE_REMOVED);
}

// A listener that never accepts and whose backlog is full lets the connection attempt go
// unanswered: the open ends at its time-out, not at the system's.
TEST_F(NetPort, AConnectionNobodyAnswersTimesOut)
{
    ScriptedServer server({}, false, 0);
    std::vector<int> fillers;
    for (int i = 0; i < 3; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(server.port());
        ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        fillers.push_back(fd);
    }
    std::this_thread::sleep_for(100ms);
    const auto start = Clock::now();
    m_port = open(server.address());
    const auto took = Since(start);
    for (const int fd : fillers)
        ::close(fd);
    EXPECT_FALSE(m_port);
    const OpenProblem p = LastOpenProblem();
    EXPECT_EQ(p.kind, OpenProblem::Kind::TimedOut) << p.detail;
    EXPECT_EQ(p.error, ERROR_TIMEOUT);
    EXPECT_GE(took, 2900ms);
    EXPECT_LT(took, 4000ms);
}

} // namespace
