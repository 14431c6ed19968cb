// SPDX-License-Identifier: MIT
#include "ScriptCommand.h"

#include "Ini.h"
#include "PortSession.h"
#include "ReceiveView.h"
#include "ScriptRunner.h"
#include "Sender.h"
#include "Settings.h"
#include "StopSignals.h"
#include "UserFiles.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace script_command
{
namespace
{

constexpr const char *kHelp =
    "使い方:\n"
    "  Quorvel\n"
    "      ウィンドウを開きます。設定は Quorvel.ini から読みます。\n"
    "  Quorvel --run SCRIPT.lua [--port COMn] [--log FOLDER] [--timeout S]\n"
    "      Lua スクリプトをウィンドウなしで実行します（画面は要りません）。\n"
    "      ポートと通信設定はウィンドウと同じ設定ファイルと [PORTS] の割り当てから取ります。\n"
    "      --port COMn     このポートで実行します（設定ファイルの COM 番号の代わりに）\n"
    "      --log FOLDER    通信ログをこのフォルダに記録します（ウィンドウの「通信ログ記録」と同じ形式）\n"
    "      --timeout S     S 秒たっても終わらなければ止めます\n"
    "      port.log の行と、最後に結果の行を標準出力に書きます。終了コード:\n"
    "        0 正常に終わった  1 失敗した（port.fail、エラー、assert）  2 使い方の誤り、\n"
    "        スクリプトを読めない、ポートを開けない  3 --timeout の時間を過ぎた\n"
    "  Quorvel --help\n"
    "      この説明を表示します。\n"
    "スクリプトの書き方はヘルプの「スクリプト」にあります。\n";

struct RunArgs {
    QString script;
    std::optional<int> comNo;
    std::optional<QString> logFolder;
    std::optional<double> timeoutS;
};

void Print(std::FILE *to, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit() + '\n';
    std::fwrite(bytes.data(), 1, static_cast<std::size_t>(bytes.size()), to);
    std::fflush(to);
}

int UsageError(const QString &reason)
{
    Print(stderr, QStringLiteral("Quorvel: %1").arg(reason));
    Print(stderr, QStringLiteral("Quorvel --help で使い方を表示します。"));
    Print(stdout, QStringLiteral("結果: 実行できません: %1").arg(reason));
    return kExitUsage;
}

std::optional<int> ComNumber(const QString &text)
{
    QString digits = text;
    if (digits.startsWith(QLatin1String("COM"), Qt::CaseInsensitive))
        digits = digits.mid(3);
    bool ok = false;
    const int n = digits.toInt(&ok);
    if (!ok || n < 1 || digits.startsWith(QLatin1Char('+')))
        return std::nullopt;
    return n;
}

// The options of a run, "--run" among them; false with the reason.
bool ParseRun(int argc, char *argv[], int at, RunArgs *args, QString *why)
{
    // Options and their values come in pairs.
    for (int i = at; i < argc; i += 2) {
        const char *a = argv[i];
        const bool hasValue = i + 1 < argc;
        const QString value = hasValue ? QString::fromLocal8Bit(argv[i + 1]) : QString();
        if (std::strcmp(a, "--run") == 0 && hasValue && args->script.isEmpty()) {
            args->script = value;
        } else if (std::strcmp(a, "--port") == 0 && hasValue) {
            args->comNo = ComNumber(value);
            if (!args->comNo) {
                *why = QStringLiteral("--port には COM1 のようにポートを指定します: %1").arg(value);
                return false;
            }
        } else if (std::strcmp(a, "--log") == 0 && hasValue) {
            args->logFolder = value;
        } else if (std::strcmp(a, "--timeout") == 0 && hasValue) {
            bool ok = false;
            const double s = value.toDouble(&ok);
            if (!ok || !(s > 0) || std::isinf(s)) {
                *why = QStringLiteral("--timeout には 0 より大きい秒数を指定します: %1").arg(value);
                return false;
            }
            args->timeoutS = s;
        } else {
            *why = hasValue || a[0] != '-'
                       ? QStringLiteral("知らない引数です: %1").arg(QString::fromLocal8Bit(a))
                       : QStringLiteral("%1 の値がありません").arg(QString::fromLocal8Bit(a));
            return false;
        }
    }
    if (args->script.isEmpty()) {
        *why = QStringLiteral("--run にはスクリプトのファイルを指定します");
        return false;
    }
    return true;
}

QString Seconds(qint64 ms)
{
    return QString::number(static_cast<double>(ms) / 1000.0, 'f', 3);
}

int RunScript(const RunArgs &args, int argc, char *argv[])
{
    const int stopRequests = platform::CatchStopSignals();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Quorvel"));

    platform::IniFile ini;
    ini.load(platform::UserFileToRead(platform::SettingsFileName()));
    core::Settings settings;
    settings.read(ini);

    PortSession port;
    ReceiveView view(port);
    Sender sender(port, view);
    ScriptRunner runner(port, view, sender);
    port.settings() = settings.comm;
    if (args.comNo)
        port.settings().ComNo = *args.comNo;
    port.setAutoReopen(ini.get("Reconnect", "AUTO", "1") != "0");
    view.setLineBreakMode([mode = settings.lineBreakMode] { return mode; });
    // Nobody looks at the pages: they stay empty (and so write no page files), while the traffic
    // stream and its log see every line.
    for (int &shown : view.visible())
        shown = 0;
    // Nothing waits for a display: every data notice at once.
    runner.setNoticeGap(0);
    const auto tell = [](const QString &text) { Print(stderr, QStringLiteral("Quorvel: %1").arg(text)); };
    QObject::connect(&port, &PortSession::status, &app, tell);
    QObject::connect(&view, &ReceiveView::status, &app, tell);
    QObject::connect(&sender, &Sender::status, &app, tell);
    QObject::connect(&view, &ReceiveView::logFailed, &app,
                     [tell](const QString &message, const QString &detail) { tell(message + " " + detail); });
    QObject::connect(&runner, &ScriptRunner::logged, &app, [&view, &runner](const QByteArray &text) {
        std::fwrite(text.data(), 1, static_cast<std::size_t>(text.size()), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
        // In the log as the window writes it: the script's name, then its text.
        view.logNote(ScriptLogNote(runner.scriptName(), text.toStdString()));
    });

    const QFileInfo file(args.script);
    if (!file.isFile() || !file.isReadable())
        return UsageError(QStringLiteral("スクリプトのファイル %1 を読めません").arg(args.script));
    if (args.logFolder) {
        std::string path, error;
        if (!view.startLog(QFile::encodeName(*args.logFolder).toStdString(), &path, &error))
            return UsageError(
                QStringLiteral("通信ログのファイル %1 を作れません: %2")
                    .arg(QFile::decodeName(QByteArray::fromStdString(path)), QString::fromStdString(error)));
    }
    if (!port.openByHand()) {
        view.stopLog();
        return UsageError(
            QStringLiteral("COM%1 を開けません: %2").arg(port.settings().ComNo).arg(port.openFailure()));
    }

    ScriptRunner::Outcome outcome;
    bool signalled = false;
    QObject::connect(&runner, &ScriptRunner::finished, &app, [&outcome](const ScriptRunner::Outcome &o) {
        outcome = o;
        QCoreApplication::quit();
    });
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &app, [&runner] { runner.timeOut(); });
    std::unique_ptr<QSocketNotifier> stops;
    if (stopRequests >= 0) {
        stops = std::make_unique<QSocketNotifier>(stopRequests, QSocketNotifier::Read);
        QObject::connect(stops.get(), &QSocketNotifier::activated, &app, [&runner, &signalled] {
            if (platform::TakeStopRequest()) {
                signalled = true;
                runner.stop();
            }
        });
    }
    QString why;
    if (!runner.start(args.script, &why)) {
        port.close();
        view.stopLog();
        return UsageError(why);
    }
    if (args.timeoutS)
        timeout.start(static_cast<int>(std::min(*args.timeoutS * 1000.0, 2.0e9)));
    QCoreApplication::exec();

    // What the port still had, and what was taken but not yet on the pages' way, goes into the
    // log before it closes.
    view.drain();
    view.tick();
    view.stopLog();
    port.close();
    view.shutdown();
    TCustomCommX::WaitForWorkers(2000);

    using Kind = ScriptRunner::Outcome::Kind;
    switch (outcome.kind) {
    case Kind::Ended:
        Print(stdout, QStringLiteral("結果: 正常終了 (%1, %2 秒)").arg(outcome.script, Seconds(outcome.ms)));
        return kExitOk;
    case Kind::Failed:
        Print(stderr, QStringLiteral("Quorvel: %1").arg(outcome.message));
        Print(stdout, QStringLiteral("結果: 失敗: %1").arg(outcome.message));
        return kExitFailed;
    case Kind::Error:
        Print(stderr, QStringLiteral("Quorvel: %1").arg(outcome.message));
        if (!outcome.traceback.isEmpty())
            Print(stderr, outcome.traceback);
        Print(stdout, QStringLiteral("結果: エラー: %1").arg(outcome.message));
        return kExitFailed;
    case Kind::TimedOut:
        Print(stdout, QStringLiteral("結果: 時間切れ: %1 秒を過ぎたので止めました (%2)")
                          .arg(QString::number(args.timeoutS.value_or(0)), outcome.script));
        return kExitTimedOut;
    case Kind::Stopped:
        break;
    }
    Print(stdout, QStringLiteral("結果: 中止 (%1%2)")
                      .arg(outcome.script, signalled ? QStringLiteral("、シグナルを受けました") : QString()));
    return kExitFailed;
}

} // namespace

std::optional<int> Run(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kHelp, stdout);
            return kExitOk;
        }
        if (std::strcmp(argv[i], "--run") == 0) {
            RunArgs args;
            QString why;
            if (!ParseRun(argc, argv, 1, &args, &why))
                return UsageError(why);
            return RunScript(args, argc, argv);
        }
    }
    return std::nullopt;
}

} // namespace script_command
