// SPDX-License-Identifier: MIT
// The main window with traffic: bytes from a pseudo-terminal reaching the four pages, the control
// lines on the loopback plug, the page files, clearing and picking a line up.
#include "MainWindowFixture.h"

#include "PageView.h"
#include "PtyMaster.h"
#include "ReceiveView.h"

#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>

#include "PageSaver.h"
#include "RxPipeline.h"
#include "WallClock.h"

#include <chrono>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <time.h>
#include <unistd.h>

namespace
{

const QColor kActive(0, 255, 0);
const QColor kInactive(0, 128, 0);

QColor Colour(const QLabel *label)
{
    return label->palette().color(QPalette::Window);
}

std::int64_t ProcessCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The window with COM1 mapped to the pseudo-terminal.
TForm1 &StartOnPty(MainWindowFixture &f, const PtyMaster &pty)
{
    f.writeIni("COM1=" + pty.slavePath());
    return f.start();
}

// `count` numbered lines of `length` bytes each, CR LF included: "#<number>:yyy...\r\n".
QByteArray NumberedLines(int count, int length)
{
    QByteArray all;
    all.reserve(qsizetype(count) * length);
    for (int i = 0; i < count; ++i) {
        QByteArray line = "#" + QByteArray::number(i) + ":";
        line += QByteArray(length - 2 - line.size(), 'y');
        all += line + "\r\n";
    }
    return all;
}

// The numbers of the page's numbered lines, in page order.
std::vector<int> LineNumbers(const core::Page &page)
{
    std::vector<int> numbers;
    for (int i = 0; i < page.count(); ++i) {
        const std::string &line = page.line(i);
        const auto hash = line.find('#');
        if (hash != std::string::npos)
            numbers.push_back(std::atoi(line.c_str() + hash + 1));
    }
    return numbers;
}

// 0, 1, ... n-1: every line once, in order.
bool AllInOrder(const std::vector<int> &numbers, int n)
{
    if (static_cast<int>(numbers.size()) != n)
        return false;
    for (int i = 0; i < n; ++i)
        if (numbers[static_cast<std::size_t>(i)] != i)
            return false;
    return true;
}

constexpr int kCrLfMode = 2;

} // namespace

class TestMainWindowIo : public QObject
{
    Q_OBJECT

  private slots:
    void ptyBytesReachAllPages();
    void pauseClosesLineWithInjectedClock();
    void outputLineClicks_data();
    void outputLineClicks();
    void inputLinesFollowCtrlCheck();
    void logSaveWritesShownPages();
    void clearEmptiesHiddenPagesToo();
    void doubleClickPicksLineUp();
    void focusAlignsCarets();
    void failedSaveAtLimitWaitsAndClearIsFinal_data();
    void failedSaveAtLimitWaitsAndClearIsFinal();
    void fullRingLeavesBytesWaitingWithoutSpinning();
    void heldDisplayLosesNothing();
    void lineTimeIsWhenItsBytesCame();
    void reopenShowsNoByteOfTheEarlierOpen();
    void lineErrorCounterShowsAndResets();
};

void TestMainWindowIo::ptyBytesReachAllPages()
{
    PtyMaster pty;
    if (!pty.ok())
        QSKIP("no pseudo-terminals here");
    MainWindowFixture f;
    TForm1 &w = StartOnPty(f, pty);
    QVERIFY2(f.answerer.messages.isEmpty(), qPrintable(f.answerer.messages.join(QLatin1Char(' '))));
    QVERIFY(w.Timer1()->isActive());

    QVERIFY(pty.write(QByteArray("Hi\x01\xff", 4)));
    const std::string hex = "[IN ]   48   69   01   FF  ";
    QTRY_COMPARE_WITH_TIMEOUT(w.PageModel(0).line(0), hex, 3000);
    QCOMPARE(w.PageModel(1).line(0), std::string("[IN ]    72  105    1  255 "));
    QCOMPARE(w.PageModel(2).line(0), std::string("[IN ]    H   i  _sh _sp"));
    QCOMPARE(w.PageModel(3).line(0), std::string("[IN ]  Hi\x01\xff"));
    QCOMPARE(w.form().stLogCount->text(), QStringLiteral("ログ行数: 1"));
    // The view shows the model it was given.
    QCOMPARE(w.Memo(0)->page(), &w.PageModel(0));
    QVERIFY(w.Memo(0)->characterCount() >= int(hex.size()));
}

void TestMainWindowIo::pauseClosesLineWithInjectedClock()
{
    MainWindowFixture f;
    f.writeIni("COM1=loopback", "[CharDelayTime]\r\nCharDelayTime=100\r\n");
    std::uint32_t now = 1000;
    TForm1 &w = f.start();
    w.SetTickSource([&now] { return now; });
    const auto plug = platform::LoopbackPlug::Get(1);

    plug->inject("A");
    QTRY_COMPARE_WITH_TIMEOUT(w.PageModel(3).line(0), std::string("[IN ]  A"), 3000);
    QTest::qWait(50);
    QCOMPARE(w.PageModel(3).count(), 1); // no pause yet: the clock stands still
    now += 101;
    QTRY_COMPARE_WITH_TIMEOUT(w.PageModel(3).count(), 2, 3000);
    QCOMPARE(w.PageModel(3).last(), std::string());
    plug->inject("B");
    QTRY_COMPARE_WITH_TIMEOUT(w.PageModel(3).line(1), std::string("[IN ]  B"), 3000);
    QCOMPARE(w.form().stLogCount->text(), QStringLiteral("ログ行数: 2"));
}

void TestMainWindowIo::outputLineClicks_data()
{
    QTest::addColumn<bool>("rts"); // RTS, else DTR
    QTest::newRow("RTS") << true;
    QTest::newRow("DTR") << false;
}

void TestMainWindowIo::outputLineClicks()
{
    QFETCH(bool, rts);
    MainWindowFixture f;
    f.writeIni("COM1=loopback");
    TForm1 &w = f.start();
    const auto plug = platform::LoopbackPlug::Get(1);
    QLabel *label = rts ? w.form().stRTS : w.form().stDTR;
    auto line = [&] { return rts ? plug->rts() : plug->dtr(); };

    QVERIFY(line());
    QCOMPARE(Colour(label), kActive);
    QTest::mouseClick(label, Qt::LeftButton);
    QVERIFY(!line());
    QCOMPARE(Colour(label), kInactive);
    QTest::mouseClick(label, Qt::LeftButton);
    QVERIFY(line());
    QCOMPARE(Colour(label), kActive);

    // With the port closed a click changes only the colour; the next open raises the line again.
    w.CommX1().PortClose();
    QTest::mouseClick(label, Qt::LeftButton);
    QCOMPARE(Colour(label), kInactive);
    w.ApplyCommSettings();
    QVERIFY(line());
    QCOMPARE(Colour(label), kActive);
}

void TestMainWindowIo::inputLinesFollowCtrlCheck()
{
    MainWindowFixture f;
    f.writeIni("COM1=loopback");
    TForm1 &w = f.start();
    Ui::TForm1 &ui = w.form();
    // The plug loops RTS to CTS and DTR to DSR.
    QTRY_COMPARE_WITH_TIMEOUT(Colour(ui.stCTS), kActive, 2000);
    QTRY_COMPARE_WITH_TIMEOUT(Colour(ui.stDSR), kActive, 2000);
    // Idle, the tick slows down but still shows a change of the lines at its next run.
    QTRY_COMPARE_WITH_TIMEOUT(w.Timer1()->interval(), ReceiveView::kIdleTickMs, 2000);
    QVERIFY(ReceiveView::kIdleTickMs <= 50);
    w.stRTSClick();
    QSignalSpy tick(w.Timer1(), &QTimer::timeout);
    QVERIFY(tick.wait(1000));
    QCOMPARE(Colour(ui.stCTS), kInactive);
    QCOMPARE(Colour(ui.stDSR), kActive);
    w.stDTRClick();
    QTRY_COMPARE_WITH_TIMEOUT(Colour(ui.stDSR), kInactive, 2000);

    // Not watched: both show the button face, whatever the lines do.
    w.CommSettings().CtrlCheck = 0;
    w.stRTSClick();
    const QColor face = ui.Panel1->palette().color(QPalette::Button);
    QTRY_COMPARE_WITH_TIMEOUT(Colour(ui.stCTS), face, 2000);
    QTRY_COMPARE_WITH_TIMEOUT(Colour(ui.stDSR), face, 2000);

    // Watched with the port closed: dark green (the timer keeps running).
    w.CommSettings().CtrlCheck = 1;
    w.CommX1().PortClose();
    QTRY_COMPARE_WITH_TIMEOUT(Colour(ui.stCTS), kInactive, 2000);
    QVERIFY(w.Timer1()->isActive());
}

void TestMainWindowIo::logSaveWritesShownPages()
{
    MainWindowFixture f;
    f.writeIni("COM1=loopback");
    TForm1 &w = f.start();
    platform::LoopbackPlug::Get(1)->inject("AB");
    QTRY_COMPARE_WITH_TIMEOUT(w.PageModel(3).line(0), std::string("[IN ]  AB"), 3000);

    w.form().mnuDEC->trigger();
    w.form().mnuCHAR->trigger();
    f.writeFile(QStringLiteral("BackLogDEC.txt"), "old DEC");
    w.form().BtnLOG->click();
    QCOMPARE(f.readFile(QStringLiteral("BackLogHEX.txt")), QByteArray("[IN ]   41   42  \r\n"));
    QCOMPARE(f.readFile(QStringLiteral("BackLogTEXT.txt")), QByteArray("[IN ]  AB\r\n"));
    QCOMPARE(f.readFile(QStringLiteral("BackLogDEC.txt")), QByteArray("old DEC"));
    QVERIFY(!QFile::exists(f.path(QStringLiteral("BackLogCHAR.txt"))));

    // A second save replaces the first.
    w.PageModel(0).add(std::string());
    w.form().BtnLOG->click();
    QCOMPARE(f.readFile(QStringLiteral("BackLogHEX.txt")), QByteArray("[IN ]   41   42  \r\n\r\n"));
    QVERIFY(f.answerer.messages.isEmpty());
    // Nothing but the four files and the program's own was left in the folder.
    const QStringList files = QDir(f.dir.path()).entryList(QDir::Files);
    QCOMPARE(files, (QStringList{"BackLogDEC.txt", "BackLogHEX.txt", "BackLogTEXT.txt", "Quorvel.ini"}));
}

void TestMainWindowIo::clearEmptiesHiddenPagesToo()
{
    MainWindowFixture f;
    f.writeIni("COM1=loopback");
    TForm1 &w = f.start();
    const auto plug = platform::LoopbackPlug::Get(1);
    plug->inject("AB");
    QTRY_COMPARE_WITH_TIMEOUT(w.PageModel(2).line(0), std::string("[IN ]    A   B "), 3000);
    w.form().mnuCHAR->trigger();
    w.form().BtnClear->click();
    for (int i = 0; i < 4; ++i)
        QCOMPARE(w.PageModel(i).count(), 0);
    QCOMPARE(w.Memo(0)->characterCount(), 0);

    // The shown pages start again; the hidden one stays empty until it is shown.
    plug->inject("C");
    QTRY_COMPARE_WITH_TIMEOUT(w.PageModel(0).line(0), std::string("[IN ]   43  "), 3000);
    QCOMPARE(w.PageModel(2).count(), 0);
    w.form().mnuCHAR->trigger();
    plug->inject("D");
    QTRY_COMPARE_WITH_TIMEOUT(w.PageModel(2).line(0), std::string("[IN ]    D "), 3000);
}

void TestMainWindowIo::doubleClickPicksLineUp()
{
    MainWindowFixture f;
    f.writeIni("COM1=loopback");
    TForm1 &w = f.start();
    core::Page &hex = w.PageModel(0);
    hex.clear();
    hex.add("[IN ]   41   42  ");
    hex.add(std::string());
    hex.add(std::string("[OUT]   82  A0  \x82\xa0", 18));
    w.Memo(0)->refresh();
    QComboBox *box = w.form().cmbSendMix;
    box->setEditText(QStringLiteral("typed"));

    // An empty line leaves the send box alone.
    w.Memo1DblClick(w.Memo(0), 1);
    QCOMPARE(box->currentText(), QStringLiteral("typed"));

    // A double-click on the first row of the view puts that line into the box, tag included.
    const QRect row0 = w.Memo(0)->characterRect(2);
    QVERIFY(!row0.isEmpty());
    QTest::mouseDClick(w.Memo(0)->viewport(), Qt::LeftButton, {}, row0.center());
    QCOMPARE(box->currentText(), QStringLiteral("[IN ]   41   42  "));

    // A line whose bytes decode goes back as the same bytes; the box shows the decoded text.
    w.Memo1DblClick(w.Memo(0), 2);
    QCOMPARE(box->currentText(), QStringLiteral("[OUT]   82  A0  あ"));
    QCOMPARE(w.SendBoxBytes().value_or("?"), std::string("[OUT]   82  A0  \x82\xa0", 18));
    // Bytes that do not decode survive as long as the box still shows the picked line.
    hex.add(std::string("[IN ]  \x81", 8));
    w.Memo1DblClick(w.Memo(0), 3);
    QCOMPARE(w.SendBoxBytes().value_or("?"), std::string("[IN ]  \x81", 8));
    box->setEditText(QStringLiteral("0x41"));
    QCOMPARE(w.SendBoxBytes().value_or("?"), std::string("0x41"));
}

void TestMainWindowIo::focusAlignsCarets()
{
    MainWindowFixture f;
    f.writeIni("COM1=loopback");
    TForm1 &w = f.start();
    w.PageModel(0).clear();
    w.PageModel(0).add("0123456789");
    w.PageModel(1).clear();
    w.PageModel(1).add("0123456789");
    w.PageModel(1).add("abcdef");
    w.PageModel(2).clear();
    w.PageModel(2).add("012");
    for (int i = 0; i < 4; ++i)
        w.Memo(i)->refresh();

    w.Memo(1)->setCaretOffset(14);
    w.MemoEnter(w.Memo(1));
    QCOMPARE(w.Memo(0)->caretOffset(), 10); // a shorter page gets its caret at its end
    QCOMPARE(w.Memo(2)->caretOffset(), 3);
    QCOMPARE(w.Memo(1)->caretOffset(), 14);
    QVERIFY(!w.Memo(0)->hasSelection());
}

void TestMainWindowIo::failedSaveAtLimitWaitsAndClearIsFinal_data()
{
    QTest::addColumn<bool>("clear");
    QTest::newRow("written once there is room") << false;
    QTest::newRow("cleared before") << true;
}

// The disk is full when the pages reach the limit: the save fails, told once, and its lines wait
// for the next try, not on the pages. Once there is room they are written, unless ログクリア
// came first: a clear is final.
void TestMainWindowIo::failedSaveAtLimitWaitsAndClearIsFinal()
{
    QFETCH(bool, clear);
    MainWindowFixture f;
    // A small disk of its own, filled up; without the rights to make one, a folder where the HEX
    // file belongs fails the save all the same.
    const QByteArray folder = QFile::encodeName(f.dir.path());
    const bool mounted =
        ::geteuid() == 0 && ::mount("tmpfs", folder.constData(), "tmpfs", 0, "size=256k") == 0;
    const auto unmount = qScopeGuard([&] {
        f.window.reset();
        if (mounted)
            ::umount2(folder.constData(), MNT_DETACH);
    });
    f.writeIni("COM1=loopback");
    if (mounted) {
        QFile filler(f.path(QStringLiteral("filler")));
        QVERIFY(filler.open(QIODevice::WriteOnly));
        while (filler.write(QByteArray(4096, 'f')) > 0 && filler.flush()) {
        }
    } else {
        QVERIFY(QDir(f.dir.path()).mkdir(QStringLiteral("BackLogHEX.txt")));
    }
    auto makeRoom = [&] {
        QVERIFY(mounted ? QFile::remove(f.path(QStringLiteral("filler")))
                        : QDir(f.dir.path()).rmdir(QStringLiteral("BackLogHEX.txt")));
    };
    std::uint32_t now = 5000;
    TForm1 &w = f.start();
    w.SetTickSource([&now] { return now; });
    w.Timer1()->stop();
    for (int i = 0; i < 5002; ++i)
        w.PageModel(0).add("[IN ]   41  ");

    w.Timer1Timer();
    w.FinishSaves();
    const QString told = w.form().StatusBar1->currentMessage();
    QVERIFY2(told.startsWith(QStringLiteral("ログ保存に失敗しました: ")), qPrintable(told));
    QVERIFY(w.PageModel(0).count() <= 1);
    QVERIFY(f.answerer.messages.isEmpty());

    // Further tries neither repeat the message nor stop the display.
    w.form().StatusBar1->clearMessage();
    w.Timer1()->start();
    platform::LoopbackPlug::Get(1)->inject("Z");
    QTRY_COMPARE_WITH_TIMEOUT(w.PageModel(3).last(), std::string("[IN ]  Z"), 3000);
    w.FinishSaves();
    QCOMPARE(w.form().StatusBar1->currentMessage(), QString());

    if (clear)
        w.BtnClearClick();
    makeRoom();
    QTest::qWait(int(core::PageSaver::kRetryAfter.count()) + 300);
    w.FinishSaves();
    QVERIFY(w.PageModel(0).count() <= 1); // nothing comes back on the pages
    const QByteArray saved = f.readFile(QStringLiteral("BackLogHEX.txt"));
    if (clear)
        QVERIFY(!saved.contains("41"));
    else
        QVERIFY(saved.contains("[IN ]   41  \r\n[IN ]   41  \r\n"));
    QVERIFY(f.answerer.messages.isEmpty());
}

void TestMainWindowIo::fullRingLeavesBytesWaitingWithoutSpinning()
{
    MainWindowFixture f;
    f.writeIni("COM1=loopback");
    TForm1 &w = f.start();
    w.form().ComboBox1->setCurrentIndex(kCrLfMode);
    w.Timer1()->stop(); // the display falls behind: nothing drains the ring
    const int lines = 1500;
    const QByteArray bytes = NumberedLines(lines, 100);
    platform::LoopbackPlug::Get(1)->inject(bytes.toStdString());
    const qsizetype ring = core::RxPipeline::kRingSize - 1;
    QTRY_COMPARE_WITH_TIMEOUT(w.CommX1().GetReceiveLength(), std::int32_t(bytes.size() - ring), 3000);

    // Waiting costs nothing: no thread spins while the bytes wait for room.
    const std::int64_t cpu = ProcessCpuMs();
    QTest::qWait(1000);
    QVERIFY2(ProcessCpuMs() - cpu < 300, "a thread spun while bytes waited");
    QCOMPARE(w.CommX1().GetReceiveLength(), std::int32_t(bytes.size() - ring)); // nothing lost meanwhile

    w.Timer1()->start();
    QTRY_VERIFY_WITH_TIMEOUT(AllInOrder(LineNumbers(w.PageModel(3)), lines), 5000);
    QVERIFY(AllInOrder(LineNumbers(w.PageModel(0)), 0)); // the HEX page shows cells, not digits
}

void TestMainWindowIo::heldDisplayLosesNothing()
{
    PtyMaster pty;
    if (!pty.ok())
        QSKIP("no pseudo-terminals here");
    MainWindowFixture f;
    TForm1 &w = StartOnPty(f, pty);
    w.form().ComboBox1->setCurrentIndex(kCrLfMode);
    const int lines = 4195; // 1000-byte lines: 4 MiB and more, below the line limit
    const QByteArray bytes = NumberedLines(lines, 1000);
    // The user-interface thread is stuck for half a second while the device floods the port.
    QTimer::singleShot(20, [] { std::this_thread::sleep_for(std::chrono::milliseconds(500)); });
    std::thread writer([&] { pty.write(bytes); });
    QTRY_VERIFY_WITH_TIMEOUT(LineNumbers(w.PageModel(3)).size() >= std::size_t(lines), 60000);
    writer.join();
    QVERIFY(AllInOrder(LineNumbers(w.PageModel(3)), lines));
}

void TestMainWindowIo::lineTimeIsWhenItsBytesCame()
{
    PtyMaster pty;
    if (!pty.ok())
        QSKIP("no pseudo-terminals here");
    MainWindowFixture f;
    TForm1 &w = StartOnPty(f, pty);
    w.form().ComboBox1->setCurrentIndex(kCrLfMode);
    const std::int64_t sent = platform::WallClockMs();
    QVERIFY(pty.write("late\r\n"));
    // The window is busy while the line comes; it reads the line half a second later.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    QTRY_VERIFY_WITH_TIMEOUT(w.PageModel(3).count() >= 2, 3000);
    QVERIFY2(w.PageModel(3).line(0).find("late") != std::string::npos, w.PageModel(3).line(0).c_str());
    const std::int64_t delay = w.PageModel(3).time(0) - sent;
    QVERIFY2(delay >= -5 && delay < 300, std::to_string(delay).c_str());
}

void TestMainWindowIo::reopenShowsNoByteOfTheEarlierOpen()
{
    PtyMaster pty;
    if (!pty.ok())
        QSKIP("no pseudo-terminals here");
    MainWindowFixture f;
    TForm1 &w = StartOnPty(f, pty);
    w.Timer1()->stop();
    // Bytes of this open fill the ring and wait in the device's queue...
    const QByteArray old(200000, 'O');
    QVERIFY(pty.write(old));
    QTRY_VERIFY_WITH_TIMEOUT(w.CommX1().GetReceiveLength() >= old.size() - core::RxPipeline::kRingSize, 3000);
    // ... when the settings dialog closes and opens the port again.
    w.CommX1().PortClose();
    w.ApplyCommSettings();
    QVERIFY(pty.write("NEW"));
    QTRY_VERIFY_WITH_TIMEOUT(w.PageModel(3).last().find("NEW") != std::string::npos, 3000);
    QTest::qWait(50);
    for (int i = 0; i < w.PageModel(3).count(); ++i)
        QVERIFY2(w.PageModel(3).line(i).find('O') == std::string::npos, w.PageModel(3).line(i).c_str());
}

void TestMainWindowIo::lineErrorCounterShowsAndResets()
{
    MainWindowFixture f;
    f.writeIni("COM1=loopback");
    TForm1 &w = f.start();
    auto *counter = w.findChild<QLabel *>(QStringLiteral("stLineErrors"));
    QVERIFY(counter);
    const QPoint logCount = w.form().stLogCount->pos();
    QCOMPARE(counter->text(), QStringLiteral("エラー: 0"));
    const auto plug = platform::LoopbackPlug::Get(1);

    plug->inject("", platform::CE_OVERRUN | platform::CE_RXPARITY | platform::CE_FRAME, true);
    plug->inject("", platform::CE_FRAME);
    QTRY_COMPARE_WITH_TIMEOUT(counter->text(), QStringLiteral("エラー: 5"), 3000);
    for (const char *part : {"オーバーラン: 1", "パリティエラー: 1", "フレーミングエラー: 2", "ブレーク: 1"})
        QVERIFY2(counter->toolTip().contains(QString::fromUtf8(part)), part);
    QCOMPARE(counter->palette().color(QPalette::WindowText), QColor(Qt::red));

    w.BtnClearClick(); // "ログクリア" starts the count again
    QCOMPARE(counter->text(), QStringLiteral("エラー: 0"));
    QVERIFY(counter->palette().color(QPalette::WindowText) != QColor(Qt::red));
    plug->inject("", platform::CE_OVERRUN);
    QTRY_COMPARE_WITH_TIMEOUT(counter->text(), QStringLiteral("エラー: 1"), 3000);

    w.CommX1().PortClose(); // and so does a new open
    w.ApplyCommSettings();
    QCOMPARE(counter->text(), QStringLiteral("エラー: 0"));
    QCOMPARE(w.form().stLogCount->pos(), logCount); // the line counter stays where it was
    QVERIFY(!counter->geometry().intersects(w.form().RGDelimiter->geometry()));
    QVERIFY(!counter->geometry().intersects(w.form().Button10->geometry()));
}

QTEST_MAIN(TestMainWindowIo)
#include "tst_mainwindow_io.moc"
