// SPDX-License-Identifier: MIT
#include "ScriptRunner.h"

#include "Cp932Text.h"
#include "LuaScript.h"
#include "MixSend.h"
#include "PortSession.h"
#include "ReceiveView.h"
#include "ScriptHost.h"
#include "SendCells.h"
#include "Sender.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <utility>

namespace
{

const std::string kBusy = "\x01"; // another send is going: the script's side tries again
const std::string kNotOpen = "ポートが開いていません";
// How soon a send that found another one going tries again.
constexpr auto kBusyRetry = std::chrono::milliseconds(2);

} // namespace

QString ScriptText(const std::string &bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString text = utf8.decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    return utf8.hasError() ? FromCp932(bytes) : text;
}

std::string ScriptLogNote(const QString &name, const std::string &text)
{
    const std::string file = ToCp932(name).value_or(QFile::encodeName(name).toStdString());
    return file + ": " + ToCp932(ScriptText(text)).value_or(text);
}

// The script's thread's side of the calls: each goes to the runner's thread and is waited for.
class ScriptRunner::Host : public ScriptHost
{
  public:
    Host(ScriptRunner &runner, std::shared_ptr<ScriptChannel> channel)
        : m_runner(runner), m_channel(std::move(channel))
    {
    }

    std::optional<std::string> send(const std::string &text, bool raw) override
    {
        for (;;) {
            std::optional<std::string> answer =
                call<std::string>([r = &m_runner, text, raw] { return r->sendNow(text, raw); });
            if (!answer || *answer != kBusy)
                return answer;
            m_channel->waitUntil([] { return false; }, ScriptChannel::Clock::now() + kBusyRetry);
            if (m_channel->stopped())
                return std::nullopt;
        }
    }
    std::optional<std::string> setLines(std::optional<bool> dtr, std::optional<bool> rts,
                                        std::optional<bool> brk) override
    {
        return call<std::string>([r = &m_runner, dtr, rts, brk] { return r->setLinesNow(dtr, rts, brk); });
    }
    std::optional<Lines> lines() override
    {
        return call<Lines>([r = &m_runner] {
            Lines lines;
            if (!r->m_port.isOpen())
                lines.error = kNotOpen;
            else
                lines = {r->m_port.cts(), r->m_port.dsr(), {}};
            return lines;
        });
    }
    std::optional<Settings> settings(const std::optional<core::CommSettings> &change) override
    {
        return call<Settings>([r = &m_runner, change] {
            Settings s;
            if (change) {
                QString error;
                if (r->m_port.changeLineSettings(*change, &error))
                    emit r->settingsChanged();
                else
                    s.error = "通信設定を変更できません: " + error.toStdString();
            }
            s.comm = r->m_port.settings();
            return s;
        });
    }
    bool log(const std::string &text) override
    {
        return call<bool>([r = &m_runner, text] {
                   emit r->logged(QByteArray::fromStdString(text));
                   return true;
               })
            .has_value();
    }

  private:
    // Runs `work` on the runner's thread and waits for its answer or the stop. The answer lives
    // in a place of its own: a call the stop gave up on may still answer into it.
    template <typename R, typename F> std::optional<R> call(F work)
    {
        auto answer = std::make_shared<std::optional<R>>();
        QMetaObject::invokeMethod(
            &m_runner,
            [answer, channel = m_channel, work = std::move(work)] {
                // A script stopped meanwhile does nothing more: it no longer waits for the answer.
                if (channel->stopped())
                    return;
                R result = work();
                channel->wake([&] { *answer = std::move(result); });
            },
            Qt::QueuedConnection);
        if (!m_channel->waitUntil([&] { return answer->has_value(); }, std::nullopt))
            return std::nullopt;
        return std::move(*answer);
    }

    ScriptRunner &m_runner;
    std::shared_ptr<ScriptChannel> m_channel;
};

ScriptRunner::ScriptRunner(PortSession &port, ReceiveView &view, Sender &sender, QObject *parent)
    : QObject(parent), m_port(port), m_view(view), m_sender(sender)
{
}

ScriptRunner::~ScriptRunner()
{
    shutdown();
}

bool ScriptRunner::start(const QString &path, QString *why)
{
    const QFileInfo file(path);
    if (m_active)
        *why = QStringLiteral("スクリプト %1 を実行中です。").arg(m_name);
    else if (!m_port.isOpen())
        *why = QStringLiteral("ポートが開いていません。");
    else if (!file.isFile() || !file.isReadable())
        *why = QStringLiteral("スクリプトのファイル %1 を読めません。").arg(path);
    else
        why->clear();
    if (!why->isEmpty())
        return false;

    m_name = file.fileName();
    m_active = true;
    m_breakOn = false;
    m_stopKind = Outcome::Kind::Stopped;
    m_startedAt = std::chrono::steady_clock::now();
    // What came before the script is none of its business: its bytes start now.
    m_channel = std::make_shared<ScriptChannel>();
    m_host = std::make_unique<Host>(*this, m_channel);
    m_view.stream().subscribe(this);
    m_port.comm().SetDataNoticeGap(m_noticeGap);
    const int run = ++m_run;
    const std::string bytes = QFile::encodeName(file.absoluteFilePath()).toStdString();
    m_thread = std::thread([this, run, bytes, host = m_host.get(), channel = m_channel, at = m_startedAt] {
        LuaScript script(*host, *channel);
        const LuaScript::Result r = script.runFile(bytes, at);
        QMetaObject::invokeMethod(
            this, [this, run, r] { ended(run, static_cast<int>(r.kind), r.message, r.traceback); },
            Qt::QueuedConnection);
    });
    emit started(m_name);
    return true;
}

void ScriptRunner::stop()
{
    if (m_active)
        m_channel->stop();
}

void ScriptRunner::timeOut()
{
    if (!m_active)
        return;
    m_stopKind = Outcome::Kind::TimedOut;
    m_channel->stop();
}

void ScriptRunner::endRun()
{
    if (m_thread.joinable())
        m_thread.join();
    m_view.stream().unsubscribe(this);
    m_port.comm().SetDataNoticeGap(TCustomCommX::kDataNoticeGapMs);
    // A break the script left on would hold the line for ever.
    if (m_breakOn)
        m_port.comm().SetBreakState(false);
    m_breakOn = false;
    m_host.reset();
    m_active = false;
}

void ScriptRunner::shutdown()
{
    if (!m_active)
        return;
    m_channel->stop();
    endRun();
}

void ScriptRunner::ended(int run, int kind, const std::string &message, const std::string &traceback)
{
    if (run != m_run || !m_active)
        return; // shut down meanwhile
    endRun();
    Outcome outcome;
    switch (static_cast<LuaScript::Result::Kind>(kind)) {
    case LuaScript::Result::Kind::Ended:
        outcome.kind = Outcome::Kind::Ended;
        break;
    case LuaScript::Result::Kind::Failed:
        outcome.kind = Outcome::Kind::Failed;
        break;
    case LuaScript::Result::Kind::Error:
        outcome.kind = Outcome::Kind::Error;
        break;
    case LuaScript::Result::Kind::Stopped:
        outcome.kind = m_stopKind;
        break;
    }
    outcome.script = m_name;
    outcome.message = ScriptText(message);
    outcome.traceback = ScriptText(traceback);
    outcome.ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - m_startedAt)
            .count();
    emit finished(outcome);
}

void ScriptRunner::bytesTaken(const std::uint8_t *bytes, std::size_t n, std::int64_t)
{
    if (m_active)
        m_channel->push(bytes, n);
}

std::string ScriptRunner::sendNow(const std::string &text, bool raw)
{
    if (!m_port.isOpen())
        return kNotOpen;
    core::MixSendPlan plan;
    if (raw) {
        if (text.empty())
            return {};
        plan.calls.push_back({text});
        plan.cells = core::MixSendCells(text);
        plan.sent = true;
    } else {
        plan = core::PlanMixSend(text, core::MixForm::Normal, core::MixType::Hex);
        if (!plan.sent)
            return "送るバイトがありません";
    }
    return m_sender.sendReply(plan) ? std::string() : kBusy;
}

std::string ScriptRunner::setLinesNow(std::optional<bool> dtr, std::optional<bool> rts,
                                      std::optional<bool> brk)
{
    if (!m_port.isOpen())
        return kNotOpen;
    if (dtr) {
        m_port.setDtr(*dtr);
        emit outputLineSet(true, *dtr);
    }
    if (rts) {
        m_port.setRts(*rts);
        emit outputLineSet(false, *rts);
    }
    if (brk) {
        m_port.comm().SetBreakState(*brk);
        m_breakOn = *brk;
    }
    return {};
}
