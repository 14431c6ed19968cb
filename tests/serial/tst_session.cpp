// SPDX-License-Identifier: MIT
// The three parts behind the window, driven together without one (a QCoreApplication, as a
// script without a display runs them): the port opens on the loopback plug, a mixed send goes
// out, its echo and its bytes come back on the pages' models and in the traffic stream, a line
// error is counted, and the port closes.
#include "AutoReplies.h"
#include "ExePath.h"
#include "Loopback.h"
#include "PortMapFile.h"
#include "PortSession.h"
#include "PtyPair.h"
#include "ReceiveView.h"
#include "ScriptedServer.h"
#include "Sender.h"
#include "Ser2net.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace
{

// The three parts and the replies on COM1, the loopback plug, in a folder of their own.
struct Parts {
    QTemporaryDir dir;
    PortMapFile map{"COM1=loopback"};
    PortSession port;
    ReceiveView view{port};
    Sender sender{port, view};
    AutoReplies replies{view, sender};
    std::shared_ptr<platform::LoopbackPlug> plug;

    Parts()
    {
        platform::SetExePathForTesting(dir.filePath(QStringLiteral("Quorvel")).toStdString());
        port.settings().ComNo = 1;
        plug = platform::LoopbackPlug::Get(1);
    }
    ~Parts()
    {
        port.close();
        view.shutdown();
        platform::SetExePathForTesting(std::string());
    }
    // What the program sent, gathered until it holds `want` bytes or `ms` have passed.
    std::string sent(std::size_t want, int ms)
    {
        std::string got;
        QElapsedTimer t;
        t.start();
        while (got.size() < want && t.elapsed() < ms) {
            QTest::qWait(5);
            got += plug->takeWritten();
        }
        return got;
    }
};

core::ReplyRule Rule(const char *name, core::ReplyRule::MatchKind kind, const char *match, const char *reply,
                     int delayMs = 0, int times = 0)
{
    core::ReplyRule r;
    r.name = name;
    r.matchKind = kind;
    r.match = match;
    r.reply = reply;
    r.delayMs = delayMs;
    r.times = times;
    return r;
}

} // namespace

class TestSession : public QObject
{
    Q_OBJECT

  private slots:
    void init() { platform::LoopbackPlug::ResetAll(); }
    void cleanup()
    {
        TCustomCommX::WaitForWorkers(3000);
        platform::LoopbackPlug::ResetAll();
    }
    void sendEchoReceiveCountClose();
    void repliesFireAsTheirRulesSay();
    void loopGuardStopsARuleThatAnswersItself();
    void repeatSendsAtItsIntervalUntilClose();
    void networkPortLostAndReconnected();
    void idleTickSlowsAndComesBack();
};

// A port on another machine through the real ser2net: a raw TCP one says at the open that the
// settings do not reach the port; an RFC 2217 one that loses its server is a device lost, and the
// automatic reopen connects again once the server is back.
void TestSession::networkPortLostAndReconnected()
{
    if (Ser2netPath().empty())
        QSKIP("ser2net is not installed (scripts/deps.sh installs it)");
    PtyPair pty(true);
    QVERIFY(pty.ok());
    TempDir dir("quorvel-session-net");
    const std::uint16_t rfc = UnusedLoopbackPort();
    const std::uint16_t raw = UnusedLoopbackPort();
    QVERIFY(rfc != 0 && raw != 0 && rfc != raw);
    std::optional<Ser2net> server;
    server.emplace(dir, "telnet(rfc2217),tcp", rfc, pty.slavePath());
    QVERIFY(Listening(rfc));

    Parts p;
    p.map.write("COM1=socket://127.0.0.1:" + std::to_string(raw) +
                "\r\nCOM2=rfc2217://127.0.0.1:" + std::to_string(rfc));
    QSignalSpy status(&p.port, &PortSession::status);
    auto said = [&](const QString &part) {
        return std::any_of(status.begin(), status.end(),
                           [&](const QList<QVariant> &s) { return s.at(0).toString().contains(part); });
    };
    {
        TempDir rawDir("quorvel-session-raw");
        Ser2net rawServer(rawDir, "tcp", raw, pty.slavePath());
        QVERIFY(Listening(raw));
        QVERIFY(p.port.openByHand()); // COM1
        QVERIFY(said(QStringLiteral("TCP でバイトだけ")));
        QVERIFY(!p.port.linesKnown());
        p.port.close();
    }
    p.port.settings().ComNo = 2;
    QVERIFY(p.port.openByHand());
    QVERIFY(p.port.linesKnown());
    QCOMPARE(p.port.remoteState(2), QStringLiteral("接続済み"));
    server.reset(); // ser2net stops
    QTRY_VERIFY_WITH_TIMEOUT(said(QStringLiteral("が切断されました。再接続を待っています")), 10000);
    QVERIFY(!p.port.isOpen());
    server.emplace(dir, "telnet(rfc2217),tcp", rfc, pty.slavePath());
    QVERIFY(Listening(rfc));
    QTRY_VERIFY_WITH_TIMEOUT(p.port.isOpen(), 10000);
    QVERIFY(said(QStringLiteral("に再接続しました")));
}

// A rule with wildcards answers with their bytes and a checksum, twice as its count says, and
// again after a reset; a text rule answers after its delay; the replies are echoed on the pages.
void TestSession::idleTickSlowsAndComesBack()
{
    Parts p;
    p.port.settings().RecvLineWait = 60;
    QVERIFY(p.port.openByHand());
    QTimer *tick = p.view.timer();
    QTRY_COMPARE_WITH_TIMEOUT(tick->interval(), ReceiveView::kIdleTickMs, 2000);

    // Nothing arrives: the tick still runs, for the input lamps, but slowly.
    QSignalSpy ticks(tick, &QTimer::timeout);
    QTest::qWait(1000);
    QVERIFY2(ticks.count() >= 10 && ticks.count() <= 20, qPrintable(QString::number(ticks.count())));

    // The first byte brings the full pace back, which holds until the line's pause has ended it.
    const core::Page &text = p.view.page(core::kPageText);
    QElapsedTimer since;
    since.start();
    p.plug->inject("abc", 0);
    QTRY_VERIFY_WITH_TIMEOUT(text.last() == "[IN ]  abc", 1000);
    QCOMPARE(tick->interval(), TCustomCommX::kDataNoticeGapMs);
    QTRY_VERIFY_WITH_TIMEOUT(text.last().empty(), 1000);
    QVERIFY(since.elapsed() >= 60);
    QCOMPARE(text.line(text.count() - 2), std::string("[IN ]  abc"));
    QTRY_COMPARE_WITH_TIMEOUT(tick->interval(), ReceiveView::kIdleTickMs, 1000);

    // A send wakes it too: its echo is logged and its answer shown at the full pace.
    p.sender.sendMixText("0x41");
    QCOMPARE(tick->interval(), TCustomCommX::kDataNoticeGapMs);
}

void TestSession::repliesFireAsTheirRulesSay()
{
    using Kind = core::ReplyRule::MatchKind;
    Parts p;
    p.view.setLineBreakMode([] { return core::kBreakOnCrLf; });
    p.replies.setRules({Rule("read", Kind::Hex, "01 03 ?? ??", "0x81,{?2},{?1},{SUM8}", 0, 2),
                        Rule("at", Kind::Text, "AT\\r", "\"OK\",13,10", 150)});
    p.replies.setOn(true);
    QCOMPARE(p.replies.activeCount(), 2);
    QVERIFY(p.port.openByHand());

    p.plug->inject(std::string("\x01\x03\xAA\xBB", 4));
    QCOMPARE(p.sent(4, 3000), std::string("\x81\xBB\xAA\xE6", 4));
    // Back to back in one read: the second is the rule's last, the third finds it used up.
    p.plug->inject(std::string("\x01\x03\x01\x02\x01\x03\x05\x06", 8));
    QCOMPARE(p.sent(8, 1000), std::string("\x81\x02\x01\x84", 4));
    QCOMPARE(p.replies.fired(0), 2);
    QCOMPARE(p.replies.activeCount(), 1);
    p.replies.resetFired(0);
    p.plug->inject(std::string("\x01\x03\x00\xFF", 4));
    QCOMPARE(p.sent(4, 3000), std::string("\x81\xFF\x00\x80", 4));

    QElapsedTimer sinceAsked;
    sinceAsked.start();
    p.plug->inject("AT\r");
    QCOMPARE(p.sent(4, 3000), std::string("OK\r\n"));
    QVERIFY2(sinceAsked.elapsed() >= 140, "the reply did not wait for its delay");
    // The reply is a send like any other: its echo is on the pages.
    QTRY_VERIFY_WITH_TIMEOUT(std::any_of(p.view.page(core::kPageText).lines().begin(),
                                         p.view.page(core::kPageText).lines().end(),
                                         [](const std::string &line) { return line == "[OUT]  OK.."; }),
                             3000);
}

// A reply that matches its own rule on the loopback plug (twice, here) would answer itself for
// ever: past a hundred replies in a second the rule is stopped, the status says which, and the
// line goes quiet.
void TestSession::loopGuardStopsARuleThatAnswersItself()
{
    Parts p;
    QSignalSpy status(&p.replies, &AutoReplies::status);
    p.replies.setRules({Rule("loop", core::ReplyRule::MatchKind::Text, "X", "\"XX\"")});
    p.replies.setOn(true);
    QVERIFY(p.port.openByHand());
    p.plug->inject("X");
    QTRY_VERIFY_WITH_TIMEOUT(p.replies.activeCount() == 0, 5000);
    QVERIFY(std::any_of(status.begin(), status.end(), [](const QList<QVariant> &s) {
        return s.at(0).toString().contains(QStringLiteral("自動応答「loop」を止めました"));
    }));
    QVERIFY(p.replies.fired(0) <= AutoReplies::kLoopLimit + 1);
    p.sent(1u << 20, 500); // what was still queued
    QCOMPARE(p.sent(1, 300), std::string());
}

// A registered button repeating every 10 ms sends as often as its interval allows (within the
// timer's resolution), and the close of the port stops it.
void TestSession::repeatSendsAtItsIntervalUntilClose()
{
    Parts p;
    QVERIFY(p.port.openByHand());
    p.sender.registered()[0] = "0x55";
    QCOMPARE(p.sender.setRepeat(1, {10, 0}), QString());
    p.plug->clearLineLog();
    p.sender.startRepeat(1);
    QVERIFY(p.sender.repeating(1));
    QTest::qWait(1000);
    p.port.close();
    QVERIFY(!p.sender.repeating(1));
    const std::string sent = p.plug->takeWritten();
    QCOMPARE(sent.find_first_not_of('\x55'), std::string::npos);
    // The device saw the sends: as many as 10 ms go into the time from the first to the last.
    std::vector<platform::LoopbackPlug::Clock::time_point> writes;
    for (const auto &e : p.plug->lineLog())
        if (e.kind == platform::LoopbackPlug::LineEvent::Kind::Write)
            writes.push_back(e.when);
    QCOMPARE(writes.size(), sent.size());
    QVERIFY(writes.size() >= 50);
    const double span = std::chrono::duration<double, std::milli>(writes.back() - writes.front()).count();
    QVERIFY2(std::abs(static_cast<double>(writes.size() - 1) - span / 10) <= 2,
             qPrintable(QStringLiteral("%1 sends in %2 ms").arg(writes.size()).arg(span)));
    QTest::qWait(100);
    QVERIFY(p.plug->takeWritten().empty());
}

void TestSession::sendEchoReceiveCountClose()
{
    const PortMapFile map("COM1=loopback");
    platform::LoopbackPlug::ResetAll();
    {
        PortSession port;
        ReceiveView view(port);
        Sender sender(port, view);
        struct Lines : core::TrafficListener {
            std::vector<std::string> seen;
            void lineCompleted(const core::CompletedLine &line) override
            {
                seen.push_back((line.outgoing ? "out " : "in ") + std::string(line.bytes));
            }
        } lines;
        view.stream().subscribe(&lines);
        view.setLineBreakMode([] { return core::kBreakOnCr; });
        port.settings().ComNo = 1;

        QVERIFY(port.openByHand());
        QVERIFY(port.isOpen());
        auto plug = platform::LoopbackPlug::Get(1);
        QVERIFY(plug->dtr() && plug->rts());

        sender.sendMixText("0x41,\"BC\",13");
        QVERIFY(!sender.sending());
        core::Page &hex = view.page(core::kPageHex);
        QCOMPARE(hex.line(hex.count() - 2), std::string("[OUT]   41   42   43   0D  "));
        // The plug brings the bytes back as received.
        QTRY_VERIFY_WITH_TIMEOUT(
            view.page(core::kPageText).count() >= 3 &&
                view.page(core::kPageText).line(view.page(core::kPageText).count() - 2) == "[IN ]  ABC",
            3000);
        QCOMPARE(lines.seen, (std::vector<std::string>{"out ABC\r", "in ABC\r"}));

        plug->inject("", platform::CE_FRAME);
        QTRY_VERIFY_WITH_TIMEOUT(port.lineErrors().framing == 1, 3000);

        port.close();
        QVERIFY(!port.isOpen());
        QVERIFY(!plug->isOpen());
        view.stream().unsubscribe(&lines);
        view.shutdown();
    }
    TCustomCommX::WaitForWorkers(3000);
    platform::LoopbackPlug::ResetAll();
}

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"
