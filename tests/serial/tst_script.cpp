// SPDX-License-Identifier: MIT
// Scripts without a window: the runner on the parts behind the window under a QCoreApplication,
// on the loopback plug and on a pseudo-terminal with an echoing device, each call of the API; the
// stop; what keeps a script from starting; and "Quorvel --run" run as a process with no display,
// for its exit codes, its output and its traffic log.
#include "ExePath.h"
#include "Loopback.h"
#include "PortMapFile.h"
#include "PortSession.h"
#include "ReceiveView.h"
#include "ScriptCases.h"
#include "ScriptRunner.h"
#include "Sender.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTest>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>

namespace
{

using Kind = ScriptRunner::Outcome::Kind;

std::string PortMap(const std::optional<PtyPair> &pty)
{
    return pty ? "COM1=" + pty->slavePath() : "COM1=loopback";
}

// The parts behind the window and a runner, on COM1: the loopback plug or a pseudo-terminal
// whose other side echoes.
struct ScriptParts : core::TrafficListener {
    std::optional<PtyPair> pty;
    std::unique_ptr<EchoPeer> peer;
    TempDir dir{"quorvel-script"};
    PortMapFile map;
    PortSession port;
    ReceiveView view{port};
    Sender sender{port, view};
    ScriptRunner runner{port, view, sender};
    QStringList logs;
    std::optional<ScriptRunner::Outcome> outcome;
    std::vector<std::string> sentLines;

    explicit ScriptParts(bool onPty)
        : pty(onPty ? std::make_optional<PtyPair>(true) : std::nullopt), map(PortMap(pty))
    {
        platform::SetExePathForTesting(dir.file("Quorvel"));
        if (pty)
            peer = std::make_unique<EchoPeer>(pty->master());
        port.settings().ComNo = 1;
        port.settings().Parity = "NONE";
        port.settings().StopBits = "1";
        port.settings().Flow = "NONE";
        view.stream().subscribe(this);
        QObject::connect(&runner, &ScriptRunner::logged, &runner,
                         [this](const QByteArray &text) { logs << QString::fromUtf8(text); });
        QObject::connect(&runner, &ScriptRunner::finished, &runner,
                         [this](const ScriptRunner::Outcome &o) { outcome = o; });
    }
    ~ScriptParts() override
    {
        runner.shutdown();
        view.stream().unsubscribe(this);
        port.close();
        view.shutdown();
        platform::SetExePathForTesting(std::string());
    }
    void lineCompleted(const core::CompletedLine &line) override
    {
        if (line.outgoing)
            sentLines.emplace_back(line.bytes);
    }
    bool start(const std::string &name, const std::string &text)
    {
        QString why;
        const bool ok = runner.start(QString::fromStdString(WriteScript(dir, name, text)), &why);
        if (!ok)
            qWarning() << why;
        return ok;
    }
    bool finish(int ms = 10000)
    {
        QElapsedTimer t;
        t.start();
        while (!outcome && t.elapsed() < ms)
            QTest::qWait(5);
        return outcome.has_value();
    }
};

} // namespace

class TestScript : public QObject
{
    Q_OBJECT

  private slots:
    void init() { platform::LoopbackPlug::ResetAll(); }
    void cleanup()
    {
        TCustomCommX::WaitForWorkers(3000);
        platform::LoopbackPlug::ResetAll();
    }
    void apiCalls_data();
    void apiCalls();
    void stopEndsTheScript_data();
    void stopEndsTheScript();
    void errorsAndRefusals();
    void runExitCodes_data();
    void runExitCodes();
};

void TestScript::apiCalls_data()
{
    QTest::addColumn<bool>("onPty");
    QTest::addColumn<int>("index");
    for (const bool onPty : {false, true}) {
        for (std::size_t i = 0; i < ScriptCases().size(); ++i) {
            const ScriptCase &c = ScriptCases()[i];
            if (onPty && c.loopbackOnly)
                continue;
            QTest::addRow("%s %s", onPty ? "pty" : "loopback", c.name) << onPty << static_cast<int>(i);
        }
    }
}

void TestScript::apiCalls()
{
    QFETCH(bool, onPty);
    QFETCH(int, index);
    const ScriptCase &c = ScriptCases()[static_cast<std::size_t>(index)];
    ScriptParts p(onPty);
    QVERIFY(!onPty || p.pty->ok());
    QVERIFY(p.port.openByHand());
    QVERIFY(p.start("case.lua", c.script));
    QVERIFY(p.runner.running());
    QVERIFY2(p.finish(), "the script did not end");
    QVERIFY(!p.runner.running());
    QCOMPARE(p.outcome->kind, c.failed ? Kind::Failed : Kind::Ended);
    if (c.failed)
        QCOMPARE(p.outcome->message, QStringLiteral("case.lua:2: no banner"));
    else
        QVERIFY2(p.outcome->message.isEmpty(), qPrintable(p.outcome->message));
    QCOMPARE(p.logs.join(QLatin1Char('\n')) + QLatin1Char('\n'), QString::fromUtf8(c.logs));
    // What the script sent went the way of a mixed send: an "[OUT]" line each.
    const std::string script = c.script;
    if (script.find("port.write") != std::string::npos || script.find("port.send") != std::string::npos)
        QVERIFY(!p.sentLines.empty());
    if (std::string(c.name) == "settings") {
        QCOMPARE(p.port.settings().Speed, 19200);
        QCOMPARE(p.port.settings().Parity, std::string("EVEN"));
    }
    if (std::string(c.name) == "set lines") {
        const auto plug = platform::LoopbackPlug::Get(1);
        QVERIFY(plug->dtr() && plug->rts() && !plug->breakOn());
    }
}

void TestScript::stopEndsTheScript_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<bool>("asTimeOut");
    QTest::newRow("in expect") << "port.expect('never', 60000)" << false;
    QTest::newRow("in sleep") << "port.sleep(60000)" << false;
    QTest::newRow("in a busy loop") << "while true do end" << false;
    QTest::newRow("a time-out in a busy loop") << "local t = {} while true do t[1] = 1 end" << true;
}

void TestScript::stopEndsTheScript()
{
    QFETCH(QString, script);
    QFETCH(bool, asTimeOut);
    ScriptParts p(false);
    QVERIFY(p.port.openByHand());
    QVERIFY(p.start("stop.lua", script.toStdString()));
    QTest::qWait(150);
    QVERIFY(p.runner.running());
    QElapsedTimer t;
    t.start();
    if (asTimeOut)
        p.runner.timeOut();
    else
        p.runner.stop();
    QVERIFY(p.finish(2000));
    QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
    QCOMPARE(p.outcome->kind, asTimeOut ? Kind::TimedOut : Kind::Stopped);
    // The port stays as it was: the next script runs on it.
    p.outcome.reset();
    QVERIFY(p.start("next.lua", "port.write('x') assert(port.expect('x', 3000))"));
    QVERIFY(p.finish());
    QCOMPARE(p.outcome->kind, Kind::Ended);
}

// An error says its file and line; a script that cannot start says why and changes nothing.
void TestScript::errorsAndRefusals()
{
    ScriptParts p(false);
    QString why;
    QVERIFY(!p.runner.start(QString::fromStdString(p.dir.file("none.lua")), &why));
    QVERIFY2(why.contains(QStringLiteral("ポートが開いていません")), qPrintable(why));
    QVERIFY(p.port.openByHand());
    QVERIFY(!p.runner.start(QString::fromStdString(p.dir.file("none.lua")), &why));
    QVERIFY2(why.contains(QStringLiteral("none.lua を読めません")), qPrintable(why));
    QVERIFY(!p.runner.running());

    QVERIFY(p.start("err.lua", "local a = {}\nport.log('one')\nlocal b = a.x.y\n"));
    QVERIFY(!p.runner.start(QString::fromStdString(p.dir.file("err.lua")), &why));
    QVERIFY2(why.contains(QStringLiteral("実行中")), qPrintable(why));
    QVERIFY(p.finish());
    QCOMPARE(p.outcome->kind, Kind::Error);
    QVERIFY2(p.outcome->message.startsWith(QStringLiteral("err.lua:3: attempt to index")),
             qPrintable(p.outcome->message));
    QVERIFY(p.outcome->traceback.contains(QStringLiteral("err.lua:3")));
    QCOMPARE(p.logs, QStringList{QStringLiteral("one")});
}

void TestScript::runExitCodes_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QStringList>("args"); // %S: the script, %D: the folder
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");
    const QStringList run{"--run", "%S"};
    QTest::newRow("ends") << "port.log('hi')" << run << 0 << "hi\n結果: 正常終了 (s.lua, "
                          << "";
    QTest::newRow("fails") << "port.fail('bad')" << run << 1 << "結果: 失敗: s.lua:1: bad\n"
                           << "s.lua:1: bad";
    QTest::newRow("error") << "\nlocal x = nil .. 1" << run << 1
                           << "結果: エラー: s.lua:2: attempt to concatenate"
                           << "s.lua:2: attempt to concatenate a nil value\nstack traceback";
    QTest::newRow("assert on expect")
        << "assert(port.expect('never', 50))" << run << 1 << "結果: エラー: s.lua:1: timeout\n"
        << "";
    QTest::newRow("own time-out") << "port.sleep(60000)" << (run + QStringList{"--timeout", "0.3"}) << 3
                                  << "結果: 時間切れ"
                                  << "";
    QTest::newRow("missing file") << "" << QStringList{"--run", "%D/none.lua"} << 2 << "結果: 実行できません"
                                  << "none.lua を読めません";
    QTest::newRow("unknown option") << "" << (run + QStringList{"--bogus", "1"}) << 2
                                    << "結果: 実行できません"
                                    << "--bogus";
    QTest::newRow("bad time-out") << "" << (run + QStringList{"--timeout", "0"}) << 2 << ""
                                  << "--timeout";
    QTest::newRow("port cannot be opened") << "port.log('never')" << (run + QStringList{"--port", "COM2"})
                                           << 2 << "結果: 実行できません: COM2 を開けません"
                                           << "COM2 を開けません";
    QTest::newRow("help") << "" << QStringList{"--help"} << 0 << "--run SCRIPT.lua"
                          << "";
    QTest::newRow("log") << "port.send('\"hi\",13')\nport.log('note')\nassert(port.expect('hi\\r', 3000))"
                         << (run + QStringList{"--log", "%D"}) << 0 << "note\n"
                         << "";
}

// The program itself, copied into a folder of its own with a settings file that maps its ports,
// run with no display at all.
void TestScript::runExitCodes()
{
    QFETCH(QString, script);
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    TempDir dir("quorvel-run");
    const std::string exe = dir.file("Quorvel");
    std::filesystem::copy_file(QUORVEL_EXE, exe);
    std::ofstream(dir.file("Quorvel.ini"), std::ios::binary)
        << "[PORTS]\r\nCOM1=loopback\r\nCOM2=/dev/quorvel-no-such-device\r\n";
    const std::string logs = dir.file("logs");
    std::filesystem::create_directory(logs);
    const QString scriptPath = QString::fromStdString(WriteScript(dir, "s.lua", script.toStdString()));
    for (QString &a : args)
        a.replace(QLatin1String("%S"), scriptPath).replace(QLatin1String("%D"), QString::fromStdString(logs));

    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    process.setProcessEnvironment(env);
    process.start(QString::fromStdString(exe), args);
    QVERIFY(process.waitForFinished(20000));
    const QString stdOut = QString::fromUtf8(process.readAllStandardOutput());
    const QString stdErr = QString::fromUtf8(process.readAllStandardError());
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QVERIFY2(process.exitCode() == exitCode,
             qPrintable(QStringLiteral("exit %1\n%2\n%3").arg(process.exitCode()).arg(stdOut, stdErr)));
    QVERIFY2(stdOut.contains(out), qPrintable(stdOut));
    QVERIFY2(stdErr.contains(err), qPrintable(stdErr));
    // The result is the last line.
    if (!out.isEmpty() && args.first() != QLatin1String("--help"))
        QVERIFY2(stdOut.endsWith(QLatin1Char('\n')) &&
                     stdOut.trimmed().section(QLatin1Char('\n'), -1).startsWith(QStringLiteral("結果: ")),
                 qPrintable(stdOut));
    if (QTest::currentDataTag() == QLatin1String("log")) {
        std::string text;
        for (const auto &e : std::filesystem::directory_iterator(logs)) {
            std::ifstream in(e.path(), std::ios::binary);
            text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        QVERIFY2(text.find("[OUT]") != std::string::npos, text.c_str());
        QVERIFY2(text.find("[IN ]") != std::string::npos, text.c_str());
        QVERIFY2(text.find(" # s.lua: note\r\n") != std::string::npos, text.c_str());
    }
}

QTEST_GUILESS_MAIN(TestScript)
#include "tst_script.moc"
