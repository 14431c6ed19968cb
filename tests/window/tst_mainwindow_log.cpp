// SPDX-License-Identifier: MIT
// The main window's time column and traffic log: what the column leaves alone, the log's file
// and folder, both directions in order, the line still open at the end, and a full disk.
#include "MainWindowFixture.h"

#include "PageView.h"
#include "PtyMaster.h"
#include "RadioGroup.h"

#include <QAccessible>
#include <QComboBox>
#include <QDir>
#include <QFontMetricsF>
#include <QLabel>
#include <QScopeGuard>
#include <QStatusBar>

#include <QElapsedTimer>

#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <sys/mount.h>

namespace
{

// 2026-12-08 17:00:27.045 UTC.
constexpr std::int64_t kSomeTime = 1796749227045;
const QByteArray kSomeTimeText = "2026-12-08 17:00:27.045 ";

QList<QByteArray> LogLines(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QList<QByteArray> lines = f.readAll().split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    for (QByteArray &line : lines) {
        if (!line.endsWith('\r'))
            return {"line without CR LF: " + line};
        line.chop(1);
    }
    return lines;
}

QLabel *LogStatus(TForm1 &w)
{
    return w.form().StatusBar1->findChild<QLabel *>(QStringLiteral("stTrafficLog"));
}

// A small tmpfs on a folder of the test, gone with the test.
struct SmallDisk {
    QByteArray path;
    bool mounted = false;
    explicit SmallDisk(const QString &folder) : path(QFile::encodeName(folder))
    {
        QDir().mkpath(folder);
        mounted = ::mount("quorvel-test", path.constData(), "tmpfs", 0, "size=16k") == 0;
    }
    ~SmallDisk()
    {
        if (mounted)
            ::umount2(path.constData(), MNT_DETACH);
    }
};

// Writes through to the file once opened: until then every write waits, as on a disk that does
// not answer. Shared with the log's writer, which may outlive the log.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    int writes = 0; // begun

    bool begun()
    {
        std::lock_guard lock(mutex);
        return writes > 0;
    }
    void release()
    {
        std::lock_guard lock(mutex);
        open = true;
        changed.notify_all();
    }
};

class GatedOutput : public core::TrafficLog::Output
{
  public:
    GatedOutput(std::shared_ptr<Gate> gate, platform::AppendFile file)
        : m_gate(std::move(gate)), m_file(core::TrafficLog::FileOutput(std::move(file)))
    {
    }
    bool write(std::string_view text, std::string *error) override
    {
        std::unique_lock lock(m_gate->mutex);
        ++m_gate->writes;
        m_gate->changed.notify_all();
        m_gate->changed.wait(lock, [&] { return m_gate->open; });
        lock.unlock();
        return m_file->write(text, error);
    }
    bool sync(std::string *error) override { return m_file->sync(error); }

  private:
    std::shared_ptr<Gate> m_gate;
    std::unique_ptr<core::TrafficLog::Output> m_file;
};

// The longest the window's event loop went without serving a 5 ms timer, over `ms`.
qint64 LongestStall(int ms)
{
    QElapsedTimer since;
    QElapsedTimer last;
    qint64 longest = 0;
    QTimer ping;
    ping.setInterval(5);
    QObject::connect(&ping, &QTimer::timeout, &ping, [&] { longest = std::max(longest, last.restart()); });
    since.start();
    last.start();
    ping.start();
    while (since.elapsed() < ms)
        QTest::qWait(10);
    return std::max(longest, last.elapsed());
}

} // namespace

class TestMainWindowLog : public QObject
{
    Q_OBJECT

  private slots:
    void initTestCase()
    {
        qputenv("TZ", "UTC");
        tzset();
    }
    void timeColumnLeavesTextAndFilesAlone_data();
    void timeColumnLeavesTextAndFilesAlone();
    void logFileNameAndRememberedFolder();
    void bothDirectionsInOrder();
    void openLineIsWritten_data();
    void openLineIsWritten();
    void fullDiskStopsTheLogOnce();
    void notSentIsNotLogged();
    void stalledDiskLeavesWindowAnswering();
    void lineTimesNeverGoBack();
};

void TestMainWindowLog::timeColumnLeavesTextAndFilesAlone_data()
{
    QTest::addColumn<bool>("on");
    QTest::newRow("absent") << false;
    QTest::newRow("present") << true;
}

void TestMainWindowLog::timeColumnLeavesTextAndFilesAlone()
{
    QFETCH(bool, on);
    MainWindowFixture f;
    f.writeIni("COM1=loopback", "[CharDelayTime]\r\nCharDelayTime=5000\r\n");
    TForm1 &w = f.start();
    w.SetClockSource([] { return kSomeTime; });
    QVERIFY(!w.ShowTimes()); // off by default
    QVERIFY(!w.form().mnuRecvTime->isChecked());

    platform::LoopbackPlug::Get(1)->inject("AB");
    const std::string line = "[IN ]   41   42  ";
    QTRY_COMPARE_WITH_TIMEOUT(w.PageModel(0).line(0), line, 3000);
    // Made while the column was off, the line carries its time all the same.
    QCOMPARE(w.PageModel(0).time(0), kSomeTime);

    if (on)
        w.form().mnuRecvTime->trigger();
    QCOMPARE(w.ShowTimes(), on);
    QCOMPARE(w.form().mnuRecvTime->isChecked(), on);
    PageView *view = w.Memo(0);
    QCOMPARE(view->showTimes(), on);
    const QString text = QString::fromStdString(line);
    const int n = int(line.size());
    QCOMPARE(view->characterCount(), n);
    QCOMPARE(view->text(0, n), text);
    QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(view);
    QVERIFY(iface && iface->textInterface());
    QCOMPARE(iface->textInterface()->text(0, n), text);

    // The text begins after the column, and a point on a character still finds it.
    const qreal cw = QFontMetricsF(view->font()).horizontalAdvance(QLatin1Char('0'));
    QCOMPARE(view->characterRect(0).left() >= int(12 * cw), on);
    QCOMPARE(view->offsetAt(view->characterRect(9).center()), 9);
    // The column shows the line's time: another time paints another column, and nothing
    // changes where there is no column.
    const QRect gutter(0, 0, int(12 * cw), view->characterRect(0).height());
    view->resize(600, 200);
    const QImage before = view->viewport()->grab(gutter).toImage();
    w.PageModel(0).setTime(0, kSomeTime + 3600 * 1000);
    const QImage after = view->viewport()->grab(gutter).toImage();
    QCOMPARE(before != after, on);

    // Pick-up by double-click, the caret alignment and the page files know only the bytes.
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, view->characterRect(9).center());
    QCOMPARE(w.SendBoxBytes().value_or(std::string()), line);
    view->setCaretOffset(10);
    w.MemoEnter(view);
    QCOMPARE(w.Memo(2)->caretOffset(), 10);
    w.form().BtnLOG->click();
    QVERIFY(
        f.readFile(QStringLiteral("BackLogHEX.txt")).startsWith(QByteArray::fromStdString(line) + "\r\n"));
    QCOMPARE(w.form().stLogCount->text(), QStringLiteral("ログ行数: 1"));

    // The settings file gets the column's section only once it has been used.
    f.closeWindow();
    const QByteArray ini = f.readFile(QStringLiteral("Quorvel.ini"));
    QCOMPARE(ini.contains("[RecvTime]\r\nSHOW=1\r\n"), on);
    QVERIFY(!ini.contains("RecvTime") || on);
    QVERIFY(!ini.contains("TrafficLog"));
    QCOMPARE(f.start().ShowTimes(), on);
    QCOMPARE(f.window->Memo(3)->showTimes(), on);
}

void TestMainWindowLog::logFileNameAndRememberedFolder()
{
    MainWindowFixture f;
    f.writeIni("COM1=loopback");
    TForm1 &w = f.start();
    w.SetClockSource([] { return kSomeTime; });
    const QString logs = f.path(QStringLiteral("logs"));
    QVERIFY(QDir().mkpath(logs));
    QStringList asked;
    QString answer = logs;
    w.SetFolderPicker([&](const QString &start) {
        asked << QDir::cleanPath(start);
        return answer;
    });

    w.form().mnuTrafficLog->trigger();
    QCOMPARE(asked, QStringList{QDir::cleanPath(f.dir.path())}); // first: the program's folder
    const QString first = logs + QStringLiteral("/Quorvel_20261208_170027.log");
    QVERIFY(w.TrafficLogRunning());
    QCOMPARE(w.TrafficLogPath(), first);
    QVERIFY(QFile::exists(first));
    QVERIFY(w.form().mnuTrafficLog->isChecked());
    QVERIFY(LogStatus(w) && LogStatus(w)->isVisible());
    QCOMPARE(LogStatus(w)->text(), QStringLiteral("通信ログ記録中: ") + first);
    w.AppendOutLine(3, "x", kSomeTime); // a status message of a send does not hide it
    w.form().StatusBar1->showMessage(QStringLiteral("message"));
    QVERIFY(LogStatus(w)->isVisible());

    // The item stops the log without asking.
    w.form().mnuTrafficLog->trigger();
    QCOMPARE(asked.size(), 1);
    QVERIFY(!w.TrafficLogRunning());
    QVERIFY(!w.form().mnuTrafficLog->isChecked());
    QVERIFY(!LogStatus(w)->isVisible());

    // Again within the same second: a new file, the first one stays as it was.
    f.writeFile(QStringLiteral("logs/Quorvel_20261208_170027.log"), "kept\r\n");
    w.form().mnuTrafficLog->trigger();
    QCOMPARE(w.TrafficLogPath(), logs + QStringLiteral("/Quorvel_20261208_170027_2.log"));
    QCOMPARE(f.readFile(QStringLiteral("logs/Quorvel_20261208_170027.log")), QByteArray("kept\r\n"));
    QCOMPARE(asked.last(), logs); // the last folder

    // The folder outlives the program.
    f.closeWindow();
    QVERIFY(f.readFile(QStringLiteral("Quorvel.ini"))
                .contains("[TrafficLog]\r\nFOLDER=" + logs.toUtf8() + "\r\n"));
    TForm1 &again = f.start();
    QStringList askedAgain;
    again.SetFolderPicker([&](const QString &start) {
        askedAgain << start;
        return QString(); // cancelled
    });
    again.form().mnuTrafficLog->trigger();
    QCOMPARE(askedAgain, QStringList{logs});
    QVERIFY(!again.TrafficLogRunning());
    QVERIFY(!again.form().mnuTrafficLog->isChecked());
    QVERIFY(f.answerer.messages.isEmpty());

    // A folder that is not there: told why, nothing made, the folder not remembered.
    QVERIFY(!again.StartTrafficLog(f.path(QStringLiteral("missing"))));
    QCOMPARE(f.answerer.messages.size(), 1);
    QVERIFY(f.answerer.messages[0].startsWith(QStringLiteral("通信ログファイル ") +
                                              f.path(QStringLiteral("missing"))));
    QVERIFY(!again.TrafficLogRunning());
    QCOMPARE(again.TrafficLogFolder(), logs);
}

void TestMainWindowLog::bothDirectionsInOrder()
{
    MainWindowFixture f;
    f.writeIni("COM1=loopback");
    TForm1 &w = f.start();
    std::int64_t clock = kSomeTime;
    w.SetClockSource([&clock] { return clock; });
    w.form().ComboBox1->setCurrentIndex(1); // CR ends a line
    SetRadioItemIndex(w.form().RGDelimiter, 1);
    QVERIFY(w.StartTrafficLog(f.dir.path()));

    // Each text goes out with CR and the plug brings it back.
    for (const char *text : {"a", "b"}) {
        w.form().cmbSendMix->setEditText(QString::fromLatin1(text));
        w.BtnSendClick();
        const std::string echo = std::string("[IN ]  ") + text;
        QTRY_VERIFY_WITH_TIMEOUT(w.PageModel(3).line(w.PageModel(3).count() - 2) == echo, 3000);
        clock += 1000;
    }
    // An incoming line open when the next message goes out ends before it.
    platform::LoopbackPlug::Get(1)->inject("c");
    QTRY_COMPARE_WITH_TIMEOUT(w.PageModel(3).last(), std::string("[IN ]  c"), 3000);
    w.form().cmbSendMix->setEditText(QStringLiteral("d"));
    w.BtnSendClick();
    w.StopTrafficLog();

    const QList<QByteArray> lines = LogLines(w.TrafficLogPath());
    const QList<QByteArray> expected = {
        "2026-12-08 17:00:27.045 [OUT]   61   0D  |  a  _cr",
        "2026-12-08 17:00:27.045 [IN ]   61   0D  |  a  _cr",
        "2026-12-08 17:00:28.045 [OUT]   62   0D  |  b  _cr",
        "2026-12-08 17:00:28.045 [IN ]   62   0D  |  b  _cr",
        "2026-12-08 17:00:29.045 [IN ]   63  |  c ",
        "2026-12-08 17:00:29.045 [OUT]   64   0D  |  d  _cr",
    };
    QCOMPARE(lines, expected);
}

void TestMainWindowLog::openLineIsWritten_data()
{
    QTest::addColumn<bool>("close");
    QTest::newRow("stop") << false;
    QTest::newRow("close") << true;
}

void TestMainWindowLog::openLineIsWritten()
{
    QFETCH(bool, close);
    MainWindowFixture f;
    f.writeIni("COM1=loopback", "[CharDelayTime]\r\nCharDelayTime=5000\r\n");
    TForm1 &w = f.start();
    w.SetClockSource([] { return kSomeTime; });
    QVERIFY(w.StartTrafficLog(f.dir.path()));
    platform::LoopbackPlug::Get(1)->inject("AB");
    QTRY_COMPARE_WITH_TIMEOUT(w.PageModel(0).line(0), std::string("[IN ]   41   42  "), 3000);
    const QString path = w.TrafficLogPath();
    QCOMPARE(LogLines(path), QList<QByteArray>{}); // still open: not written yet
    if (close)
        f.closeWindow();
    else
        w.StopTrafficLog();
    QCOMPARE(LogLines(path), QList<QByteArray>{kSomeTimeText + "[IN ]   41   42  |  A   B "});
}

void TestMainWindowLog::fullDiskStopsTheLogOnce()
{
    MainWindowFixture f;
    const SmallDisk disk(f.path(QStringLiteral("small")));
    if (!disk.mounted)
        QSKIP("cannot mount a tmpfs here (it needs root)");
    f.writeIni("COM1=loopback");
    TForm1 &w = f.start();
    w.form().ComboBox1->setCurrentIndex(1);
    QVERIFY(w.StartTrafficLog(f.path(QStringLiteral("small"))));

    // Some 400 bytes of log a line: 200 lines do not fit into 16 KiB.
    const auto plug = platform::LoopbackPlug::Get(1);
    for (int i = 0; i < 200; ++i)
        plug->inject(QByteArray(38, 'x').append(QByteArray::number(i)).append('\r').toStdString());
    QTRY_VERIFY_WITH_TIMEOUT(!w.TrafficLogRunning(), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(f.answerer.messages.size(), 1, 3000);
    QVERIFY2(f.answerer.messages[0].contains(QStringLiteral("通信ログを書き込めないため")),
             qPrintable(f.answerer.messages[0]));
    QVERIFY(!w.form().mnuTrafficLog->isChecked());
    QVERIFY(!LogStatus(w)->isVisible());

    // The terminal goes on, and says nothing more.
    plug->inject("Z\r");
    QTRY_VERIFY_WITH_TIMEOUT(w.PageModel(3).line(w.PageModel(3).count() - 2) == "[IN ]  Z", 3000);
    QTest::qWait(100);
    QCOMPARE(f.answerer.messages.size(), 1);
}

// A send that the port did not take (its device went away) is echoed on the pages as ever, but
// the log, a record of the wire, has no line for it.
void TestMainWindowLog::notSentIsNotLogged()
{
    MainWindowFixture f;
    f.writeIni("COM1=loopback");
    TForm1 &w = f.start();
    w.SetClockSource([] { return kSomeTime; });
    w.mnuAutoReopen()->setChecked(false);
    w.mnuAutoReopenClick();
    QVERIFY(w.StartTrafficLog(f.dir.path()));
    w.form().cmbSendMix->setEditText(QStringLiteral("\"went\""));
    w.BtnMixClick();
    QTRY_VERIFY_WITH_TIMEOUT(w.PageModel(3).count() >= 2 &&
                                 w.PageModel(3).line(w.PageModel(3).count() - 2) == "[IN ]  went",
                             3000);
    platform::LoopbackPlug::Get(1)->unplug();
    QTRY_VERIFY_WITH_TIMEOUT(w.CommX1().Handle() == TCustomCommX::kInvalidHandle, 3000);
    w.form().cmbSendMix->setEditText(QStringLiteral("\"not\""));
    w.BtnMixClick();
    w.form().cmbSendMix->setEditText(QString());
    w.BtnSendClick(); // nothing at all: not a line of the wire either
    QCOMPARE(QByteArray::fromStdString(w.PageModel(3).line(w.PageModel(3).count() - 2)),
             QByteArray("[OUT]  not"));
    QCOMPARE(QByteArray::fromStdString(w.PageModel(3).last()), QByteArray("[OUT]  "));
    w.StopTrafficLog();
    const QList<QByteArray> lines = LogLines(w.TrafficLogPath());
    QCOMPARE(lines.size(), 2); // what went, and its echo from the plug
    QVERIFY2(lines[0].endsWith("[OUT]   77   65   6E   74  |  w   e   n   t "), lines[0].constData());
    QVERIFY(lines[1].contains("[IN ]"));
}

// The disk stops answering while a flood comes in: the window goes on answering, the bytes wait
// in the port instead of being lost, and stopping the log returns after a few seconds with the
// reason told. Then the display takes up every byte.
void TestMainWindowLog::stalledDiskLeavesWindowAnswering()
{
    MainWindowFixture f;
    f.writeIni("COM1=loopback");
    TForm1 &w = f.start();
    w.form().ComboBox1->setCurrentIndex(2); // CR LF ends a line
    const auto gate = std::make_shared<Gate>();
    const auto release = qScopeGuard([&] { gate->release(); });
    w.SetTrafficLogOutput(
        [gate](platform::AppendFile file) { return std::make_unique<GatedOutput>(gate, std::move(file)); },
        16 << 10);
    QVERIFY(w.StartTrafficLog(f.dir.path()));

    constexpr int kLines = 4000;
    QByteArray bytes;
    for (int i = 0; i < kLines; ++i)
        bytes += "#" + QByteArray::number(i) + ":" + QByteArray(40, 'y') + "\r\n";
    platform::LoopbackPlug::Get(1)->inject(bytes.toStdString());
    QTRY_VERIFY_WITH_TIMEOUT(gate->begun(), 3000);
    const qint64 stall = LongestStall(1500);
    QVERIFY2(stall < 100, qPrintable(QString::number(stall) + " ms without an answer"));
    QVERIFY2(w.CommX1().GetReceiveLength() > 0, "the display went on taking bytes the log could not keep");

    QElapsedTimer stopping;
    stopping.start();
    w.StopTrafficLog();
    QVERIFY(stopping.elapsed() < core::TrafficLog::kCloseGrace.count() + 2000);
    QVERIFY(!w.TrafficLogRunning());
    QTRY_COMPARE_WITH_TIMEOUT(f.answerer.messages.size(), 1, 3000);
    QVERIFY2(f.answerer.messages[0].startsWith(QStringLiteral("通信ログの最後の部分を書き込めませんでした")),
             qPrintable(f.answerer.messages[0]));

    // Nothing was lost: the last line comes, and the port's queue empties.
    const std::string last = "[IN ]  #" + std::to_string(kLines - 1) + ":" + std::string(40, 'y');
    QTRY_VERIFY_WITH_TIMEOUT(w.CommX1().GetReceiveLength() == 0 && w.PageModel(3).count() >= 2 &&
                                 w.PageModel(3).line(w.PageModel(3).count() - 2).rfind(last, 0) == 0,
                             5000);
}

// Many thousand lines by the real clocks, through a pseudo-terminal: no line carries an earlier
// time than the one before it, on the pages and in the log.
void TestMainWindowLog::lineTimesNeverGoBack()
{
    PtyMaster pty;
    if (!pty.ok())
        QSKIP("no pseudo-terminals here");
    MainWindowFixture f;
    f.writeIni("COM1=" + pty.slavePath());
    TForm1 &w = f.start();
    w.form().ComboBox1->setCurrentIndex(2);
    QVERIFY(w.StartTrafficLog(f.dir.path()));
    constexpr int kLines = 12000;
    for (int i = 0; i < kLines; i += 100) {
        QByteArray chunk;
        for (int k = i; k < i + 100; ++k)
            chunk += "#" + QByteArray::number(k) + "\r\n";
        QVERIFY(pty.write(chunk));
        if (i % 1000 == 0)
            QTest::qWait(1);
        // A send now and then: its line is stamped by the other clock.
        if (i % 2000 == 0) {
            w.form().cmbSendMix->setEditText(QStringLiteral("\"s\""));
            w.BtnMixClick();
        }
    }
    const std::string last = "[IN ]  #" + std::to_string(kLines - 1);
    QTRY_VERIFY_WITH_TIMEOUT(
        w.PageModel(3).count() >= 2 && w.PageModel(3).line(w.PageModel(3).count() - 2) == last, 10000);
    const core::Page &text = w.PageModel(3);
    for (int i = 1; i + 1 < text.count(); ++i) // the last line, still empty, has no time yet
        QVERIFY2(text.time(i) >= text.time(i - 1), qPrintable(QStringLiteral("page line %1").arg(i)));
    w.StopTrafficLog();
    const QList<QByteArray> lines = LogLines(w.TrafficLogPath());
    QVERIFY(lines.size() >= kLines);
    for (qsizetype i = 1; i < lines.size(); ++i)
        QVERIFY2(lines[i].left(23) >= lines[i - 1].left(23), lines[i].constData());
}

QTEST_MAIN(TestMainWindowLog)
#include "tst_mainwindow_log.moc"
