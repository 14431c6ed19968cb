// SPDX-License-Identifier: MIT
// Start-up with a large send history: the main window (offscreen) built and shown in a folder
// whose "SendCombo.dat" holds N entries, against the same start with no history, side by side.
// Reports the median wall time from construction to the first processed events and the resident
// memory after it.
//
// Usage: bench_window_start [--entries N] [--runs R]   (defaults 200000 and 3)
#include "ExePath.h"
#include "Main.h"
#include "ProcFs.h"
#include "TempDir.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace
{

double StartSeconds(const TempDir &dir, long *rss)
{
    platform::SetExePathForTesting(dir.file("Quorvel"));
    QElapsedTimer clock;
    clock.start();
    double seconds;
    {
        TForm1 window;
        window.show();
        QCoreApplication::processEvents();
        seconds = clock.nsecsElapsed() / 1e9;
        *rss = bench::ResidentKiB();
    }
    TCustomCommX::WaitForWorkers(3000);
    return seconds;
}

} // namespace

int main(int argc, char *argv[])
{
    long entries = 200000;
    int runs = 3;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--entries") == 0)
            entries = std::atol(argv[++i]);
        else if (std::strcmp(argv[i], "--runs") == 0)
            runs = std::atoi(argv[++i]);
    }
    // The figures are medians: without a start there is none to take.
    if (runs < 1) {
        std::fprintf(stderr, "bench_window_start: --runs needs 1 or more\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    TempDir empty("quorvel-bench"), full("quorvel-bench");
    for (const TempDir *d : {&empty, &full}) {
        QFile ini(QString::fromStdString(d->file("Quorvel.ini")));
        if (!ini.open(QIODevice::WriteOnly))
            return 2;
        ini.write("[PORTS]\r\nCOM1=loopback\r\n");
    }
    {
        QFile history(QString::fromStdString(full.file("SendCombo.dat")));
        if (!history.open(QIODevice::WriteOnly))
            return 2;
        for (long i = 0; i < entries; ++i)
            history.write("0x41,\"entry " + QByteArray::number(static_cast<qlonglong>(i)) + "\",13,10\r\n");
    }
    std::vector<double> base, big;
    long rssBase = 0, rssBig = 0;
    for (int r = 0; r < runs; ++r) {
        base.push_back(StartSeconds(empty, &rssBase));
        big.push_back(StartSeconds(full, &rssBig));
    }
    std::sort(base.begin(), base.end());
    std::sort(big.begin(), big.end());
    const double b = base[base.size() / 2], g = big[big.size() / 2];
    std::printf("no history:      %.3f s (median of %d), %ld KiB resident\n", b, runs, rssBase);
    std::printf("%ld entries: %.3f s (median of %d), %ld KiB resident, %.1f x the start without\n", entries,
                g, runs, rssBig, g / b);
    std::printf("%s (budget 2 s)\n", g < 2.0 ? "PASS" : "FAIL");
    return g < 2.0 ? 0 : 1;
}
