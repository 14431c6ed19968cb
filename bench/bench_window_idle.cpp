// SPDX-License-Identifier: MIT
// What an open window costs when little or nothing happens: the real program on a pseudo-terminal
// with nothing arriving, then receiving text lines at 115 200 baud, once alone and once as eight
// programs side by side (a bench with a window per port).
//
// Usage: bench_window_idle --exe PATH [--seconds N] [--windows N]
//   --seconds (default 30): how long each phase is measured, after a settling time.
//   --windows (default 8): how many programs run side by side in the last phase.
//   --idle-only 1: only the first phase.
// Figures, from /proc: the CPU time of all the program's threads as a share of one core, and its
// wake-ups a second (the voluntary context switches of all its threads). The paced phases also count what
// arrived: each program's own statistics must show every byte written to it.
// Budgets: idle, at most 0.3 % of a core; the programs side by side together at most their
// number times the one alone.
// Exit status: 0 when every budget holds, 1 when one fails, 2 when the run could not be set up.
#include "ChildProcess.h"
#include "ProcFs.h"
#include "ProgramStart.h"
#include "PtyPair.h"
#include "SetupError.h"
#include "StatsLog.h"
#include "TempDir.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using namespace bench;

namespace
{

constexpr double kMaxIdleCoreShare = 0.003;
// 115 200 baud with 8N1 framing: 11 520 bytes a second, in 60-byte lines.
constexpr double kBytesPerSecond = 11520;
constexpr std::size_t kLineBytes = 60;
constexpr auto kSettle = 3s;

struct Options {
    std::string exe;
    double seconds = 30;
    int windows = 8;
    bool idleOnly = false;
};

[[noreturn]] void Usage(const std::string &why)
{
    std::cerr << "bench_window_idle: " << why
              << "\nUsage: bench_window_idle --exe PATH [--seconds N] [--windows N] [--idle-only 1]\n";
    std::exit(2);
}

Options Parse(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc)
            Usage(a + " needs a value");
        const std::string v = argv[++i];
        char *end = nullptr;
        const double n = std::strtod(v.c_str(), &end);
        const bool number = end != v.c_str() && *end == '\0' && n > 0;
        if (a == "--exe")
            o.exe = v;
        else if (a == "--seconds" && number)
            o.seconds = n;
        else if (a == "--idle-only" && number)
            o.idleOnly = true;
        else if (a == "--windows" && number && n == static_cast<int>(n))
            o.windows = static_cast<int>(n);
        else
            Usage("bad option " + a + " " + v);
    }
    if (o.exe.empty())
        Usage("--exe is needed");
    return o;
}

// Voluntary context switches of all the process's threads: each is a sleep that something had
// to end. The others are other programs taking the core, not wake-ups.
unsigned long long Switches(pid_t pid)
{
    unsigned long long total = 0;
    std::error_code ec;
    for (const auto &task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                total += std::stoull(line.substr(line.find(':') + 1));
    }
    return total;
}

// One program on a pseudo-terminal of its own, in a folder of its own.
struct Window {
    PtyPair pty{true};
    TempDir dir{"quorvel-idle"};
    std::unique_ptr<Child> program;
    std::size_t written = 0;

    Window(const std::string &exe, bool stats)
    {
        if (!pty.ok())
            ThrowSystem("cannot open a pseudo-terminal");
        // Line-break mode CR LF, as a device's text lines come.
        program = StartPortable(exe, dir.path(),
                                "[RecvSet]\r\nRETCODE=2\r\n[PORTS]\r\nCOM1=" + pty.slavePath() + "\r\n",
                                pty.slavePath(), stats);
    }
    // The most bytes its statistics have shown received.
    unsigned long long received() const
    {
        unsigned long long most = 0;
        std::ifstream log(dir.path() / "stderr.log");
        for (std::string line; std::getline(log, line);)
            if (const auto stats = StatsLine::find(line))
                most = std::max<unsigned long long>(most, stats->number("received").value_or(0));
        return most;
    }
};

struct Figures {
    double coreShare = 0; // CPU seconds per second, all programs together
    double wakeUps = 0;   // a second, all programs together
    bool allArrived = true;
};

// Measures `windows` for `seconds`; with `paced`, each gets numbered text lines at 115 200 baud
// on an absolute schedule meanwhile.
Figures Measure(std::vector<std::unique_ptr<Window>> &windows, double seconds, bool paced)
{
    std::atomic<bool> stop{false};
    std::thread writer;
    if (paced)
        writer = std::thread([&] {
            const auto every = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(kLineBytes / kBytesPerSecond));
            auto next = Clock::now();
            for (std::size_t n = 0; !stop.load(); ++n) {
                char line[kLineBytes + 16];
                std::snprintf(line, sizeof line, "%010zu ABCDEFGHIJKLMNOPQRSTUVWXYZ abcdefghijklmnopqrst\r\n",
                              n % 10000000000);
                for (auto &w : windows)
                    if (::write(w->pty.master(), line, kLineBytes) == static_cast<ssize_t>(kLineBytes))
                        w->written += kLineBytes;
                next += every;
                std::this_thread::sleep_until(next);
            }
        });
    std::this_thread::sleep_for(kSettle);
    double cpu = 0;
    unsigned long long switches = 0;
    for (auto &w : windows) {
        cpu -= CpuSeconds(w->program->pid());
        switches -= Switches(w->program->pid());
    }
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    for (auto &w : windows) {
        cpu += CpuSeconds(w->program->pid());
        switches += Switches(w->program->pid());
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    stop = true;
    if (writer.joinable())
        writer.join();
    Figures f;
    f.coreShare = cpu / elapsed;
    f.wakeUps = static_cast<double>(switches) / elapsed;
    if (paced) {
        std::this_thread::sleep_for(1500ms); // the statistics come once a second
        for (auto &w : windows)
            f.allArrived = f.allArrived && w->received() == w->written;
    }
    return f;
}

bool Check(const char *what, bool ok, const std::string &detail)
{
    std::printf("  %s    %-44s %s\n", ok ? "PASS" : "FAIL", what, detail.c_str());
    return ok;
}

std::string Percent(double share)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.3f %% of a core", share * 100);
    return text;
}

} // namespace

int main(int argc, char **argv)
{
    const Options opt = Parse(argc, argv);
    try {
        bool ok = true;
        {
            std::vector<std::unique_ptr<Window>> one;
            one.push_back(std::make_unique<Window>(opt.exe, false));
            const Figures idle = Measure(one, opt.seconds, false);
            std::printf("idle       %s, %.1f wake-ups a second\n", Percent(idle.coreShare).c_str(),
                        idle.wakeUps);
            ok &= Check("idle window <= 0.3 % of a core", idle.coreShare <= kMaxIdleCoreShare,
                        Percent(idle.coreShare));
        }
        if (opt.idleOnly)
            return ok ? 0 : 1;
        std::vector<std::unique_ptr<Window>> one;
        one.push_back(std::make_unique<Window>(opt.exe, true));
        const Figures alone = Measure(one, opt.seconds, true);
        one.clear();
        std::printf("1 paced    %s, %.1f wake-ups a second\n", Percent(alone.coreShare).c_str(),
                    alone.wakeUps);
        std::vector<std::unique_ptr<Window>> many;
        for (int i = 0; i < opt.windows; ++i)
            many.push_back(std::make_unique<Window>(opt.exe, true));
        const Figures side = Measure(many, opt.seconds, true);
        std::printf("%d paced    %s, %.1f wake-ups a second\n", opt.windows, Percent(side.coreShare).c_str(),
                    side.wakeUps);
        ok &= Check("every byte arrived", alone.allArrived && side.allArrived, "");
        char ratio[96];
        std::snprintf(ratio, sizeof ratio, "%.2f times one", side.coreShare / alone.coreShare);
        ok &= Check("side by side <= their number times one", side.coreShare <= opt.windows * alone.coreShare,
                    ratio);
        return ok ? 0 : 1;
    } catch (const SetupError &e) {
        std::cerr << "bench_window_idle: " << e.what() << "\n";
        return 2;
    }
}
