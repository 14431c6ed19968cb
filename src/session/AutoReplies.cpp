// SPDX-License-Identifier: MIT
#include "AutoReplies.h"

#include "Cp932Text.h"
#include "ReceiveView.h"
#include "Sender.h"
#include "UserFiles.h"

#include <QFile>
#include <QTimer>

namespace
{

// A reply that finds another send going waits this long before it tries again.
constexpr int kBusyRetryMs = 5;

} // namespace

AutoReplies::AutoReplies(ReceiveView &view, Sender &sender, QObject *parent)
    : QObject(parent), m_view(view), m_sender(sender)
{
    m_timer = new QTimer(this);
    m_timer->setSingleShot(true);
    m_timer->setTimerType(Qt::PreciseTimer);
    connect(m_timer, &QTimer::timeout, this, [this] { sendDue(); });
    m_view.stream().subscribe(this);
}

AutoReplies::~AutoReplies()
{
    m_view.stream().unsubscribe(this);
}

void AutoReplies::load()
{
    std::vector<std::string> problems;
    m_rules = core::LoadReplyRules(platform::UserFileToRead(core::kReplyRuleFile), &problems);
    m_problems.clear();
    for (const std::string &p : problems)
        m_problems << FromCp932(p);
    m_state.assign(m_rules.rules.size(), RuleState{});
    rebuild();
}

QString AutoReplies::save() const
{
    const std::string name(core::kReplyRuleFile);
    const std::string path = platform::UserFileToWrite(name);
    std::string error;
    if (core::SaveReplyRules(path, m_rules, &error, platform::UserFileToRead(name)))
        return {};
    return QStringLiteral("%1: %2").arg(QFile::decodeName(QByteArray::fromStdString(path)),
                                        QString::fromStdString(error));
}

void AutoReplies::setRules(std::vector<core::ReplyRule> rules)
{
    for (core::ReplyRule &rule : rules)
        rule.problem = core::RuleProblem(rule);
    // A rule that stays as it was keeps its counter, wherever it now stands; the others start
    // from zero.
    std::vector<RuleState> states(rules.size());
    std::vector<bool> taken(m_rules.rules.size());
    for (std::size_t i = 0; i < rules.size(); ++i) {
        for (std::size_t j = 0; j < m_rules.rules.size(); ++j) {
            if (!taken[j] && m_rules.rules[j] == rules[i]) {
                taken[j] = true;
                states[i] = m_state[j];
                break;
            }
        }
    }
    m_rules.rules = std::move(rules);
    m_state = std::move(states);
    rebuild();
}

void AutoReplies::resetFired(int rule)
{
    RuleState &s = m_state[static_cast<std::size_t>(rule)];
    s.fired = 0;
    s.recent.clear();
    rebuild(); // a rule used up may fire again
}

void AutoReplies::setOn(bool on)
{
    m_rules.on = on;
    rebuild();
}

bool AutoReplies::canFire(std::size_t rule) const
{
    const core::ReplyRule &r = m_rules.rules[rule];
    const RuleState &s = m_state[rule];
    return m_rules.on && r.enabled && r.problem.empty() && !s.stopped && (r.times == 0 || s.fired < r.times);
}

int AutoReplies::activeCount() const
{
    int n = 0;
    for (std::size_t i = 0; i < m_rules.rules.size(); ++i)
        n += canFire(i) ? 1 : 0;
    return n;
}

void AutoReplies::rebuild()
{
    std::vector<core::BytePattern> patterns;
    m_active.clear();
    for (std::size_t i = 0; i < m_rules.rules.size(); ++i) {
        if (!canFire(i))
            continue;
        std::string error;
        patterns.push_back(core::RulePattern(m_rules.rules[i], &error).value_or(core::BytePattern{}));
        m_active.push_back(i);
    }
    m_matcher.setPatterns(patterns);
    emit activeChanged();
}

void AutoReplies::bytesTaken(const std::uint8_t *bytes, std::size_t n, std::int64_t)
{
    while (n > 0 && !m_active.empty()) {
        core::ReplyMatcher::Match match;
        const std::size_t used = m_matcher.feed(bytes, n, &match);
        bytes += used;
        n -= used;
        if (match.pattern >= 0)
            fire(m_active[static_cast<std::size_t>(match.pattern)], match.captures);
    }
}

void AutoReplies::fire(std::size_t rule, const std::vector<std::uint8_t> &captures)
{
    const core::ReplyRule &r = m_rules.rules[rule];
    RuleState &s = m_state[rule];
    const Clock::time_point now = Clock::now();
    s.recent.push_back(now);
    while (!s.recent.empty() && now - s.recent.front() > std::chrono::seconds(1))
        s.recent.pop_front();
    if (static_cast<int>(s.recent.size()) > kLoopLimit) {
        s.stopped = true;
        rebuild();
        emit status(QStringLiteral("自動応答「%1」を止めました: 1 秒に %2 回を超えて応答しました"
                                   "（自分の応答に応答しているのかもしれません）")
                        .arg(FromCp932(r.name))
                        .arg(kLoopLimit));
        return;
    }
    ++s.fired;
    if (r.times != 0 && s.fired >= r.times)
        rebuild();
    if (static_cast<int>(m_queue.size()) >= kMaxQueued) {
        if (m_dropped++ == 0)
            emit status(
                QStringLiteral("自動応答の待ちがいっぱいのため、応答を捨てました（以後は数えるだけです）"));
        return;
    }
    core::MixSendPlan plan = core::PlanMixSend(r.reply, core::MixForm::Normal, core::MixType::Hex, &captures);
    if (!plan.sent)
        return;
    // In the order they are due, those due together in the order they fired.
    const Clock::time_point due = now + std::chrono::milliseconds(r.delayMs);
    auto at = m_queue.end();
    while (at != m_queue.begin() && std::prev(at)->due > due)
        --at;
    m_queue.insert(at, Pending{due, std::move(plan)});
    schedule(0);
}

void AutoReplies::schedule(int atLeastMs)
{
    if (m_queue.empty())
        return;
    // Never from within the tick: the reply goes once the window is back at its events.
    const auto wait =
        std::chrono::duration_cast<std::chrono::milliseconds>(m_queue.front().due - Clock::now()).count();
    m_timer->start(std::max<int>(atLeastMs, static_cast<int>(std::max<std::int64_t>(wait, 0))));
}

void AutoReplies::sendDue()
{
    while (!m_queue.empty() && m_queue.front().due <= Clock::now()) {
        // Out of the queue before it goes: a send may let the window process its events, and
        // the bytes that come meanwhile may queue further replies.
        Pending next = std::move(m_queue.front());
        m_queue.pop_front();
        if (!m_sender.sendReply(next.plan)) {
            m_queue.push_front(std::move(next));
            schedule(kBusyRetryMs); // another send is going: after it
            return;
        }
    }
    schedule(0);
}
