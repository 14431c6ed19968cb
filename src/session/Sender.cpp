// SPDX-License-Identifier: MIT
#include "Sender.h"

#include "CtrlButtons.h"
#include "HistoryFile.h"
#include "Ini.h"
#include "LineReader.h"
#include "PortSession.h"
#include "ReceiveView.h"
#include "RxPipeline.h"
#include "SendCells.h"
#include "SendHistory.h"
#include "UserFiles.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include <algorithm>
#include <cstdlib>

namespace
{

const QString kMsgBusy = QStringLiteral("前の送信が終わっていません。");

// The value goes into "PButton.ini" inside a pair of double quotes, and a value is read back with
// at most kProfileValueMax characters: a longer text would come back cut after a restart.
constexpr std::size_t kRegisteredMax = platform::kProfileValueMax - 2;

// The repeats of the registered buttons, in "PButton.ini" beside the texts: keys of their own,
// written only once a repeat was set, so that the file of somebody who never used one stays as
// it was.
constexpr const char *kRepeatSection = "ProgButtonRepeat";

// While the transmit queue has room the sends never wait, and so never let the window process
// its events; the play-out then does so itself at this interval to keep the window alive.
constexpr qint64 kEventIntervalMs = 30;

} // namespace

// Held for the whole of one send. A send may wait for room in the transmit queue while the
// window goes on processing its events; a second send started meanwhile would put its bytes
// between the first one's, so it is refused (with a status-bar message) instead.
class SendGuard
{
  public:
    explicit SendGuard(Sender &sender, bool &sending) : m_sending(sending)
    {
        if (m_sending) {
            emit sender.status(kMsgBusy);
            return;
        }
        m_sending = true;
        m_acquired = true;
    }
    ~SendGuard()
    {
        if (m_acquired)
            m_sending = false;
    }
    SendGuard(const SendGuard &) = delete;
    SendGuard &operator=(const SendGuard &) = delete;
    bool acquired() const { return m_acquired; }

  private:
    bool &m_sending;
    bool m_acquired = false;
};

Sender::Sender(PortSession &port, ReceiveView &view, QObject *parent)
    : QObject(parent), m_port(port), m_view(view)
{
    connect(&m_port, &PortSession::deviceGoing, this, [this] { stopPlayOut(); });
    for (int slot = 1; slot <= core::kProgSlots; ++slot) {
        RepeatSlot &r = m_repeat[static_cast<std::size_t>(slot - 1)];
        r.timer = new QTimer(this);
        r.timer->setTimerType(Qt::PreciseTimer);
        connect(r.timer, &QTimer::timeout, this, [this, slot] { repeatStep(slot); });
    }
    // A repeat ends with the port: it starts again only when asked.
    connect(&m_port, &PortSession::closed, this, [this] {
        for (int slot = 1; slot <= core::kProgSlots; ++slot)
            stopRepeat(slot);
    });
}

bool Sender::transmit(const std::string &bytes)
{
    // Nothing to send is accepted only by an open port: the log must not show a line sent
    // while there was none.
    const bool open = m_port.isOpen();
    return m_port.comm().TransString(bytes) && open;
}

void Sender::echo(const std::string &bytes, const core::EchoCells &cells, bool accepted, bool mixed)
{
    const std::int64_t sentAt = m_view.lineTimeNow();
    for (int i = 0; i < m_view.pageCount(); ++i) {
        if (!mixed) {
            m_view.appendOutLine(i, cells[static_cast<std::size_t>(i)], sentAt);
            continue;
        }
        if (!m_view.visible()[static_cast<std::size_t>(i)])
            continue;
        core::Page &page = m_view.page(i);
        // The counter follows at once when the echo removes a blank line of the HEX page.
        const int n = page.count();
        if (i == core::kPageHex && n >= 3 && core::IsBlankLine(page.line(n - 2)))
            m_view.showLineCount(n - 1);
        m_view.appendOutLine(i, cells[static_cast<std::size_t>(i)], sentAt);
        page.add(std::string());
    }
    m_view.sentLine(bytes, cells, sentAt, accepted);
    m_view.refresh();
}

// --- String send ----------------------------------------------------------------------------

void Sender::sendString(const std::string &text, int delimiterIndex)
{
    const SendGuard guard(*this, m_sending);
    if (!guard.acquired())
        return;
    pushHistory(text);
    // The text goes whole, however long, with its delimiter, in one call.
    const std::string bytes = core::StringSendBytes(text, delimiterIndex);
    const bool accepted = transmit(bytes);
    if (m_shutDown)
        return;
    echo(bytes, core::StringSendCells(bytes), accepted, false);
}

// --- Mixed send -----------------------------------------------------------------------------

void Sender::sendMixed(const std::string &text)
{
    if (core::TrimLow(text).empty())
        return;
    const SendGuard guard(*this, m_sending);
    if (!guard.acquired())
        return;
    pushHistory(text);
    sendMixText(text);
}

void Sender::sendMixText(const std::string &text)
{
    const MixSyntax syntax = m_syntax ? m_syntax() : MixSyntax{core::MixForm::Normal, core::MixType::Hex};
    const core::MixSendPlan plan = core::PlanMixSend(text, syntax.form, syntax.type);
    if (plan.itemLimit)
        emit status(QString::fromUtf8(core::kItemLimitMessage.data(),
                                      static_cast<qsizetype>(core::kItemLimitMessage.size())));
    // The bytes of one text go to the component in one call, in the planned order: a block per
    // number item would let a fast link wait on the 32-block queue limit for every 32 bytes, and
    // the bytes on the wire are the same either way.
    sendPlan(plan);
}

void Sender::sendPlan(const core::MixSendPlan &plan)
{
    const std::string bytes = plan.bytes();
    const bool accepted = transmit(bytes);
    // A close while the call waited for room ends the send: nothing more goes to a closed window.
    if (m_shutDown || !plan.sent)
        return;
    echo(bytes, plan.cells, accepted, true);
}

bool Sender::sendReply(const core::MixSendPlan &plan)
{
    if (m_sending || m_shutDown)
        return false;
    const SendGuard guard(*this, m_sending);
    sendPlan(plan);
    return true;
}

std::optional<std::string> Sender::ctrlPiece(const std::string &text, unsigned char b) const
{
    const MixSyntax syntax = m_syntax ? m_syntax() : MixSyntax{core::MixForm::Normal, core::MixType::Hex};
    return core::CtrlButtonPiece(text, b, syntax.form, syntax.type);
}

// --- Registered texts -------------------------------------------------------------------------

void Sender::loadRegistered()
{
    const std::string path = platform::UserFileToRead(std::string(core::kProgButtonFile));
    m_registered = core::LoadProgButtons(path);
    platform::IniFile ini;
    ini.load(path);
    for (int slot = 1; slot <= core::kProgSlots; ++slot) {
        Repeat r;
        r.intervalMs = std::atoi(ini.get(kRepeatSection, "INTERVAL" + std::to_string(slot), "0").c_str());
        r.count =
            std::max(0, std::atoi(ini.get(kRepeatSection, "COUNT" + std::to_string(slot), "0").c_str()));
        if (r.intervalMs != 0)
            r.intervalMs = std::clamp(r.intervalMs, kMinRepeatMs, kMaxRepeatMs);
        m_repeat[static_cast<std::size_t>(slot - 1)].settings = r;
    }
}

QString Sender::setRepeat(int slot, Repeat repeat)
{
    if (slot < 1 || slot > core::kProgSlots)
        return {};
    if (repeat.intervalMs != 0)
        repeat.intervalMs = std::clamp(repeat.intervalMs, kMinRepeatMs, kMaxRepeatMs);
    repeat.count = std::max(0, repeat.count);
    stopRepeat(slot);
    m_repeat[static_cast<std::size_t>(slot - 1)].settings = repeat;
    const std::string name(core::kProgButtonFile);
    const std::string path = platform::UserFileToWrite(name);
    platform::IniFile ini;
    if (ini.load(platform::UserFileToRead(name))) {
        ini.set(kRepeatSection, "INTERVAL" + std::to_string(slot), std::to_string(repeat.intervalMs));
        ini.set(kRepeatSection, "COUNT" + std::to_string(slot), std::to_string(repeat.count));
        if (ini.save(path))
            return {};
    }
    return QStringLiteral("ファイル %1 に書き込めません。%2")
        .arg(QString::fromStdString(path), QString::fromStdString(ini.errorText()));
}

bool Sender::repeating(int slot) const
{
    return slot >= 1 && slot <= core::kProgSlots &&
           m_repeat[static_cast<std::size_t>(slot - 1)].timer->isActive();
}

void Sender::startRepeat(int slot)
{
    if (slot < 1 || slot > core::kProgSlots || repeating(slot) || m_shutDown)
        return;
    RepeatSlot &r = m_repeat[static_cast<std::size_t>(slot - 1)];
    if (r.settings.intervalMs <= 0)
        return;
    r.sent = 0;
    r.since.start();
    r.timer->start(r.settings.intervalMs);
    emit repeatChanged(slot);
    repeatStep(slot); // the first at once
}

void Sender::stopRepeat(int slot)
{
    if (!repeating(slot))
        return;
    m_repeat[static_cast<std::size_t>(slot - 1)].timer->stop();
    emit repeatChanged(slot);
}

void Sender::repeatStep(int slot)
{
    RepeatSlot &r = m_repeat[static_cast<std::size_t>(slot - 1)];
    // As many sends as the time since the start asks for: a timer that came late (a busy window)
    // is caught up with, so the count follows the clock; a long stall does not become a flood.
    const qint64 due = r.since.elapsed() / r.settings.intervalMs + 1;
    for (int burst = 0; r.sent < due && burst < kMaxRepeatBurst && repeating(slot); ++burst) {
        // A send still going (a play-out, a wait for room) makes this one wait for the next
        // interval rather than stand in its way.
        if (m_sending)
            break;
        sendRegistered(slot);
        ++r.sent;
        if (r.settings.count != 0 && r.sent >= r.settings.count)
            stopRepeat(slot);
    }
}

void Sender::sendRegistered(int slot)
{
    if (slot < 1 || slot > core::kProgSlots)
        return;
    const std::string text = m_registered[static_cast<std::size_t>(slot - 1)];
    if (!core::ProgTextSendable(text))
        return;
    const SendGuard guard(*this, m_sending);
    if (!guard.acquired())
        return;
    sendMixText(text);
}

bool Sender::registerText(int slot, const std::string &box, bool asString, int delimiterIndex,
                          QString *refusal, QString *fileError)
{
    if (slot < 1 || slot > core::kProgSlots)
        return false;
    const std::optional<std::string> text = core::RegisterProgText(box, asString, delimiterIndex);
    if (!text)
        return false;
    // Refused here rather than coming back different after a restart: the file holds one line
    // per key, and a value has a length limit.
    if (text->find_first_of("\r\n") != std::string::npos) {
        *refusal = QStringLiteral("改行を含む内容は登録できません。");
        return false;
    }
    if (text->size() > kRegisteredMax) {
        *refusal =
            QStringLiteral("登録できるのは%1バイトまでです。").arg(static_cast<qulonglong>(kRegisteredMax));
        return false;
    }
    m_registered[static_cast<std::size_t>(slot - 1)] = *text;
    std::string error;
    const std::string name(core::kProgButtonFile);
    const std::string path = platform::UserFileToWrite(name);
    if (!core::SaveProgButtons(path, m_registered, &error, platform::UserFileToRead(name)))
        *fileError = QStringLiteral("ファイル %1 に書き込めません。%2")
                         .arg(QString::fromStdString(path), QString::fromStdString(error));
    return true;
}

// --- Play-out -----------------------------------------------------------------------------------

bool Sender::playOut(const QString &path)
{
    const SendGuard guard(*this, m_sending);
    if (!guard.acquired())
        return false;
    core::LineReader reader(QFile::encodeName(path).toStdString());
    if (!reader.isOpen())
        return false;

    QElapsedTimer sinceEvents;
    sinceEvents.start();
    std::string line;
    m_playingOut = true;
    m_stopPlayOut = false;
    // Closing the window ends the play-out: the close shuts the port (a waiting send returns) and
    // no further line is read. So does a device that went away.
    while (!m_shutDown && !m_stopPlayOut && reader.next(line)) {
        sendMixText(line);
        if (sinceEvents.elapsed() >= kEventIntervalMs) {
            QCoreApplication::processEvents();
            sinceEvents.restart();
        }
    }
    m_playingOut = false;
    m_stopPlayOut = false;
    return true;
}

// --- History ------------------------------------------------------------------------------------

void Sender::setHistory(std::vector<std::string> entries)
{
    m_history = std::move(entries);
    emit historyChanged();
}

void Sender::pushHistory(const std::string &text)
{
    setHistory(core::PushSendHistory(m_history, text));
}

void Sender::loadHistory()
{
    std::vector<std::string> entries;
    core::LoadHistoryFile(platform::UserFileToRead(core::kHistoryFileName), entries);
    setHistory(std::move(entries));
}

QString Sender::saveHistory() const
{
    // The file is replaced in one step, so a failure leaves the old history whole.
    const std::string path = platform::UserFileToWrite(core::kHistoryFileName);
    std::string error;
    if (core::SaveHistoryFile(path, m_history, &error))
        return {};
    return QStringLiteral("%1: %2").arg(QFile::decodeName(QByteArray::fromStdString(path)),
                                        QString::fromStdString(error));
}
