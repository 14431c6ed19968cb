// SPDX-License-Identifier: MIT
// The port session: the one serial port of a window (or of a script without one), from its
// communication settings to the device behind it. It opens and closes the port with the
// settings, says why an open failed, counts the line errors, switches and reads the modem lines,
// and follows a device that goes away and comes back (the automatic reopen). It shows nothing:
// what it has to say goes out as signals.
//
// Threads: every call and signal on the thread that owns it (the user-interface thread); the
// component's workers reach it only through the component's events, which come on that thread.
#pragma once

#include "CommSettings.h"
#include "Commx.h"
#include "PortDevice.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <map>
#include <optional>

class QTimer;

class PortSession : public QObject
{
    Q_OBJECT

  public:
    // How often a vanished node and a returning device are looked for: fast enough to notice
    // within a second, with no wake-up in between.
    static constexpr int kReopenLookMs = 500;

    explicit PortSession(QObject *parent = nullptr);
    ~PortSession() override;

    TCommX &comm() { return m_comm; }
    core::CommSettings &settings() { return m_settings; }
    const core::CommSettings &settings() const { return m_settings; }

    // Opens the port with the settings: an open the user asked for, which wins over a device
    // that was waited for. False when it did not open; openFailure() says why.
    bool openByHand();
    void close();
    bool isOpen() const;
    // The reason the last open failed.
    QString openFailure() const;
    // The second line of the failed-open message: the reason, with the settings file's path
    // where the fix lies there.
    QString openFailureDetail() const;
    // After an open by hand failed because the device is not there: with the reopen on, the
    // device is looked for as after an unplug (the same identity rules) and opened once it
    // appears. True when it is looked for.
    bool waitForDevice();
    // How the last open of port `comNo` on another machine went: "接続済み",
    // "接続できません: <reason>", or empty when it was not tried.
    QString remoteState(int comNo) const;

    // New line settings (rate, word size, parity, stop bits, flow) for the open port, without a
    // reopen: the device takes them at once. False with the reason, the old ones kept, when the
    // device refuses one.
    bool changeLineSettings(const core::CommSettings &next, QString *error);

    // Line errors and bytes lost since the open or the last reset ("ログクリア" starts them
    // again from now; an open from zero).
    platform::CommErrorCounts lineErrors();
    void resetLineErrors(bool reopened);

    // The output lines: raised at every open.
    void setRts(bool on);
    void setDtr(bool on);
    bool cts();
    bool dsr();
    struct InputLines {
        bool cts = false;
        bool dsr = false;
    };
    // Both in one read of the device, for a tick that shows both.
    InputLines inputLines();
    // False while the port is on another machine that does not carry its lines (raw TCP, or a
    // Telnet server without COM-PORT-OPTION): then the lamps have no state to show.
    bool linesKnown() const;

    // The automatic reopen ("自動再接続").
    bool autoReopen() const { return m_autoReopen; }
    void setAutoReopen(bool on);
    // Asked before every try: false holds a reopen back (the settings dialog, which opens the
    // port itself, or a play-out still winding down).
    void setReopenAllowed(std::function<bool()> allowed) { m_reopenAllowed = std::move(allowed); }
    QTimer *reopenTimer() const { return m_reopenTimer; }
    // Twice a second while no port is open: reopens the port once its device is back.
    void reopenLook();
    // Called by every receive tick: notices, at most every kReopenLookMs, that the node of the
    // open port vanished without a hang-up. An open port thus costs no wake-up of its own.
    void followOpenDevice();
    // The device of the open port went away: what it sent is shown (deviceGoing), the port
    // closes and, with the reopen on, its device is watched for.
    void deviceLost();

    // The window closes: no more opens, looks or events.
    void shutdown();

  signals:
    // An open begins: what an earlier open left unshown is no longer wanted.
    void opening();
    // The port opened, by hand or by a reopen.
    void opened();
    // The port closed, by hand or because its device went.
    void closed();
    // The device went away and the port is about to close: take what it still has.
    void deviceGoing();
    void status(const QString &text);
    // A line error or a break came: the counts changed.
    void lineEvent();
    // The counts start again (an open, or "ログクリア").
    void lineErrorsReset();

  private:
    void lookAtNode();
    bool open(const platform::PortIdentity *device);
    bool openNow(const platform::PortIdentity *device);
    void tellRemote();
    void tellAnsweredRate();
    void raiseOutputLines();
    void setLineParams();

    TCommX m_comm;
    core::CommSettings m_settings;
    QTimer *m_reopenTimer = nullptr;
    std::chrono::steady_clock::time_point m_lastNodeLook;
    std::function<bool()> m_reopenAllowed;
    bool m_shutDown = false;
    bool m_opening = false; // an open runs (a connect lets the window process its events)
    std::optional<platform::PortIdentity> m_opened; // the device of the open port
    std::optional<platform::PortIdentity> m_lost;   // a device that went away, watched for
    bool m_lostAtOpen = false; // ... or one that was not there when the user opened the port
    bool m_autoReopen = true;
    QString m_reopenStatus;                    // the last status line of a failing reopen, said once
    int m_reopenPause = 1;                     // looks between two tries of a device that will not open
    int m_reopenWait = 0;                      // looks still to wait before the next try
    platform::CommErrorCounts m_lineErrorBase; // the device's counts at the last reset
    std::map<int, QString> m_remoteStates;     // by COM number, for ports on other machines
};
