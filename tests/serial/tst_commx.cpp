// SPDX-License-Identifier: MIT
// The serial port component over the in-process loopback plug, under a QCoreApplication so that
// notices reach the component's handlers as they do in the program.
#include "Commx.h"

#include "Loopback.h"
#include "PortMapFile.h"
#include "PortNames.h"
#include "WaitFor.h"

#include <QCoreApplication>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace pf = platform;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace
{

std::string MessageOf(const std::function<void()> &call)
{
    try {
        call();
    } catch (const ECommError &e) {
        return e.what();
    }
    return {};
}

class CommX : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        pf::LoopbackPlug::ResetAll();
        m_map.emplace("COM1=loopback\r\nCOM2=loopback");
        m_plug = pf::LoopbackPlug::Get(1);
    }

    void TearDown() override
    {
        m_comm.reset();
        EXPECT_TRUE(TCustomCommX::WaitForWorkers(3000)) << "a worker thread did not end";
        m_map.reset();
        pf::LoopbackPlug::ResetAll();
    }

    TCommX &comm()
    {
        if (!m_comm)
            m_comm = std::make_unique<TCommX>();
        return *m_comm;
    }

    // Output then stays in the device: blocks handed over stay queued until releaseOutput().
    void holdOutput()
    {
        m_plug->setOutputCapacity(0);
        m_plug->holdOutput(true);
    }
    void releaseOutput()
    {
        m_plug->setOutputCapacity(1 << 20);
        m_plug->holdOutput(false);
    }
    // Open with a small transmit block and a write time-out far beyond any test, output held.
    void openHeld(std::int32_t bufLenTrans)
    {
        comm().SetFlowCtrl(cfcNone);
        comm().SetBufLenTrans(bufLenTrans);
        comm().SetTimeOutTrans(20000);
        comm().PortOpen();
        holdOutput();
    }

    std::vector<std::size_t> writeSizes() const
    {
        std::vector<std::size_t> sizes;
        for (const auto &e : m_plug->lineLog())
            if (e.kind == pf::LoopbackPlug::LineEvent::Kind::Write)
                sizes.push_back(e.bytes);
        return sizes;
    }

    std::optional<PortMapFile> m_map;
    std::shared_ptr<pf::LoopbackPlug> m_plug;
    std::unique_ptr<TCommX> m_comm;
};

TEST_F(CommX, OpenCloseAndReopenAtOnce)
{
    EXPECT_EQ(comm().Handle(), TCustomCommX::kInvalidHandle);
    comm().PortOpen();
    const auto first = comm().Handle();
    EXPECT_NE(first, TCustomCommX::kInvalidHandle);
    EXPECT_TRUE(m_plug->isOpen());

    EXPECT_EQ(MessageOf([&] { comm().PortOpen(); }), "ポートは、すでにオープンされています");
    EXPECT_EQ(comm().Handle(), first) << "a refused second open must leave the first one alone";

    comm().SetDtrSignal(true);
    comm().SetRtsSignal(true);
    m_plug->clearLineLog();
    const auto start = Clock::now();
    comm().PortClose();
    EXPECT_GE(Clock::now() - start, 300ms);
    EXPECT_EQ(comm().Handle(), TCustomCommX::kInvalidHandle);
    EXPECT_FALSE(m_plug->isOpen()) << "the device is closed before PortClose returns";

    // DTR goes down before RTS.
    std::vector<pf::LoopbackPlug::LineEvent::Kind> kinds;
    for (const auto &e : m_plug->lineLog())
        kinds.push_back(e.kind);
    ASSERT_GE(kinds.size(), 2u);
    EXPECT_EQ(kinds[0], pf::LoopbackPlug::LineEvent::Kind::DtrOff);
    EXPECT_EQ(kinds[1], pf::LoopbackPlug::LineEvent::Kind::RtsOff);

    // The workers of the first open may still be finishing: the reopen must not wait for them.
    comm().PortOpen();
    EXPECT_NE(comm().Handle(), TCustomCommX::kInvalidHandle);
    EXPECT_NE(comm().Handle(), first);
    EXPECT_EQ(m_plug->openCount(), 2);
    comm().PortClose();
}

TEST_F(CommX, OpenFailsForMissingOrBusyPorts)
{
    comm().SetPortNo(9); // not mapped, and tests never see real devices
    const auto target = pf::ResolvePort(9);
    if (target.kind == pf::PortTarget::Kind::None) {
        EXPECT_EQ(MessageOf([&] { comm().PortOpen(); }), "ポートをオープンできませんでした");
        EXPECT_EQ(comm().Handle(), TCustomCommX::kInvalidHandle);
    }

    m_plug->setMissing(true);
    comm().SetPortNo(1);
    EXPECT_EQ(MessageOf([&] { comm().PortOpen(); }), "ポートをオープンできませんでした");
    EXPECT_EQ(comm().Handle(), TCustomCommX::kInvalidHandle);
    m_plug->setMissing(false);

    // In use by somebody else.
    pf::HANDLE other = pf::CreateFileA("\\\\.\\COM1");
    ASSERT_TRUE(other);
    EXPECT_EQ(MessageOf([&] { comm().PortOpen(); }), "ポートをオープンできませんでした");
    EXPECT_EQ(comm().Handle(), TCustomCommX::kInvalidHandle);
    pf::CloseHandle(other);
    comm().PortOpen();
    EXPECT_NE(comm().Handle(), TCustomCommX::kInvalidHandle);
}

TEST_F(CommX, SettersWhileClosedOnlyStoreAndOpenAppliesThem)
{
    comm().SetBitRate(19200);
    comm().SetCharSize(7);
    comm().SetParityBit(cpbEven);
    comm().SetStopBit(csb2);
    comm().SetFlowCtrl(cfcXonXoff);
    comm().SetTimeOutTrans(1234);
    comm().SetTimeOutReceive(567);
    comm().SetXonChar('Q');
    comm().SetXoffChar('S');
    comm().SetBufLenTrans(1024);
    comm().SetBufLenReceive(4096);
    EXPECT_EQ(m_plug->setStateCalls(), 0);
    EXPECT_EQ(m_plug->setupCalls(), 0);
    EXPECT_EQ(comm().BitRate(), 19200);
    EXPECT_EQ(comm().FlowCtrl(), cfcXonXoff);

    comm().PortOpen();
    const pf::DCB dcb = m_plug->state();
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.Parity, pf::EVENPARITY);
    EXPECT_EQ(dcb.StopBits, pf::TWOSTOPBITS);
    EXPECT_EQ(dcb.Flags, 0x1313u);
    EXPECT_EQ(dcb.XonLim, 1024);
    EXPECT_EQ(dcb.XoffLim, 1024);
    EXPECT_EQ(dcb.XonChar, 'Q');
    EXPECT_EQ(dcb.XoffChar, 'S');
    const pf::COMMTIMEOUTS t = m_plug->timeouts();
    EXPECT_EQ(t.ReadIntervalTimeout, pf::MAXDWORD);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 567u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 1234u);
    EXPECT_EQ(m_plug->inQueueSize(), 4096u);
    EXPECT_EQ(m_plug->outQueueSize(), 1024u);
    // Bit rate, word size, parity, stop bits, flow, XON, XOFF: one write each.
    EXPECT_EQ(m_plug->setStateCalls(), 7);
}

TEST_F(CommX, SettersWhileOpenWriteTheDevice)
{
    comm().PortOpen();
    struct Case {
        const char *name;
        std::function<void(TCommX &)> set;
        std::function<bool(const pf::DCB &)> check;
    };
    const std::vector<Case> cases = {
        {"bit rate", [](TCommX &c) { c.SetBitRate(115200); },
         [](const pf::DCB &d) { return d.BaudRate == 115200; }},
        {"char size", [](TCommX &c) { c.SetCharSize(0x107); },
         [](const pf::DCB &d) { return d.ByteSize == 7; }},
        {"parity", [](TCommX &c) { c.SetParityBit(cpbOdd); },
         [](const pf::DCB &d) { return d.Parity == pf::ODDPARITY; }},
        {"stop bits", [](TCommX &c) { c.SetStopBit(csb1p5); },
         [](const pf::DCB &d) { return d.StopBits == pf::ONE5STOPBITS; }},
        {"rts/cts", [](TCommX &c) { c.SetFlowCtrl(cfcRtsCts); },
         [](const pf::DCB &d) { return d.Flags == 0x2017; }},
        {"dtr/dsr", [](TCommX &c) { c.SetFlowCtrl(cfcDtrDsr); },
         [](const pf::DCB &d) { return d.Flags == 0x102B; }},
        {"half high", [](TCommX &c) { c.SetFlowCtrl(cfcHalfHigh); },
         [](const pf::DCB &d) { return d.Flags == 0x0013; }},
        {"half low", [](TCommX &c) { c.SetFlowCtrl(cfcHalfLow); },
         [](const pf::DCB &d) { return d.Flags == 0x1013; }},
        {"none", [](TCommX &c) { c.SetFlowCtrl(cfcNone); },
         [](const pf::DCB &d) { return d.Flags == 0x1013; }},
        {"xon", [](TCommX &c) { c.SetXonChar('x'); }, [](const pf::DCB &d) { return d.XonChar == 'x'; }},
        {"xoff", [](TCommX &c) { c.SetXoffChar('y'); }, [](const pf::DCB &d) { return d.XoffChar == 'y'; }},
    };
    for (const auto &c : cases) {
        const int before = m_plug->setStateCalls();
        c.set(comm());
        EXPECT_EQ(m_plug->setStateCalls(), before + 1) << c.name;
        EXPECT_TRUE(c.check(m_plug->state())) << c.name;
    }
    // Half-low and none differ only in the transmit thread.
    comm().SetFlowCtrl(cfcHalfLow);
    const pf::DCB halfLow = m_plug->state();
    comm().SetFlowCtrl(cfcNone);
    const pf::DCB none = m_plug->state();
    EXPECT_EQ(halfLow.Flags, none.Flags);
    EXPECT_EQ(halfLow.XonLim, none.XonLim);

    // The XON/XOFF limits follow the input queue: a quarter of it.
    EXPECT_EQ(m_plug->state().XonLim, 512);
    comm().SetBufLenReceive(4096);
    EXPECT_EQ(m_plug->inQueueSize(), 4096u);
    EXPECT_EQ(m_plug->outQueueSize(), 2048u);
    EXPECT_EQ(m_plug->state().XonLim, 1024);
    EXPECT_EQ(m_plug->state().XoffLim, 1024);
    comm().SetBufLenTrans(512);
    EXPECT_EQ(m_plug->outQueueSize(), 512u);

    comm().SetTimeOutReceive(42);
    EXPECT_EQ(m_plug->timeouts().ReadTotalTimeoutConstant, 42u);
    comm().SetTimeOutTrans(43);
    EXPECT_EQ(m_plug->timeouts().WriteTotalTimeoutConstant, 43u);
}

TEST_F(CommX, EachRefusedSettingRaisesItsMessageAndLeavesThePortClosed)
{
    struct Case {
        const char *message;
        std::function<void(pf::LoopbackPlug &)> refuse;
    };
    const std::vector<Case> cases = {
        {"通信用ポートのバッファを準備できませんでした",
         [](pf::LoopbackPlug &p) { p.refuseSetup([](pf::DWORD, pf::DWORD) { return true; }); }},
        {"通信速度の設定でエラーが発生しました",
         [](pf::LoopbackPlug &p) { p.refuseState([](const pf::DCB &d) { return d.BaudRate == 9600; }); }},
        {"通信ビット数の設定でエラーが発生しました",
         [](pf::LoopbackPlug &p) { p.refuseState([](const pf::DCB &d) { return d.ByteSize == 6; }); }},
        {"通信パリティチェックの設定でエラーが発生しました",
         [](pf::LoopbackPlug &p) {
             p.refuseState([](const pf::DCB &d) { return d.Parity == pf::ODDPARITY; });
         }},
        {"通信ストップビット数の設定でエラーが発生しました",
         [](pf::LoopbackPlug &p) {
             p.refuseState([](const pf::DCB &d) { return d.StopBits == pf::TWOSTOPBITS; });
         }},
        {"通信フロー制御の設定で失敗しました",
         [](pf::LoopbackPlug &p) { p.refuseState([](const pf::DCB &d) { return d.Flags == 0x2017; }); }},
        {"通信タイムアウト時間の設定で失敗しました",
         [](pf::LoopbackPlug &p) { p.refuseTimeouts([](const pf::COMMTIMEOUTS &) { return true; }); }},
        {"Ｘｏｎ文字の設定でエラーが発生しました",
         [](pf::LoopbackPlug &p) { p.refuseState([](const pf::DCB &d) { return d.XonChar == 'Q'; }); }},
        {"Ｘｏｆｆ文字の設定でエラーが発生しました",
         [](pf::LoopbackPlug &p) { p.refuseState([](const pf::DCB &d) { return d.XoffChar == 'S'; }); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        pf::LoopbackPlug::ResetAll();
        m_plug = pf::LoopbackPlug::Get(1);
        TCommX comm;
        comm.SetCharSize(6);
        comm.SetParityBit(cpbOdd);
        comm.SetStopBit(csb2);
        comm.SetXonChar('Q');
        comm.SetXoffChar('S');
        c.refuse(*m_plug);
        EXPECT_EQ(MessageOf([&] { comm.PortOpen(); }), c.message);
        EXPECT_EQ(comm.Handle(), TCustomCommX::kInvalidHandle);
        EXPECT_FALSE(m_plug->isOpen());
        EXPECT_FALSE(m_plug->dtr());
        EXPECT_FALSE(m_plug->rts());
        EXPECT_TRUE(TCustomCommX::WaitForWorkers(2000));
        EXPECT_EQ(TCustomCommX::RunningWorkers(), 0);
    }
}

TEST_F(CommX, RefusedSettingWhileOpenRaisesAndKeepsThePortOpen)
{
    comm().PortOpen();
    m_plug->refuseState([](const pf::DCB &d) { return d.BaudRate == 4800; });
    EXPECT_EQ(MessageOf([&] { comm().SetBitRate(4800); }), "通信速度の設定でエラーが発生しました");
    EXPECT_EQ(comm().BitRate(), 4800) << "a setter that raises has already stored its value";
    EXPECT_NE(comm().Handle(), TCustomCommX::kInvalidHandle);
}

TEST_F(CommX, RateBelowTenHasNoCharacterTimeAndFailsCleanly)
{
    comm().SetBitRate(5);
    EXPECT_EQ(MessageOf([&] { comm().PortOpen(); }), "送信用スレッドを生成できませんでした");
    EXPECT_EQ(comm().Handle(), TCustomCommX::kInvalidHandle);
}

TEST_F(CommX, ClosedPortDoesNothing)
{
    EXPECT_FALSE(comm().TransChar('A'));
    EXPECT_TRUE(comm().TransString("")) << "an empty string is sent at once";
    EXPECT_EQ(comm().ReceiveChar(), -1);
    EXPECT_EQ(comm().GetReceiveLength(), 0);
    EXPECT_EQ(comm().GetTransLength(), 0);
    EXPECT_FALSE(comm().IsCtsSignal());
    EXPECT_FALSE(comm().IsDsrSignal());
    EXPECT_FALSE(comm().IsRingSignal());
    EXPECT_FALSE(comm().IsRlsdSignal());
    comm().SendBreak();
    comm().SetRtsSignal(true);
    comm().SetDtrSignal(true);
    comm().ClearTransBuf();
    comm().ClearReceiveBuf();
    comm().PortClose();
    EXPECT_EQ(m_plug->openCount(), 0);
    EXPECT_TRUE(m_plug->lineLog().empty());
}

TEST_F(CommX, SetPortNoWhileOpenMovesToTheNewPort)
{
    auto plug2 = pf::LoopbackPlug::Get(2);
    comm().SetFlowCtrl(cfcNone);
    comm().PortOpen();
    comm().SetDtrSignal(true);
    comm().SetRtsSignal(true);
    comm().SetPortNo(2);
    EXPECT_FALSE(m_plug->isOpen());
    EXPECT_FALSE(m_plug->dtr());
    EXPECT_FALSE(m_plug->rts());
    EXPECT_TRUE(plug2->isOpen());
    // The new port's lines follow the flow-control setting written at open.
    EXPECT_TRUE(plug2->dtr());
    EXPECT_TRUE(plug2->rts());

    // A new port that fails leaves the component closed.
    m_plug->setMissing(true);
    EXPECT_EQ(MessageOf([&] { comm().SetPortNo(1); }), "ポートをオープンできませんでした");
    EXPECT_EQ(comm().Handle(), TCustomCommX::kInvalidHandle);
    EXPECT_FALSE(plug2->isOpen());
}

TEST_F(CommX, LinesFollowTheLoopbackPlug)
{
    comm().SetFlowCtrl(cfcNone);
    comm().PortOpen();
    comm().SetRtsSignal(false);
    comm().SetDtrSignal(false);
    EXPECT_FALSE(comm().IsCtsSignal());
    EXPECT_FALSE(comm().IsDsrSignal());
    comm().SetRtsSignal(true);
    EXPECT_TRUE(comm().IsCtsSignal());
    EXPECT_FALSE(comm().IsDsrSignal());
    comm().SetDtrSignal(true);
    EXPECT_TRUE(comm().IsDsrSignal());
}

TEST_F(CommX, TransStringIsCutIntoBlocksAndCounted)
{
    comm().SetFlowCtrl(cfcNone);
    comm().PortOpen();
    std::string data(5000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7);

    // Held output keeps the first block in the device: all 5000 bytes are still pending.
    holdOutput();
    m_plug->clearLineLog();
    ASSERT_TRUE(comm().TransString(data));
    EXPECT_EQ(comm().GetTransLength(), 5000);
    releaseOutput();
    EXPECT_TRUE(WaitFor([&] { return comm().GetTransLength() == 0; }));
    EXPECT_EQ(writeSizes(), (std::vector<std::size_t>{2048, 2048, 904}));
    EXPECT_EQ(m_plug->takeWritten(), data);

    // The bytes come back through the plug and are read in order.
    EXPECT_TRUE(WaitFor([&] { return comm().GetReceiveLength() == 5000; }));
    std::string back(5000, '\0');
    EXPECT_EQ(comm().ReceiveBlock(back.data(), 5000), 5000);
    EXPECT_EQ(back, data);
}

TEST_F(CommX, FullQueueWaitsWhileTheWindowKeepsWorking)
{
    openHeld(1);
    for (int i = 0; i < 32; ++i)
        ASSERT_TRUE(comm().TransChar(static_cast<char>('a' + i % 26)));
    EXPECT_EQ(comm().GetTransLength(), 32);

    bool timerRan = false;
    QTimer::singleShot(50, QCoreApplication::instance(), [&] {
        timerRan = true;
        releaseOutput();
    });
    const auto start = Clock::now();
    EXPECT_TRUE(comm().TransChar('!'));
    EXPECT_TRUE(timerRan) << "the 33rd block must wait for room while events are processed";
    EXPECT_GE(Clock::now() - start, 40ms);
    EXPECT_TRUE(WaitFor([&] { return comm().GetTransLength() == 0; }));
    const std::string written = m_plug->takeWritten();
    ASSERT_EQ(written.size(), 33u);
    EXPECT_EQ(written.back(), '!');
}

TEST_F(CommX, CloseWhileWaitingForRoomEndsTheSend)
{
    openHeld(1);
    QTimer::singleShot(50, QCoreApplication::instance(), [&] { comm().PortClose(); });
    const std::string many(100, 'x');
    EXPECT_FALSE(comm().TransString(many));
    EXPECT_EQ(comm().Handle(), TCustomCommX::kInvalidHandle);
}

TEST_F(CommX, WriteHeldPastItsTimeOutIsDroppedAndTheNextOneGoesOut)
{
    comm().SetFlowCtrl(cfcNone);
    comm().SetTimeOutTrans(100);
    comm().PortOpen();
    holdOutput();
    ASSERT_TRUE(comm().TransString("AB"));
    EXPECT_TRUE(WaitFor([&] { return comm().GetTransLength() == 0; }));
    releaseOutput();
    ASSERT_TRUE(comm().TransString("CD"));
    EXPECT_TRUE(WaitFor([&] { return comm().GetTransLength() == 0; }));
    EXPECT_EQ(m_plug->takeWritten(), "CD");
}

TEST_F(CommX, ClearTransBufDiscardsEverythingNotSent)
{
    openHeld(4);
    ASSERT_TRUE(comm().TransString(std::string(64, 'z')));
    EXPECT_GT(comm().GetTransLength(), 0);
    comm().ClearTransBuf();
    EXPECT_EQ(comm().GetTransLength(), 0);
    releaseOutput();
    ASSERT_TRUE(comm().TransString("ok"));
    EXPECT_TRUE(WaitFor([&] { return comm().GetTransLength() == 0; }));
    EXPECT_EQ(m_plug->takeWritten(), "ok");
}

TEST_F(CommX, ReceiveCharGivesBytesAsUnsignedAndMinusOneWhenNothingCame)
{
    comm().SetTimeOutReceive(150);
    comm().PortOpen();
    m_plug->inject(std::string("\xFF\x00\x41", 3));
    ASSERT_TRUE(WaitFor([&] { return comm().GetReceiveLength() == 3; }));
    EXPECT_EQ(comm().ReceiveChar(), 255);
    EXPECT_EQ(comm().ReceiveChar(), 0);
    EXPECT_EQ(comm().ReceiveChar(), 0x41);
    const auto start = Clock::now();
    EXPECT_EQ(comm().ReceiveChar(), -1);
    EXPECT_GE(Clock::now() - start, 100ms) << "a read waits up to the receive time-out";
    EXPECT_EQ(comm().ReceiveBlock(nullptr, 1), -1);
}

TEST_F(CommX, HandlersRunErrorThenBreakThenReceiveForOneWakeUp)
{
    std::vector<std::string> order;
    std::int32_t errorBits = 0;
    std::int32_t size = 0;
    comm().OnError = [&](QObject *sender, std::int32_t bits) {
        EXPECT_EQ(sender, &comm());
        errorBits = bits;
        order.push_back("error");
    };
    comm().OnBreak = [&](QObject *) { order.push_back("break"); };
    comm().OnReceive = [&](QObject *, std::int32_t n) {
        size = n;
        order.push_back("receive");
        while (comm().GetReceiveLength() > 0)
            comm().ReceiveChar();
    };
    comm().PortOpen();
    m_plug->inject("xyz", pf::CE_FRAME | pf::CE_RXOVER, true);
    ASSERT_TRUE(WaitFor([&] { return order.size() >= 3; }));
    EXPECT_EQ(order, (std::vector<std::string>{"error", "break", "receive"}));
    EXPECT_EQ(errorBits, static_cast<std::int32_t>(pf::CE_FRAME))
        << "only overrun, parity and framing are reported";
    EXPECT_EQ(size, 3);
}

TEST_F(CommX, EachLineErrorBitIsReported)
{
    std::vector<std::int32_t> reported;
    comm().OnError = [&](QObject *, std::int32_t bits) { reported.push_back(bits); };
    comm().PortOpen();
    for (const pf::DWORD bit : {pf::CE_OVERRUN, pf::CE_RXPARITY, pf::CE_FRAME}) {
        reported.clear();
        m_plug->inject("e", bit);
        ASSERT_TRUE(WaitFor([&] { return !reported.empty(); }));
        EXPECT_EQ(reported.front(), static_cast<std::int32_t>(bit));
        comm().ClearReceiveBuf();
    }
}

// A full input queue holds the sender back under RTS/CTS and loses (and counts) bytes without it.
TEST_F(CommX, FullInputQueueHoldsTheSenderOnlyUnderFlowControl)
{
    std::string sent(5000, '\0');
    for (std::size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<char>('a' + i % 23);
    for (const TCommFlowCtrls flow : {cfcRtsCts, cfcNone}) {
        SCOPED_TRACE(flow == cfcRtsCts ? "RTS/CTS" : "none");
        m_plug->setInputCapacity(1000);
        m_plug->setOutputCapacity(1000);
        comm().SetFlowCtrl(flow);
        comm().SetTimeOutTrans(20000);
        comm().PortOpen();
        ASSERT_TRUE(comm().TransString(sent));
        std::string got;
        if (flow == cfcRtsCts) {
            ASSERT_TRUE(WaitFor([&] { return comm().GetReceiveLength() == 1000; }));
            std::this_thread::sleep_for(50ms);
            EXPECT_GT(comm().GetTransLength(), 0) << "the sender was not held back";
            EXPECT_LE(m_plug->takeWritten().size(), 2000u);
        } else {
            ASSERT_TRUE(WaitFor([&] { return comm().GetTransLength() == 0; })); // all of it sent
        }
        ASSERT_TRUE(WaitFor(
            [&] {
                char buffer[512];
                while (comm().GetReceiveLength() > 0) {
                    const std::int32_t n = comm().ReceiveBlock(buffer, sizeof buffer);
                    if (n > 0)
                        got.append(buffer, static_cast<std::size_t>(n));
                }
                return comm().GetTransLength() == 0 && (flow != cfcRtsCts || got.size() == sent.size());
            },
            5000ms));
        if (flow == cfcRtsCts) {
            EXPECT_EQ(got, sent);
            EXPECT_EQ(comm().GetErrorCounts().lost, 0u);
        } else {
            EXPECT_EQ(got.size(), 1000u);
            EXPECT_EQ(got, sent.substr(0, 1000));
            EXPECT_EQ(comm().GetErrorCounts().lost, 4000u);
        }
        comm().PortClose();
    }
}

// Reading the queue length clears the device's error state; an error it took is reported later.
TEST_F(CommX, LineErrorTakenByAQueueLengthReadIsStillReported)
{
    std::vector<std::int32_t> reported;
    comm().OnError = [&](QObject *, std::int32_t bits) { reported.push_back(bits); };
    comm().OnReceive = [&](QObject *, std::int32_t) {
        char buffer[64];
        while (comm().GetReceiveLength() > 0)
            comm().ReceiveBlock(buffer, sizeof buffer);
    };
    comm().PortOpen();
    m_plug->inject("a");
    std::this_thread::sleep_for(50ms); // the receive thread waits for its data notice to be handled
    m_plug->inject("", pf::CE_FRAME);
    EXPECT_EQ(comm().GetReceiveLength(), 1); // this look takes the error from the device
    ASSERT_TRUE(WaitFor([&] { return !reported.empty(); }));
    EXPECT_EQ(reported, std::vector<std::int32_t>{static_cast<std::int32_t>(pf::CE_FRAME)});
}

// A notice of an earlier open that is still on its way when the port reopens is dropped.
TEST_F(CommX, NoticeOfAnEarlierOpenNeverReachesTheNextOne)
{
    int errors = 0;
    comm().OnError = [&](QObject *, std::int32_t) { ++errors; };
    comm().PortOpen();
    m_plug->inject("", pf::CE_OVERRUN);
    std::this_thread::sleep_for(100ms); // posted, not handled: no events are processed
    comm().PortClose();
    comm().PortOpen();
    WaitFor([] { return false; }, 300ms);
    EXPECT_EQ(errors, 0);
}

// A write that the transmit thread starts just after a purge is ended by the next one.
TEST_F(CommX, ClearTransBufEndsWritesThatStartAfterItsFirstPurge)
{
    openHeld(16);
    for (int round = 0; round < 20; ++round) {
        ASSERT_TRUE(comm().TransString(std::string(16 * 8, 'x')));
        const auto start = Clock::now();
        comm().ClearTransBuf();
        EXPECT_LT(Clock::now() - start, 1s) << "round " << round;
        EXPECT_EQ(comm().GetTransLength(), 0);
    }
    EXPECT_TRUE(m_plug->takeWritten().empty());
}

TEST_F(CommX, NoReceiveEventAfterPortClose)
{
    int received = 0;
    comm().OnReceive = [&](QObject *, std::int32_t) { ++received; };
    comm().PortOpen();
    m_plug->inject("late");
    // The receive thread has posted its notice (or is about to); close before it is handled.
    comm().PortClose();
    WaitFor([] { return false; }, 300ms);
    EXPECT_EQ(received, 0);
}

TEST_F(CommX, BreakComesBackThroughThePlug)
{
    int breaks = 0;
    comm().OnBreak = [&](QObject *) { ++breaks; };
    comm().PortOpen();
    const auto start = Clock::now();
    comm().SendBreak();
    EXPECT_GE(Clock::now() - start, 300ms);
    EXPECT_TRUE(WaitFor([&] { return breaks > 0; }));
    EXPECT_FALSE(m_plug->breakOn());
}

// Half-duplex RTS around a burst at 9600 bit/s: 50 ms before the first byte the line is switched,
// then one character time (2 ms) passes before the write; after the last write another 2 ms.
class HalfDuplex : public CommX, public ::testing::WithParamInterface<TCommFlowCtrls>
{
};

TEST_P(HalfDuplex, RtsIsSwitchedAroundEachBurst)
{
    using Kind = pf::LoopbackPlug::LineEvent::Kind;
    const bool high = GetParam() == cfcHalfHigh;
    comm().SetFlowCtrl(GetParam());
    comm().PortOpen();
    m_plug->clearLineLog();
    const auto start = Clock::now();
    ASSERT_TRUE(comm().TransString("hello"));
    ASSERT_TRUE(WaitFor([&] {
        for (const auto &e : m_plug->lineLog())
            if (e.kind == (high ? Kind::RtsOff : Kind::RtsOn))
                return true;
        return false;
    }));
    const auto log = m_plug->lineLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].kind, high ? Kind::RtsOn : Kind::RtsOff);
    EXPECT_EQ(log[1].kind, Kind::Write);
    EXPECT_EQ(log[2].kind, high ? Kind::RtsOff : Kind::RtsOn);
    EXPECT_GE(log[0].when - start, 50ms);
    EXPECT_LT(log[0].when - start, 1000ms);
    EXPECT_GE(log[1].when - log[0].when, 2ms);
    EXPECT_GE(log[2].when - log[1].when, 2ms);
}

INSTANTIATE_TEST_SUITE_P(Modes, HalfDuplex, ::testing::Values(cfcHalfHigh, cfcHalfLow));

TEST_F(CommX, OtherFlowModesNeverTouchRts)
{
    for (const auto flow : {cfcNone, cfcRtsCts}) {
        comm().SetFlowCtrl(flow);
        comm().PortOpen();
        m_plug->clearLineLog();
        ASSERT_TRUE(comm().TransString("data"));
        ASSERT_TRUE(WaitFor([&] { return comm().GetTransLength() == 0; }));
        WaitFor([] { return false; }, 80ms); // past where a half-duplex burst would end
        for (const auto &e : m_plug->lineLog())
            EXPECT_EQ(e.kind, pf::LoopbackPlug::LineEvent::Kind::Write);
        comm().PortClose();
    }
}

TEST_F(CommX, FailedOpenAfterAnEarlierOpenLeavesItsWorkersAlone)
{
    comm().PortOpen();
    comm().PortClose();
    m_plug->refuseState([](const pf::DCB &) { return true; });
    EXPECT_THROW(comm().PortOpen(), ECommError);
    EXPECT_TRUE(TCustomCommX::WaitForWorkers(3000));
    m_plug->refuseState(nullptr);
    comm().PortOpen();
    ASSERT_TRUE(comm().TransString("fine"));
    EXPECT_TRUE(WaitFor([&] { return comm().GetReceiveLength() == 4; }));
}

TEST_F(CommX, DestroyingAnOpenComponentLeavesNoWorkerBehind)
{
    int received = 0;
    comm().OnReceive = [&](QObject *, std::int32_t) { ++received; };
    comm().PortOpen();
    m_plug->inject("bye");
    m_comm.reset();
    EXPECT_FALSE(m_plug->isOpen());
    WaitFor([] { return false; }, 200ms);
    EXPECT_EQ(received, 0);
    EXPECT_TRUE(TCustomCommX::WaitForWorkers(3000));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
