// SPDX-License-Identifier: MIT
// The window's side of the receive display: the component's receive event fills the ring with
// what it has room for, and the 10 ms tick runs the pipeline (taking more from the port while the
// display keeps up), shows the line counter and the line-error counter, repaints the four views
// once and reads the input lines.
#include "Main.h"

#include "ui_Main.h"

#include "PageSaver.h"
#include "PageView.h"
#include "RxPipeline.h"
#include "UserFiles.h"

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

using Clock = std::chrono::steady_clock;

// What one read takes from the component before handing it to the ring in one piece.
constexpr std::size_t kReceiveChunk = 4096;
// How long one tick may go on filling the ring from the port and showing it, before the window's
// other events get their turn. Ten ring-fulls a tick keep up with floods far beyond any serial
// line; the window still answers within a few tens of milliseconds.
constexpr auto kTickBudget = std::chrono::milliseconds(12);
// The line-error counter reads the component's counts this often (the counts are kept by the
// device: reading them costs nothing), besides at once on an error or a break.
constexpr auto kErrorCountsEvery = std::chrono::milliseconds(250);

// Receive statistics for the end-to-end benchmark, logged once a second under "quorvel.stats"
// when that category is enabled (QT_LOGGING_RULES="quorvel.stats.debug=true"), and at once
// (at most every 100 ms) when the display has caught up with a burst; otherwise nothing is
// measured.
struct RxStats {
    unsigned long long received = 0;
    unsigned long long dropped = 0;
    unsigned long long loggedReceived = 0;
    std::vector<double> tickMs;
    Clock::time_point since = Clock::now();

    bool due(bool caughtUp) const
    {
        const auto age = Clock::now() - since;
        if (tickMs.empty())
            return false;
        return age >= std::chrono::seconds(1) ||
               (caughtUp && received != loggedReceived && age >= std::chrono::milliseconds(100));
    }
};
RxStats g_stats;

// A page line as the log shows it: printable ASCII as it is, every other byte as \xHH.
std::string Escaped(const std::string &line)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : line) {
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

// The last line of a page that is complete: the one before the line still being filled.
const std::string &LastCompleteLine(const core::Page &page)
{
    const int n = page.count();
    return page.line(n >= 2 && page.last().empty() ? n - 2 : n - 1);
}

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

void TForm1::CommX1Receive(QObject *, std::int32_t)
{
    // At least one byte is read per event, as long as the ring has room for it.
    TakeReceived(1);
}

std::size_t TForm1::TakeReceived(std::int32_t atLeast)
{
    // The bytes waiting are read in blocks rather than one call per byte: at full speed a call
    // per byte costs several system calls per byte. No more is read than the ring has room for:
    // the rest stays in the device's queue, and the next tick takes it.
    // While the traffic log's writer is far behind (a slow or stalled disk), the bytes wait in
    // the device's queue, as they do for a display that falls behind: nothing is lost.
    if (m_trafficLog && m_trafficLog->backlogFull(m_recorder.size()))
        return 0;
    std::uint8_t chunk[kReceiveChunk];
    std::size_t taken = 0;
    std::int32_t waiting = std::max(CommX1.GetReceiveLength(), atLeast);
    while (waiting > 0 && m_rx->room() > 0) {
        std::size_t want = std::min({static_cast<std::size_t>(waiting), kReceiveChunk, m_rx->room()});
        // A line's time is when its first byte came from the device: a busy window may read it
        // much later. One read takes only bytes that came together.
        std::int64_t takenAt = m_clock();
        std::int32_t age = 0, run = 0;
        if (CommX1.GetReceiveArrival(age, run) && run > 0) {
            takenAt -= age;
            want = std::min(want, static_cast<std::size_t>(run));
        }
        const std::int32_t n = CommX1.ReceiveBlock(chunk, static_cast<std::int32_t>(want));
        if (n <= 0)
            break; // a failed read is no byte
        const std::size_t stored = m_rx->receive(chunk, static_cast<std::size_t>(n), m_tick(), takenAt);
        taken += static_cast<std::size_t>(n);
        if (lcStats().isDebugEnabled()) {
            g_stats.received += static_cast<unsigned long long>(n);
            g_stats.dropped += static_cast<unsigned long long>(n) - stored;
        }
        waiting = CommX1.GetReceiveLength();
    }
    return taken;
}

void TForm1::Timer1Timer()
{
    const bool measure = lcStats().isDebugEnabled();
    const auto started = Clock::now();
    Timer1->stop();
    ReportSaveFailure();
    const core::LimitSaver save = [this](std::string &error) { return SaveAtLimit(error); };
    bool pagesChanged = false;
    int lineCount = 1;
    bool caughtUp = true;
    for (;;) {
        const core::TickResult result =
            m_rx->tick(m_tick(), ui->ComboBox1->currentIndex(), CommSettings.RecvLineWait, Pages(), save);
        pagesChanged = pagesChanged || result.pagesChanged;
        lineCount = result.lineCount;
        if (Clock::now() - started >= kTickBudget) {
            caughtUp = CommX1.GetReceiveLength() <= 0;
            break;
        }
        if (TakeReceived(0) == 0)
            break; // nothing more waits in the port
    }
    FeedTrafficLog();
    SetLogCount(lineCount);
    if (pagesChanged)
        RefreshViews();
    if (Clock::now() - m_errorCountsAt >= kErrorCountsEvery)
        ShowLineErrors();
    CtrlLineStep();
    Timer1->start();
    if (measure) {
        g_stats.tickMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - started).count());
        if (g_stats.due(caughtUp)) {
            std::sort(g_stats.tickMs.begin(), g_stats.tickMs.end());
            const platform::CommErrorCounts &e = m_lineErrors;
            qCDebug(lcStats,
                    "rx-stats received=%llu dropped=%llu ticks=%zu tick-median-ms=%.3f tick-max-ms=%.3f "
                    "overrun=%u parity=%u framing=%u breaks=%u lost=%u text-last=\"%s\"",
                    g_stats.received, g_stats.dropped, g_stats.tickMs.size(),
                    g_stats.tickMs[g_stats.tickMs.size() / 2], g_stats.tickMs.back(), e.overrun, e.parity,
                    e.framing, e.breaks, e.lost, Escaped(LastCompleteLine(m_pages[core::kPageText])).c_str());
            g_stats.tickMs.clear();
            g_stats.loggedReceived = g_stats.received;
            g_stats.since = Clock::now();
        }
    }
}

bool TForm1::SaveAtLimit(std::string &)
{
    // The files are written in the background; a failure is told by the saver (ReportSaveFailure)
    // and its lines wait there for the next try.
    core::PageSaver::Job job{platform::MakeUserFileDir(), core::NoPageLines()};
    for (std::size_t i = 0; i < m_pages.size(); ++i)
        if (PageVisible[i])
            job.lines[i] = m_pages[i].takeLines();
    m_saver->submit(std::move(job));
    return true;
}

void TForm1::ReportSaveFailure()
{
    // The pages stay as they are and the display goes on; the saver tries again.
    if (const std::optional<std::string> failure = m_saver->takeFailure())
        ShowStatus(QStringLiteral("ログ保存に失敗しました: %1").arg(QString::fromStdString(*failure)));
}

void TForm1::FinishSaves()
{
    m_saver->waitIdle();
    ReportSaveFailure();
}

void TForm1::CommX1Error(std::int32_t)
{
    ShowLineErrors();
}

void TForm1::ShowLineErrors()
{
    m_errorCountsAt = Clock::now();
    const platform::CommErrorCounts now = CommX1.GetErrorCounts();
    auto since = [](platform::DWORD value, platform::DWORD base) {
        return value >= base ? value - base : value;
    };
    platform::CommErrorCounts shown;
    shown.overrun = since(now.overrun, m_lineErrorBase.overrun);
    shown.parity = since(now.parity, m_lineErrorBase.parity);
    shown.framing = since(now.framing, m_lineErrorBase.framing);
    shown.breaks = since(now.breaks, m_lineErrorBase.breaks);
    shown.lost = since(now.lost, m_lineErrorBase.lost);
    if (shown == m_lineErrors && !stLineErrors->text().isEmpty())
        return;
    m_lineErrors = shown;
    const unsigned long long total = static_cast<unsigned long long>(shown.overrun) + shown.parity +
                                     shown.framing + shown.breaks + shown.lost;
    stLineErrors->setText(QStringLiteral("エラー: %1").arg(total));
    stLineErrors->setToolTip(QStringLiteral("受信エラー（ポートオープンまたはログクリアから）\n"
                                            "オーバーラン: %1\nパリティエラー: %2\nフレーミングエラー: %3\n"
                                            "ブレーク: %4\n受信バッファあふれで失われたバイト: %5")
                                 .arg(shown.overrun)
                                 .arg(shown.parity)
                                 .arg(shown.framing)
                                 .arg(shown.breaks)
                                 .arg(shown.lost));
    QPalette palette = stLineErrors->palette();
    palette.setColor(QPalette::WindowText,
                     total != 0 ? Qt::red : this->palette().color(QPalette::WindowText));
    stLineErrors->setPalette(palette);
}

void TForm1::ResetLineErrors(bool reopened)
{
    m_lineErrorBase = reopened ? platform::CommErrorCounts{} : CommX1.GetErrorCounts();
    stLineErrors->clear(); // shown again below even when the counts stay the same
    ShowLineErrors();
}

void TForm1::RefreshViews()
{
    for (PageView *memo : m_memos)
        memo->refresh();
}

void TForm1::AppendOutLine(int page, const std::string &cells, std::int64_t time)
{
    core::AppendOutLine(Pages(), page, cells, time);
}
