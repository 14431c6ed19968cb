// SPDX-License-Identifier: MIT
// The scripts' budgets.
//
//   bench_script roundtrip --exe PATH [--count N]   (default 10000)
//       The program itself, copied into a folder of its own with COM1 on the loopback plug, runs
//       `Quorvel --run` with a script of N port.write / port.expect round trips of one byte and
//       reports their rate (the script times itself with port.now()). Budget: at least 2000 a
//       second. Side by side, the same round trips made in this process from the session's thread
//       without Lua (the sender's send, a wait for the byte in the traffic stream, the
//       component's notice gap at 0 as for a script): the ratio is what the script's thread and
//       its calls cost.
//
//   bench_script latency [--count N] [--window]   (default 1000 polls)
//       COM1 on a pseudo-terminal; a thread plays a device that answers each "Q" with "R\n" after
//       a millisecond. The script polls every 10 ms and notes port.now() as each expect returns;
//       the figure is the time from the write of the answer's last byte to that return. Without
//       --window the parts run as `--run` runs them (no pages, notice gap 0), with it in the main
//       window (offscreen unless QT_QPA_PLATFORM says otherwise). Budget: median under 5 ms
//       without a window, under 15 ms in it. Side by side, from the same answers: the time until
//       the session's thread took the bytes from the port (the floor under any script).
//
//   bench_script ping [--mib M]   (default 1; needs an X server: run it under xvfb-run)
//       The main window on COM1 = loopback, pinged with _NET_WM_PING every 20 ms: while idle, while
//       the continuous output sends M MiB of 1 KiB lines (the reference: the window's own way of
//       sending a lot), and while a script sends M MiB with port.write of 1 KiB. Every byte comes
//       back on the loopback plug and is counted. Budget: ping max under 50 ms during the script.
//
// Exit status 0 when the budgets hold, 1 when one fails, 2 when the run could not be set up.
#include "Main.h"
#include "PortMapFile.h"
#include "PortSession.h"
#include "PtyPair.h"
#include "ReceiveView.h"
#include "ScriptRunner.h"
#include "SendCells.h"
#include "Sender.h"
#include "SetupError.h"
#include "TempDir.h"
#include "WindowBench.h"
#include "WindowPing.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include <poll.h>
#include <unistd.h>

namespace
{

using Clock = std::chrono::steady_clock;
using bench::SetupError;

constexpr double kMinRoundTripsPerS = 2000;
constexpr double kMaxMedianHeadlessMs = 5;
constexpr double kMaxMedianWindowMs = 15;
constexpr double kMaxPingMs = 50;

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

double Percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    const auto at = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(at, v.size() - 1)];
}

void WriteFile(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out)
        bench::ThrowSystem("cannot write " + path);
}

bool Judge(bool ok, const std::string &what)
{
    std::printf("  %s    %s\n", ok ? "PASS" : "FAIL", what.c_str());
    return ok;
}

// Counts the received bytes as the session's thread takes them, and when.
struct TakenCounter : core::TrafficListener {
    std::size_t bytes = 0;
    std::vector<Clock::time_point> at;
    void bytesTaken(const std::uint8_t *, std::size_t n, std::int64_t) override
    {
        bytes += n;
        at.push_back(Clock::now());
    }
};

// The parts as `Quorvel --run` makes them.
struct HeadlessParts {
    PortSession port;
    ReceiveView view{port};
    Sender sender{port, view};
    ScriptRunner runner{port, view, sender};
    HeadlessParts()
    {
        port.settings().ComNo = 1;
        port.settings().Parity = "NONE";
        port.settings().StopBits = "1";
        port.settings().Flow = "NONE";
        for (int &shown : view.visible())
            shown = 0;
        runner.setNoticeGap(0);
    }
    ~HeadlessParts()
    {
        runner.shutdown();
        port.close();
        view.shutdown();
    }
};

// Runs a script on the runner to its end; its log lines.
std::vector<std::string> RunToEnd(ScriptRunner &runner, const std::string &path, int timeoutMs)
{
    std::vector<std::string> logs;
    std::optional<ScriptRunner::Outcome> outcome;
    const QMetaObject::Connection logged =
        QObject::connect(&runner, &ScriptRunner::logged, &runner,
                         [&logs](const QByteArray &t) { logs.push_back(t.toStdString()); });
    const QMetaObject::Connection finished =
        QObject::connect(&runner, &ScriptRunner::finished, &runner,
                         [&outcome](const ScriptRunner::Outcome &o) { outcome = o; });
    QString why;
    if (!runner.start(QString::fromStdString(path), &why))
        throw SetupError("the script did not start: " + why.toStdString());
    QElapsedTimer t;
    t.start();
    while (!outcome && t.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    QObject::disconnect(logged);
    QObject::disconnect(finished);
    if (!outcome)
        throw SetupError("the script did not end in time");
    if (outcome->kind != ScriptRunner::Outcome::Kind::Ended)
        throw SetupError("the script did not end normally: " + outcome->message.toStdString());
    return logs;
}

// --- roundtrip --------------------------------------------------------------------------------

int RoundTrip(const std::string &exe, int count)
{
    TempDir dir("quorvel-bench-script");
    const std::string copy = dir.file("Quorvel");
    std::filesystem::copy_file(exe, copy);
    WriteFile(dir.file("Quorvel.ini"), "[PORTS]\r\nCOM1=loopback\r\n");
    const std::string script = dir.file("roundtrip.lua");
    WriteFile(script, "local n = " + std::to_string(count) + R"(
port.write("x") assert(port.expect("x", 2000))
local t0 = port.now()
for i = 1, n do
    port.write("x")
    if not port.expect("x", 2000) then port.fail("round trip " .. i .. " lost") end
end
port.log(string.format("roundtrips %d ms %.3f", n, port.now() - t0))
)");
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    program.setProcessEnvironment(env);
    const auto started = Clock::now();
    program.start(QString::fromStdString(copy), {QStringLiteral("--run"), QString::fromStdString(script)});
    if (!program.waitForFinished(600000))
        throw SetupError("the program did not end");
    const double wallMs = Ms(Clock::now() - started);
    const QString out = QString::fromUtf8(program.readAllStandardOutput());
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral("roundtrips (\\d+) ms ([\\d.]+)")).match(out);
    if (program.exitCode() != 0 || !m.hasMatch())
        throw SetupError("the script failed: " + out.toStdString() +
                         program.readAllStandardError().toStdString());
    const double scriptMs = m.captured(2).toDouble();
    const double rate = count / scriptMs * 1000;

    // The reference: the same round trips from the session's thread, without a script.
    HeadlessParts parts;
    const PortMapFile map("COM1=loopback");
    TakenCounter taken;
    parts.view.stream().subscribe(&taken);
    if (!parts.port.openByHand())
        throw SetupError("the loopback plug did not open");
    parts.port.comm().SetDataNoticeGap(0);
    core::MixSendPlan plan;
    plan.calls.push_back({"x"});
    plan.cells = core::MixSendCells("x");
    plan.sent = true;
    const auto refStart = Clock::now();
    for (int i = 0; i < count; ++i) {
        parts.sender.sendReply(plan);
        while (taken.bytes < static_cast<std::size_t>(i + 1))
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    const double refMs = Ms(Clock::now() - refStart);
    parts.view.stream().unsubscribe(&taken);
    const double refRate = count / refMs * 1000;

    std::printf("round trips on the loopback plug: %d by the script, %zu by the reference\n", count,
                taken.bytes);
    std::printf("  script (Quorvel --run)       %8.0f round trips/s  (%.0f ms; the whole run %.0f ms)\n",
                rate, scriptMs, wallMs);
    std::printf("  reference (no script)        %8.0f round trips/s  (%.0f ms)\n", refRate, refMs);
    std::printf("  script / reference           %8.2f\n", rate / refRate);
    const bool ok =
        Judge(rate >= kMinRoundTripsPerS,
              "at least " + std::to_string(static_cast<int>(kMinRoundTripsPerS)) + " round trips/s");
    return ok ? 0 : 1;
}

// --- latency ----------------------------------------------------------------------------------

// The device: each "Q" gets "R\n" a millisecond later; when its last byte was written, noted.
class AnsweringDevice
{
  public:
    explicit AnsweringDevice(int master) : m_master(master)
    {
        m_thread = std::thread([this] { run(); });
    }
    ~AnsweringDevice()
    {
        m_stop = true;
        m_thread.join();
    }
    std::vector<Clock::time_point> answers()
    {
        const std::lock_guard lock(m_mutex);
        return m_answers;
    }

  private:
    void run()
    {
        while (!m_stop) {
            pollfd p{m_master, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            char buf[256];
            const ssize_t n = ::read(m_master, buf, sizeof buf);
            for (ssize_t i = 0; i < n; ++i) {
                if (buf[i] != 'Q')
                    continue;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                if (::write(m_master, "R\n", 2) != 2)
                    return;
                const std::lock_guard lock(m_mutex);
                m_answers.push_back(Clock::now());
            }
        }
    }

    int m_master;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::vector<Clock::time_point> m_answers;
    std::thread m_thread;
};

int Latency(int count, bool window)
{
    PtyFolder folder;
    if (!folder.ok())
        bench::ThrowSystem("pseudo-terminal or settings file");
    const std::string script = folder.filePath(QStringLiteral("latency.lua")).toStdString();
    WriteFile(script, "local n = " + std::to_string(count) + R"(
local times = {}
for i = 1, n do
    port.write("Q")
    if not port.expect("R\n", 2000) then port.fail("poll " .. i .. " not answered") end
    times[i] = string.format("%.4f", port.now())
    port.sleep(10)
end
port.log(table.concat(times, " "))
)");
    AnsweringDevice device(folder.master());
    TakenCounter taken;
    std::vector<std::string> logs;
    Clock::time_point origin;
    if (window) {
        TForm1 w;
        w.show();
        QElapsedTimer settle;
        settle.start();
        while (settle.elapsed() < 300)
            QCoreApplication::processEvents();
        if (!w.port().isOpen())
            throw SetupError("the window did not open the pseudo-terminal");
        w.view().stream().subscribe(&taken);
        logs = RunToEnd(w.script(), script, count * 50 + 10000);
        origin = w.script().startedAt();
        w.view().stream().unsubscribe(&taken);
        w.close();
    } else {
        HeadlessParts parts;
        if (!parts.port.openByHand())
            throw SetupError("the pseudo-terminal did not open");
        parts.view.stream().subscribe(&taken);
        logs = RunToEnd(parts.runner, script, count * 50 + 10000);
        origin = parts.runner.startedAt();
        parts.view.stream().unsubscribe(&taken);
    }
    const std::vector<Clock::time_point> answers = device.answers();
    std::vector<double> returns;
    if (!logs.empty()) {
        std::istringstream in(logs.back());
        double ms = 0;
        while (in >> ms)
            returns.push_back(ms);
    }
    if (returns.size() != answers.size() || returns.size() != static_cast<std::size_t>(count))
        throw SetupError("answers " + std::to_string(answers.size()) + ", returns " +
                         std::to_string(returns.size()));
    std::vector<double> expectMs, takenMs;
    std::size_t t = 0;
    for (std::size_t i = 0; i < answers.size(); ++i) {
        const auto returned = origin + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double, std::milli>(returns[i]));
        expectMs.push_back(Ms(returned - answers[i]));
        // The first take of the session's thread at or after the answer's last byte (the answer
        // may be taken in two pieces: the first counts).
        while (t < taken.at.size() && taken.at[t] < answers[i] - std::chrono::microseconds(200))
            ++t;
        if (t < taken.at.size())
            takenMs.push_back(Ms(taken.at[t] - answers[i]));
    }
    const double median = Percentile(expectMs, 0.5);
    std::printf("expect latency %s, %d polls answered:\n", window ? "in the window" : "without a window",
                count);
    std::printf(
        "  answer's last byte -> expect returns      median %.2f ms, 99th percentile %.2f ms, max %.2f ms\n",
        median, Percentile(expectMs, 0.99), Percentile(expectMs, 1));
    std::printf(
        "  answer's last byte -> taken from the port median %.2f ms, 99th percentile %.2f ms (reference)\n",
        Percentile(takenMs, 0.5), Percentile(takenMs, 0.99));
    const double budget = window ? kMaxMedianWindowMs : kMaxMedianHeadlessMs;
    const bool ok = Judge(median < budget, "median < " + std::to_string(static_cast<int>(budget)) + " ms");
    return ok ? 0 : 1;
}

// --- ping -------------------------------------------------------------------------------------

int Ping(int mib)
{
    if (!bench::PingWanted())
        throw SetupError("no X display to ping on (run under xvfb-run)");
    TempDir dir("quorvel-bench-ping");
    platform::SetExePathForTesting(dir.file("Quorvel"));
    WriteFile(dir.file("Quorvel.ini"), "[PORTS]\r\nCOM1=loopback\r\n");
    const std::string line = "\"" + std::string(1024, 'x') + "\"\n";
    std::string lines;
    for (int i = 0; i < mib * 1024; ++i)
        lines += line;
    WriteFile(dir.file("lines.txt"), lines);
    WriteFile(dir.file("send.lua"), "local block = string.rep('y', 1024)\nfor i = 1, " +
                                        std::to_string(mib * 1024) +
                                        " do port.write(block) end\nport.sleep(200)\n");
    const std::size_t total = static_cast<std::size_t>(mib) << 20;

    struct Phase {
        const char *name;
        bench::PingFigures ping;
        std::size_t arrived = 0;
        double ms = 0;
    };
    std::vector<Phase> phases;
    {
        TForm1 w;
        w.show();
        QElapsedTimer settle;
        settle.start();
        while (settle.elapsed() < 500)
            QCoreApplication::processEvents();
        if (!w.port().isOpen())
            throw SetupError("the window did not open the loopback plug");
        TakenCounter taken;
        w.view().stream().subscribe(&taken);
        const auto measure = [&](const char *name, const std::function<void()> &work) {
            bench::WindowPinger pinger(::getpid(), Clock::now() + std::chrono::seconds(5));
            taken.bytes = 0;
            const auto started = Clock::now();
            pinger.start();
            work();
            // What is still on its way back is counted too.
            QElapsedTimer rest;
            rest.start();
            while (rest.elapsed() < 1000 && taken.bytes < total && std::string(name) != "idle")
                QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            phases.push_back({name, pinger.stop(), taken.bytes, Ms(Clock::now() - started)});
        };
        measure("idle", [] {
            QElapsedTimer t;
            t.start();
            while (t.elapsed() < 2000)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        });
        measure("continuous output", [&] { w.PlayOutFile(QString::fromStdString(dir.file("lines.txt"))); });
        measure("script", [&] { RunToEnd(w.script(), dir.file("send.lua"), 120000); });
        w.view().stream().unsubscribe(&taken);
        w.close();
    }
    platform::SetExePathForTesting(std::string());
    std::printf("window ping while the window sends %d MiB on the loopback plug:\n", mib);
    bool ok = true;
    for (const Phase &p : phases) {
        std::printf(
            "  %-18s %6.0f ms, %9zu bytes back, pings: %zu, median %.2f ms, max %.2f ms, %d unanswered\n",
            p.name, p.ms, p.arrived, p.ping.ms.size(), Percentile(p.ping.ms, 0.5), Percentile(p.ping.ms, 1),
            p.ping.unanswered);
        if (std::string(p.name) != "idle")
            ok = Judge(p.arrived == total, std::string(p.name) + ": every byte came back") && ok;
    }
    const Phase &script = phases.back();
    ok = Judge(script.ping.unanswered == 0 && Percentile(script.ping.ms, 1) < kMaxPingMs,
               "script: ping max < 50 ms") &&
         ok;
    return ok ? 0 : 1;
}

int Number(const char *text, const char *option)
{
    const int n = std::atoi(text);
    if (n <= 0)
        throw SetupError(std::string(option) + " needs a number above 0");
    return n;
}

} // namespace

int main(int argc, char *argv[])
{
    const std::string mode = argc > 1 ? argv[1] : "";
    std::string exe;
    int count = mode == "latency" ? 1000 : 10000;
    int mib = 1;
    bool window = false;
    for (int i = 2; i < argc; ++i) {
        const bool value = i + 1 < argc;
        if (std::strcmp(argv[i], "--exe") == 0 && value)
            exe = argv[++i];
        else if (std::strcmp(argv[i], "--count") == 0 && value)
            count = Number(argv[++i], "--count");
        else if (std::strcmp(argv[i], "--mib") == 0 && value)
            mib = Number(argv[++i], "--mib");
        else if (std::strcmp(argv[i], "--window") == 0)
            window = true;
    }
    try {
        if (mode == "roundtrip") {
            if (exe.empty())
                throw SetupError("roundtrip needs --exe (the Quorvel program)");
            QCoreApplication app(argc, argv);
            return RoundTrip(exe, count);
        }
        if (mode == "latency" && !window) {
            QCoreApplication app(argc, argv);
            return Latency(count, false);
        }
        if (mode == "latency" || mode == "ping") {
            if (mode == "latency" && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
                qputenv("QT_QPA_PLATFORM", "offscreen");
            QApplication app(argc, argv);
            const int status = mode == "ping" ? Ping(mib) : Latency(count, true);
            TCustomCommX::WaitForWorkers(3000);
            return status;
        }
        std::fprintf(stderr, "usage: bench_script roundtrip --exe PATH [--count N] | latency [--count N] "
                             "[--window] | ping [--mib M]\n");
        return 2;
    } catch (const SetupError &e) {
        std::fprintf(stderr, "bench_script: %s\n", e.what());
        return 2;
    }
}
