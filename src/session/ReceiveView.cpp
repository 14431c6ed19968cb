// SPDX-License-Identifier: MIT
#include "ReceiveView.h"

#include "FileIo.h"
#include "PageFiles.h"
#include "PortSession.h"
#include "Tick.h"
#include "TimeText.h"
#include "UserFiles.h"
#include "WallClock.h"

#include <QFile>
#include <QTimer>

#include <algorithm>

namespace
{

using Clock = std::chrono::steady_clock;

// What one read takes from the component before handing it to the ring in one piece.
constexpr std::size_t kReceiveChunk = 4096;
// How long one tick may go on filling the ring from the port and showing it, before the window's
// other events get their turn. Ten ring-fulls a tick keep up with floods far beyond any serial
// line; the window still answers within a few tens of milliseconds.
constexpr auto kTickBudget = std::chrono::milliseconds(12);
// The bytes that came before a device went are shown before the port closes; this bounds the work.
constexpr int kDrainPasses = 200;
// A log started again within the same second gets a number after the time: a log never writes
// into a file that exists.
constexpr int kMaxLogNameTries = 100;

std::string LogPath(const std::string &folder, const std::string &name, int attempt)
{
    std::string path = folder;
    if (!path.empty() && path.back() != '/')
        path += '/';
    if (attempt == 0)
        return path + name;
    const std::size_t dot = name.rfind('.');
    return path + name.substr(0, dot) + "_" + std::to_string(attempt + 1) + name.substr(dot);
}

} // namespace

ReceiveView::ReceiveView(PortSession &port, QObject *parent)
    : QObject(parent), m_port(port), m_pages(static_cast<std::size_t>(core::StandardPages().count())),
      m_visible(m_pages.size(), 1), m_rx(std::make_unique<core::RxPipeline>()),
      m_saver(std::make_unique<core::PageSaver>()), m_tick(platform::GetTickCount),
      m_clock(platform::WallClockMs)
{
    m_timer = new QTimer(this);
    m_timer->setObjectName(QStringLiteral("Timer1"));
    // The tick runs at the pace the component tells of received data: faster would find nothing
    // new, slower would leave a notice unanswered.
    m_timer->setInterval(TCustomCommX::kDataNoticeGapMs);
    m_timer->setTimerType(Qt::PreciseTimer); // the idle pace is a budget of wake-ups a second
    connect(m_timer, &QTimer::timeout, this, [this] {
        tick();
        m_port.followOpenDevice();
    });
    m_port.comm().OnReceive = [this](QObject *, std::int32_t) { receiveEvent(); };
    connect(&m_port, &PortSession::opening, this, [this] { m_rx->ResetRing(); });
    connect(&m_port, &PortSession::opened, this, [this] { wake(); });
    connect(&m_port, &PortSession::deviceGoing, this, [this] { drain(); });
    // The pipeline starts idle and every page holds one empty line.
    m_rx->SetLastRxTick(0);
    for (core::Page &page : m_pages)
        page.add(std::string());
}

ReceiveView::~ReceiveView()
{
    // Whoever listened may be half gone already.
    disconnect(this, nullptr, nullptr, nullptr);
    m_timer->stop();
    m_port.comm().OnReceive = nullptr;
    closeLog(false);
}

core::PageSet ReceiveView::pageSet()
{
    core::PageSet set;
    for (std::size_t i = 0; i < m_pages.size(); ++i) {
        set.page[i] = &m_pages[i];
        set.visible[i] = m_visible[i] != 0;
    }
    return set;
}

void ReceiveView::setTickSource(TickSource source)
{
    m_tick = source ? std::move(source) : TickSource(platform::GetTickCount);
}

void ReceiveView::setClockSource(ClockSource source)
{
    m_clock = source ? std::move(source) : ClockSource(platform::WallClockMs);
}

void ReceiveView::receiveEvent()
{
    // At least one byte is read per event, as long as the ring has room for it.
    takeReceived(1);
    if (m_idle)
        wake();
}

void ReceiveView::wake()
{
    m_idle = false;
    if (!m_shutDown)
        m_timer->start(TCustomCommX::kDataNoticeGapMs);
}

bool ReceiveView::settled()
{
    return m_readSinceTick == 0 && !m_sentSinceTick && m_rx->waiting() == 0 && !m_rx->lineWaitPending() &&
           m_recorder.empty() && m_port.comm().GetReceiveLength() <= 0;
}

std::size_t ReceiveView::takeReceived(std::int32_t atLeast)
{
    // While the traffic log's writer is far behind (a slow or stalled disk), the bytes wait in
    // the device's queue, as they do for a display that falls behind: nothing is lost.
    if (m_log && m_log->backlogFull(m_recorder.size()))
        return 0;
    // The bytes waiting are read in blocks rather than one call per byte: at full speed a call
    // per byte costs several system calls per byte. No more is read than the ring has room for:
    // the rest stays in the device's queue, and the next tick takes it.
    TCommX &comm = m_port.comm();
    std::uint8_t chunk[kReceiveChunk];
    std::size_t taken = 0;
    std::int32_t waiting = std::max(comm.GetReceiveLength(), atLeast);
    while (waiting > 0 && m_rx->room() > 0) {
        std::size_t want = std::min({static_cast<std::size_t>(waiting), kReceiveChunk, m_rx->room()});
        // A line's time is when its first byte came from the device: a busy window may read it
        // much later. One read takes only bytes that came together.
        std::int64_t takenAt = m_clock();
        std::int32_t age = 0, run = 0;
        if (comm.GetReceiveArrival(age, run) && run > 0) {
            takenAt -= age;
            want = std::min(want, static_cast<std::size_t>(run));
        }
        const std::int32_t n = comm.ReceiveBlock(chunk, static_cast<std::int32_t>(want));
        if (n <= 0)
            break; // a failed read is no byte
        m_readSinceTick += static_cast<std::size_t>(n);
        m_storedSinceTick += m_rx->receive(chunk, static_cast<std::size_t>(n), m_tick(), takenAt);
        taken += static_cast<std::size_t>(n);
        waiting = comm.GetReceiveLength();
    }
    return taken;
}

void ReceiveView::tick()
{
    const auto started = Clock::now();
    m_timer->stop();
    reportSaveFailure();
    const core::LimitSaver save = [this](std::string &error) { return saveAtLimit(error); };
    const int mode = m_lineBreakMode ? m_lineBreakMode() : core::kBreakNone;
    bool changed = false;
    int lineCount = 1;
    bool caughtUp = true;
    for (;;) {
        const core::TickResult result =
            m_rx->tick(m_tick(), mode, m_port.settings().RecvLineWait, pageSet(), save);
        changed = changed || result.pagesChanged;
        lineCount = result.lineCount;
        if (Clock::now() - started >= kTickBudget) {
            caughtUp = m_port.comm().GetReceiveLength() <= 0;
            break;
        }
        if (takeReceived(0) == 0)
            break; // nothing more waits in the port
    }
    feedLog();
    emit lineCountChanged(lineCount);
    if (changed)
        emit pagesChanged();
    emit ticked();
    // With nothing arriving, nothing to show and nothing to log, the tick only follows the input
    // lines: it slows to the idle pace, and the next data notice brings it back at once.
    m_idle = settled();
    if (!m_shutDown)
        m_timer->start(m_idle ? kIdleTickMs : TCustomCommX::kDataNoticeGapMs);
    m_stats.tick(m_readSinceTick, m_storedSinceTick, started, caughtUp, m_port.lineErrors(),
                 m_pages[core::kPageText]);
    m_readSinceTick = m_storedSinceTick = 0;
    m_sentSinceTick = false;
}

void ReceiveView::drain()
{
    for (int pass = 0; pass < kDrainPasses && m_port.comm().GetReceiveLength() > 0; ++pass)
        tick();
}

void ReceiveView::appendOutLine(int page, const std::string &cells, std::int64_t time)
{
    core::AppendOutLine(pageSet(), page, cells, time);
}

std::int64_t ReceiveView::lineTimeNow()
{
    return m_rx->lineTime(m_clock());
}

void ReceiveView::sentLine(const std::string &bytes, const core::EchoCells &cells, std::int64_t time,
                           bool accepted)
{
    m_rx->stream().sent(bytes, time, cells, accepted);
    m_sentSinceTick = true;
    // Without a port the receive timer does not run: the line goes to the writer now.
    if (m_log && !m_timer->isActive())
        feedLog();
    else if (m_idle && m_timer->isActive())
        wake(); // an answer is likely on its way
}

void ReceiveView::logNote(const std::string &text)
{
    if (!m_log)
        return;
    m_recorder.note(m_clock(), text);
    if (!m_timer->isActive())
        feedLog();
}

// --- Page files ---------------------------------------------------------------------------------

bool ReceiveView::saveAtLimit(std::string &)
{
    // The files are written in the background; a failure is told by the saver (reportSaveFailure)
    // and its lines wait there for the next try.
    core::PageSaver::Job job{platform::MakeUserFileDir(), core::NoPageLines()};
    for (std::size_t i = 0; i < m_pages.size(); ++i)
        if (m_visible[i])
            job.lines[i] = m_pages[i].takeLines();
    m_saver->submit(std::move(job));
    return true;
}

void ReceiveView::reportSaveFailure()
{
    // The pages stay as they are and the display goes on; the saver tries again.
    if (const std::optional<std::string> failure = m_saver->takeFailure())
        emit status(QStringLiteral("ログ保存に失敗しました: %1").arg(QString::fromStdString(*failure)));
}

void ReceiveView::finishSaves()
{
    m_saver->waitIdle();
    reportSaveFailure();
}

bool ReceiveView::savePageFiles(std::string *path, std::string *error)
{
    // The automatic saves before this one land first, so that they cannot overwrite it.
    finishSaves();
    const core::PageSaveResult result = core::SavePageFiles(platform::MakeUserFileDir(), pageSet());
    if (!result.ok) {
        *path = result.path;
        *error = result.error;
        return false;
    }
    // An automatic save that still waits (its disk failed) would bring back older lines.
    core::PageSaver::PageMask saved(m_pages.size());
    for (std::size_t i = 0; i < saved.size(); ++i)
        saved[i] = m_visible[i] != 0;
    m_saver->drop(saved);
    return true;
}

void ReceiveView::clearPages()
{
    for (core::Page &page : m_pages)
        page.clear();
    // A clear is final: lines of an automatic save that failed do not come back into the files.
    m_saver->drop(core::PageSaver::PageMask(m_pages.size(), true));
    // The next bytes begin a new line on the emptied pages: so they do in the traffic stream.
    m_rx->stream().endLine();
    emit pagesChanged();
}

void ReceiveView::setShowTimes(bool on)
{
    m_showTimes = on;
}

// --- Traffic log --------------------------------------------------------------------------------

void ReceiveView::setLogOutput(LogOutputMaker maker, std::size_t maxBacklog)
{
    m_logOutput = std::move(maker);
    m_logBacklog = maxBacklog;
}

bool ReceiveView::startLog(const std::string &folder, std::string *path, std::string *error)
{
    closeLog(true);
    const std::string name = core::TrafficLogFileName(m_clock());
    platform::AppendFile file;
    for (int attempt = 0; attempt < kMaxLogNameTries; ++attempt) {
        *path = LogPath(folder, name, attempt);
        if (platform::FileExists(*path))
            continue;
        if (file.create(*path, error))
            break;
    }
    if (!file.isOpen()) {
        if (error->empty())
            *error = "every name is taken";
        return false;
    }
    m_log = std::make_unique<core::TrafficLog>(m_logOutput ? m_logOutput(std::move(file))
                                                           : core::TrafficLog::FileOutput(std::move(file)),
                                               m_logBacklog);
    m_rx->stream().subscribe(&m_recorder);
    m_logPath = QFile::decodeName(QByteArray::fromStdString(*path));
    return true;
}

void ReceiveView::stopLog()
{
    closeLog(true);
}

void ReceiveView::closeLog(bool tell)
{
    if (!m_log)
        return;
    // The line still open is written as it stands.
    if (const std::optional<core::CompletedLine> open = m_rx->stream().openLine())
        m_recorder.record(*open);
    m_rx->stream().unsubscribe(&m_recorder);
    m_log->submit(m_recorder.take());
    const bool inTime = m_log->close();
    const std::optional<std::string> failure = m_log->takeFailure();
    m_log.reset();
    emit logStopped();
    if (!tell)
        return;
    if (failure) {
        emit logFailed(QStringLiteral("通信ログを書き込めないため、記録を停止しました。"),
                       QString::fromStdString(*failure));
    } else if (!inTime) {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(core::TrafficLog::kCloseGrace);
        emit logFailed(QStringLiteral("通信ログの最後の部分を書き込めませんでした。"
                                      "ディスクが %1 秒以内に応答しませんでした。")
                           .arg(seconds.count()),
                       m_logPath);
    }
}

void ReceiveView::feedLog()
{
    if (!m_log)
        return;
    if (std::optional<std::string> failure = m_log->takeFailure()) {
        // The log stops; the terminal goes on. Told after the tick, so that the display goes on
        // while the box is open.
        m_rx->stream().unsubscribe(&m_recorder);
        m_recorder.take();
        m_log.reset();
        emit logStopped();
        const QString detail = QString::fromStdString(*failure);
        QTimer::singleShot(0, this, [this, detail] {
            emit logFailed(QStringLiteral("通信ログを書き込めないため、記録を停止しました。"), detail);
        });
        return;
    }
    // A tick without traffic hands nothing over: its buffer, used again, stays where it is.
    if (!m_recorder.empty())
        m_log->submit(m_recorder.take(m_log->spare()));
}

void ReceiveView::shutdown()
{
    m_shutDown = true;
    m_timer->stop();
    stopLog();
}
