// SPDX-License-Identifier: MIT
// The network back end against the real ser2net, whose serial side is a pseudo-terminal the test
// holds: every byte value both ways, over RFC 2217 and raw TCP; settings reaching the
// pseudo-terminal; a second client refused while the port is in use; ser2net stopping as a
// hang-up, and a new open once it is back. ser2net runs in
// the foreground on a configuration of the test's own and listens on 127.0.0.1 only; it is
// stopped at the end of each test. Skipped where ser2net is not installed (scripts/deps.sh
// installs it).
#include "Event.h"
#include "PortDevice.h"
#include "PortIo.h"
#include "PortMapFile.h"
#include "PtyPair.h"
#include "ScriptedServer.h"
#include "Ser2net.h"
#include "Serial.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <random>
#include <sstream>
#include <string>
#include <thread>

using namespace platform;
using namespace std::chrono_literals;

namespace
{

constexpr auto kBound = 10s;

// Reads `n` bytes from the pseudo-terminal's master side on a thread of its own, so that the
// port's writes are never held up by a full pseudo-terminal.
std::future<std::string> ReadMaster(int master, std::size_t n)
{
    return std::async(std::launch::async, [master, n] {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + kBound;
        char buffer[65536];
        while (got.size() < n && std::chrono::steady_clock::now() < deadline) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            const ssize_t r = ::read(master, buffer, std::min(sizeof buffer, n - got.size()));
            if (r > 0)
                got.append(buffer, static_cast<std::size_t>(r));
        }
        return got;
    });
}

std::future<bool> WriteMaster(int master, std::string bytes)
{
    return std::async(std::launch::async, [master, bytes = std::move(bytes)] {
        std::size_t at = 0;
        const auto deadline = std::chrono::steady_clock::now() + kBound;
        while (at < bytes.size() && std::chrono::steady_clock::now() < deadline) {
            pollfd p{master, POLLOUT, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            const ssize_t r =
                ::write(master, bytes.data() + at, std::min<std::size_t>(4096, bytes.size() - at));
            if (r > 0)
                at += static_cast<std::size_t>(r);
        }
        return at == bytes.size();
    });
}

// Every byte value, runs of 0xFF, and a long stretch in which IAC and the Telnet commands come
// thick, so that escapes fall across every read and write boundary.
std::string Traffic()
{
    std::string bytes;
    for (int round = 0; round < 4; ++round)
        for (int b = 0; b < 256; ++b)
            bytes.push_back(static_cast<char>(b));
    for (const int run : {1, 2, 3, 255, 256, 4097})
        bytes += std::string(static_cast<std::size_t>(run), '\xff') + "|";
    std::mt19937 random(2217);
    for (int i = 0; i < 1 << 20; ++i)
        bytes.push_back(static_cast<char>(random() % 2 ? 0xF0 + random() % 16 : random() % 256));
    return bytes;
}

class Ser2netPort : public testing::Test
{
  protected:
    void SetUp() override
    {
        if (Ser2netPath().empty())
            GTEST_SKIP() << "ser2net is not installed (scripts/deps.sh installs it)";
        ASSERT_TRUE(m_pty.ok());
        m_port = UnusedLoopbackPort();
        ASSERT_NE(m_port, 0);
    }
    void TearDown() override
    {
        if (m_handle)
            CloseHandle(m_handle);
        m_server.reset();
    }

    void startServer(const std::string &accepter)
    {
        m_server.emplace(m_dir, accepter, m_port, m_pty.slavePath());
        ASSERT_TRUE(Listening(m_port)) << m_server->log();
    }
    HANDLE open(const std::string &scheme)
    {
        m_map.write("COM9=" + scheme + "://127.0.0.1:" + std::to_string(m_port));
        return CreateFileA("COM9");
    }

    TempDir m_dir{"quorvel-ser2net"};
    PtyPair m_pty{true};
    PortMapFile m_map{""};
    std::uint16_t m_port = 0;
    std::optional<Ser2net> m_server;
    HANDLE m_handle;
};

TEST_F(Ser2netPort, EveryByteValueGoesThroughBothWays)
{
    const struct {
        const char *accepter, *scheme;
        RemotePortState state;
    } cases[] = {
        {"telnet(rfc2217),tcp", "rfc2217", {true, true, false, 0, 0, false}},
        {"tcp", "socket", {true, false, true, 0, 0, false}},
    };
    const std::string traffic = Traffic();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.accepter);
        startServer(c.accepter);
        m_handle = open(c.scheme);
        ASSERT_TRUE(m_handle) << LastOpenProblem().detail << "\n" << m_server->log();
        EXPECT_EQ(QueryRemotePort(m_handle), c.state);

        auto toDevice = ReadMaster(m_pty.master(), traffic.size());
        EXPECT_TRUE(SendAll(m_handle, traffic));
        const std::string atDevice = toDevice.get();
        EXPECT_EQ(atDevice.size(), traffic.size());
        EXPECT_TRUE(atDevice == traffic) << "the bytes at the device differ";

        auto fromDevice = WriteMaster(m_pty.master(), traffic);
        const std::string atPort = ReceiveUpTo(m_handle, traffic.size(), kBound);
        EXPECT_TRUE(fromDevice.get());
        EXPECT_EQ(atPort.size(), traffic.size());
        EXPECT_TRUE(atPort == traffic) << "the bytes at the port differ";

        CloseHandle(m_handle);
        m_handle = nullptr;
        m_server.reset();
    }
}

TEST_F(Ser2netPort, SettingsReachThePseudoTerminal)
{
    startServer("telnet(rfc2217),tcp");
    m_handle = open("rfc2217");
    ASSERT_TRUE(m_handle) << LastOpenProblem().detail << "\n" << m_server->log();

    // A pseudo-terminal keeps the rate, the stop bits and the flow control; its driver makes
    // every word 8 bits without parity whatever it is told.
    const struct {
        DWORD rate;
        speed_t code;
        BYTE stopBits;
        bool hardwareFlow;
    } cases[] = {
        {57600, B57600, TWOSTOPBITS, true},
        {1200, B1200, ONESTOPBIT, false},
        {115200, B115200, TWOSTOPBITS, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.rate);
        DCB dcb;
        dcb.BaudRate = c.rate;
        dcb.ByteSize = 7;
        dcb.Parity = EVENPARITY;
        dcb.StopBits = c.stopBits;
        dcb.Flags = DCB_fBinary | (DTR_CONTROL_ENABLE << DCB_fDtrControlShift) |
                    (c.hardwareFlow ? DCB_fOutxCtsFlow | (RTS_CONTROL_HANDSHAKE << DCB_fRtsControlShift)
                                    : RTS_CONTROL_ENABLE << DCB_fRtsControlShift);
        ASSERT_TRUE(SetCommState(m_handle, dcb));
        // ser2net answers once it has set the port.
        EXPECT_EQ(QueryRemotePort(m_handle), (RemotePortState{true, true, false, c.rate, c.rate, true}));
        termios t{};
        ASSERT_EQ(::tcgetattr(m_pty.master(), &t), 0);
        EXPECT_EQ(::cfgetospeed(&t), c.code);
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.stopBits == TWOSTOPBITS);
        EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, c.hardwareFlow);
    }
    // The data still flows at the new settings.
    auto toDevice = ReadMaster(m_pty.master(), 3);
    ASSERT_TRUE(SendAll(m_handle, "ok\xff"));
    EXPECT_EQ(toDevice.get(), "ok\xff");
}

TEST_F(Ser2netPort, ASecondClientIsRefusedWhileThePortIsInUse)
{
    for (const auto &[accepter, scheme] :
         {std::pair{"telnet(rfc2217),tcp", "rfc2217"}, std::pair{"tcp", "socket"}}) {
        SCOPED_TRACE(accepter);
        startServer(accepter);
        m_handle = open(scheme);
        ASSERT_TRUE(m_handle) << LastOpenProblem().detail << "\n" << m_server->log();
        HANDLE second = open(scheme);
        EXPECT_FALSE(second);
        const OpenProblem p = LastOpenProblem();
        EXPECT_EQ(p.kind, OpenProblem::Kind::Refused);
        // ser2net's own words come when it sends them before it closes; under load it may close
        // first.
        EXPECT_TRUE(p.detail.find("Port already in use") != std::string::npos ||
                    p.detail.find("ended the connection at once") != std::string::npos)
            << p.detail;
        if (second)
            CloseHandle(second);
        // The first client is untouched.
        auto toDevice = ReadMaster(m_pty.master(), 5);
        ASSERT_TRUE(SendAll(m_handle, "first"));
        EXPECT_EQ(toDevice.get(), "first");
        CloseHandle(m_handle);
        m_handle = nullptr;
        m_server.reset();
    }
}

TEST_F(Ser2netPort, Ser2netStoppingIsAHangUpAndANewOpenFollowsItsReturn)
{
    startServer("telnet(rfc2217),tcp");
    m_handle = open("rfc2217");
    ASSERT_TRUE(m_handle) << LastOpenProblem().detail << "\n" << m_server->log();
    ASSERT_TRUE(SetCommMask(m_handle, EV_RXCHAR | EV_ERR | EV_BREAK));

    Event wake;
    auto waits = std::async(std::launch::async, [&] {
        DWORD mask = 0;
        while (WaitCommEvent(m_handle, &mask, wake)) {
        }
        return GetLastError();
    });
    std::this_thread::sleep_for(50ms);
    m_server->stop();
    if (waits.wait_for(kBound) != std::future_status::ready) {
        CloseHandle(m_handle); // ends the wait
        FAIL() << "the hang-up was not noticed";
    }
    EXPECT_EQ(waits.get(), ERROR_DEVICE_REMOVED);
    EXPECT_FALSE(SendAll(m_handle, "x"));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_REMOVED);
    CloseHandle(m_handle);

    // While it is away the open says so; once it is back the port opens again.
    m_handle = open("rfc2217");
    EXPECT_FALSE(m_handle);
    EXPECT_EQ(LastOpenProblem().kind, OpenProblem::Kind::Refused);
    ASSERT_TRUE(m_server->start()) << m_server->log();
    m_handle = open("rfc2217");
    ASSERT_TRUE(m_handle) << LastOpenProblem().detail << "\n" << m_server->log();
    EXPECT_TRUE(QueryRemotePort(m_handle).rfc2217);
    auto toDevice = ReadMaster(m_pty.master(), 5);
    ASSERT_TRUE(SendAll(m_handle, "again"));
    EXPECT_EQ(toDevice.get(), "again");
}

} // namespace
