// SPDX-License-Identifier: MIT
// End-to-end continuous-output benchmark: the main window (offscreen) plays a file of mixed-send
// lines out to a pseudo-terminal whose far end a reader thread drains as fast as it can. Reports
// the bytes on the wire per second and how often the window repainted a page and ran its receive
// timer meanwhile (a play-out that never let the window process its events would show none).
//
// Usage: bench_window_playout [--mib N]   (file size, default 10)
#include "Main.h"
#include "PageView.h"
#include "WindowBench.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{

// The line of the file and the bytes it puts on the wire.
const char kLine[] = "0x41,0x42,\"hello world\",13,10\n";
constexpr std::size_t kWirePerLine = 15;

class PaintCounter : public QObject
{
  public:
    int paints = 0;

  protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

int main(int argc, char *argv[])
{
    double mib = 10;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--mib") == 0)
            mib = std::atof(argv[++i]);
    // A file of no lines would "pass" with nothing played out.
    if (!(mib > 0) || !std::isfinite(mib)) {
        std::fprintf(stderr, "bench_window_playout: --mib needs a size above 0\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    // A pseudo-terminal ignores the bit rate: the reader is the limit of the link.
    PtyFolder folder;
    if (!folder.ok()) {
        std::perror("bench_window_playout: pseudo-terminal or settings file");
        return 2;
    }
    const int master = folder.master();
    const QString path = folder.filePath(QStringLiteral("lines.txt"));
    std::size_t lines = 0;
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return 2;
        const auto target = static_cast<std::size_t>(mib * 1024 * 1024);
        QByteArray chunk;
        const std::size_t perChunk = 4096;
        for (std::size_t i = 0; i < perChunk; ++i)
            chunk += kLine;
        for (std::size_t written = 0; written < target; written += static_cast<std::size_t>(chunk.size())) {
            file.write(chunk);
            lines += perChunk;
        }
    }
    const std::size_t fileBytes = static_cast<std::size_t>(QFile(path).size());
    const std::size_t expected = lines * kWirePerLine;

    MasterDrain received(master);

    int ticks = 0;
    PaintCounter counter;
    double playSeconds = 0;
    double wireSeconds = 0;
    {
        TForm1 window;
        window.show();
        QElapsedTimer settle;
        settle.start();
        while (settle.elapsed() < 300)
            QCoreApplication::processEvents();
        window.Memo(0)->viewport()->installEventFilter(&counter);
        QObject::connect(window.Timer1(), &QTimer::timeout, &window, [&ticks] { ++ticks; });

        QElapsedTimer clock;
        bool ran = false;
        bool done = false;
        QTimer::singleShot(0, &window, [&] {
            clock.start();
            ran = window.PlayOutFile(path);
            playSeconds = clock.nsecsElapsed() / 1e9;
            done = true;
        });
        while (!done)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        // The last blocks are still on their way to the far end.
        QElapsedTimer drain;
        drain.start();
        while (static_cast<std::size_t>(received.bytes()) < expected && drain.elapsed() < 30000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        wireSeconds = clock.nsecsElapsed() / 1e9;
        if (!ran)
            std::fprintf(stderr, "bench_window_playout: the play-out did not run\n");
        window.close();
    }
    TCustomCommX::WaitForWorkers(3000);

    const double mb = static_cast<double>(static_cast<std::size_t>(received.bytes())) / 1e6;
    std::printf("file: %zu bytes, %zu lines\n", fileBytes, lines);
    std::printf("wire: %zu of %zu bytes in %.2f s (play-out returned after %.2f s)\n",
                static_cast<std::size_t>(received.bytes()), expected, wireSeconds, playSeconds);
    std::printf("link: %.3f MB/s on the wire, %.3f MB/s of file\n", mb / wireSeconds,
                static_cast<double>(fileBytes) / 1e6 / wireSeconds);
    std::printf("window: %d paint events of the HEX page, %d receive-timer ticks during the play-out\n",
                counter.paints, ticks);
    return static_cast<std::size_t>(received.bytes()) == expected ? 0 : 1;
}
