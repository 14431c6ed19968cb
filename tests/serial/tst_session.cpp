// SPDX-License-Identifier: MIT
// The three parts behind the window, driven together without one (a QCoreApplication, as a
// script without a display runs them): the port opens on the loopback plug, a mixed send goes
// out, its echo and its bytes come back on the pages' models and in the traffic stream, a line
// error is counted, and the port closes.
#include "Loopback.h"
#include "PortMapFile.h"
#include "PortSession.h"
#include "ReceiveView.h"
#include "Sender.h"

#include <QTest>

class TestSession : public QObject
{
    Q_OBJECT

  private slots:
    void sendEchoReceiveCountClose();
};

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
