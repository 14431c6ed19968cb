// SPDX-License-Identifier: MIT
// Devices that go away and come back: a pseudo-terminal behind a link stands for a USB adapter
// that is pulled (its far end closes) and plugged in again (a new one behind the same link).
#include "MainWindowFixture.h"
#include "ProcessCpu.h"
#include "PtyMaster.h"

#include <QAction>
#include <QStatusBar>

#include <QTemporaryDir>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
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
        bool open() { return f.window->CommX1().Handle() != TCustomCommX::kInvalidHandle; }
    };

  private slots:
    void pulledWhileIdleReceivingOrPlayingOut_data();
    void pulledWhileIdleReceivingOrPlayingOut();
    void reopenSwitchedOff();
    void loopbackPlugOutAndIn();
    void recycledPseudoTerminalIsLeftAlone();
    void onlyTheSameUsbDeviceIsReopened();
    void refusedSettingsAreTriedLessOften();
    void absentAtStartIsOpenedWhenItAppears_data();
    void absentAtStartIsOpenedWhenItAppears();
};

namespace
{

// A made-up /sys for the test's pseudo-terminals: each one shown as a port of a USB device
// with the given serial number, the way sysfs shows a ttyUSB of an adapter.
class FakeSysfs
{
  public:
    FakeSysfs() { platform::SetSysfsRootForTesting(m_dir.path().toStdString()); }
    ~FakeSysfs() { platform::SetSysfsRootForTesting(std::string()); }
    FakeSysfs(const FakeSysfs &) = delete;
    FakeSysfs &operator=(const FakeSysfs &) = delete;

    void showAsUsb(const QByteArray &ttyPath, const std::string &serial) const
    {
        namespace fs = std::filesystem;
        const fs::path root = m_dir.path().toStdString();
        const std::string name = fs::path(ttyPath.toStdString()).filename().string();
        const fs::path usb = root / "devices/pci0000:00/usb1/1-1";
        const fs::path port = usb / "1-1:1.0" / ("ttyUSB" + name);
        fs::create_directories(port);
        std::ofstream(usb / "idVendor") << "0403\n";
        std::ofstream(usb / "idProduct") << "6001\n";
        std::ofstream(usb / "serial") << serial << "\n";
        const fs::path tty = root / "class/tty" / name;
        fs::create_directories(tty);
        fs::remove(tty / "device");
        fs::create_directory_symlink(port, tty / "device");
    }

  private:
    QTemporaryDir m_dir;
};

} // namespace

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
    QCOMPARE(w.CommX1().BitRate(), 38400);
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
    QVERIFY(w.mnuAutoReopen()->isChecked());
    w.mnuAutoReopen()->trigger();
    QVERIFY(!w.mnuAutoReopen()->isChecked());
    b.pull();
    QTRY_VERIFY_WITH_TIMEOUT(b.status().contains(QStringLiteral("ポートを閉じました")), 1000);
    b.plug();
    QTest::qWait(1200);
    QVERIFY(!b.open());

    // Kept in the settings file, in a section of its own, and read back.
    b.f.closeWindow();
    QVERIFY(b.f.readFile(QStringLiteral("Quorvel.ini")).contains("[Reconnect]\r\nAUTO=0\r\n"));
    TForm1 &again = b.f.start();
    QVERIFY(!again.mnuAutoReopen()->isChecked());
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

void TestReconnect::recycledPseudoTerminalIsLeftAlone()
{
    MainWindowFixture f;
    auto pty = std::make_unique<PtyMaster>();
    QVERIFY(pty->ok());
    const QByteArray path = pty->slavePath();
    f.writeIni("COM1=" + path, "[INI]\r\nSPEED=38400\r\nFLOW=NONE\r\n");
    TForm1 &w = f.start();
    QVERIFY(w.CommX1().Handle() != TCustomCommX::kInvalidHandle);
    pty.reset();
    QTRY_VERIFY_WITH_TIMEOUT(w.form().StatusBar1->currentMessage().contains(QStringLiteral("切断されました")),
                             1000);
    QVERIFY(w.CommX1().Handle() == TCustomCommX::kInvalidHandle);
    QVERIFY2(w.form().StatusBar1->currentMessage().contains(QStringLiteral("設定 → 通信設定 → OK")),
             qPrintable(w.form().StatusBar1->currentMessage()));

    // The system gives the number to the next terminal made, a shell's window say, which holds
    // it in its own settings and has keys typed into it.
    std::unique_ptr<PtyMaster> other;
    for (int i = 0; i < 20 && !other; ++i) {
        auto next = std::make_unique<PtyMaster>();
        if (next->ok() && next->slavePath() == path)
            other = std::move(next);
        else
            QTest::qWait(50);
    }
    if (!other)
        QSKIP("the pseudo-terminal's number did not come round again");
    const int shell = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(shell >= 0);
    termios before{};
    QCOMPARE(::tcgetattr(shell, &before), 0);
    QVERIFY(other->write("typed\n"));

    QTest::qWait(1600); // three looks and more
    const bool opened = w.CommX1().Handle() != TCustomCommX::kInvalidHandle;
    termios after{};
    const bool got = ::tcgetattr(shell, &after) == 0;
    char keys[16] = {};
    const ssize_t n = ::read(shell, keys, sizeof keys);
    ::close(shell);
    QVERIFY(!opened);
    QVERIFY(got);
    QCOMPARE(after.c_lflag, before.c_lflag);
    QCOMPARE(after.c_iflag, before.c_iflag);
    QCOMPARE(after.c_cflag, before.c_cflag);
    QCOMPARE(QByteArray(keys, n > 0 ? int(n) : 0), QByteArray("typed\n"));
    QVERIFY(w.form().StatusBar1->currentMessage().contains(QStringLiteral("設定 → 通信設定 → OK")));
}

void TestReconnect::onlyTheSameUsbDeviceIsReopened()
{
    FakeSysfs sysfs;
    Bench b;
    sysfs.showAsUsb(b.pty->slavePath(), "A1");
    b.f.start();
    QVERIFY(b.open());
    b.pull();
    QTRY_VERIFY_WITH_TIMEOUT(b.status().contains(QStringLiteral("切断されました")), 1000);

    // Another adapter behind the same name is not the one that went.
    b.plug();
    sysfs.showAsUsb(b.pty->slavePath(), "B2");
    QTest::qWait(1200);
    QVERIFY(!b.open());
    QVERIFY(b.status().contains(QStringLiteral("再接続を待っています")));

    sysfs.showAsUsb(b.pty->slavePath(), "A1");
    QTRY_VERIFY_WITH_TIMEOUT(b.open(), 1500);
    QVERIFY(b.status().contains(QStringLiteral("再接続しました")));
}

void TestReconnect::refusedSettingsAreTriedLessOften()
{
    MainWindowFixture f;
    f.writeIni("COM1=loopback", "[INI]\r\nSPEED=38400\r\n");
    TForm1 &w = f.start();
    auto plug = platform::LoopbackPlug::Get(1);
    QVERIFY(plug->isOpen());
    plug->unplug();
    QTRY_VERIFY_WITH_TIMEOUT(!plug->isOpen(), 1000);

    // Back, but it no longer takes the bit rate: every try opens and closes the port on the
    // window's thread, so tries come further apart, and the reason is said once.
    plug->refuseState([](const platform::DCB &dcb) { return dcb.BaudRate == 38400; });
    int said = 0;
    connect(w.form().StatusBar1, &QStatusBar::messageChanged, &w, [&said](const QString &text) {
        said += text.contains(QStringLiteral("再接続できません")) ? 1 : 0;
    });
    const int before = plug->openCount();
    plug->setMissing(false);
    QTest::qWait(3200);
    const int tries = plug->openCount() - before;
    QVERIFY2(tries >= 2 && tries <= 4, qPrintable(QString::number(tries) + " tries in 3.2 s"));
    QCOMPARE(said, 1);
    QVERIFY(w.form().StatusBar1->currentMessage().contains(QStringLiteral("38400 bps")));

    // Taken again: found within the longest pause.
    plug->refuseState(nullptr);
    QTRY_VERIFY_WITH_TIMEOUT(plug->isOpen(), 5000);
}

void TestReconnect::absentAtStartIsOpenedWhenItAppears_data()
{
    QTest::addColumn<bool>("numbered");
    QTest::addColumn<bool>("reopenOn");
    QTest::addColumn<bool>("waited");
    QTest::newRow("a link, the reopen on") << false << true << true;
    QTest::newRow("a link, the reopen off") << false << false << false;
    // Its number goes to whatever terminal is made next: never waited for.
    QTest::newRow("a pseudo-terminal by its number") << true << true << false;
}

// The device is not there at the start (an adapter plugged in later, a link made later): with the
// reopen on, it is looked for as after an unplug and opened when it appears.
void TestReconnect::absentAtStartIsOpenedWhenItAppears()
{
    QFETCH(bool, numbered);
    QFETCH(bool, reopenOn);
    QFETCH(bool, waited);
    MainWindowFixture f;
    QByteArray path = f.path(QStringLiteral("ttyLATER")).toUtf8();
    if (numbered) {
        path = PtyMaster().slavePath(); // gone again at once
        if (path.isEmpty() || std::filesystem::exists(path.toStdString()))
            QSKIP("no free pseudo-terminal number to map");
    }
    f.writeIni("COM1=" + path, reopenOn ? QByteArray() : QByteArray("[Reconnect]\r\nAUTO=0\r\n"));
    TForm1 &w = f.start();
    QTRY_COMPARE_WITH_TIMEOUT(f.answerer.messages.size(), 1, 2000);
    const QString status = w.form().StatusBar1->currentMessage();
    QVERIFY2(status.startsWith(QStringLiteral("ポート未接続: COM1 の装置 ") + QString::fromUtf8(path)),
             qPrintable(status));
    QCOMPARE(status.contains(QStringLiteral("待っています")), waited);
    // The lamps and the settings text stay as the form has them.
    QCOMPARE(w.form().stComSet->text(), QStringLiteral("COM:1 9600 8 N 1"));
    QCOMPARE(w.form().stDTR->palette().color(QPalette::Window), QColor(0, 255, 0));
    if (numbered)
        return;

    PtyMaster pty;
    QVERIFY(pty.ok());
    std::filesystem::create_symlink(pty.slavePath().toStdString(), path.toStdString());
    QElapsedTimer since;
    since.start();
    auto open = [&w] { return w.CommX1().Handle() != TCustomCommX::kInvalidHandle; };
    if (!waited) {
        QTest::qWait(1200);
        QVERIFY(!open());
        QCOMPARE(w.form().StatusBar1->currentMessage(), status);
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(open(), 1000);
    QVERIFY(since.elapsed() < 1000);
    QCOMPARE(w.form().StatusBar1->currentMessage(),
             QStringLiteral("COM1 の装置（%1）に接続しました").arg(QString::fromUtf8(path)));
    QCOMPARE(f.answerer.messages.size(), 1); // no message box for it
    w.form().cmbSendMix->setEditText(QStringLiteral("\"here\""));
    w.BtnMixClick();
    QCOMPARE(pty.readSent(4), QByteArray("here"));
}

QTEST_MAIN(TestReconnect)
#include "tst_reconnect.moc"
