// SPDX-License-Identifier: MIT
// What the serial back ends share through their one I/O core, run on each of them: the tty back
// end on a pseudo-terminal whose master side the test holds, the loopback plug, which the test
// drives through the plug, and the network back end on an RFC 2217 server the test plays. Either
// way the port under test is COM7 in a temporary [PORTS], and the test plays the far end: it
// sends bytes and hangs the device up.
#include "Event.h"
#include "Loopback.h"
#include "PortMapFile.h"
#include "PtyPair.h"
#include "ScriptedServer.h"
#include "Serial.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <unistd.h>

using namespace platform;
using namespace std::chrono_literals;

namespace
{

constexpr const char *kPort = "\\\\.\\COM7";
constexpr int kComNumber = 7;
constexpr auto kBound = 10s; // no step of these tests comes near this unless it hangs

enum class BackEnd { Tty, Loopback, Network };

const char *Name(BackEnd b)
{
    switch (b) {
    case BackEnd::Tty:
        return "tty";
    case BackEnd::Loopback:
        return "loopback";
    case BackEnd::Network:
        return "network";
    }
    return "?";
}
void PrintTo(BackEnd b, std::ostream *os)
{
    *os << Name(b);
}

std::int64_t CpuMs(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

COMMTIMEOUTS ReadTimeouts(DWORD firstByteMs)
{
    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutConstant = firstByteMs;
    return t;
}

struct Outcome {
    bool ok = false;
    DWORD error = 0;
    DWORD value = 0; // event mask or byte count
};

class BackEnds : public testing::TestWithParam<BackEnd>
{
  protected:
    void SetUp() override
    {
        LoopbackPlug::ResetAll();
        if (GetParam() == BackEnd::Tty) {
            m_pty.emplace(true);
            ASSERT_TRUE(m_pty->ok()) << "no pseudo-terminals here";
            m_map.emplace("COM7=" + m_pty->slavePath());
        } else if (GetParam() == BackEnd::Network) {
            m_server.emplace(Rfc2217Greeting);
            m_map.emplace("COM7=" + m_server->address());
        } else {
            m_map.emplace("COM7=loopback");
        }
        m_port = CreateFileA(kPort);
        ASSERT_TRUE(m_port) << "error " << GetLastError();
        if (m_server)
            m_peer = &m_server->peer();
    }

    void TearDown() override
    {
        if (m_port)
            CloseHandle(m_port);
        m_pty.reset();
        m_server.reset();
        LoopbackPlug::ResetAll();
    }

    // Bytes the far end sends now.
    void send(const std::string &bytes)
    {
        if (m_pty)
            ASSERT_EQ(::write(m_pty->master(), bytes.data(), bytes.size()),
                      static_cast<ssize_t>(bytes.size()));
        else if (m_peer)
            m_peer->send(bytes); // the tests send no 0xFF
        else
            LoopbackPlug::Get(kComNumber)->inject(bytes);
    }

    // Bytes the far end sends, waited for until the port has them queued (a pseudo-terminal hands
    // them across on its own time).
    void arrive(const std::string &bytes)
    {
        const DWORD before = queued();
        send(bytes);
        const auto end = std::chrono::steady_clock::now() + 2s;
        while (queued() < before + bytes.size() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(2ms);
        ASSERT_EQ(queued(), before + bytes.size());
    }

    // The device goes away as a pulled adapter does.
    void hangUp()
    {
        if (m_pty)
            m_pty->closeMaster();
        else if (m_peer)
            m_peer->close();
        else
            LoopbackPlug::Get(kComNumber)->unplug();
    }

    DWORD queued() const
    {
        COMSTAT status;
        DWORD errors = 0;
        ClearCommError(m_port, &errors, &status);
        return status.cbInQue;
    }

    Outcome finish(OVERLAPPED &ov) const
    {
        Outcome o;
        o.ok = GetOverlappedResult(m_port, &ov, &o.value, true);
        o.error = GetLastError();
        return o;
    }

    // The result of a call running on another thread; if it does not come, the device is closed
    // so that the thread (and the test) ends.
    bool arrives(std::future<Outcome> &f) const
    {
        if (f.wait_for(kBound) == std::future_status::ready)
            return true;
        CloseHandle(m_port);
        return false;
    }

    std::optional<PtyPair> m_pty;
    std::optional<ScriptedServer> m_server;
    Peer *m_peer = nullptr;
    std::optional<PortMapFile> m_map;
    HANDLE m_port;
};

TEST_P(BackEnds, ReadsFollowTheFirstByteTimeout)
{
    char buffer[16];
    OVERLAPPED ov;
    DWORD n = 99;

    // Waits for the first byte; meanwhile a check without waiting says "incomplete".
    ASSERT_TRUE(SetCommTimeouts(m_port, ReadTimeouts(5000)));
    EXPECT_FALSE(ReadFile(m_port, buffer, sizeof buffer, &n, &ov));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(GetOverlappedResult(m_port, &ov, &n, false));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    arrive("xy");
    ASSERT_TRUE(GetOverlappedResult(m_port, &ov, &n, false));
    EXPECT_EQ(std::string(buffer, n), "xy");

    // A waiting read ends as soon as bytes come.
    EXPECT_FALSE(ReadFile(m_port, buffer, sizeof buffer, &n, &ov));
    auto reader = std::async(std::launch::async, [&] { return finish(ov); });
    std::this_thread::sleep_for(10ms);
    send("later");
    ASSERT_TRUE(arrives(reader));
    Outcome o = reader.get();
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(std::string(buffer, o.value), "later");

    // Nothing within the time-out: the read completes, empty, no sooner than the time-out.
    ASSERT_TRUE(SetCommTimeouts(m_port, ReadTimeouts(100)));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ReadFile(m_port, buffer, sizeof buffer, &n, &ov));
    ASSERT_TRUE(GetOverlappedResult(m_port, &ov, &n, true));
    EXPECT_EQ(n, 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);

    // Interval MAXDWORD and no totals: a read returns at once with what is there, even nothing.
    ASSERT_TRUE(SetCommTimeouts(m_port, ReadTimeouts(0)));
    EXPECT_TRUE(ReadFile(m_port, buffer, sizeof buffer, &n, &ov));
    EXPECT_EQ(n, 0u);

    // Bytes already waiting complete a read at once, up to its count.
    ASSERT_TRUE(SetCommTimeouts(m_port, ReadTimeouts(5000)));
    arrive("0123456789abcdefXYZ");
    ASSERT_TRUE(ReadFile(m_port, buffer, sizeof buffer, &n, &ov));
    EXPECT_EQ(std::string(buffer, n), "0123456789abcdef");
    ASSERT_TRUE(ReadFile(m_port, buffer, sizeof buffer, &n, &ov));
    EXPECT_EQ(std::string(buffer, n), "XYZ");

    // A purge ends a waiting read, and what came meanwhile goes with it.
    EXPECT_FALSE(ReadFile(m_port, buffer, sizeof buffer, &n, &ov));
    arrive("dropped");
    ASSERT_TRUE(PurgeComm(m_port, PURGE_RXABORT | PURGE_RXCLEAR));
    EXPECT_FALSE(GetOverlappedResult(m_port, &ov, &n, true));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(queued(), 0u);

    // A close ends a waiting read on another thread.
    EXPECT_FALSE(ReadFile(m_port, buffer, sizeof buffer, &n, &ov));
    auto closed = std::async(std::launch::async, [&] { return finish(ov); });
    std::this_thread::sleep_for(10ms);
    CloseHandle(m_port);
    ASSERT_TRUE(arrives(closed));
    o = closed.get();
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.error, ERROR_INVALID_HANDLE);
}

// A device that goes away ends what waits on it and leaves nothing spinning: the receive
// thread's wait fails once and the thread then sleeps on its wake-up; a read pending without a
// time-out fails rather than waiting for bytes that can never come.
TEST_P(BackEnds, HangUpEndsTheWaitsAndLeavesTheReceiverAsleep)
{
    ASSERT_TRUE(SetCommMask(m_port, EV_RXCHAR | EV_BREAK | EV_ERR));
    ASSERT_TRUE(SetCommTimeouts(m_port, COMMTIMEOUTS{})); // a read waits for all its bytes
    char buffer[4];
    OVERLAPPED readOv;
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(m_port, buffer, sizeof buffer, &n, &readOv));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    auto reader = std::async(std::launch::async, [&] { return finish(readOv); });

    Event wake; // auto-reset, like the receive thread's
    std::atomic<bool> stop{false};
    std::atomic<bool> firstResult{true};
    std::atomic<std::int64_t> cpuAfterHangUp{-1};
    Event failed(true);
    std::thread receiver([&] {
        // The receive thread's loop: wait for an event, or for the wake-up when waiting failed.
        DWORD m = 0;
        firstResult = WaitCommEvent(m_port, &m, wake);
        failed.Set();
        const std::int64_t start = CpuMs(CLOCK_THREAD_CPUTIME_ID);
        while (!stop.load()) {
            if (!WaitCommEvent(m_port, &m, wake))
                wake.Wait();
        }
        cpuAfterHangUp = CpuMs(CLOCK_THREAD_CPUTIME_ID) - start;
    });
    std::this_thread::sleep_for(50ms);
    hangUp();
    EXPECT_TRUE(failed.Wait(5000)) << "the wait did not notice the hang-up";
    // Not fatal here: the receiver thread has to be joined below either way.
    if (arrives(reader)) {
        const Outcome read = reader.get();
        EXPECT_FALSE(read.ok);
        EXPECT_EQ(read.error, ERROR_DEVICE_REMOVED);
    } else {
        ADD_FAILURE() << "the pending read did not notice the hang-up";
    }

    // The whole process, a back end's own threads included.
    const std::int64_t processStart = CpuMs(CLOCK_PROCESS_CPUTIME_ID);
    std::this_thread::sleep_for(2s);
    EXPECT_LT(CpuMs(CLOCK_PROCESS_CPUTIME_ID) - processStart, 100) << "some thread spun after the hang-up";
    stop = true;
    wake.Set();
    receiver.join();
    EXPECT_FALSE(firstResult.load());
    EXPECT_GE(cpuAfterHangUp.load(), 0);
    EXPECT_LT(cpuAfterHangUp.load(), 50) << "the receiver spun after the hang-up";

    // The rest of the device fails cleanly, and nothing claims to be waiting.
    DWORD errors = 0;
    COMSTAT stat;
    stat.cbInQue = 7;
    ClearCommError(m_port, &errors, &stat);
    EXPECT_EQ(stat.cbInQue, 0u);
    OVERLAPPED ov;
    EXPECT_FALSE(ReadFile(m_port, buffer, sizeof buffer, &n, &ov));
    EXPECT_NE(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(WriteFile(m_port, "x", 1, &n, &ov));
    EXPECT_NE(GetLastError(), ERROR_IO_PENDING);
    EXPECT_TRUE(CloseHandle(m_port));
}

INSTANTIATE_TEST_SUITE_P(Each, BackEnds, testing::Values(BackEnd::Tty, BackEnd::Loopback, BackEnd::Network),
                         [](const testing::TestParamInfo<BackEnd> &info) {
                             return std::string(Name(info.param));
                         });

} // namespace
