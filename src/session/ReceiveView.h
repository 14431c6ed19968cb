// SPDX-License-Identifier: MIT
// The receive view: what the pages hold and how it gets there. It takes the bytes from the
// component (its receive event, and each tick while more waits), runs the 10 ms tick of the
// receive pipeline over the pages' models, saves the pages at the line limit in the background,
// keeps the pages' times, and feeds the traffic log. It draws nothing: the window's page views
// show the models and repaint on pagesChanged.
//
// Threads: every call and signal on the user-interface thread; the page saver and the traffic
// log have threads of their own and are never waited for but at a save by hand and at the end.
#pragma once

#include "Page.h"
#include "PageSaver.h"
#include "PageTable.h"
#include "ReceiveStats.h"
#include "RxPipeline.h"
#include "TrafficLog.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class PortSession;
class QTimer;

class ReceiveView : public QObject
{
    Q_OBJECT

  public:
    // The tick's pace while nothing happens: the input lamps, which are polled, still follow a
    // change within it, and an idle window wakes no more than 20 times a second.
    static constexpr int kIdleTickMs = 50;

    explicit ReceiveView(PortSession &port, QObject *parent = nullptr);
    ~ReceiveView() override;

    // The pages' models, in the order of the page table, and which of them are shown.
    core::Page &page(int i) { return m_pages[static_cast<std::size_t>(i)]; }
    int pageCount() const { return static_cast<int>(m_pages.size()); }
    std::vector<int> &visible() { return m_visible; }
    core::PageSet pageSet();

    // The receive timer (Timer1): started by every open.
    QTimer *timer() const { return m_timer; }
    // The clock of the pipeline (GetTickCount by default) and the calendar clock of the line
    // times and the log (ms since 1970); tests make time pass by hand.
    using TickSource = std::function<std::uint32_t()>;
    using ClockSource = std::function<std::int64_t()>;
    void setTickSource(TickSource source);
    void setClockSource(ClockSource source);
    std::int64_t clock() const { return m_clock(); }
    // The line-break mode, read at every tick (the selection of the window's list, ComboBox1).
    void setLineBreakMode(std::function<int()> mode) { m_lineBreakMode = std::move(mode); }

    // The component's receive event, and the tick.
    void receiveEvent();
    void tick();
    // Shows what the port still has (the device went: what it sent is shown before it closes).
    void drain();

    // What senders add: their echo lines, their time, their line in the traffic stream.
    void appendOutLine(int page, const std::string &cells, std::int64_t time);
    std::int64_t lineTimeNow();
    // `accepted`: the component took the bytes; a line it refused is echoed but not logged.
    void sentLine(const std::string &bytes, const core::EchoCells &cells, std::int64_t time, bool accepted);
    core::TrafficStream &stream() { return m_rx->stream(); }
    // The line counter's number changed (shown as "ログ行数: n").
    void showLineCount(int lines) { emit lineCountChanged(lines); }
    // The pages changed outside a tick (a sender's echo).
    void refresh() { emit pagesChanged(); }

    // "ログ保存": the shown pages' files, after the automatic saves before it; false with the
    // file and the reason when one could not be written.
    bool savePageFiles(std::string *path, std::string *error);
    // Waits for the automatic saves in the background, and tells a failure.
    void finishSaves();
    // "ログクリア": every page emptied, the line in progress ended, and what an automatic save
    // that failed still holds dropped.
    void clearPages();

    // The time column ("受信時刻表示").
    bool showTimes() const { return m_showTimes; }
    void setShowTimes(bool on);

    // The traffic log.
    // What it writes through (the file by default) and how many bytes of records may wait for
    // it; tests hold or fail the writes on purpose.
    using LogOutputMaker =
        std::function<std::unique_ptr<core::TrafficLog::Output>(platform::AppendFile file)>;
    void setLogOutput(LogOutputMaker maker, std::size_t maxBacklog);
    // Starts a log in `folder` (bytes, as the file system names it); false with the reason and
    // the file it tried when the file cannot be made.
    bool startLog(const std::string &folder, std::string *path, std::string *error);
    // Writes the line still open and what waits, and closes the file; a failure, or a writer that
    // did not finish in time, is told (logFailed).
    void stopLog();
    bool logRunning() const { return m_log != nullptr; }
    // A comment line in the running log (a script's log), nothing without one. `text`: CP932.
    void logNote(const std::string &text);
    QString logPath() const { return m_logPath; }

    // The window closes: no more ticks; the log stops, the saves finish.
    void shutdown();

  signals:
    // Some page's lines changed: the views repaint.
    void pagesChanged();
    void lineCountChanged(int lines);
    void status(const QString &text);
    // The end of every tick: the window looks at the input lines and the error counts.
    void ticked();
    // The log stopped by itself or at stopLog, and why when it failed: `message` is the first
    // line, `detail` what the system said.
    void logStopped();
    void logFailed(const QString &message, const QString &detail);

  private:
    std::size_t takeReceived(std::int32_t atLeast);
    // Back to the tick's full pace.
    void wake();
    // Nothing came, was sent or waits to be shown or logged since the last tick.
    bool settled();
    bool saveAtLimit(std::string &error);
    void reportSaveFailure();
    void feedLog();
    void closeLog(bool tell);

    PortSession &m_port;
    std::vector<core::Page> m_pages;
    std::vector<int> m_visible;
    std::unique_ptr<core::RxPipeline> m_rx;
    std::unique_ptr<core::PageSaver> m_saver;
    QTimer *m_timer = nullptr;
    TickSource m_tick;
    ClockSource m_clock;
    std::function<int()> m_lineBreakMode;
    bool m_showTimes = false;
    bool m_shutDown = false;
    ReceiveStats m_stats;
    std::size_t m_readSinceTick = 0; // for the statistics
    std::size_t m_storedSinceTick = 0;
    bool m_sentSinceTick = false;
    bool m_idle = false; // the tick runs at kIdleTickMs

    std::unique_ptr<core::TrafficLog> m_log;
    core::TrafficRecorder m_recorder; // listening while the log runs
    QString m_logPath;
    LogOutputMaker m_logOutput;
    std::size_t m_logBacklog = core::TrafficLog::kMaxPending;
};
