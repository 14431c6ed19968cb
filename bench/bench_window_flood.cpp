// SPDX-License-Identifier: MIT
// End-to-end receive benchmark: runs the real program on a pseudo-terminal, floods it with 60-byte
// text lines (58 bytes and CR LF, a counter making every line different), waits until the
// program's own statistics show that it has taken in every byte, and checks the figures against
// their budgets. The program logs those statistics under the category "quorvel.stats" (bytes
// received, bytes the ring dropped, tick durations, the last line of the TEXT page ...).
//
// Usage: bench_window_flood --exe PATH [--rate BYTES_PER_SECOND] [--write-size BYTES]
//                           [--seconds N | --mib N] [--mode 0|1|2] [--timeout SECONDS]
//                           [--cat | --cat-only] [--cat-lines raw|new]
//                           [--logging-exe PATH [--pairs N]] [--rules FILE [--pairs N]]
//                           [--via rfc2217|tcp [--pairs N] [--ser2net-option NAME:VALUE ...]]
//   --rate 0 (the default) writes as fast as the reader takes the bytes. With a rate, the bytes go
//     in 10 ms slices, or with --write-size in writes of that many bytes, evenly spaced (rate /
//     size writes a second); without a rate --write-size only caps the size of each write.
//   --seconds (default 30) or --mib: how much is written; the last line always goes out whole.
//   --timeout (default 120): how long to wait after the last byte for the reader to catch up.
//   --cat: after the program, the same bytes with the same pacing to /bin/cat on the same
//     pseudo-terminal, as the CPU cost of a reader that only reads. --cat-lines raw (the default:
//     no echo, bytes as they come) or new (the settings a new pseudo-terminal has: line by line,
//     with echo, as `cat /dev/pts/N` typed at a shell reads).
//   --cat-only: only the cat run; no --exe needed.
//   --logging-exe: after the program, the same bytes to this build of it (bench/quorvel_logging:
//     the time column shown, the traffic log running). Paced, its CPU per MiB may be at most 25 %
//     more than the program's; unpaced, it must keep up at 15 MB/s with pings under 100 ms; its
//     log must hold every line written, whole and in order.
//   --pairs (default 1): runs of the program and of the logging build (or with the rules, or
//     through ser2net and the socket reader), alternately, on the same bytes. A run's CPU time
//     varies by a tenth or more on a shared machine, and ser2net's rate by a third, so the budgets
//     are checked on the median of the pairs' ratios; each run is checked whole on its own.
//   --ser2net-option (with --via, repeatable): an option of ser2net's connection, as
//     "dev-to-net-bufsize:65536"; its defaults otherwise.
// Figures: the time from the first byte until the program's statistics first show every byte
// received (and MB/s over that time), the program's CPU seconds per MiB, its resident memory
// sampled every 100 ms, and the last line of its TEXT page against the last line written.
// The display is whatever the environment gives: under X11 (xvfb-run -a) a thread also pings the
// program's window with _NET_WM_PING every 20 ms during the flood and times the replies, which
// the window's event loop sends; with QT_QPA_PLATFORM=offscreen there is no window to ping.
// Exit status: 0 when every budget holds, 1 when one fails or cannot be shown, 2 when the run
// could not be set up.
#include "ChildProcess.h"
#include "FileDescriptor.h"
#include "PageTable.h"
#include "ProcFs.h"
#include "ProgramStart.h"
#include "PtyPair.h"
#include "ScriptedServer.h"
#include "Ser2net.h"
#include "SetupError.h"
#include "StatsLog.h"
#include "TempDir.h"
#include "WindowPing.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <string_view>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using namespace bench;

namespace
{

constexpr std::size_t kLineBytes = 60;
constexpr std::size_t kPayloadBytes = 58;
constexpr double kMiB = 1048576.0;
// After the reader has caught up, its last repaint and timer ticks still belong to the bytes.
constexpr auto kSettle = 1s;
constexpr double kMinFloodMBps = 20;
constexpr double kMaxPingMs = 50;
constexpr double kMaxRssMB = 150;
// With the time column and the log: a flood at the rate of the fastest high-speed CDC-ACM
// boards, the window answering within a tenth of a second, and paced traffic (the log writes
// about ten times the bytes) at most a quarter dearer.
constexpr double kMinLoggedFloodMBps = 15;
constexpr double kMaxLoggedPingMs = 100;
constexpr double kMaxLoggingCpuRatio = 1.25;
// Automatic-reply rules that match nothing cost at most a tenth more, paced.
constexpr double kMaxRulesCpuRatio = 1.10;
// Through ser2net: at least nine tenths of the rate ser2net gives a plain socket reader, and at
// most 1.3 times the CPU per MiB of the flood from the pseudo-terminal itself.
constexpr double kMinRemoteRateShare = 0.9;
constexpr double kMaxRemoteCpuRatio = 1.3;

// The flood's lines end in two 0xFF bytes in the runs through ser2net: Telnet doubles them.
bool g_ffInLines = false;

struct Options {
    std::string exe;
    double rate = 0;           // bytes per second; 0: as fast as the reader takes them
    std::size_t writeSize = 0; // with a rate: bytes per write, evenly spaced; 0: 10 ms slices
    double seconds = 30;
    double mib = 0; // when set, stop after this much instead of after `seconds`
    int mode = 2;   // line-break mode of the program
    double timeout = 120;
    bool cat = false;
    bool catOnly = false;
    bool catRaw = true; // --cat-lines raw (the default) or new
    std::string loggingExe;
    std::string rules; // an AutoReply.ini to run the program with, against the same without
    // Through ser2net on 127.0.0.1 over RFC 2217 or raw TCP, against the program on the
    // pseudo-terminal itself and a plain socket reader through the same ser2net.
    std::string via;
    std::vector<std::string> ser2netOptions; // "name: value" each, for its connection
    int pairs = 1;
};

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

std::string Format(const char *format, auto... values)
{
    char text[512];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

// --- Options ---------------------------------------------------------------------------------

[[noreturn]] void Usage(const std::string &problem)
{
    std::cerr
        << "bench_window_flood: " << problem << "\n"
        << "usage: bench_window_flood --exe PATH [--rate B/s] [--write-size B] [--seconds N | --mib N]\n"
        << "                          [--mode M] [--timeout S] [--cat | --cat-only] [--cat-lines raw|new]\n"
        << "                          [--logging-exe PATH [--pairs N]] [--rules FILE [--pairs N]]\n"
        << "                          [--via rfc2217|tcp [--pairs N] [--ser2net-option NAME:VALUE ...]]\n";
    std::exit(2);
}

double NonNegative(const std::string &option, const std::string &text)
{
    try {
        std::size_t used = 0;
        const double value = std::stod(text, &used);
        if (used == text.size() && value >= 0 && std::isfinite(value))
            return value;
    } catch (const std::logic_error &) {
    }
    Usage("bad value for " + option + ": " + text);
}

Options Parse(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&] {
            if (i + 1 >= argc)
                Usage("missing value after " + a);
            return std::string(argv[++i]);
        };
        auto number = [&] { return NonNegative(a, next()); };
        if (a == "--exe")
            o.exe = next();
        else if (a == "--rate")
            o.rate = number();
        else if (a == "--write-size")
            o.writeSize = static_cast<std::size_t>(number());
        else if (a == "--seconds")
            o.seconds = number();
        else if (a == "--mib")
            o.mib = number();
        else if (a == "--mode")
            o.mode = static_cast<int>(number());
        else if (a == "--timeout")
            o.timeout = number();
        else if (a == "--cat")
            o.cat = true;
        else if (a == "--cat-only")
            o.cat = o.catOnly = true;
        else if (a == "--cat-lines") {
            const std::string v = next();
            if (v != "raw" && v != "new")
                Usage("--cat-lines is raw or new");
            o.catRaw = v == "raw";
        } else if (a == "--via") {
            o.via = next();
            if (o.via != "rfc2217" && o.via != "tcp")
                Usage("--via takes rfc2217 or tcp");
        } else if (a == "--ser2net-option") {
            const std::string v = next();
            const auto colon = v.find(':');
            if (colon == std::string::npos || colon == 0)
                Usage("--ser2net-option takes name:value");
            o.ser2netOptions.push_back(v.substr(0, colon) + ": " + v.substr(colon + 1));
        } else if (a == "--rules")
            o.rules = next();
        else if (a == "--logging-exe")
            o.loggingExe = next();
        else if (a == "--pairs")
            o.pairs = std::max(1, static_cast<int>(number()));
        else
            Usage("unknown option " + a);
    }
    if (o.exe.empty() && !o.catOnly)
        Usage("--exe is needed (unless --cat-only)");
    return o;
}

// The pseudo-terminal every run reads from. Non-blocking: the flood's writes and the drain of
// what comes back return at once, so that a reader that stops taking bytes is noticed.
struct Pty {
    PtyPair pair{true};
    termios created{}; // the line settings the pseudo-terminal was created with

    Pty()
    {
        if (!pair.ok())
            ThrowSystem("cannot open a pseudo-terminal");
        if (tcgetattr(pair.master(), &created) != 0)
            ThrowSystem("tcgetattr");
    }
    int master() const { return pair.master(); }
    const std::string &slave() const { return pair.slavePath(); }
};

// --- The flood -------------------------------------------------------------------------------

// Line i: its number in ten digits, letters up to 58 bytes, CR LF.
std::string Line(std::size_t i)
{
    char number[24];
    std::snprintf(number, sizeof number, "%010zu", i);
    std::string line =
        std::string(number) + " ABCDEFGHIJKLMNOPQRSTUVWXYZ abcdefghijklmnopqrstuvwxyz0123456789";
    line.resize(kPayloadBytes);
    if (g_ffInLines)
        line[kPayloadBytes - 2] = line[kPayloadBytes - 1] = '\xff';
    return line + "\r\n";
}

std::size_t RoundUpToLine(std::size_t bytes)
{
    return (bytes + kLineBytes - 1) / kLineBytes * kLineBytes;
}

// The flood's bytes by offset, made a block of lines at a time (a 100 MiB flood is not held whole).
class LineSource
{
  public:
    std::string_view at(std::size_t offset, std::size_t max)
    {
        const std::size_t first = m_firstLine * kLineBytes;
        if (offset < first || offset >= first + m_block.size()) {
            m_firstLine = offset / kLineBytes;
            m_block.clear();
            for (std::size_t i = 0; i < kBlockLines; ++i)
                m_block += Line(m_firstLine + i);
        }
        return std::string_view(m_block).substr(offset - m_firstLine * kLineBytes, max);
    }

  private:
    static constexpr std::size_t kBlockLines = 1024;
    std::size_t m_firstLine = 0;
    std::string m_block;
};

// Waits until the pacing lets more bytes go and says how many, `sent` bytes into the flood.
std::size_t WaitForAllowance(const Options &o, Clock::time_point start, std::size_t sent)
{
    if (o.rate <= 0)
        return o.writeSize > 0 ? o.writeSize : std::numeric_limits<std::size_t>::max();
    if (o.writeSize > 0) {
        // Write k is due k * size / rate after the start; a write the reader took only in part
        // is finished before the next one is due.
        const std::size_t k = sent / o.writeSize;
        std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(
                                                  std::chrono::duration<double>(k * o.writeSize / o.rate)));
        return (k + 1) * o.writeSize - sent;
    }
    // 10 ms slices, as a device streaming at that rate delivers it: bytes come in bursts, not
    // one write per line.
    for (;;) {
        const double slices = std::floor(Seconds(Clock::now() - start) * 100);
        const double allowed = o.rate * (slices + 1) / 100 - static_cast<double>(sent);
        if (allowed >= 1)
            return static_cast<std::size_t>(allowed);
        std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(
                                                  std::chrono::duration<double>((slices + 1) / 100)));
    }
}

struct Flood {
    std::size_t written = 0;
    Clock::time_point firstByte;
    Clock::time_point end;
    std::string error; // why it stopped early
};

// Nothing is expected back from the reader; draining keeps the pty from filling if it echoes.
void DrainMaster(int master)
{
    char sink[4096];
    while (read(master, sink, sizeof sink) > 0) {
    }
}

// Writes `limit` bytes of lines into the master side with the pacing asked for, or with limit 0
// for `seconds` and then to the end of the line in progress.
Flood RunFlood(int master, const Options &o, std::size_t limit, const std::function<bool()> &readerAlive)
{
    LineSource source;
    Flood f;
    const auto start = Clock::now();
    f.firstByte = start; // until there is one
    auto progress = start;
    std::size_t end = limit > 0 ? limit : std::numeric_limits<std::size_t>::max();
    for (;;) {
        if (limit == 0 && Seconds(Clock::now() - start) >= o.seconds)
            end = std::min(end, RoundUpToLine(f.written));
        if (f.written >= end)
            break;
        const std::size_t want = std::min(WaitForAllowance(o, start, f.written), end - f.written);
        pollfd p{master, POLLOUT, 0};
        ssize_t n = 0;
        auto before = Clock::now();
        if (poll(&p, 1, 100) > 0 && (p.revents & POLLOUT)) {
            const std::string_view bytes = source.at(f.written, want);
            before = Clock::now();
            n = write(master, bytes.data(), bytes.size());
        }
        if (n > 0) {
            if (f.written == 0)
                f.firstByte = before;
            f.written += static_cast<std::size_t>(n);
            progress = Clock::now();
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            f.error = std::string("write: ") + std::strerror(errno);
            break;
        } else if (!readerAlive()) {
            f.error = "the reader ended during the flood";
            break;
        } else if (Seconds(Clock::now() - progress) > o.timeout) {
            f.error = Format("the reader took no byte for %.0f s", o.timeout);
            break;
        }
        DrainMaster(master);
    }
    f.end = Clock::now();
    return f;
}

std::size_t LimitBytes(const Options &o)
{
    return o.mib > 0 ? RoundUpToLine(static_cast<std::size_t>(std::ceil(o.mib * kMiB))) : 0;
}

// --- The program's statistics ----------------------------------------------------------------

// Watches the program during the run from a thread of its own: its statistics as they appear in
// its log, stamped with the bench's clock, and its resident memory every 100 ms.
class Monitor
{
  public:
    Monitor(pid_t pid, const fs::path &log) : m_pid(pid), m_tail(log.string()), m_thread([this] { run(); }) {}
    Monitor(const Monitor &) = delete;
    Monitor &operator=(const Monitor &) = delete;
    ~Monitor() { stop(); }

    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }

    // When the first line showing at least `bytes` received appeared.
    std::optional<Clock::time_point> firstReceived(unsigned long long bytes) const
    {
        std::lock_guard lock(m_mutex);
        for (const auto &seen : m_seen)
            if (seen.line.number("received").value_or(0) >= bytes)
                return seen.at;
        return std::nullopt;
    }

    std::vector<StatsLine> lines() const
    {
        std::lock_guard lock(m_mutex);
        std::vector<StatsLine> lines;
        for (const auto &seen : m_seen)
            lines.push_back(seen.line);
        return lines;
    }

    long rssMaxKiB() const { return m_rssMax; }

  private:
    void run()
    {
        auto nextSample = Clock::now();
        do {
            collect();
            if (Clock::now() >= nextSample) {
                m_rssMax = std::max<long>(m_rssMax, ResidentKiB(m_pid));
                nextSample += 100ms;
            }
            std::this_thread::sleep_for(5ms);
        } while (!m_stop);
        collect();
    }

    void collect()
    {
        for (const auto &text : m_tail.newLines()) {
            auto line = StatsLine::find(text);
            if (!line)
                continue;
            std::lock_guard lock(m_mutex);
            m_seen.push_back({Clock::now(), std::move(*line)});
        }
    }

    struct Seen {
        Clock::time_point at; // when the bench found it in the log
        StatsLine line;
    };

    pid_t m_pid;
    LogTail m_tail;
    mutable std::mutex m_mutex;
    std::vector<Seen> m_seen;
    std::atomic<long> m_rssMax = 0;
    std::atomic<bool> m_stop = false;
    std::thread m_thread;
};

// --- The runs --------------------------------------------------------------------------------

struct ReaderRun {
    Flood flood;
    std::optional<double> caughtUpSeconds; // from the first byte
    double cpu = 0;                        // user + system seconds, the flood and the settling
    bool survived = false;                 // still running when its figures were taken
    std::string ending;                    // how it ended when it was closed
};

using CatchUpProbe = std::function<std::optional<Clock::time_point>()>;

// Floods the reader, waits until `probe` says when it had every byte (or the time-out), lets it
// settle and takes its CPU time. `caughtUp` runs as soon as the waiting is over.
ReaderRun MeasureReader(
    const Options &o, Pty &pty, std::size_t limit, Child &reader,
    const std::function<CatchUpProbe(const Flood &)> &makeProbe,
    const std::function<void()> &caughtUp = [] {})
{
    ReaderRun run;
    const double cpuStart = CpuSeconds(reader.pid());
    run.flood = RunFlood(pty.master(), o, limit, [&] { return reader.running(); });
    const CatchUpProbe probe = makeProbe(run.flood);
    const auto deadline =
        run.flood.end + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.timeout));
    for (;;) {
        if (const auto at = probe()) {
            run.caughtUpSeconds = Seconds(*at - run.flood.firstByte);
            break;
        }
        if (!reader.running() || Clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(5ms);
    }
    caughtUp();
    std::this_thread::sleep_for(kSettle);
    run.survived = reader.running();
    run.cpu = CpuSeconds(reader.pid()) - cpuStart;
    reader.terminate();
    run.ending = reader.ending();
    return run;
}

// What the traffic log of a run holds, read after the program has ended.
struct LogFigures {
    std::string file;
    std::size_t lines = 0;
    std::size_t matching = 0; // lines that are the written line of their number, received
    std::string first;
    std::string last;
    std::string error;
};

struct ProgramRun {
    ReaderRun reader;
    std::vector<StatsLine> stats;
    long rssMaxKiB = 0;
    long rssCaughtUpKiB = 0;
    std::optional<PingFigures> ping; // when there is a display to ping on
    std::optional<LogFigures> log;   // with the logging build
};

// The CHAR page's cells of a written line: what its log line holds after the "|".
std::string CharCells(const std::string &line)
{
    std::string cells;
    core::AppendRxCells(cells, core::RxCells(core::kPageChar),
                        reinterpret_cast<const std::uint8_t *>(line.data()), line.size());
    return cells;
}

// Every line of the log must be the written line of its number, received: the log holds every
// line, whole and in order.
LogFigures ReadLog(const fs::path &dir)
{
    LogFigures f;
    for (const auto &entry : fs::directory_iterator(dir))
        if (entry.path().filename().string().rfind("Quorvel_", 0) == 0 && entry.path().extension() == ".log")
            f.file = entry.path().string();
    if (f.file.empty()) {
        f.error = "no Quorvel_*.log in " + dir.string();
        return f;
    }
    std::ifstream in(f.file, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line.back() != '\r') {
            f.error = Format("line %zu does not end in CR LF", f.lines + 1);
            break;
        }
        line.pop_back();
        const std::size_t bar = line.rfind('|');
        if (bar != std::string::npos && line.find("[IN ]  ") == 24 &&
            line.compare(bar + 1, std::string::npos, CharCells(Line(f.lines))) == 0)
            ++f.matching;
        if (f.lines == 0)
            f.first = line;
        f.last = std::move(line);
        ++f.lines;
    }
    return f;
}

// `address`: COM1's [PORTS] value when it is not the pseudo-terminal itself; `opener` then is the
// process whose opening of the pseudo-terminal says that the program is connected (ser2net).
std::unique_ptr<Child> StartProgram(const std::string &build, const Options &o, const TempDir &dir,
                                    const std::string &slave, bool rules, const std::string &address = {},
                                    pid_t opener = 0)
{
    if (rules)
        fs::copy_file(o.rules, dir.path() / "AutoReply.ini");
    const std::string ini = "[RecvSet]\r\nRETCODE=" + std::to_string(o.mode) +
                            "\r\n[PORTS]\r\nCOM1=" + (address.empty() ? slave : address) + "\r\n";
    return StartPortable(build, dir.path(), ini, slave, true, opener);
}

ProgramRun RunProgram(const std::string &exe, const Options &o, Pty &pty, std::size_t limit, bool logging,
                      bool rules = false, const std::string &address = {}, pid_t opener = 0)
{
    TempDir dir("quorvel-flood");
    auto program = StartProgram(exe, o, dir, pty.slave(), rules, address, opener);
    // The window's first paint happens right after the port opens; a flood starting in that
    // moment overflows the ring once.
    const auto warmedUp = Clock::now() + 2s;
    ProgramRun run;
    std::unique_ptr<WindowPinger> pinger;
    if (PingWanted()) {
        try {
            pinger = std::make_unique<WindowPinger>(program->pid(), Clock::now() + 20s);
        } catch (const SetupError &e) {
            run.ping = PingFigures{{}, 0, e.what()};
        }
    }
    std::this_thread::sleep_until(warmedUp);

    Monitor monitor(program->pid(), dir.path() / "stderr.log");
    if (pinger)
        pinger->start();
    auto probe = [&](const Flood &f) -> CatchUpProbe {
        return [&monitor, bytes = f.written] { return monitor.firstReceived(bytes); };
    };
    run.reader = MeasureReader(o, pty, limit, *program, probe, [&] {
        if (pinger)
            run.ping = pinger->stop();
        run.rssCaughtUpKiB = std::max(0L, ResidentKiB(program->pid()));
    });
    monitor.stop();
    run.stats = monitor.lines();
    run.rssMaxKiB = std::max(monitor.rssMaxKiB(), run.rssCaughtUpKiB);
    if (logging)
        run.log = ReadLog(dir.path());
    return run;
}

// A plain reader of what ser2net sends: cat with a TCP connection to it as its input. What it
// read, Telnet commands and doubled 0xFF included, comes from /proc; it has all once it read the
// flood's bytes and the doubled 0xFF.
ReaderRun RunSocketReader(const Options &o, Pty &pty, std::size_t limit, std::uint16_t port, pid_t ser2net)
{
    DrainMaster(pty.master());
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto cat = Spawn("/bin/cat", [&] {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        if (s < 0 || connect(s, reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0)
            _exit(3);
        dup2(s, 0);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
    });
    const auto deadline = Clock::now() + 20s;
    while (!HasOpen(ser2net, pty.slave())) {
        if (!cat->running() || Clock::now() > deadline)
            throw SetupError("ser2net did not open " + pty.slave() + " for the socket reader");
        std::this_thread::sleep_for(20ms);
    }
    std::this_thread::sleep_for(300ms);
    const auto readBefore = BytesRead(cat->pid());
    if (!readBefore)
        throw SetupError("/proc/" + std::to_string(cat->pid()) + "/io does not say what cat read");
    const bool telnet = o.via == "rfc2217";
    auto probe = [&](const Flood &f) -> CatchUpProbe {
        const std::size_t wire = f.written + (telnet ? 2 * (f.written / kLineBytes) : 0);
        return [&cat, before = *readBefore, wire]() -> std::optional<Clock::time_point> {
            const auto read = BytesRead(cat->pid());
            if (read && *read - before >= wire)
                return Clock::now();
            return std::nullopt;
        };
    };
    return MeasureReader(o, pty, limit, *cat, probe);
}

// The line settings cat reads with: raw (no echo, every byte as it comes), or those of a newly
// created pseudo-terminal (line by line, with echo), what `cat /dev/pts/N` typed at a shell gets.
void SetCatLines(int fd, bool raw, const termios &created)
{
    termios t = created;
    if (raw) {
        if (tcgetattr(fd, &t) != 0)
            ThrowSystem("tcgetattr");
        cfmakeraw(&t);
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
    }
    if (tcsetattr(fd, TCSANOW, &t) != 0)
        ThrowSystem("tcsetattr");
    tcflush(fd, TCIOFLUSH); // what an earlier reader left behind is not part of this run
}

ReaderRun RunCat(const Options &o, Pty &pty, std::size_t limit)
{
    FileDescriptor slave = OpenOrThrow(pty.slave(), O_RDWR | O_NOCTTY);
    SetCatLines(slave.get(), o.catRaw, pty.created);
    DrainMaster(pty.master());
    auto cat = Spawn("/bin/cat", [&] {
        dup2(slave.get(), 0);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
    });
    // Until it waits in its first read; what its start-up read is not counted.
    std::this_thread::sleep_for(300ms);
    const auto readBefore = BytesRead(cat->pid());
    if (!readBefore)
        throw SetupError("/proc/" + std::to_string(cat->pid()) + "/io does not say what cat read");
    auto probe = [&](const Flood &f) -> CatchUpProbe {
        return [&cat, before = *readBefore, bytes = f.written]() -> std::optional<Clock::time_point> {
            const auto read = BytesRead(cat->pid());
            if (read && *read - before >= bytes)
                return Clock::now();
            return std::nullopt;
        };
    };
    return MeasureReader(o, pty, limit, *cat, probe);
}

// --- Report ----------------------------------------------------------------------------------

class Checks
{
  public:
    // `pass` empty: the figure was not there to judge, which does not count as a pass.
    void add(const std::string &what, const std::string &measured, std::optional<bool> pass)
    {
        m_rows.push_back({what, measured, pass});
    }

    bool allPassed() const
    {
        return std::all_of(m_rows.begin(), m_rows.end(), [](const Row &r) { return r.pass.value_or(false); });
    }

    void print() const
    {
        std::printf("\nsummary\n");
        for (const auto &r : m_rows)
            std::printf("  %-7s %-36s %s\n", r.pass ? (*r.pass ? "PASS" : "FAIL") : "UNKNOWN", r.what.c_str(),
                        r.measured.c_str());
    }

  private:
    struct Row {
        std::string what;
        std::string measured;
        std::optional<bool> pass;
    };
    std::vector<Row> m_rows;
};

double MiB(std::size_t bytes)
{
    return static_cast<double>(bytes) / kMiB;
}

double CpuPerMiB(const ReaderRun &run)
{
    return run.flood.written > 0 ? run.cpu / MiB(run.flood.written) : std::nan("");
}

double MBps(std::size_t bytes, double seconds)
{
    return static_cast<double>(bytes) / std::max(seconds, 1e-9) / 1e6;
}

// What both readers must do: take the whole flood, catch up with it and still be running.
void CheckReader(const char *name, const ReaderRun &run, Checks &checks)
{
    const Flood &f = run.flood;
    std::printf("%-8s written  %.1f MiB (%zu bytes, %zu lines) in %.2f s (%.1f MB/s)\n", name, MiB(f.written),
                f.written, f.written / kLineBytes, Seconds(f.end - f.firstByte),
                MBps(f.written, Seconds(f.end - f.firstByte)));
    if (run.caughtUpSeconds)
        std::printf("%-8s caught up %.2f s after the first byte (%.1f MB/s)\n", name, *run.caughtUpSeconds,
                    MBps(f.written, *run.caughtUpSeconds));
    std::printf("%-8s CPU      %.3f s (user + system), %.4f s per MiB; closed: %s\n", name, run.cpu,
                CpuPerMiB(run), run.ending.c_str());

    const std::string who = name;
    checks.add(who + " took the whole flood", f.error.empty() ? "yes" : f.error, f.error.empty());
    checks.add(who + " caught up",
               run.caughtUpSeconds ? Format("after %.2f s", *run.caughtUpSeconds) : "never",
               run.caughtUpSeconds.has_value());
    checks.add(who + " ran until closed", run.survived ? "yes" : "no, " + run.ending, run.survived);
}

std::string Describe(const std::optional<unsigned long long> &value)
{
    return value ? std::to_string(*value) : "unknown (not logged)";
}

// The program's own account, from the last statistics line it logged (its counters add up).
void CheckStats(const std::vector<StatsLine> &stats, std::size_t written, Checks &checks)
{
    std::printf("program  stats    %zu lines logged", stats.size());
    if (!stats.empty())
        std::printf("; the last: %s", stats.back().text.c_str());
    std::printf("\n");

    const StatsLine none;
    const StatsLine &last = stats.empty() ? none : stats.back();
    const auto received = last.number("received");
    checks.add("received == written", Describe(received) + " of " + std::to_string(written),
               received ? std::optional(*received == written) : std::nullopt);
    const auto dropped = last.number("dropped");
    checks.add("dropped == 0", Describe(dropped), dropped ? std::optional(*dropped == 0) : std::nullopt);

    // The flood ends with a whole line; the TEXT page's last complete line must be that one.
    const std::size_t lines = written / kLineBytes;
    const auto shown = last.textLast();
    const bool showsLast =
        shown && lines > 0 && shown->find(Line(lines - 1).substr(0, kPayloadBytes)) != std::string::npos;
    checks.add("TEXT page shows the last line",
               shown ? "\"" + last.fields.at("text-last") + "\"" : "unknown (not logged)",
               shown ? std::optional(showsLast) : std::nullopt);
}

void CheckPings(const PingFigures &p, double maxMs, Checks &checks)
{
    const std::string what = Format("window ping max <= %.0f ms", maxMs);
    if (!p.error.empty() || p.ms.empty()) {
        const std::string why = p.error.empty() ? "no ping sent" : p.error;
        std::printf("program  pings    none measured: %s\n", why.c_str());
        checks.add(what, why, false);
        return;
    }
    std::vector<double> sorted = p.ms;
    std::sort(sorted.begin(), sorted.end());
    const double median = sorted[sorted.size() / 2];
    std::printf("program  pings    %zu sent, %d unanswered within %.0f s, median %.2f ms, max %.2f ms\n",
                sorted.size(), p.unanswered, std::chrono::duration<double>(WindowPinger::kGiveUp).count(),
                median, sorted.back());
    checks.add(what, Format("%.2f ms (median %.2f ms, %d unanswered)", sorted.back(), median, p.unanswered),
               sorted.back() <= maxMs);
}

// `logged`: the logging build (its own rate and ping budgets); `remote`: through ser2net, whose
// rate is checked against a socket reader's instead.
void CheckProgram(const Options &o, const ProgramRun &run, bool logged, Checks &checks, bool remote = false)
{
    const ReaderRun &r = run.reader;
    CheckReader("program", r, checks);
    const double rssMB = static_cast<double>(run.rssMaxKiB) * 1024 / 1e6;
    std::printf("program  memory   %.1f MB at most (sampled every 100 ms), %.1f MB when caught up\n", rssMB,
                static_cast<double>(run.rssCaughtUpKiB) * 1024 / 1e6);
    CheckStats(run.stats, r.flood.written, checks);
    if (o.rate <= 0 && !remote) {
        const double mbps = r.caughtUpSeconds ? MBps(r.flood.written, *r.caughtUpSeconds) : 0;
        const double least = logged ? kMinLoggedFloodMBps : kMinFloodMBps;
        checks.add(Format("unpaced flood >= %.0f MB/s", least),
                   r.caughtUpSeconds ? Format("%.1f MB/s", mbps) : "never caught up", mbps >= least);
    }
    checks.add(Format("resident memory < %.0f MB", kMaxRssMB), Format("%.1f MB at most", rssMB),
               rssMB < kMaxRssMB);
    if (run.ping)
        CheckPings(*run.ping, logged ? kMaxLoggedPingMs : kMaxPingMs, checks);
    else
        std::printf("program  pings    none: no X11 display to ping the window on\n");
}

void CheckLog(const ProgramRun &logged, Checks &checks)
{
    const std::size_t lines = logged.reader.flood.written / kLineBytes;
    const LogFigures none{"", 0, 0, "", "", "no log read"};
    const LogFigures &log = logged.log ? *logged.log : none;
    std::printf("logging  log      %s: %zu lines, %zu of them the written line of their number\n",
                log.file.c_str(), log.lines, log.matching);
    std::printf("logging  first    %s\nlogging  last     %s\n", log.first.c_str(), log.last.c_str());
    checks.add("log holds every line written, in order",
               log.error.empty() ? Format("%zu of %zu lines", log.matching, lines) : log.error,
               log.error.empty() && log.lines == lines && log.matching == lines);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The ratios of pairs of figures (without, with), each printed as `what`; the budget holds for
// their median when `atMost`, else for at least the budget.
void CheckPairs(const std::string &name, const std::string &what, const char *unit,
                const std::vector<std::pair<double, double>> &pairs, double budget, bool atMost,
                Checks &checks)
{
    std::vector<double> ratios;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        const auto [without, with] = pairs[i];
        ratios.push_back(with / without);
        std::printf("%-16s pair %zu: %.4f %s against %.4f %s, ratio %.3f\n", what.c_str(), i + 1, with, unit,
                    without, unit, with / without);
    }
    const double median = Median(ratios);
    const auto [lowest, highest] = std::minmax_element(ratios.begin(), ratios.end());
    std::printf("%-16s ratio over %zu pairs: median %.3f, from %.3f to %.3f\n", what.c_str(), ratios.size(),
                median, *lowest, *highest);
    checks.add(name,
               pairs.size() == 1 ? Format("%.4f %s against %.4f %s (%.3f times)", pairs[0].second, unit,
                                          pairs[0].first, unit, median)
                                 : Format("median of %zu pairs %.3f times (%.3f to %.3f)", pairs.size(),
                                          median, *lowest, *highest),
               atMost ? median <= budget : median >= budget);
}

void CheckCat(const ReaderRun &cat, const std::optional<ProgramRun> &program, Checks &checks)
{
    CheckReader("cat", cat, checks);
    if (!program)
        return;
    const double ours = CpuPerMiB(program->reader);
    const double theirs = CpuPerMiB(cat);
    std::printf("CPU per MiB      program %.4f s, cat %.4f s, program / cat %.2f\n", ours, theirs,
                ours / theirs);
    checks.add("program CPU/MiB <= cat CPU/MiB",
               Format("%.4f s against %.4f s (%.2f times)", ours, theirs, ours / theirs), ours <= theirs);
}

} // namespace

int main(int argc, char **argv)
{
    const Options opt = Parse(argc, argv);
    g_ffInLines = !opt.via.empty();
    std::signal(SIGPIPE, SIG_IGN);
    try {
        Pty pty;
        Checks checks;
        std::optional<ProgramRun> program;
        if (!opt.catOnly) {
            program = RunProgram(opt.exe, opt, pty, LimitBytes(opt), false);
            CheckProgram(opt, *program, false, checks);
        }
        if (program && !opt.loggingExe.empty()) {
            // The same bytes as the program had.
            const std::size_t limit =
                program->reader.flood.written > 0 ? program->reader.flood.written : LimitBytes(opt);
            std::vector<std::pair<double, double>> pairs;
            for (int i = 0; i < opt.pairs; ++i) {
                if (i > 0) {
                    std::printf("\nthe program again (pair %d of %d)\n", i + 1, opt.pairs);
                    const ProgramRun again = RunProgram(opt.exe, opt, pty, limit, false);
                    CheckProgram(opt, again, false, checks);
                    pairs.emplace_back(CpuPerMiB(again.reader), 0);
                } else {
                    pairs.emplace_back(CpuPerMiB(program->reader), 0);
                }
                std::printf("\nwith the time column and the traffic log (%s), pair %d of %d\n",
                            opt.loggingExe.c_str(), i + 1, opt.pairs);
                const ProgramRun logged = RunProgram(opt.loggingExe, opt, pty, limit, true);
                CheckProgram(opt, logged, true, checks);
                CheckLog(logged, checks);
                pairs.back().second = CpuPerMiB(logged.reader);
            }
            // A flood's CPU per MiB says how far the display fell behind more than what the
            // extras cost: the budget is on paced traffic.
            if (opt.rate > 0)
                CheckPairs(Format("CPU/MiB with log <= %.2f x without", kMaxLoggingCpuRatio), "CPU per MiB",
                           "s", pairs, kMaxLoggingCpuRatio, true, checks);
        }
        if (program && !opt.rules.empty()) {
            const std::size_t limit =
                program->reader.flood.written > 0 ? program->reader.flood.written : LimitBytes(opt);
            std::vector<std::pair<double, double>> pairs;
            for (int i = 0; i < opt.pairs; ++i) {
                if (i > 0) {
                    std::printf("\nthe program again (pair %d of %d)\n", i + 1, opt.pairs);
                    const ProgramRun again = RunProgram(opt.exe, opt, pty, limit, false);
                    CheckProgram(opt, again, false, checks);
                    pairs.emplace_back(CpuPerMiB(again.reader), 0);
                } else {
                    pairs.emplace_back(CpuPerMiB(program->reader), 0);
                }
                std::printf("\nwith the automatic replies of %s, pair %d of %d\n", opt.rules.c_str(), i + 1,
                            opt.pairs);
                const ProgramRun ruled = RunProgram(opt.exe, opt, pty, limit, false, true);
                CheckProgram(opt, ruled, false, checks);
                pairs.back().second = CpuPerMiB(ruled.reader);
            }
            if (opt.rate > 0)
                CheckPairs(Format("CPU/MiB with the rules <= %.2f x without", kMaxRulesCpuRatio),
                           "CPU per MiB", "s", pairs, kMaxRulesCpuRatio, true, checks);
        }
        if (program && !opt.via.empty()) {
            const std::size_t limit =
                program->reader.flood.written > 0 ? program->reader.flood.written : LimitBytes(opt);
            TempDir dir("quorvel-ser2net");
            const std::uint16_t port = UnusedLoopbackPort();
            Ser2net server(dir, opt.via == "rfc2217" ? "telnet(rfc2217),tcp" : "tcp", port, pty.slave(),
                           opt.ser2netOptions);
            if (!Listening(port))
                throw SetupError("ser2net does not listen: " + server.log());
            const std::string address = (opt.via == "rfc2217" ? "rfc2217" : "socket") +
                                        std::string("://127.0.0.1:") + std::to_string(port);
            // Pairs of runs, the program from the pseudo-terminal (the first one already ran), the
            // program through ser2net and a plain socket reader through it, one after the other.
            std::vector<std::pair<double, double>> cpu;   // per MiB: from the pty, through ser2net
            std::vector<std::pair<double, double>> rates; // MB/s: the socket reader, the program
            for (int i = 0; i < opt.pairs; ++i) {
                double direct = CpuPerMiB(program->reader);
                if (i > 0) {
                    std::printf("\nthe program again (pair %d of %d)\n", i + 1, opt.pairs);
                    const ProgramRun again = RunProgram(opt.exe, opt, pty, limit, false);
                    CheckProgram(opt, again, false, checks);
                    direct = CpuPerMiB(again.reader);
                }
                std::printf("\nthrough ser2net (%s), pair %d of %d\n", address.c_str(), i + 1, opt.pairs);
                const ProgramRun remote =
                    RunProgram(opt.exe, opt, pty, limit, false, false, address, server.pid());
                CheckProgram(opt, remote, true, checks, true);
                std::printf("\na plain socket reader through the same ser2net, pair %d of %d\n", i + 1,
                            opt.pairs);
                const ReaderRun socketReader = RunSocketReader(opt, pty, limit, port, server.pid());
                CheckReader("socket reader", socketReader, checks);
                cpu.emplace_back(direct, CpuPerMiB(remote.reader));
                const double ours =
                    remote.reader.caughtUpSeconds ? MBps(limit, *remote.reader.caughtUpSeconds) : 0;
                const double theirs =
                    socketReader.caughtUpSeconds ? MBps(limit, *socketReader.caughtUpSeconds) : 0;
                rates.emplace_back(theirs, ours);
            }
            std::printf("\n");
            CheckPairs(
                Format("rate through ser2net >= %.0f %% of a socket reader's", kMinRemoteRateShare * 100),
                "rate", "MB/s", rates, kMinRemoteRateShare, false, checks);
            CheckPairs(Format("CPU/MiB through ser2net <= %.1f x from the pty", kMaxRemoteCpuRatio),
                       "CPU per MiB", "s", cpu, kMaxRemoteCpuRatio, true, checks);
        }
        if (opt.cat) {
            // The same bytes as the program had, with the same pacing.
            const std::size_t limit = program && program->reader.flood.written > 0
                                          ? program->reader.flood.written
                                          : LimitBytes(opt);
            CheckCat(RunCat(opt, pty, limit), program, checks);
        }
        checks.print();
        return checks.allPassed() ? 0 : 1;
    } catch (const std::exception &e) {
        std::cerr << "bench_window_flood: " << e.what() << "\n";
        return 2;
    }
}
