// SPDX-License-Identifier: MIT
// Soak: the main window (offscreen) on a pseudo-terminal for a long run. A writer thread sends
// 1 MB/s of numbered 60-byte lines into the port, the window makes a mixed send every 100 ms, and
// a reader drains what it sends. Reports the bytes written, the bytes the window took into its
// display, the bytes lost anywhere on the way, resident memory at minute 1 and at the end, and the
// slowest receive tick. The figures come from the window's own receive statistics.
//
// Usage: soak [--minutes N] [--rate BYTES_PER_SECOND]   (defaults 10 and 1000000)
#include "Main.h"
#include "ProcFs.h"
#include "StatsLog.h"
#include "WindowBench.h"

#include "ui_Main.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include <unistd.h>

namespace
{

struct Seen {
    unsigned long long received = 0, dropped = 0, lost = 0;
    double slowestTickMs = 0;
    QString textLast;
};
Seen g_seen;

void CollectStats(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (qstrcmp(context.category, "quorvel.stats") != 0 || type != QtDebugMsg)
        return;
    const auto line = bench::StatsLine::find(text.toStdString());
    if (!line)
        return;
    const auto received = line->number("received"), dropped = line->number("dropped"),
               lost = line->number("lost");
    const auto tickMaxMs = line->decimal("tick-max-ms");
    const auto textLast = line->fields.find("text-last");
    if (!received || !dropped || !lost || !tickMaxMs || textLast == line->fields.end())
        return;
    g_seen.received = *received;
    g_seen.dropped = *dropped;
    g_seen.slowestTickMs = std::max(g_seen.slowestTickMs, *tickMaxMs);
    g_seen.lost = *lost;
    g_seen.textLast = QString::fromStdString(textLast->second); // as logged, escapes kept
}

// "S00000042" and filler to 58 bytes, then CR LF.
std::string Line(unsigned long long n)
{
    char head[16];
    std::snprintf(head, sizeof head, "S%08llu", n);
    std::string line(head);
    line.resize(58, '.');
    return line + "\r\n";
}

} // namespace

int main(int argc, char *argv[])
{
    double minutes = 10;
    double rate = 1e6;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--minutes") == 0)
            minutes = std::atof(argv[++i]);
        else if (std::strcmp(argv[i], "--rate") == 0)
            rate = std::atof(argv[++i]);
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QLoggingCategory::setFilterRules(QStringLiteral("quorvel.stats.debug=true"));
    qInstallMessageHandler(CollectStats);
    QApplication app(argc, argv);

    // A pseudo-terminal ignores the bit rate: the writer sets the pace.
    PtyFolder folder("[RecvSet]\r\nRETCODE=2\r\n");
    if (!folder.ok()) {
        std::perror("soak: pseudo-terminal or settings file");
        return 2;
    }
    const int master = folder.master();

    std::atomic<bool> stop{false};
    std::atomic<unsigned long long> written{0}, lines{0};
    std::optional<MasterDrain> sent(std::in_place, master);

    std::thread writer;
    long rssAtOne = -1, rssAtEnd = -1;
    unsigned long long writtenAtEnd = 0, linesAtEnd = 0;
    int sends = 0;
    {
        TForm1 window;
        window.show();
        // The open discards what arrived before it: the far end starts once the port is open.
        QElapsedTimer opened;
        opened.start();
        while (opened.elapsed() < 300)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        // The far end: 1 MB/s in 10 ms slices, on an absolute schedule so that a slow slice is made
        // up for; a write that blocks is the kernel holding the sender back, as flow control would.
        writer = std::thread([&] {
            const auto start = std::chrono::steady_clock::now();
            std::string pending;
            for (int slice = 1; !stop.load(); ++slice) {
                const auto due = start + std::chrono::milliseconds(10 * slice);
                std::this_thread::sleep_until(due);
                const auto want = static_cast<unsigned long long>(rate * 0.01 * slice);
                while (written.load() + pending.size() < want)
                    pending += Line(lines++);
                std::size_t off = 0;
                while (off < pending.size()) { // whole lines, so that the count ends on one
                    const ssize_t n = ::write(master, pending.data() + off, pending.size() - off);
                    if (n > 0)
                        off += static_cast<std::size_t>(n);
                    else if (n < 0 && errno != EINTR && errno != EAGAIN)
                        return;
                }
                written += off;
                pending.erase(0, off);
            }
        });
        QTimer sender;
        QObject::connect(&sender, &QTimer::timeout, &window, [&] {
            window.form().cmbSendMix->setEditText(QStringLiteral("0x41,\"soak\",13,10"));
            window.BtnMixClick();
            ++sends;
        });
        sender.start(100);
        QElapsedTimer clock;
        clock.start();
        const auto runMs = static_cast<qint64>(minutes * 60000);
        while (clock.elapsed() < runMs) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
            if (rssAtOne < 0 && clock.elapsed() >= std::min<qint64>(60000, runMs / 10))
                rssAtOne = bench::ResidentKiB();
        }
        sender.stop();
        stop = true;
        writer.join();
        writtenAtEnd = written.load();
        linesAtEnd = writtenAtEnd / Line(0).size(); // whole lines: a cut one is never written
        // What is still on its way through the kernel and the port is shown before counting.
        QElapsedTimer drain;
        drain.start();
        while (g_seen.received < writtenAtEnd && drain.elapsed() < 30000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QElapsedTimer settle;
        settle.start();
        while (settle.elapsed() < 1500) // the last statistics line after the catch-up
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        rssAtEnd = bench::ResidentKiB();
        window.close();
    }
    TCustomCommX::WaitForWorkers(3000);
    const unsigned long long sentBack = sent->bytes();
    sent.reset();

    const unsigned long long missing = writtenAtEnd > g_seen.received ? writtenAtEnd - g_seen.received : 0;
    const unsigned long long lostAll = missing + g_seen.dropped + g_seen.lost;
    const QString lastLine = QString::fromStdString(Line(linesAtEnd - 1).substr(0, 9));
    std::printf("run: %.1f min, %.0f B/s in, %d mixed sends (%llu bytes sent)\n", minutes, rate, sends,
                sentBack);
    std::printf("bytes in: %llu, displayed: %llu, dropped: %llu (ring %llu, driver %llu, not shown %llu)\n",
                writtenAtEnd, g_seen.received, lostAll, g_seen.dropped, g_seen.lost, missing);
    std::printf("last line shown: %s (%s)\n", qPrintable(g_seen.textLast),
                g_seen.textLast.contains(lastLine) ? "the last one sent" : "NOT the last one sent");
    std::printf("resident: %ld KiB at minute %.1f, %ld KiB at the end (%+.1f %%)\n", rssAtOne,
                std::min(1.0, minutes / 10), rssAtEnd,
                100.0 * (rssAtEnd - rssAtOne) / std::max(1L, rssAtOne));
    std::printf("slowest tick: %.1f ms\n", g_seen.slowestTickMs);
    const bool ok = lostAll == 0 && g_seen.textLast.contains(lastLine) && rssAtEnd <= rssAtOne * 11 / 10;
    std::printf("%s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
