// SPDX-License-Identifier: MIT
// Devices that go away and come back: a pseudo-terminal behind a link stands for a USB adapter
// that is pulled (its far end closes) and plugged in again (a new one behind the same link).
#include "MainWindowFixture.h"
#include "ProcessCpu.h"
#include "PtyMaster.h"

#include <QAction>
#include <QStatusBar>

#include <filesystem>
#include <memory>

class TestReconnect : public QObject
{
    Q_OBJECT

  private:
    // COM1 is the link; each plug() puts a new pseudo-terminal behind it.
    struct Bench {
        MainWindowFixture f;
        std::unique_ptr<PtyMaster> pty;
        QString link = f.path(QStringLiteral("ttyLINK"));

        Bench()
        {
            plug();
            f.writeIni("COM1=" + link.toUtf8(), "[INI]\r\nSPEED=38400\r\nFLOW=NONE\r\n");
        }
        void plug()
        {
            pty = std::make_unique<PtyMaster>();
            std::filesystem::remove(link.toStdString());
            std::filesystem::create_symlink(pty->slavePath().toStdString(), link.toStdString());
        }
        // The link goes with the device, as a by-id link does: a pseudo-terminal's number is soon
        // given to another test's terminal, which a link left behind would lead to.
        void pull()
        {
            pty.reset();
            std::filesystem::remove(link.toStdString());
        }
        QString status() { return f.window->form().StatusBar1->currentMessage(); }
        bool open() { return f.window->CommX1.Handle() != TCustomCommX::kInvalidHandle; }
    };

  private slots:
    void pulledWhileIdleReceivingOrPlayingOut_data();
    void pulledWhileIdleReceivingOrPlayingOut();
    void reopenSwitchedOff();
    void loopbackPlugOutAndIn();
};

void TestReconnect::pulledWhileIdleReceivingOrPlayingOut_data()
{
    QTest::addColumn<int>("activity");
    QTest::newRow("idle") << 0;
    QTest::newRow("receiving") << 1;
    QTest::newRow("continuous output") << 2;
}

void TestReconnect::pulledWhileIdleReceivingOrPlayingOut()
{
    QFETCH(int, activity);
    Bench b;
    QVERIFY(b.pty->ok());
    TForm1 &w = b.f.start();
    QVERIFY(b.open());
    const QString comSet = w.form().stComSet->text();

    QTimer feed;
    if (activity == 1) {
        connect(&feed, &QTimer::timeout, &feed, [&] {
            if (b.pty)
                b.pty->write(QByteArray(1000, 'x') + "\r\n");
        });
        feed.start(5);
        QTest::qWait(200);
    }
    QElapsedTimer sincePull;
    if (activity == 2) {
        QByteArray lines;
        for (int i = 0; i < 20000; ++i)
            lines += "\"line " + QByteArray::number(i) + "\"\r\n";
        b.f.writeFile(QStringLiteral("play.txt"), lines);
        QTimer::singleShot(300, &w, [&] {
            b.pull();
            sincePull.start();
        });
        // Nobody reads the far end, so the play-out waits for room until the pull ends it.
        QVERIFY(w.PlayOutFile(b.f.path(QStringLiteral("play.txt"))));
        QVERIFY(sincePull.isValid());
        QVERIFY2(sincePull.elapsed() < 1500, "the continuous output went on after the device went");
    } else {
        b.pull();
        sincePull.start();
    }
    QTRY_VERIFY_WITH_TIMEOUT(b.status().contains(QStringLiteral("切断されました")), 1000);
    QVERIFY(b.status().contains(b.link));
    QVERIFY(!b.open());
    feed.stop();

    // Away: the window waits without spinning.
    QTest::qWait(100);
    const double before = ProcessCpuSeconds();
    QTest::qWait(1000);
    QVERIFY2(ProcessCpuSeconds() - before < 0.05, "more than 5 % of a core while the device is away");

    b.plug();
    QTRY_VERIFY_WITH_TIMEOUT(b.open(), 1000);
    QVERIFY(b.status().contains(QStringLiteral("再接続しました")));
    QCOMPARE(w.form().stComSet->text(), comSet);
    QCOMPARE(w.CommX1.BitRate(), 38400);
    // Both ways again.
    w.form().cmbSendMix->setEditText(QStringLiteral("\"back\""));
    w.BtnMixClick();
    QCOMPARE(b.pty->readSent(4), QByteArray("back"));
    b.pty->write("again\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(
        w.PageModel(3).count() > 1 &&
            QByteArray::fromStdString(w.PageModel(3).line(w.PageModel(3).count() - 2)).contains("again"),
        2000);
}

void TestReconnect::reopenSwitchedOff()
{
    Bench b;
    TForm1 &w = b.f.start();
    QVERIFY(b.open());
    QVERIFY(w.mnuAutoReopen->isChecked());
    w.mnuAutoReopen->trigger();
    QVERIFY(!w.mnuAutoReopen->isChecked());
    b.pull();
    QTRY_VERIFY_WITH_TIMEOUT(b.status().contains(QStringLiteral("ポートを閉じました")), 1000);
    b.plug();
    QTest::qWait(1200);
    QVERIFY(!b.open());

    // Kept in the settings file, in a section of its own, and read back.
    b.f.closeWindow();
    QVERIFY(b.f.readFile(QStringLiteral("Quorvel.ini")).contains("[Reconnect]\r\nAUTO=0\r\n"));
    TForm1 &again = b.f.start();
    QVERIFY(!again.mnuAutoReopen->isChecked());
}

void TestReconnect::loopbackPlugOutAndIn()
{
    MainWindowFixture f;
    f.writeIni("COM1=loopback");
    TForm1 &w = f.start();
    auto plug = platform::LoopbackPlug::Get(1);
    QVERIFY(plug->isOpen());
    plug->unplug();
    QTRY_VERIFY_WITH_TIMEOUT(!plug->isOpen(), 1000);
    QVERIFY(w.form().StatusBar1->currentMessage().contains(QStringLiteral("ループバック")));
    QTest::qWait(600);
    QCOMPARE(plug->openCount(), 1); // not while it is out
    plug->setMissing(false);
    QTRY_VERIFY_WITH_TIMEOUT(plug->isOpen(), 1000);
    QVERIFY(plug->dtr() && plug->rts());
    QCOMPARE(f.answerer.messages.size(), 0); // no message box for any of it
}

QTEST_MAIN(TestReconnect)
#include "tst_reconnect.moc"
