// SPDX-License-Identifier: MIT
// The automatic replies ("自動応答"): rules that answer what the device sends. The rules listen to
// the received bytes as they are taken from the port (the traffic stream), whatever the pages
// show; a match queues its reply, which goes out after the rule's delay through the sender like a
// mixed send, with its echo line on the pages and in the traffic log.
//
// The receive tick never waits for a reply: replies wait in a queue of their own, bounded (a
// reply that finds it full is dropped, counted, and told once). A rule that fires more than
// kLoopLimit times within a second (a reply that matches its own rule on the loopback plug, say)
// is stopped for the run, and told.
//
// Threads: the user-interface thread only.
#pragma once

#include "MixSend.h"
#include "ReplyMatcher.h"
#include "ReplyRules.h"
#include "TrafficStream.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <deque>
#include <string>
#include <vector>

class QTimer;
class ReceiveView;
class Sender;

class AutoReplies : public QObject, public core::TrafficListener
{
    Q_OBJECT

  public:
    static constexpr int kMaxQueued = 64;
    static constexpr int kLoopLimit = 100; // fires within one second

    AutoReplies(ReceiveView &view, Sender &sender, QObject *parent = nullptr);
    ~AutoReplies() override;

    // The rules from "AutoReply.ini"; what could not be read is in problems().
    void load();
    const QStringList &problems() const { return m_problems; }
    // The file and the reason when it could not be written, else an empty text.
    QString save() const;

    const std::vector<core::ReplyRule> &rules() const { return m_rules.rules; }
    // New rules (the dialog's OK): a rule that is the same as before keeps its counter.
    void setRules(std::vector<core::ReplyRule> rules);
    // How often each rule fired since the rules were set or its counter reset.
    int fired(int rule) const { return m_state[static_cast<std::size_t>(rule)].fired; }
    void resetFired(int rule);

    // "自動応答を有効にする": all rules on or off.
    bool on() const { return m_rules.on; }
    void setOn(bool on);
    // How many rules can fire now (on, readable, not used up, not stopped by the loop guard).
    int activeCount() const;

    void lineCompleted(const core::CompletedLine &) override {}
    void bytesTaken(const std::uint8_t *bytes, std::size_t n, std::int64_t time) override;

  signals:
    void status(const QString &text);
    // The rules that can fire changed (their number, for the status bar).
    void activeChanged();

  private:
    using Clock = std::chrono::steady_clock;
    struct RuleState {
        int fired = 0;
        bool stopped = false;                 // by the loop guard, for this run
        std::deque<Clock::time_point> recent; // fires within the last second
    };
    struct Pending {
        Clock::time_point due;
        core::MixSendPlan plan;
    };

    bool canFire(std::size_t rule) const;
    void rebuild();
    void fire(std::size_t rule, const std::vector<std::uint8_t> &captures);
    void schedule(int atLeastMs);
    void sendDue();

    ReceiveView &m_view;
    Sender &m_sender;
    core::ReplyRules m_rules;
    std::vector<RuleState> m_state;
    std::vector<std::size_t> m_active; // the rule of each pattern of the matcher
    core::ReplyMatcher m_matcher;
    std::deque<Pending> m_queue;
    QTimer *m_timer = nullptr;
    int m_dropped = 0;
    QStringList m_problems;
};
