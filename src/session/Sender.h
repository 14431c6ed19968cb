// SPDX-License-Identifier: MIT
// The sender: every way the program sends. The string send (the text as typed and its
// delimiter), the mixed send (numbers and quoted strings, also a line picked up from a page), the
// pieces the control-character buttons add to a text, the four registered texts, the play-out of
// a file line by line, and the send history. Each send goes to the component in one call and
// shows its "[OUT]  " line on the shown pages of the receive view. It reads no widget: the window
// hands it the texts (CP932 bytes) and the choices of its controls.
//
// Threads: every call on the user-interface thread. A send may wait for room in the transmit
// queue while the window goes on processing its events; a second send meanwhile is refused.
#pragma once

#include "MixSend.h"
#include "ProgButtons.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class PortSession;
class QTimer;
class ReceiveView;

class Sender : public QObject
{
    Q_OBJECT

  public:
    Sender(PortSession &port, ReceiveView &view, QObject *parent = nullptr);

    // The form and type of the mixed send, read at every text (the radio groups of the window).
    struct MixSyntax {
        core::MixForm form;
        core::MixType type;
    };
    void setMixSyntax(std::function<MixSyntax()> syntax) { m_syntax = std::move(syntax); }

    // The string send: the text goes to the top of the history, then goes out whole with the
    // delimiter of `delimiterIndex` (0: none, 1: CR, 2: CR LF).
    void sendString(const std::string &text, int delimiterIndex);
    // The mixed send of the send box: an all-blank text does nothing; else it goes to the top of
    // the history and is sent.
    void sendMixed(const std::string &text);
    // One mixed-send text under the syntax chosen now: transmitted and echoed, history untouched.
    void sendMixText(const std::string &text);
    // True while a send has not returned.
    bool sending() const { return m_sending; }
    // An automatic reply, planned: sent and echoed like a mixed send. False, with nothing sent,
    // while another send is going (the reply then waits).
    bool sendReply(const core::MixSendPlan &plan);

    // The piece a control-character button adds to `text`, or nothing.
    std::optional<std::string> ctrlPiece(const std::string &text, unsigned char b) const;

    // The registered texts (CP932), slot 1 first, from "PButton.ini".
    core::ProgTexts &registered() { return m_registered; }
    void loadRegistered();
    // Sends slot `slot` (1 to 4); nothing when it is empty.
    void sendRegistered(int slot);
    // The repeat of a registered button: every intervalMs (0: no repeat, a click sends once),
    // `count` times (0: until stopped). Kept in "PButton.ini" in keys of their own.
    struct Repeat {
        int intervalMs = 0;
        int count = 0;
        bool operator==(const Repeat &) const = default;
    };
    static constexpr int kMinRepeatMs = 10;
    static constexpr int kMaxRepeatMs = 3600 * 1000;
    // The most sends one late timer makes up for at once.
    static constexpr int kMaxRepeatBurst = 100;
    Repeat repeat(int slot) const { return m_repeat[static_cast<std::size_t>(slot - 1)].settings; }
    // The file and the reason when it could not be written, else an empty text.
    QString setRepeat(int slot, Repeat repeat);
    bool repeating(int slot) const;
    // Starts the repeat of a slot that has one: it sends at once, then at every interval.
    void startRepeat(int slot);
    void stopRepeat(int slot);
    // Registers the box's text in `slot`, as it is or as a string with the delimiter. Returns
    // false with a status text when it cannot be registered; a file that cannot be written sets
    // *fileError instead (the text stays registered for this run).
    bool registerText(int slot, const std::string &box, bool asString, int delimiterIndex, QString *refusal,
                      QString *fileError);

    // The continuous output: every line of the file as a mixed-send text. False when it did not
    // run (another send still going, or the file cannot be opened).
    bool playOut(const QString &path);
    bool playingOut() const { return m_playingOut; }
    // Ends a running play-out after its current line (the device went away).
    void stopPlayOut() { m_stopPlayOut = m_playingOut; }

    // The send history, newest first (CP932).
    const std::vector<std::string> &history() const { return m_history; }
    void setHistory(std::vector<std::string> entries);
    void pushHistory(const std::string &text);
    void loadHistory();
    // The file and the reason when it could not be written, else an empty text.
    QString saveHistory() const;

    // The window closes: a waiting send ends, no more is sent.
    void shutdown() { m_shutDown = true; }

  signals:
    void status(const QString &text);
    void historyChanged();
    // A slot's repeat started or stopped.
    void repeatChanged(int slot);

  private:
    bool transmit(const std::string &bytes);
    void sendPlan(const core::MixSendPlan &plan);
    void repeatStep(int slot);
    bool acquire();
    void echo(const std::string &bytes, const core::EchoCells &cells, bool accepted, bool mixed);

    PortSession &m_port;
    ReceiveView &m_view;
    std::function<MixSyntax()> m_syntax;
    core::ProgTexts m_registered;
    struct RepeatSlot {
        Repeat settings;
        QTimer *timer = nullptr;
        QElapsedTimer since; // the start of the repeat
        qint64 sent = 0;
    };
    std::array<RepeatSlot, core::kProgSlots> m_repeat;
    std::vector<std::string> m_history;
    bool m_sending = false;
    bool m_playingOut = false;
    bool m_stopPlayOut = false;
    bool m_shutDown = false;
};
