// SPDX-License-Identifier: MIT
// How soon an automatic reply answers: the main window (offscreen) with COM1 on a pseudo-terminal
// and one rule ("PING\r" answered by "PONG\r"); a thread plays the device, writes a poll into the
// master side, and times from the write of its last byte until the reply's first byte can be read
// there. The polls come 20 ms apart, as a polling master sends them. Reports the median and the
// 99th percentile over the polls; the budget is under 15 ms and under 30 ms.
//
// Usage: bench_reply_latency [--polls N]   (default 1000)
#include "Main.h"
#include "WindowBench.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include <poll.h>

namespace
{

using Clock = std::chrono::steady_clock;
constexpr double kMaxMedianMs = 15;
constexpr double kMaxP99Ms = 30;

// The device's side: a poll, then the reply's bytes; the time to the first of them, in ms (a
// negative value: no reply within a second).
double Poll(int master)
{
    static const char poll[] = "PING\r";
    if (::write(master, poll, sizeof poll - 1) != static_cast<ssize_t>(sizeof poll - 1))
        return -1;
    const auto sent = Clock::now();
    std::string got;
    double first = -1;
    while (got.find('\r') == std::string::npos && Clock::now() - sent < std::chrono::seconds(1)) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        char buf[256];
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n <= 0)
            continue;
        if (first < 0)
            first = std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got.find("PONG\r") == std::string::npos ? -1 : first;
}

} // namespace

int main(int argc, char *argv[])
{
    int polls = 1000;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--polls") == 0)
            polls = std::atoi(argv[++i]);
    if (polls <= 0) {
        std::fprintf(stderr, "bench_reply_latency: --polls needs a number above 0\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    PtyFolder folder;
    if (!folder.ok()) {
        std::perror("bench_reply_latency: pseudo-terminal or settings file");
        return 2;
    }
    {
        QFile rules(folder.filePath(QStringLiteral("AutoReply.ini")));
        if (!rules.open(QIODevice::WriteOnly) ||
            rules.write(
                "[AutoReply]\r\nON=1\r\n[Rule1]\r\nNAME=\"ping\"\r\nMATCHTYPE=TEXT\r\nMATCH=\"PING\\r\"\r\n"
                "REPLY=\"\"PONG\",13\"\r\n") <= 0)
            return 2;
    }

    std::vector<double> ms;
    int missed = 0;
    {
        TForm1 window;
        window.show();
        QElapsedTimer settle;
        settle.start();
        while (settle.elapsed() < 300)
            QCoreApplication::processEvents();
        if (window.replies().activeCount() != 1) {
            std::fprintf(stderr, "bench_reply_latency: the rule did not load\n");
            return 2;
        }
        std::atomic<bool> done{false};
        std::thread device([&] {
            for (int i = 0; i < polls; ++i) {
                const double t = Poll(folder.master());
                if (t < 0)
                    ++missed;
                else
                    ms.push_back(t);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            done = true;
        });
        // The window waits for events as it does at the bench, not in a loop that never sleeps.
        QTimer check;
        QObject::connect(&check, &QTimer::timeout, &app, [&] {
            if (done)
                QCoreApplication::quit();
        });
        check.start(50);
        QApplication::exec();
        device.join();
        window.close();
    }
    TCustomCommX::WaitForWorkers(3000);

    if (ms.empty()) {
        std::printf("no reply came\n");
        return 1;
    }
    std::sort(ms.begin(), ms.end());
    const double median = ms[ms.size() / 2];
    const double p99 = ms[std::min(ms.size() - 1, static_cast<std::size_t>(std::ceil(ms.size() * 0.99)) - 1)];
    std::printf("replies: %zu of %d polls answered, %d missed\n", ms.size(), polls, missed);
    std::printf("latency: median %.2f ms, 99th percentile %.2f ms, max %.2f ms\n", median, p99, ms.back());
    const bool ok = missed == 0 && median < kMaxMedianMs && p99 < kMaxP99Ms;
    std::printf("  %s    median < %.0f ms, 99th percentile < %.0f ms, every poll answered\n",
                ok ? "PASS" : "FAIL", kMaxMedianMs, kMaxP99Ms);
    return ok ? 0 : 1;
}
