// SPDX-License-Identifier: MIT
// The loopback plug behaves like a serial device with a loopback plug on it: what the component
// and the window see through the device calls, and what tests see through the plug.
#include "Event.h"
#include "Loopback.h"
#include "Serial.h"
#include "SerialInternal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

using namespace platform;
using namespace std::chrono_literals;
using Kind = LoopbackPlug::LineEvent::Kind;

namespace
{

constexpr auto kBound = 10s; // no step of these tests comes near this unless it hangs

struct Outcome {
    bool ok = false;
    DWORD error = 0;
    DWORD value = 0; // event mask or byte count
};

COMMTIMEOUTS ReadTimeouts(DWORD firstByteMs, DWORD writeMs = 0)
{
    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutConstant = firstByteMs;
    t.WriteTotalTimeoutConstant = writeMs;
    return t;
}

class Loopback : public testing::Test
{
  protected:
    void SetUp() override { LoopbackPlug::ResetAll(); }
    void TearDown() override
    {
        for (const HANDLE &h : m_handles)
            CloseHandle(h);
        LoopbackPlug::ResetAll();
    }

    HANDLE open(int n)
    {
        HANDLE h = OpenLoopback(n);
        if (h)
            m_handles.push_back(h);
        return h;
    }

    // An open port that returns reads at once, with the component's event mask.
    HANDLE openReady(int n)
    {
        HANDLE h = open(n);
        if (h) {
            SetCommTimeouts(h, ReadTimeouts(0));
            SetCommMask(h, EV_RXCHAR | EV_BREAK | EV_ERR);
        }
        return h;
    }

    static std::string readAll(const HANDLE &h)
    {
        std::string out(65536, '\0');
        OVERLAPPED ov;
        DWORD n = 0;
        if (!ReadFile(h, out.data(), static_cast<DWORD>(out.size()), &n, &ov))
            return "<read failed>";
        out.resize(n);
        return out;
    }

    static bool write(const HANDLE &h, const std::string &bytes)
    {
        OVERLAPPED ov;
        DWORD n = 0;
        return WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, &ov) && n == bytes.size();
    }

    static COMSTAT queues(const HANDLE &h)
    {
        COMSTAT s;
        DWORD errors = 0;
        ClearCommError(h, &errors, &s);
        return s;
    }

    static Outcome wait(const HANDLE &h, Event &wake)
    {
        Outcome o;
        o.ok = WaitCommEvent(h, &o.value, wake);
        o.error = GetLastError();
        return o;
    }

    // The result of a call running on another thread; if it does not come, the device is closed
    // so that the thread (and the test) ends.
    static bool arrives(std::future<Outcome> &f, const HANDLE &h)
    {
        if (f.wait_for(kBound) == std::future_status::ready)
            return true;
        CloseHandle(h);
        return false;
    }

    std::vector<HANDLE> m_handles;
};

TEST_F(Loopback, OpenIsExclusiveAndCloseFreesThePortAtOnce)
{
    auto plug = LoopbackPlug::Get(3);
    HANDLE first = open(3);
    ASSERT_TRUE(first);
    EXPECT_TRUE(plug->isOpen());
    EXPECT_EQ(open(3), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);

    EXPECT_TRUE(CloseHandle(first));
    EXPECT_FALSE(plug->isOpen());
    EXPECT_FALSE(CloseHandle(first)); // harmless, and says so
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    HANDLE second = open(3);
    ASSERT_TRUE(second);
    EXPECT_NE(second->id(), first->id());
    EXPECT_EQ(plug->openCount(), 2);
    EXPECT_TRUE(open(4)); // another port is another plug

    CloseHandle(second);
    plug->setMissing(true);
    EXPECT_EQ(open(3), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    plug->setMissing(false);
    EXPECT_TRUE(open(3));
}

// A worker that still holds the handle of an earlier open must never reach the port's next open.
TEST_F(Loopback, OldHandleNeverReachesALaterOpen)
{
    auto plug = LoopbackPlug::Get(5);
    HANDLE old = openReady(5);
    ASSERT_TRUE(old);
    CloseHandle(old);
    HANDLE now = openReady(5);
    ASSERT_TRUE(now);
    ASSERT_TRUE(EscapeCommFunction(now, SETRTS));
    plug->inject("new");
    plug->takeWritten();
    const int setupCalls = plug->setupCalls();
    const int stateCalls = plug->setStateCalls();

    Event wake;
    wake.Set();
    char buffer[8] = {};
    DCB dcb;
    COMMTIMEOUTS timeouts;
    DWORD value = 0;
    COMSTAT status;
    OVERLAPPED ov;
    const std::vector<std::pair<const char *, std::function<bool()>>> calls = {
        {"SetupComm", [&] { return SetupComm(old, 16, 16); }},
        {"PurgeComm", [&] { return PurgeComm(old, PURGE_RXCLEAR | PURGE_TXCLEAR); }},
        {"GetCommState", [&] { return GetCommState(old, &dcb); }},
        {"SetCommState", [&] { return SetCommState(old, DCB{}); }},
        {"GetCommTimeouts", [&] { return GetCommTimeouts(old, &timeouts); }},
        {"SetCommTimeouts", [&] { return SetCommTimeouts(old, ReadTimeouts(0)); }},
        {"SetCommMask", [&] { return SetCommMask(old, 0); }},
        {"EscapeCommFunction", [&] { return EscapeCommFunction(old, CLRRTS); }},
        {"SetCommBreak", [&] { return SetCommBreak(old); }},
        {"GetCommModemStatus", [&] { return GetCommModemStatus(old, &value); }},
        {"ClearCommError", [&] { return ClearCommError(old, &value, &status); }},
        {"WaitCommEvent", [&] { return WaitCommEvent(old, &value, wake); }},
        {"ReadFile", [&] { return ReadFile(old, buffer, sizeof buffer, &value, &ov); }},
        {"WriteFile", [&] { return WriteFile(old, "old", 3, &value, &ov); }},
        {"GetOverlappedResult", [&] { return GetOverlappedResult(old, &ov, &value, false); }},
        {"CloseHandle", [&] { return CloseHandle(old); }},
    };
    for (const auto &[name, call] : calls) {
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(call()) << name;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE) << name;
    }

    EXPECT_TRUE(plug->isOpen());
    EXPECT_TRUE(plug->rts());
    EXPECT_FALSE(plug->breakOn());
    EXPECT_EQ(plug->takeWritten(), "");
    EXPECT_EQ(plug->setupCalls(), setupCalls);
    EXPECT_EQ(plug->setStateCalls(), stateCalls);
    EXPECT_EQ(queues(now).cbInQue, 3u);
    EXPECT_EQ(wait(now, wake).value, EV_RXCHAR); // the new open's event was not taken
    EXPECT_EQ(readAll(now), "new");
}

TEST_F(Loopback, BytesWrittenComeBackInOrder)
{
    auto plug = LoopbackPlug::Get(1);
    HANDLE h = openReady(1);
    ASSERT_TRUE(h);
    const std::string bytes("AB\0\xFF\r\n", 6);
    ASSERT_TRUE(write(h, bytes));
    ASSERT_TRUE(write(h, "cd"));
    EXPECT_EQ(plug->takeWritten(), bytes + "cd");
    EXPECT_EQ(plug->takeWritten(), "");
    const COMSTAT s = queues(h);
    EXPECT_EQ(s.cbInQue, 8u);
    EXPECT_EQ(s.cbOutQue, 0u);

    char three[3];
    OVERLAPPED ov;
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(h, three, 3, &n, &ov));
    EXPECT_EQ(std::string(three, n), bytes.substr(0, 3));
    EXPECT_EQ(queues(h).cbInQue, 5u);
    EXPECT_EQ(readAll(h), bytes.substr(3) + "cd");
    EXPECT_EQ(readAll(h), ""); // nothing waiting: the read returns at once, empty
}

struct LineCase {
    const char *name;
    std::vector<DWORD> functions;
    DWORD status;
};

class LoopbackLines : public Loopback, public testing::WithParamInterface<LineCase>
{
};

TEST_P(LoopbackLines, CtsFollowsRtsAndDsrFollowsDtr)
{
    auto plug = LoopbackPlug::Get(2);
    HANDLE h = open(2);
    ASSERT_TRUE(h);
    ASSERT_TRUE(SetCommState(h, [] {
        DCB dcb;
        dcb.Flags = DCB_fBinary; // both lines disabled
        return dcb;
    }()));
    for (DWORD f : GetParam().functions)
        ASSERT_TRUE(EscapeCommFunction(h, f));
    DWORD status = 0xFFFF;
    ASSERT_TRUE(GetCommModemStatus(h, &status));
    EXPECT_EQ(status, GetParam().status);
    EXPECT_EQ(plug->rts(), (status & MS_CTS_ON) != 0);
    EXPECT_EQ(plug->dtr(), (status & MS_DSR_ON) != 0);
}

INSTANTIATE_TEST_SUITE_P(
    Functions, LoopbackLines,
    testing::Values(LineCase{"none", {}, 0}, LineCase{"rts", {SETRTS}, MS_CTS_ON},
                    LineCase{"dtr", {SETDTR}, MS_DSR_ON},
                    LineCase{"both", {SETDTR, SETRTS}, MS_CTS_ON | MS_DSR_ON},
                    LineCase{"rts_dropped", {SETDTR, SETRTS, CLRRTS}, MS_DSR_ON},
                    LineCase{"dtr_dropped", {SETDTR, SETRTS, CLRDTR}, MS_CTS_ON},
                    LineCase{"xon_xoff_reset_change_nothing", {SETRTS, 1, 2, 7}, MS_CTS_ON}),
    [](const testing::TestParamInfo<LineCase> &info) { return std::string(info.param.name); });

struct FlowCase {
    const char *name;
    DWORD flags;
    bool dtr;
    bool rts;
};

class LoopbackFlow : public Loopback, public testing::WithParamInterface<FlowCase>
{
};

// The component's flow-control words: the driver raises or drops the lines each one controls.
TEST_P(LoopbackFlow, SetCommStateDrivesTheControlledLines)
{
    auto plug = LoopbackPlug::Get(2);
    HANDLE h = open(2);
    ASSERT_TRUE(h);
    // Start from the opposite levels so that every case changes something.
    EscapeCommFunction(h, GetParam().dtr ? CLRDTR : SETDTR);
    EscapeCommFunction(h, GetParam().rts ? CLRRTS : SETRTS);
    DCB dcb;
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.Flags = GetParam().flags;
    ASSERT_TRUE(SetCommState(h, dcb));
    EXPECT_EQ(plug->dtr(), GetParam().dtr);
    EXPECT_EQ(plug->rts(), GetParam().rts);
    EXPECT_EQ(plug->state().Flags, GetParam().flags);
}

INSTANTIATE_TEST_SUITE_P(
    Words, LoopbackFlow,
    testing::Values(FlowCase{"rts_cts", 0x2017, true, true}, FlowCase{"dtr_dsr", 0x102B, true, true},
                    FlowCase{"xon_xoff", 0x1313, true, true}, FlowCase{"half_high", 0x0013, true, false},
                    FlowCase{"half_low_none", 0x1013, true, true},
                    FlowCase{"both_disabled", 0x0003, false, false},
                    FlowCase{"rts_toggle", 0x3013, true, false}),
    [](const testing::TestParamInfo<FlowCase> &info) { return std::string(info.param.name); });

TEST_F(Loopback, RefusedSettingsFailAndKeepTheOldValues)
{
    auto plug = LoopbackPlug::Get(6);
    HANDLE h = open(6);
    ASSERT_TRUE(h);
    DCB dcb;
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.BaudRate = 19200;
    ASSERT_TRUE(SetCommState(h, dcb));

    plug->refuseState([](const DCB &d) { return d.BaudRate == 12345; });
    DCB refused = dcb;
    refused.BaudRate = 12345;
    EXPECT_FALSE(SetCommState(h, refused));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    // Values no driver takes are refused without a predicate.
    for (auto spoil : std::vector<std::function<void(DCB &)>>{
             [](DCB &d) { d.BaudRate = 0; }, [](DCB &d) { d.ByteSize = 9; }, [](DCB &d) { d.ByteSize = 4; },
             [](DCB &d) { d.Parity = 5; }, [](DCB &d) { d.StopBits = 3; }}) {
        DCB bad = dcb;
        spoil(bad);
        EXPECT_FALSE(SetCommState(h, bad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(plug->setStateCalls(), 7);
    EXPECT_EQ(plug->state().BaudRate, 19200u);
    DCB now;
    ASSERT_TRUE(GetCommState(h, &now));
    EXPECT_EQ(now.BaudRate, 19200u);
    plug->refuseState(nullptr);
    EXPECT_TRUE(SetCommState(h, refused));
    EXPECT_EQ(plug->state().BaudRate, 12345u);

    ASSERT_TRUE(SetupComm(h, 2048, 2048));
    plug->refuseSetup([](DWORD in, DWORD) { return in > 4096; });
    EXPECT_FALSE(SetupComm(h, 8192, 1024));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(SetupComm(h, 4096, 1024));
    EXPECT_EQ(plug->inQueueSize(), 4096u);
    EXPECT_EQ(plug->outQueueSize(), 1024u);
    EXPECT_EQ(plug->setupCalls(), 3);

    ASSERT_TRUE(SetCommTimeouts(h, ReadTimeouts(3000, 3000)));
    plug->refuseTimeouts([](const COMMTIMEOUTS &t) { return t.WriteTotalTimeoutConstant == 1; });
    EXPECT_FALSE(SetCommTimeouts(h, ReadTimeouts(3000, 1)));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    COMMTIMEOUTS t;
    ASSERT_TRUE(GetCommTimeouts(h, &t));
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 3000u);
    EXPECT_EQ(plug->timeouts().ReadTotalTimeoutConstant, 3000u);

    // A predicate that looks at the plug itself must not deadlock the device.
    plug->refuseState([&](const DCB &) { return plug->rts(); });
    EXPECT_TRUE(SetCommState(h, dcb));
}

TEST_F(Loopback, BreakSentComesBackAsAReceivedBreak)
{
    auto plug = LoopbackPlug::Get(7);
    HANDLE h = openReady(7);
    ASSERT_TRUE(h);
    ASSERT_TRUE(SetCommBreak(h));
    EXPECT_TRUE(plug->breakOn());
    ASSERT_TRUE(SetCommBreak(h)); // still the same break
    Event wake;
    EXPECT_EQ(wait(h, wake).value, EV_BREAK);
    DWORD errors = 0;
    COMSTAT s;
    ASSERT_TRUE(ClearCommError(h, &errors, &s));
    EXPECT_EQ(errors, CE_BREAK);
    ASSERT_TRUE(ClearCommError(h, &errors, &s));
    EXPECT_EQ(errors, 0u);
    ASSERT_TRUE(ClearCommBreak(h));
    EXPECT_FALSE(plug->breakOn());

    std::vector<Kind> kinds;
    for (const auto &e : plug->lineLog())
        kinds.push_back(e.kind);
    EXPECT_EQ(kinds, (std::vector<Kind>{Kind::DtrOn, Kind::BreakOn, Kind::BreakOff}));
}

struct InjectCase {
    const char *name;
    std::string bytes;
    DWORD lineErrors;
    bool breakSignal;
    DWORD mask;
    DWORD events; // 0: the wait must end by its wake-up event only
};

class LoopbackInject : public Loopback, public testing::WithParamInterface<InjectCase>
{
};

// Everything one inject() delivers wakes a waiting WaitCommEvent once, with all its events.
TEST_P(LoopbackInject, ArrivesInOneWakeUp)
{
    const InjectCase &c = GetParam();
    auto plug = LoopbackPlug::Get(8);
    HANDLE h = openReady(8);
    ASSERT_TRUE(h);
    ASSERT_TRUE(SetCommMask(h, c.mask));
    Event wake;
    auto waiter = std::async(std::launch::async, [&] { return wait(h, wake); });
    std::this_thread::sleep_for(5ms); // usually asleep by now; the events are latched either way
    plug->inject(c.bytes, c.lineErrors, c.breakSignal);
    if (c.events == 0)
        wake.Set();
    ASSERT_TRUE(arrives(waiter, h));
    const Outcome o = waiter.get();
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.value, c.events);

    // Nothing is left over for a second wake-up.
    wake.Set();
    const Outcome again = wait(h, wake);
    EXPECT_TRUE(again.ok);
    EXPECT_EQ(again.value, 0u);

    DWORD errors = 0;
    COMSTAT s;
    ASSERT_TRUE(ClearCommError(h, &errors, &s));
    EXPECT_EQ(errors, c.lineErrors | (c.breakSignal ? CE_BREAK : 0));
    EXPECT_EQ(s.cbInQue, c.bytes.size());
    ASSERT_TRUE(ClearCommError(h, &errors, &s));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(readAll(h), c.bytes);
}

constexpr DWORD kAll = EV_RXCHAR | EV_BREAK | EV_ERR;

INSTANTIATE_TEST_SUITE_P(
    Arrivals, LoopbackInject,
    testing::Values(InjectCase{"bytes", "xyz", 0, false, kAll, EV_RXCHAR},
                    InjectCase{"all_at_once", "A\xFF", CE_FRAME | CE_OVERRUN, true, kAll, kAll},
                    InjectCase{"parity_only", "", CE_RXPARITY, false, kAll, EV_ERR},
                    InjectCase{"break_only", "", 0, true, kAll, EV_BREAK},
                    InjectCase{"break_and_bytes", "b", 0, true, kAll, EV_RXCHAR | EV_BREAK},
                    InjectCase{"rxover_is_no_line_error", "q", CE_RXOVER, false, kAll, EV_RXCHAR},
                    InjectCase{"outside_the_mask", "", CE_FRAME, true, EV_RXCHAR, 0},
                    InjectCase{"only_masked_events", "z", CE_FRAME, true, EV_RXCHAR | EV_BREAK,
                               EV_RXCHAR | EV_BREAK}),
    [](const testing::TestParamInfo<InjectCase> &info) { return std::string(info.param.name); });

TEST_F(Loopback, RxcharFiresOncePerArrival)
{
    auto plug = LoopbackPlug::Get(9);
    HANDLE h = openReady(9);
    ASSERT_TRUE(h);
    Event wake;
    plug->inject("a");
    EXPECT_EQ(wait(h, wake).value, EV_RXCHAR);

    // The byte sits unread: no new event, the wait ends only by its wake-up (which it takes).
    wake.Set();
    const Outcome o = wait(h, wake);
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.value, 0u);
    EXPECT_FALSE(wake.TryWait());

    plug->inject("b");
    EXPECT_EQ(wait(h, wake).value, EV_RXCHAR);
    EXPECT_EQ(readAll(h), "ab");

    // A new mask forgets what happened before it.
    plug->inject("c");
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
    wake.Set();
    EXPECT_EQ(wait(h, wake).value, 0u);
}

TEST_F(Loopback, WaitEndsOnWakeUpMaskChangeAndClose)
{
    HANDLE h = openReady(10);
    ASSERT_TRUE(h);
    Event wake;

    auto byWake = std::async(std::launch::async, [&] { return wait(h, wake); });
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(byWake.wait_for(0s), std::future_status::timeout);
    wake.Set();
    ASSERT_TRUE(arrives(byWake, h));
    Outcome o = byWake.get();
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.value, 0u);
    EXPECT_FALSE(wake.TryWait());

    Event manual(true);
    manual.Set();
    o = wait(h, manual);
    EXPECT_TRUE(o.ok);
    EXPECT_FALSE(manual.TryWait()); // the wake-up is reset, whatever kind of event it is

    auto byMask = std::async(std::launch::async, [&] { return wait(h, wake); });
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(SetCommMask(h, 0));
    ASSERT_TRUE(arrives(byMask, h));
    o = byMask.get();
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.value, 0u);

    o = wait(h, wake); // mask 0: nothing to wait for
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.error, ERROR_INVALID_PARAMETER);

    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
    auto byClose = std::async(std::launch::async, [&] { return wait(h, wake); });
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(CloseHandle(h));
    ASSERT_TRUE(arrives(byClose, h));
    o = byClose.get();
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.error, ERROR_INVALID_HANDLE);
    EXPECT_TRUE(OpenLoopback(10)); // and the port is free again
}

TEST_F(Loopback, HeldOutputStaysQueuedUntilReleased)
{
    auto plug = LoopbackPlug::Get(12);
    HANDLE h = openReady(12);
    ASSERT_TRUE(h);
    plug->holdOutput(true);
    ASSERT_TRUE(write(h, "abc"));
    ASSERT_TRUE(write(h, "def"));
    COMSTAT s = queues(h);
    EXPECT_EQ(s.cbOutQue, 6u);
    EXPECT_EQ(s.cbInQue, 0u);
    EXPECT_EQ(plug->takeWritten(), "abcdef"); // written, though not yet sent

    Event wake;
    wake.Set();
    EXPECT_EQ(wait(h, wake).value, 0u); // nothing has arrived
    plug->holdOutput(false);
    s = queues(h);
    EXPECT_EQ(s.cbOutQue, 0u);
    EXPECT_EQ(s.cbInQue, 6u);
    EXPECT_EQ(wait(h, wake).value, EV_RXCHAR);
    EXPECT_EQ(readAll(h), "abcdef");

    // PURGE_TXCLEAR throws the held bytes away.
    plug->holdOutput(true);
    ASSERT_TRUE(write(h, "xyz"));
    ASSERT_TRUE(PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR));
    EXPECT_EQ(queues(h).cbOutQue, 0u);
    plug->holdOutput(false);
    EXPECT_EQ(readAll(h), "");
}

// Flow control holds a write back longer than its time-out: it completes short, successfully.
TEST_F(Loopback, WriteThatCannotGetInCompletesShortAtItsTimeout)
{
    auto plug = LoopbackPlug::Get(13);
    HANDLE h = open(13);
    ASSERT_TRUE(h);
    ASSERT_TRUE(SetCommTimeouts(h, ReadTimeouts(0, 100)));
    plug->holdOutput(true);
    plug->setOutputCapacity(4);
    const std::string block = "0123456789";
    OVERLAPPED ov;
    DWORD n = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(WriteFile(h, block.data(), 10, &n, &ov));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, false));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, true));
    EXPECT_EQ(n, 4u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
    EXPECT_EQ(plug->takeWritten(), "0123");
    EXPECT_EQ(queues(h).cbOutQue, 4u);

    // The next write starts afresh once there is room.
    plug->holdOutput(false);
    EXPECT_TRUE(write(h, "next"));
    SetCommTimeouts(h, ReadTimeouts(0));
    EXPECT_EQ(readAll(h), "0123next");
}

TEST_F(Loopback, ReleasingTheHoldLetsAWaitingWriteThroughInOrder)
{
    auto plug = LoopbackPlug::Get(14);
    HANDLE h = openReady(14);
    ASSERT_TRUE(h);
    plug->holdOutput(true);
    plug->setOutputCapacity(2);

    // Two writes in flight: the second takes nothing before the first is through.
    const std::string first = "abcd", second = "ef";
    OVERLAPPED ov1, ov2;
    DWORD n = 0;
    EXPECT_FALSE(WriteFile(h, first.data(), 4, &n, &ov1));
    EXPECT_FALSE(WriteFile(h, second.data(), 2, &n, &ov2));
    EXPECT_FALSE(GetOverlappedResult(h, &ov2, &n, false));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(queues(h).cbOutQue, 2u);

    auto writer = std::async(std::launch::async, [&] {
        Outcome o;
        o.ok = GetOverlappedResult(h, &ov1, &o.value, true);
        o.error = GetLastError();
        return o;
    });
    std::this_thread::sleep_for(10ms);
    plug->holdOutput(false);
    ASSERT_TRUE(arrives(writer, h));
    const Outcome o = writer.get();
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.value, 4u);
    ASSERT_TRUE(GetOverlappedResult(h, &ov2, &n, true));
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(readAll(h), "abcdef");
    EXPECT_EQ(plug->takeWritten(), "abcdef");
}

TEST_F(Loopback, AbortAndCloseEndAWaitingWrite)
{
    auto plug = LoopbackPlug::Get(15);
    HANDLE h = openReady(15);
    ASSERT_TRUE(h);
    plug->holdOutput(true);
    plug->setOutputCapacity(0);
    OVERLAPPED ov;
    DWORD n = 0;
    EXPECT_FALSE(WriteFile(h, "q", 1, &n, &ov));
    ASSERT_TRUE(PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR));
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, true));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);

    // The aborted write does not stand in the way of the next one.
    plug->setOutputCapacity(16);
    EXPECT_TRUE(write(h, "r"));

    plug->setOutputCapacity(1);
    EXPECT_FALSE(WriteFile(h, "st", 2, &n, &ov));
    auto writer = std::async(std::launch::async, [&] {
        Outcome o;
        o.ok = GetOverlappedResult(h, &ov, &o.value, true);
        o.error = GetLastError();
        return o;
    });
    std::this_thread::sleep_for(10ms);
    CloseHandle(h);
    ASSERT_TRUE(arrives(writer, h));
    const Outcome o = writer.get();
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.error, ERROR_INVALID_HANDLE);
}

TEST_F(Loopback, LineLogRecordsChangesAndWritesInTimeOrder)
{
    auto plug = LoopbackPlug::Get(16);
    HANDLE h = open(16);
    ASSERT_TRUE(h);
    DCB dcb;
    GetCommState(h, &dcb);
    dcb.Flags = 0x0013; // DTR on, RTS off: the half-duplex idle state
    ASSERT_TRUE(SetCommState(h, dcb));
    plug->clearLineLog();

    ASSERT_TRUE(EscapeCommFunction(h, SETRTS));
    ASSERT_TRUE(EscapeCommFunction(h, SETRTS)); // no change, no entry
    std::this_thread::sleep_for(2ms);
    ASSERT_TRUE(write(h, "12345"));
    ASSERT_TRUE(write(h, "67"));
    ASSERT_TRUE(EscapeCommFunction(h, CLRRTS));
    ASSERT_TRUE(SetCommState(h, dcb)); // levels already as the DCB wants them
    ASSERT_TRUE(EscapeCommFunction(h, CLRDTR));

    const auto log = plug->lineLog();
    ASSERT_EQ(log.size(), 5u);
    const Kind kinds[] = {Kind::RtsOn, Kind::Write, Kind::Write, Kind::RtsOff, Kind::DtrOff};
    for (std::size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[i].kind, kinds[i]) << i;
        if (i > 0) {
            EXPECT_LE(log[i - 1].when, log[i].when) << i;
        }
    }
    EXPECT_EQ(log[1].bytes, 5u);
    EXPECT_EQ(log[2].bytes, 2u);
    EXPECT_GE(log[1].when - log[0].when, 2ms);

    plug->clearLineLog();
    EXPECT_TRUE(plug->lineLog().empty());
}

TEST_F(Loopback, CloseDropsTheLinesAndAReopenFollowsTheSettings)
{
    auto plug = LoopbackPlug::Get(17);
    HANDLE h = open(17);
    ASSERT_TRUE(h);
    EXPECT_TRUE(plug->dtr()); // a fresh device: DTR enabled, RTS disabled
    EXPECT_FALSE(plug->rts());
    DCB dcb;
    GetCommState(h, &dcb);
    dcb.Flags = 0x2017; // RTS/CTS handshake
    dcb.BaudRate = 38400;
    ASSERT_TRUE(SetCommState(h, dcb));
    ASSERT_TRUE(SetCommBreak(h));
    plug->clearLineLog();
    CloseHandle(h);
    EXPECT_FALSE(plug->dtr());
    EXPECT_FALSE(plug->rts());
    EXPECT_FALSE(plug->breakOn());
    EXPECT_EQ(plug->lineLog().size(), 3u);

    plug->inject("lost"); // nobody listens on a closed port
    h = open(17);
    ASSERT_TRUE(h);
    EXPECT_TRUE(plug->dtr());
    EXPECT_TRUE(plug->rts());
    DCB again;
    ASSERT_TRUE(GetCommState(h, &again));
    EXPECT_EQ(again.BaudRate, 38400u);
    EXPECT_EQ(queues(h).cbInQue, 0u);
}

// The component's three threads at once: a transmit thread writing blocks while the output is
// held and released, a receive thread waiting for events, the user-interface thread reading,
// toggling lines and asking for the queues. Everything written arrives once, in order.
TEST_F(Loopback, ThreeThreadsTrafficArrivesWhole)
{
    auto plug = LoopbackPlug::Get(18);
    HANDLE h = openReady(18);
    ASSERT_TRUE(h);
    ASSERT_TRUE(SetCommTimeouts(h, ReadTimeouts(0, 0)));
    plug->setOutputCapacity(700);

    std::string sent;
    for (int i = 0; i < 200 * 512; ++i)
        sent.push_back(static_cast<char>((i * 31 + i / 512) & 0xFF));

    std::atomic<bool> stop{false};
    Event receiveWake;
    std::atomic<int> wakeUps{0};
    std::thread receiver([&] {
        while (!stop) {
            DWORD mask = 0;
            if (!WaitCommEvent(h, &mask, receiveWake)) {
                receiveWake.Wait();
                continue;
            }
            if (mask & EV_RXCHAR)
                ++wakeUps;
        }
    });
    std::thread transmitter([&] {
        for (std::size_t at = 0; at < sent.size(); at += 512) {
            OVERLAPPED ov;
            DWORD n = 0;
            if (WriteFile(h, sent.data() + at, 512, &n, &ov))
                continue;
            if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(h, &ov, &n, true) || n != 512)
                return;
        }
    });
    std::thread holder([&] {
        for (int i = 0; i < 200 && !stop; ++i) {
            plug->holdOutput(i % 2 == 0);
            std::this_thread::sleep_for(100us);
        }
        plug->holdOutput(false);
    });

    std::string received;
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while (received.size() < sent.size() && std::chrono::steady_clock::now() < deadline) {
        received += readAll(h);
        EscapeCommFunction(h, received.size() % 2 ? SETRTS : CLRRTS);
        DWORD status = 0;
        GetCommModemStatus(h, &status);
        queues(h);
    }
    transmitter.join();
    holder.join();
    received += readAll(h);
    EXPECT_EQ(received.size(), sent.size());
    EXPECT_TRUE(received == sent);
    EXPECT_GT(wakeUps.load(), 0);

    stop = true;
    CloseHandle(h); // wakes the receiver; it then waits for its wake-up event
    receiveWake.Set();
    receiver.join();
}

} // namespace
