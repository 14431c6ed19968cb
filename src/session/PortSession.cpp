// SPDX-License-Identifier: MIT
#include "PortSession.h"

#include "PortStatusText.h"
#include "UserFiles.h"

#include <QFile>
#include <QTimer>

#include <algorithm>

namespace
{

// A device that is back but will not open costs a pause at every try (the port is opened and
// closed on the user-interface thread), so such tries come further apart: the pause doubles up to
// this many looks (4 s).
constexpr int kMaxReopenPause = 8;

QString DeviceText(const platform::PortIdentity &device, const std::string &path = {})
{
    const QString name = path.empty() || device.target.isLoopback()
                             ? PortTargetName(device.target)
                             : QFile::decodeName(QByteArray::fromStdString(path));
    return QStringLiteral("COM%1 の装置（%2）").arg(device.comNumber).arg(name);
}

} // namespace

PortSession::PortSession(QObject *parent) : QObject(parent)
{
    m_reopenTimer = new QTimer(this);
    m_reopenTimer->setObjectName(QStringLiteral("TimerReopen"));
    m_reopenTimer->setInterval(kReopenLookMs);
    connect(m_reopenTimer, &QTimer::timeout, this, [this] { reopenLook(); });
    m_reopenTimer->start();
    m_comm.OnError = [this](QObject *, std::int32_t) { emit lineEvent(); };
    m_comm.OnBreak = [this](QObject *) { emit lineEvent(); };
    m_comm.OnDeviceLost = [this](QObject *) { deviceLost(); };
    // The setting texts start empty, until the settings file is read.
    m_settings.Parity.clear();
    m_settings.StopBits.clear();
    m_settings.Flow.clear();
}

PortSession::~PortSession()
{
    m_comm.OnReceive = nullptr;
    m_comm.OnError = nullptr;
    m_comm.OnBreak = nullptr;
    m_comm.OnDeviceLost = nullptr;
    m_comm.PortClose();
}

void PortSession::shutdown()
{
    m_shutDown = true;
    m_reopenTimer->stop();
}

bool PortSession::isOpen() const
{
    return m_comm.Handle() != TCustomCommX::kInvalidHandle;
}

QString PortSession::openFailure() const
{
    return OpenFailureReason(platform::LastOpenProblem());
}

QString PortSession::openFailureDetail() const
{
    const std::string file = platform::UserFilePath(platform::SettingsFileName());
    return OpenFailureDetail(platform::LastOpenProblem(), QFile::decodeName(QByteArray::fromStdString(file)));
}

bool PortSession::openByHand()
{
    m_lost.reset();
    m_lostAtOpen = false;
    return open(nullptr);
}

bool PortSession::waitForDevice()
{
    if (m_shutDown || !m_autoReopen || isOpen())
        return false;
    const platform::OpenProblem problem = platform::LastOpenProblem();
    if (problem.kind != platform::OpenProblem::Kind::NotPresent || problem.comNumber != m_settings.ComNo)
        return false;
    // Known by its name only, until it is there: a USB device's serial number is learnt at the open.
    const platform::PortIdentity device = platform::IdentifyPort(m_settings.ComNo);
    if (!device.target.found() || device.target.isNetwork() || !device.canComeBack())
        return false;
    m_lost = device;
    m_lostAtOpen = true;
    m_reopenStatus.clear();
    m_reopenPause = 1;
    m_reopenWait = 0;
    return true;
}

void PortSession::close()
{
    m_comm.PortClose();
    m_opened.reset();
    m_reopenTimer->start();
    emit closed();
}

bool PortSession::open(const platform::PortIdentity *device)
{
    // A connect to another machine lets the window go on with its events: a reopen's look that
    // comes meanwhile must not start a second open.
    if (m_opening)
        return false;
    m_opening = true;
    const bool ok = openNow(device);
    m_opening = false;
    return ok;
}

bool PortSession::openNow(const platform::PortIdentity *device)
{
    m_opened.reset();
    const core::CommSettings &s = m_settings;
    setLineParams();
    m_comm.SetPortNo(s.ComNo);
    emit opening();
    try {
        m_comm.PortOpen();
    } catch (const std::exception &) {
        // Whatever failed (device missing or busy, a setting refused, a worker not started), the
        // program goes on without a port; the caller tells the user.
        const platform::OpenProblem problem = platform::LastOpenProblem();
        if (problem.target.isNetwork())
            m_remoteStates[s.ComNo] = QStringLiteral("接続できません: ") + ConnectFailureShort(problem);
        resetLineErrors(true);
        return false;
    }
    if (m_comm.RemotePort().isNetwork)
        m_remoteStates[s.ComNo] = QStringLiteral("接続済み");
    m_opened = device ? *device : platform::IdentifyPort(s.ComNo);
    // While open, the receive tick looks at the node (followOpenDevice).
    m_reopenTimer->stop();
    m_lastNodeLook = std::chrono::steady_clock::now();
    resetLineErrors(true);
    raiseOutputLines();
    emit opened();
    tellRemote();
    return true;
}

void PortSession::setLineParams()
{
    const core::CommSettings &s = m_settings;
    m_comm.SetBitRate(s.Speed);
    m_comm.SetCharSize(s.WordSize);
    m_comm.SetParityBit(s.Parity == "EVEN" ? cpbEven : s.Parity == "ODD" ? cpbOdd : cpbNone);
    m_comm.SetStopBit(s.StopBits == "1.5" ? csb1p5 : s.StopBits == "2" ? csb2 : csb1);
    m_comm.SetFlowCtrl(s.Flow == "RTS/CTS" ? cfcRtsCts : cfcNone);
}

bool PortSession::changeLineSettings(const core::CommSettings &next, QString *error)
{
    const core::CommSettings before = m_settings;
    m_settings.Speed = next.Speed;
    m_settings.WordSize = next.WordSize;
    m_settings.Parity = next.Parity;
    m_settings.StopBits = next.StopBits;
    m_settings.Flow = next.Flow;
    try {
        setLineParams();
        return true;
    } catch (const std::exception &e) {
        *error = QString::fromUtf8(e.what());
    }
    m_settings = before;
    try {
        setLineParams();
    } catch (const std::exception &) {
        // The device took the old settings before; what it says now changes nothing for the caller.
    }
    return false;
}

void PortSession::tellRemote()
{
    const platform::RemotePortState remote = m_comm.RemotePort();
    if (!remote.isNetwork)
        return;
    const QString com = QStringLiteral("COM%1").arg(m_settings.ComNo);
    if (remote.raw) {
        emit status(com +
                    QStringLiteral(" は TCP でバイトだけを送受信します。通信設定と制御線はリモートのポートに"
                                   "届きません"));
    } else if (!remote.rfc2217) {
        emit status(com +
                    QStringLiteral(" のサーバーは RFC 2217 の COM ポート制御を受け付けません。通信設定と"
                                   "制御線はリモートのポートに届きません"));
    } else {
        // The server's answer to the rate may come a little after the open.
        tellAnsweredRate();
        QTimer::singleShot(1200, this, [this] { tellAnsweredRate(); });
    }
}

void PortSession::tellAnsweredRate()
{
    const platform::RemotePortState remote = m_comm.RemotePort();
    if (remote.rfc2217 && remote.answered && remote.baudAnswered != remote.baudAsked)
        emit status(QStringLiteral("COM%1 の通信速度: %2 (%3)（リモートのポートは頼んだ速度にできません）")
                        .arg(m_settings.ComNo)
                        .arg(remote.baudAsked)
                        .arg(remote.baudAnswered));
}

QString PortSession::remoteState(int comNo) const
{
    const auto it = m_remoteStates.find(comNo);
    return it == m_remoteStates.end() ? QString() : it->second;
}

bool PortSession::linesKnown() const
{
    const platform::RemotePortState remote = m_comm.RemotePort();
    return !remote.isNetwork || remote.rfc2217;
}

void PortSession::raiseOutputLines()
{
    m_comm.SetDtrSignal(true);
    m_comm.SetRtsSignal(true);
}

platform::CommErrorCounts PortSession::lineErrors()
{
    const platform::CommErrorCounts now = m_comm.GetErrorCounts();
    auto since = [](platform::DWORD value, platform::DWORD base) {
        return value >= base ? value - base : value;
    };
    platform::CommErrorCounts shown;
    shown.overrun = since(now.overrun, m_lineErrorBase.overrun);
    shown.parity = since(now.parity, m_lineErrorBase.parity);
    shown.framing = since(now.framing, m_lineErrorBase.framing);
    shown.breaks = since(now.breaks, m_lineErrorBase.breaks);
    shown.lost = since(now.lost, m_lineErrorBase.lost);
    return shown;
}

void PortSession::resetLineErrors(bool reopened)
{
    m_lineErrorBase = reopened ? platform::CommErrorCounts{} : m_comm.GetErrorCounts();
    emit lineErrorsReset();
}

void PortSession::setRts(bool on)
{
    m_comm.SetRtsSignal(on);
}

void PortSession::setDtr(bool on)
{
    m_comm.SetDtrSignal(on);
}

bool PortSession::cts()
{
    return m_comm.IsCtsSignal();
}

bool PortSession::dsr()
{
    return m_comm.IsDsrSignal();
}

PortSession::InputLines PortSession::inputLines()
{
    const std::uint32_t status = m_comm.ModemStatus();
    return {(status & platform::MS_CTS_ON) != 0, (status & platform::MS_DSR_ON) != 0};
}

void PortSession::setAutoReopen(bool on)
{
    m_autoReopen = on;
    if (!m_autoReopen && m_lost) {
        emit status(DeviceText(*m_lost) + (m_lostAtOpen
                                               ? QStringLiteral("を待つのをやめました（自動再接続は切）")
                                               : QStringLiteral("は切断されたままです（自動再接続は切）")));
        m_lost.reset();
    }
}

void PortSession::deviceLost()
{
    if (m_shutDown || !m_opened)
        return;
    // The bytes that came before the device went are still queued in the port; closing it now
    // would drop them.
    emit deviceGoing();
    const platform::PortIdentity device = *m_opened;
    m_opened.reset();
    m_comm.PortClose();
    m_reopenTimer->start();
    emit closed();
    m_reopenStatus.clear();
    m_reopenPause = 1;
    m_reopenWait = 0;
    m_lostAtOpen = false;
    if (m_autoReopen && !device.canComeBack()) {
        emit status(DeviceText(device) +
                    QStringLiteral("が切断されました。ポートを閉じました。開き直すには 設定 → 通信設定 → OK "
                                   "を選んでください（疑似端末の番号はほかの端末に使い回されるので、"
                                   "自動再接続はしません）"));
    } else if (m_autoReopen) {
        m_lost = device;
        emit status(DeviceText(device) + QStringLiteral("が切断されました。再接続を待っています"));
    } else {
        emit status(DeviceText(device) + QStringLiteral("が切断されました。ポートを閉じました"));
    }
}

void PortSession::followOpenDevice()
{
    const auto now = std::chrono::steady_clock::now();
    if (m_shutDown || !m_opened || now - m_lastNodeLook < std::chrono::milliseconds(kReopenLookMs))
        return;
    m_lastNodeLook = now;
    lookAtNode();
}

void PortSession::lookAtNode()
{
    // A node removed without a hang-up (a link that udev or a script took away) is a device that
    // went away all the same.
    if (isOpen() && !platform::PortNamePresent(*m_opened))
        deviceLost();
}

void PortSession::reopenLook()
{
    if (m_shutDown)
        return;
    if (m_opened) {
        lookAtNode();
        return;
    }
    // Never behind the user's back.
    if (!m_lost || !m_autoReopen || (m_reopenAllowed && !m_reopenAllowed()))
        return;
    const std::string path = platform::LocatePort(*m_lost);
    if (path.empty()) {
        // Gone again: when it comes back it is tried at once.
        m_reopenPause = 1;
        m_reopenWait = 0;
        return;
    }
    if (m_reopenWait > 0) {
        --m_reopenWait;
        return;
    }
    const platform::PortIdentity device = *m_lost;
    const bool pin = device.target.canPin();
    if (pin)
        platform::PinPort(device.comNumber, path);
    const bool opened = open(&device);
    if (pin)
        platform::PinPort(device.comNumber, std::string());
    const bool first = m_lostAtOpen;
    if (opened) {
        m_lost.reset();
        m_lostAtOpen = false;
        m_reopenStatus.clear();
        m_reopenPause = 1;
        // A device that was never open here was known by its name only: now that it is there,
        // what it is (its USB identity) decides whether it is the one that comes back later.
        if (first)
            m_opened = platform::IdentifyPort(device.comNumber);
        emit status(DeviceText(device, path) +
                    (first ? QStringLiteral("に接続しました") : QStringLiteral("に再接続しました")));
        return;
    }
    // A device that is back but held by another program, or that now refuses the settings, is
    // not forced: one status line says why, and a later look tries again.
    m_reopenPause = std::min(m_reopenPause * 2, kMaxReopenPause);
    m_reopenWait = m_reopenPause - 1;
    const QString text =
        DeviceText(device, path) +
        (first ? QStringLiteral("に接続できません: ") : QStringLiteral("に再接続できません: ")) +
        openFailure() + QStringLiteral(" 再試行します");
    if (text != m_reopenStatus) {
        m_reopenStatus = text;
        emit status(text);
    }
}
