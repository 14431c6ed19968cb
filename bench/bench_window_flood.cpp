// SPDX-License-Identifier: MIT
// End-to-end receive benchmark: runs the real program on a pseudo-terminal and floods it with
// 60-byte text lines, then reports what the program's process spent (CPU seconds per MiB,
// resident memory) and the program's own receive statistics (bytes received, bytes the ring
// dropped, tick durations), which it logs under the category "quorvel.stats".
//
// Usage: bench_window_flood --exe PATH [--rate BYTES_PER_SECOND] [--seconds N | --mib N]
//                           [--mode 0|1|2] [--hidden-pages]
//   --rate 0 (the default) writes as fast as the program reads.
// The display is whatever the environment gives (run it under xvfb-run for a real window, or
// with QT_QPA_PLATFORM=offscreen).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
    std::string exe;
    double rate = 0;  // bytes per second; 0: as fast as possible
    double seconds = 30;
    double mib = 0;   // when set, stop after this much instead of after `seconds`
    int mode = 2;     // line-break mode of the program
};

[[noreturn]] void Fail(const std::string &what)
{
    std::cerr << "bench_window_flood: " << what << ": " << std::strerror(errno) << "\n";
    std::exit(2);
}

double CpuSeconds(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    unsigned long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::stoul(field);
        if (i == 15)
            stime = std::stoul(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long RssKiB(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

bool HasOpen(pid_t pid, const std::string &path)
{
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        std::error_code ec2;
        if (fs::read_symlink(entry.path(), ec2) == path)
            return true;
    }
    return false;
}

Options Parse(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&] {
            if (i + 1 >= argc) {
                std::cerr << "missing value after " << a << "\n";
                std::exit(2);
            }
            return std::string(argv[++i]);
        };
        if (a == "--exe")
            o.exe = next();
        else if (a == "--rate")
            o.rate = std::stod(next());
        else if (a == "--seconds")
            o.seconds = std::stod(next());
        else if (a == "--mib")
            o.mib = std::stod(next());
        else if (a == "--mode")
            o.mode = std::stoi(next());
        else {
            std::cerr << "unknown option " << a << "\n";
            std::exit(2);
        }
    }
    if (o.exe.empty()) {
        std::cerr << "usage: bench_window_flood --exe PATH [--rate B/s] [--seconds N | --mib N] [--mode M]\n";
        std::exit(2);
    }
    return o;
}

} // namespace

int main(int argc, char **argv)
{
    const Options opt = Parse(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);

    char dirTemplate[] = "/tmp/quorvel-flood-XXXXXX";
    if (!mkdtemp(dirTemplate))
        Fail("mkdtemp");
    const fs::path dir = dirTemplate;
    const fs::path exe = dir / "Quorvel";
    fs::copy_file(opt.exe, exe);
    fs::permissions(exe, fs::perms::owner_all);

    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        Fail("posix_openpt");
    const std::string slave = ptsname(master);
    // Keep the slave side from hanging up between the program's opens.
    const int keep = open(slave.c_str(), O_RDWR | O_NOCTTY);
    {
        std::ofstream ini(dir / "Quorvel.ini", std::ios::binary);
        ini << "[RecvSet]\r\nRETCODE=" << opt.mode << "\r\n[PORTS]\r\nCOM1=" << slave << "\r\n";
    }

    const fs::path log = dir / "stderr.log";
    const pid_t pid = fork();
    if (pid < 0)
        Fail("fork");
    if (pid == 0) {
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        setenv("QT_LOGGING_RULES", "quorvel.stats.debug=true", 1);
        execl(exe.c_str(), exe.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }

    // Wait until the program holds the port (its start-up opens it).
    const auto openDeadline = Clock::now() + std::chrono::seconds(20);
    while (!HasOpen(pid, slave)) {
        if (Clock::now() > openDeadline) {
            kill(pid, SIGKILL);
            std::cerr << "the program did not open " << slave << "\n";
            return 2;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    close(keep);
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));

    // 58 printable bytes and CR LF, the counter making each line different.
    std::string block;
    for (int i = 0; block.size() < 60 * 1024; ++i) {
        const std::string number = std::to_string(100000000 + i).substr(1);
        block += (number + " ABCDEFGHIJKLMNOPQRSTUVWXYZ abcdefghijklmnopqrstuvwxyz0123456789").substr(0, 58);
        block += "\r\n";
    }

    const double cpuStart = CpuSeconds(pid);
    long rssMax = 0;
    std::size_t sent = 0;
    const double target = opt.mib > 0 ? opt.mib * 1048576.0 : 0;
    const auto start = Clock::now();
    auto nextSample = start;
    std::size_t pos = 0;
    for (;;) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        if (target > 0 ? sent >= target : elapsed >= opt.seconds)
            break;
        std::size_t want = block.size() - pos;
        if (opt.rate > 0) {
            // Paced in 10 ms slices, as a device streaming at that rate delivers it: bytes come
            // in bursts, not one write per line.
            const double allowed = opt.rate * (std::floor(elapsed * 100) / 100 + 0.01) - static_cast<double>(sent);
            if (allowed < 1) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            want = std::min(want, static_cast<std::size_t>(allowed));
        }
        pollfd p{master, POLLOUT, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        const ssize_t n = write(master, block.data() + pos, want);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            pos = (pos + static_cast<std::size_t>(n)) % block.size();
        }
        // Drain what the program sends back (nothing is expected; keeps the pty from filling).
        char sink[4096];
        while (read(master, sink, sizeof sink) > 0) {
        }
        if (Clock::now() >= nextSample) {
            rssMax = std::max(rssMax, RssKiB(pid));
            nextSample += std::chrono::seconds(1);
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    // Let the last tick and the pause close run.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const double cpu = CpuSeconds(pid) - cpuStart;
    const long rssEnd = RssKiB(pid);
    rssMax = std::max(rssMax, rssEnd);
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);

    const double mib = static_cast<double>(sent) / 1048576.0;
    std::printf("sent            %.1f MiB in %.1f s (%.2f MB/s)\n", mib, elapsed, sent / elapsed / 1e6);
    std::printf("program CPU     %.2f s (user + system), %.3f s per MiB\n", cpu, mib > 0 ? cpu / mib : 0.0);
    std::printf("resident memory %.1f MB at the end, %.1f MB at most\n", rssEnd / 1024.0, rssMax / 1024.0);
    // The program's own statistics: the last summary line it logged.
    std::ifstream in(log);
    std::string line;
    int logged = 0;
    while (std::getline(in, line))
        if (line.find("rx-stats") != std::string::npos) {
            std::printf("program stats   %s\n", line.c_str());
            ++logged;
        }
    if (logged == 0)
        std::printf("program stats   (none logged)\n");
    fs::remove_all(dir);
    return 0;
}
