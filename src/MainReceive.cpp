// SPDX-License-Identifier: MIT
// The window's side of the receive display: the component's receive event fills the ring, and
// the 10 ms tick runs the pipeline, shows the line counter, repaints the four views once and
// reads the input lines.
#include "Main.h"

#include "ui_Main.h"

#include "PageView.h"
#include "RxPipeline.h"

#include <QLabel>
#include <QLoggingCategory>
#include <QStatusBar>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <vector>

Q_LOGGING_CATEGORY(lcStats, "quorvel.stats", QtWarningMsg)

namespace
{

// What one receive event takes from the component before handing it to the ring in one piece.
constexpr std::size_t kReceiveChunk = 4096;

// Receive statistics for the end-to-end benchmark, logged once a second under "quorvel.stats"
// when that category is enabled (QT_LOGGING_RULES="quorvel.stats.debug=true"); otherwise nothing
// is measured.
struct RxStats {
    using Clock = std::chrono::steady_clock;
    unsigned long long received = 0;
    unsigned long long dropped = 0;
    std::vector<double> tickMs;
    Clock::time_point since = Clock::now();

    void tick(double ms)
    {
        tickMs.push_back(ms);
        if (Clock::now() - since < std::chrono::seconds(1))
            return;
        std::sort(tickMs.begin(), tickMs.end());
        qCDebug(lcStats, "rx-stats received=%llu dropped=%llu ticks=%zu tick-median-ms=%.3f tick-max-ms=%.3f",
                received, dropped, tickMs.size(), tickMs[tickMs.size() / 2], tickMs.back());
        tickMs.clear();
        since = Clock::now();
    }
};
RxStats g_stats;

} // namespace

core::PageSet TForm1::Pages()
{
    core::PageSet set;
    for (std::size_t i = 0; i < m_pages.size(); ++i) {
        set.page[i] = &m_pages[i];
        set.visible[i] = PageVisible[i] != 0;
    }
    return set;
}

void TForm1::CommX1Receive(QObject *Sender, std::int32_t ReceiveSize)
{
    // The bytes waiting are read in blocks rather than one call per byte: at full speed a call
    // per byte costs several system calls per byte. At least one byte is read per event.
    std::uint8_t chunk[kReceiveChunk];
    std::int32_t waiting = std::max<std::int32_t>(CommX1.GetReceiveLength(), 1);
    while (waiting > 0) {
        const std::int32_t want = std::min<std::int32_t>(waiting, static_cast<std::int32_t>(kReceiveChunk));
        const std::int32_t n = CommX1.ReceiveBlock(chunk, want);
        if (n <= 0)
            break; // a failed read is no byte
        const std::size_t stored = m_rx->receive(chunk, static_cast<std::size_t>(n), m_tick());
        if (lcStats().isDebugEnabled()) {
            g_stats.received += static_cast<unsigned long long>(n);
            g_stats.dropped += static_cast<unsigned long long>(n) - stored;
        }
        waiting = CommX1.GetReceiveLength();
    }
}

void TForm1::Timer1Timer()
{
    const bool measure = lcStats().isDebugEnabled();
    const auto started = measure ? RxStats::Clock::now() : RxStats::Clock::time_point();
    Timer1->stop();
    const core::TickResult result =
        m_rx->tick(m_tick(), ui->ComboBox1->currentIndex(), CommSettings.RecvLineWait, Pages(),
                   [this](std::string &error) { return SavePageFiles(&error); });
    const QString count = QStringLiteral("ログ行数: %1").arg(result.lineCount);
    if (ui->stLogCount->text() != count) {
        // The counter sizes itself to its text, so that long counts are not cut.
        ui->stLogCount->setText(count);
        ui->stLogCount->adjustSize();
    }
    if (result.reportSaveFailure) {
        // The pages stay as they are and the display goes on; the next limit tries again.
        ui->StatusBar1->showMessage(
            QStringLiteral("ログ保存に失敗しました: %1").arg(QString::fromStdString(result.saveError)));
    }
    if (result.pagesChanged)
        RefreshViews();
    CtrlLineStep();
    Timer1->start();
    if (measure)
        g_stats.tick(std::chrono::duration<double, std::milli>(RxStats::Clock::now() - started).count());
}

void TForm1::RefreshViews()
{
    for (PageView *memo : m_memos)
        memo->refresh();
}

void TForm1::AppendOutLine(int page, const std::string &cells)
{
    core::AppendOutLine(Pages(), page, cells);
}
