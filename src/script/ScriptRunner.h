// SPDX-License-Identifier: MIT
// The script runner: runs one Lua script at a time on a thread of its own, against the port
// session, the receive view and the sender of the window (or of a run without one). The script's
// thread never touches the port, the pages or a widget: what it sends, switches and asks is handed
// to the session's thread and waited for there, so that every byte it sends is sent, echoed and
// logged as a mixed send is; the bytes received come to it from the traffic stream as they are
// taken from the port. A stop wakes every wait of the script at once, and its busy loops at the
// next hook.
//
// Threads: every call and signal on the thread that owns it (the session's); the script's thread
// runs LuaScript and reaches this object only through queued calls. Whoever stops a script may
// wait for its end (shutdown, the destructor): the script never waits for the session without
// being woken by the stop.
#pragma once

#include "ScriptChannel.h"
#include "TrafficStream.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>

class PortSession;
class ReceiveView;
class Sender;
class ScriptHost;

class ScriptRunner : public QObject, public core::TrafficListener
{
    Q_OBJECT

  public:
    struct Outcome {
        enum class Kind { Ended, Failed, Error, Stopped, TimedOut };
        Kind kind = Kind::Ended;
        QString script;    // the file's name
        QString message;   // a failure's or an error's, file and line first
        QString traceback; // an error's
        qint64 ms = 0;     // how long it ran
    };

    ScriptRunner(PortSession &port, ReceiveView &view, Sender &sender, QObject *parent = nullptr);
    ~ScriptRunner() override;

    // The component's pause between two data notices while a script runs (0: none). A script
    // waits for each answer, where the display alone gains nothing from more than one a tick.
    void setNoticeGap(int ms) { m_noticeGap = ms; }

    // Starts the script at `path` on the open port. False with the reason when it cannot start
    // (one runs already, the port is closed, the file cannot be read).
    bool start(const QString &path, QString *why);
    bool running() const { return m_active; }
    QString scriptName() const { return m_name; }
    // When the running (or last) script started: port.now() counts from here.
    std::chrono::steady_clock::time_point startedAt() const { return m_startedAt; }
    // Ends the running script at its next call of the API (a wait at once): finished comes when
    // it has ended.
    void stop();
    // The same, told as a time-out.
    void timeOut();
    // Stops the script and waits for its end, without a finished signal (the window closes).
    void shutdown();

    void bytesTaken(const std::uint8_t *bytes, std::size_t n, std::int64_t time) override;

    // The session's side of the script's calls (the script's thread hands them over).
    std::string sendNow(const std::string &text, bool raw);
    std::string setLinesNow(std::optional<bool> dtr, std::optional<bool> rts, std::optional<bool> brk);

  signals:
    void started(const QString &name);
    // A port.log line, as the script gave it (bytes).
    void logged(const QByteArray &text);
    // The script switched DTR (dtr true) or RTS.
    void outputLineSet(bool dtr, bool on);
    // The script changed the line settings.
    void settingsChanged();
    void finished(const ScriptRunner::Outcome &outcome);

  private:
    class Host;
    friend class Host;
    void ended(int run, int kind, const std::string &message, const std::string &traceback);
    void endRun();

    PortSession &m_port;
    ReceiveView &m_view;
    Sender &m_sender;
    int m_noticeGap = 0;
    bool m_active = false;
    int m_run = 0; // the run a late notice of the script's thread belongs to
    Outcome::Kind m_stopKind = Outcome::Kind::Stopped;
    bool m_breakOn = false;
    QString m_name;
    std::chrono::steady_clock::time_point m_startedAt;
    std::shared_ptr<ScriptChannel> m_channel;
    std::unique_ptr<Host> m_host;
    std::thread m_thread;
};

// A script's text (its log, its messages) for the user: UTF-8 as scripts are written, else CP932.
QString ScriptText(const std::string &bytes);
// A log line of script `name` as the traffic log's comment holds it: "name: text" in CP932, like
// the rest of the log (what CP932 lacks stays as the script wrote it).
std::string ScriptLogNote(const QString &name, const std::string &text);
