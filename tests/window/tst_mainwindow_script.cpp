// SPDX-License-Identifier: MIT
// Scripts in the window: the file menu's two items below its separator, each call of the API on
// the loopback plug and on a pseudo-terminal while the window shows the traffic, the status label,
// the traffic log's comment lines, the stop from the menu, the boxes of an error and of a port
// that is not open, and a close while a script runs.
#include "MainWindowFixture.h"
#include "PageView.h"
#include "ScriptCases.h"

#include <QLabel>
#include <QMenu>
#include <QSignalSpy>

#include <fstream>
#include <iterator>

namespace
{

using Kind = ScriptRunner::Outcome::Kind;

QLabel *ScriptLabel(TForm1 &w)
{
    return w.findChild<QLabel *>(QStringLiteral("stScript"));
}

QAction *Action(TForm1 &w, const char *name)
{
    return w.findChild<QAction *>(QString::fromLatin1(name));
}

// Runs the script and waits for its end; the outcome, or nothing when it did not end in time.
std::optional<ScriptRunner::Outcome> RunToEnd(TForm1 &w, const QString &path, int ms = 10000)
{
    std::optional<ScriptRunner::Outcome> outcome;
    const QMetaObject::Connection c =
        QObject::connect(&w.script(), &ScriptRunner::finished, &w,
                         [&outcome](const ScriptRunner::Outcome &o) { outcome = o; });
    if (w.RunScript(path)) {
        QElapsedTimer t;
        t.start();
        while (!outcome && t.elapsed() < ms)
            QTest::qWait(5);
    }
    QObject::disconnect(c);
    return outcome;
}

} // namespace

class TestMainWindowScript : public QObject
{
    Q_OBJECT

  private slots:
    void menuItemsBelowTheSeparator();
    void apiCalls_data();
    void apiCalls();
    void stopFromTheMenu_data();
    void stopFromTheMenu();
    void errorBoxAndLogComments();
    void portNotOpen();
    void closeWhileRunning();
};

void TestMainWindowScript::menuItemsBelowTheSeparator()
{
    MainWindowFixture f;
    f.writeIni("COM1=loopback");
    TForm1 &w = f.start();
    const QList<QAction *> items = w.form().mnuFile->actions();
    QCOMPARE(items.size(), 6);
    QCOMPARE(items[0], w.form().mnuExit);
    QVERIFY(items[1]->isSeparator());
    QCOMPARE(items[2], w.form().mnuTrafficLog);
    QCOMPARE(items[3]->text(), QStringLiteral("スクリプト実行..."));
    QCOMPARE(items[4]->text(), QStringLiteral("スクリプト停止"));
    QCOMPARE(items[5]->text(), QStringLiteral("検索..."));
    QVERIFY(!items[4]->isEnabled());
    // Nothing shows of scripts before the first runs.
    QVERIFY(!ScriptLabel(w));
    // A dialog that is cancelled runs nothing.
    w.SetScriptPicker([](const QString &) { return QString(); });
    items[3]->trigger();
    QVERIFY(!w.script().running());
}

void TestMainWindowScript::apiCalls_data()
{
    QTest::addColumn<bool>("onPty");
    QTest::addColumn<int>("index");
    for (const bool onPty : {false, true}) {
        for (std::size_t i = 0; i < ScriptCases().size(); ++i) {
            const ScriptCase &c = ScriptCases()[i];
            if (!(onPty && c.loopbackOnly))
                QTest::addRow("%s %s", onPty ? "pty" : "loopback", c.name) << onPty << static_cast<int>(i);
        }
    }
}

void TestMainWindowScript::apiCalls()
{
    QFETCH(bool, onPty);
    QFETCH(int, index);
    const ScriptCase &c = ScriptCases()[static_cast<std::size_t>(index)];
    std::optional<PtyPair> pty;
    std::unique_ptr<EchoPeer> peer;
    MainWindowFixture f;
    if (onPty) {
        pty.emplace(true);
        QVERIFY(pty->ok());
        peer = std::make_unique<EchoPeer>(pty->master());
        f.writeIni(QByteArray::fromStdString("COM1=" + pty->slavePath()));
    } else {
        f.writeIni("COM1=loopback");
    }
    TForm1 &w = f.start();
    QVERIFY(w.port().isOpen());
    QStringList logs;
    connect(&w.script(), &ScriptRunner::logged, &w,
            [&logs](const QByteArray &t) { logs << QString::fromUtf8(t); });
    TempDir dir("quorvel-script");
    // The menu's way in: the picker stands for the dialog.
    const QString path = QString::fromStdString(WriteScript(dir, "case.lua", c.script));
    std::optional<ScriptRunner::Outcome> outcome;
    connect(&w.script(), &ScriptRunner::finished, &w,
            [&outcome](const ScriptRunner::Outcome &o) { outcome = o; });
    w.SetScriptPicker([path](const QString &) { return path; });
    Action(w, "mnuScriptRun")->trigger();
    QVERIFY(Action(w, "mnuScriptStop")->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(outcome.has_value(), 10000);
    QVERIFY(!Action(w, "mnuScriptStop")->isEnabled());
    QCOMPARE(outcome->kind, c.failed ? Kind::Failed : Kind::Ended);
    QCOMPARE(logs.join(QLatin1Char('\n')) + QLatin1Char('\n'), QString::fromUtf8(c.logs));
    QVERIFY(ScriptLabel(w));
    QCOMPARE(ScriptLabel(w)->text(),
             QStringLiteral("スクリプト終了: case.lua: %1")
                 .arg(c.failed ? QStringLiteral("失敗") : QStringLiteral("正常終了")));
    if (c.failed) {
        QTRY_COMPARE_WITH_TIMEOUT(f.answerer.details.size(), 1, 3000);
        QCOMPARE(f.answerer.messages.first(), QStringLiteral("スクリプト case.lua が失敗しました。"));
        QCOMPARE(f.answerer.details.first(), QStringLiteral("case.lua:2: no banner"));
    } else {
        QVERIFY2(f.answerer.messages.isEmpty(), qPrintable(f.answerer.messages.join('\n')));
    }
    // The window showed what went by as if it had been typed: the sends' lines on the pages.
    const std::string script = c.script;
    if (script.find("port.write") != std::string::npos || script.find("port.send") != std::string::npos) {
        const auto shown = [&w](const char *tag) {
            const std::vector<std::string> &lines = w.PageModel(core::kPageHex).lines();
            return std::any_of(lines.begin(), lines.end(),
                               [tag](const std::string &l) { return l.rfind(tag, 0) == 0; });
        };
        QVERIFY(shown("[OUT]"));
        // The script took the answer as it came from the port; the page shows it at the next tick.
        QTRY_VERIFY_WITH_TIMEOUT(shown("[IN ]"), 2000);
    }
    if (std::string(c.name) == "settings")
        QCOMPARE(w.form().stComSet->text(), w.ComSetText());
}

void TestMainWindowScript::stopFromTheMenu_data()
{
    QTest::addColumn<QString>("script");
    QTest::newRow("in expect") << "port.expect('never', 60000)";
    QTest::newRow("in sleep") << "port.sleep(60000)";
    QTest::newRow("in a busy loop") << "while true do end";
}

void TestMainWindowScript::stopFromTheMenu()
{
    QFETCH(QString, script);
    MainWindowFixture f;
    f.writeIni("COM1=loopback");
    TForm1 &w = f.start();
    TempDir dir("quorvel-script");
    std::optional<ScriptRunner::Outcome> outcome;
    connect(&w.script(), &ScriptRunner::finished, &w,
            [&outcome](const ScriptRunner::Outcome &o) { outcome = o; });
    QVERIFY(w.RunScript(QString::fromStdString(WriteScript(dir, "stop.lua", script.toStdString()))));
    QTest::qWait(150);
    QVERIFY(w.script().running());
    QCOMPARE(ScriptLabel(w)->text(), QStringLiteral("スクリプト実行中: stop.lua"));
    QElapsedTimer t;
    t.start();
    Action(w, "mnuScriptStop")->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(outcome.has_value(), 2000);
    QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
    QCOMPARE(outcome->kind, Kind::Stopped);
    QCOMPARE(ScriptLabel(w)->text(), QStringLiteral("スクリプト終了: stop.lua: 停止"));
    QVERIFY(f.answerer.messages.isEmpty());
}

// An error is shown with its file and line; the script's log lines are in the status label and
// in the traffic log, as comments between the traffic lines.
void TestMainWindowScript::errorBoxAndLogComments()
{
    MainWindowFixture f;
    f.writeIni("COM1=loopback");
    TForm1 &w = f.start();
    TempDir logs("quorvel-script-log");
    QVERIFY(w.StartTrafficLog(QString::fromStdString(logs.path().string())));
    TempDir dir("quorvel-script");
    const QString path = QString::fromStdString(
        WriteScript(dir, "err.lua",
                    "port.write('ping\\r\\n')\nassert(port.readline(3000) == 'ping')\nport.log('温度 OK')\n"
                    "port.sleep(50)\nlocal x = nil + 1\n"));
    const std::optional<ScriptRunner::Outcome> outcome = RunToEnd(w, path);
    QVERIFY(outcome);
    QCOMPARE(outcome->kind, Kind::Error);
    QTRY_COMPARE_WITH_TIMEOUT(f.answerer.messages.size(), 1, 3000);
    QCOMPARE(f.answerer.messages.first(), QStringLiteral("スクリプト err.lua でエラーが起きました。"));
    QVERIFY2(
        f.answerer.details.first().startsWith(QStringLiteral("err.lua:5: attempt to perform arithmetic")),
        qPrintable(f.answerer.details.first()));
    QCOMPARE(ScriptLabel(w)->text(), QStringLiteral("スクリプト終了: err.lua: エラー"));
    const QString logFile = w.TrafficLogPath();
    w.StopTrafficLog();
    std::ifstream in(QFile::encodeName(logFile).toStdString(), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // In CP932, as the rest of the log; after the sent line it followed (the received line is
    // written once it is complete, which may be after).
    const std::string note = " # err.lua: \x89\xB7\x93\x78 OK\r\n";
    const std::size_t at = text.find(note);
    QVERIFY2(at != std::string::npos, text.c_str());
    QVERIFY2(text.find("[OUT]") < at && text.find("[IN ]") != std::string::npos, text.c_str());
}

void TestMainWindowScript::portNotOpen()
{
    MainWindowFixture f;
    f.writeIni("COM1=/dev/quorvel-no-such-device");
    TForm1 &w = f.start();
    QTRY_COMPARE_WITH_TIMEOUT(f.answerer.messages.size(), 1, 3000); // the failed open's box
    QVERIFY(!w.port().isOpen());
    TempDir dir("quorvel-script");
    QVERIFY(!w.RunScript(QString::fromStdString(WriteScript(dir, "s.lua", "port.log('x')"))));
    QTRY_COMPARE_WITH_TIMEOUT(f.answerer.messages.size(), 2, 3000);
    QCOMPARE(f.answerer.messages.last(), QStringLiteral("スクリプトを実行できません。"));
    QCOMPARE(f.answerer.details.last(), QStringLiteral("ポートが開いていません。"));
    QVERIFY(!w.script().running());
}

// The window closes at once over a script that would never end, and sends nothing more.
void TestMainWindowScript::closeWhileRunning()
{
    MainWindowFixture f;
    f.writeIni("COM1=loopback");
    TForm1 &w = f.start();
    TempDir dir("quorvel-script");
    QVERIFY(w.RunScript(
        QString::fromStdString(WriteScript(dir, "loop.lua", "while true do port.write('x') end"))));
    QTest::qWait(200);
    QVERIFY(w.script().running());
    QElapsedTimer t;
    t.start();
    f.closeWindow();
    QVERIFY2(t.elapsed() < 2000, qPrintable(QString::number(t.elapsed())));
    auto plug = platform::LoopbackPlug::Get(1);
    plug->takeWritten();
    QTest::qWait(100);
    QVERIFY(plug->takeWritten().empty());
}

QTEST_MAIN(TestMainWindowScript)
#include "tst_mainwindow_script.moc"
