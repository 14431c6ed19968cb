// SPDX-License-Identifier: MIT
// Devices that come and go: a device that went away closes the port with what it sent shown,
// and the port reopens with the same settings once the same device is back.
#include "Main.h"

#include "ui_Main.h"

#include "PortStatusText.h"
#include "RxPipeline.h"

#include <QAction>
#include <QDialog>
#include <QFile>
#include <QMenu>
#include <QTimer>

#include <algorithm>

namespace
{

// How often a vanished node and a returning device are looked for: fast enough to notice within
// a second, with no wake-up in between.
constexpr int kReopenLookMs = 500;
// What the device sent before it went is shown before the port closes; this bounds the work.
constexpr int kDrainPasses = 200;
// A device that is back but will not open costs the window a pause at every try (the port is
// opened and closed on its thread), so such tries come further apart: the pause doubles up to
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

void TForm1::CreateReopenItems()
{
    // Below the specified items and the time column's, after the separator, so that none of the
    // specified items moves.
    mnuAutoReopen = ui->mnuSettings->addAction(QStringLiteral("自動再接続"));
    mnuAutoReopen->setObjectName(QStringLiteral("mnuAutoReopen"));
    mnuAutoReopen->setCheckable(true);
    mnuAutoReopen->setChecked(m_autoReopen);
    TimerReopen = new QTimer(this);
    TimerReopen->setObjectName(QStringLiteral("TimerReopen"));
    TimerReopen->setInterval(kReopenLookMs);
    TimerReopen->start();
}

void TForm1::mnuAutoReopenClick()
{
    m_autoReopen = mnuAutoReopen->isChecked();
    if (!m_autoReopen && m_lost) {
        ShowStatus(DeviceText(*m_lost) + QStringLiteral("は切断されたままです（自動再接続は切）"));
        m_lost.reset();
    }
}

void TForm1::CommX1DeviceLost()
{
    if (m_closed || !m_opened)
        return;
    // The bytes that came before the device went are still queued in the port; closing it now
    // would drop them.
    for (int pass = 0; pass < kDrainPasses && CommX1.GetReceiveLength() > 0; ++pass)
        Timer1Timer();
    const platform::PortIdentity device = *m_opened;
    m_opened.reset();
    m_stopPlayOut = m_playingOut;
    CommX1.PortClose();
    m_reopenStatus.clear();
    m_reopenPause = 1;
    m_reopenWait = 0;
    if (m_autoReopen && !device.canComeBack()) {
        ShowStatus(DeviceText(device) +
                   QStringLiteral("が切断されました。ポートを閉じました。開き直すには 設定 → 通信設定 → OK "
                                  "を選んでください（疑似端末の番号はほかの端末に使い回されるので、"
                                  "自動再接続はしません）"));
    } else if (m_autoReopen) {
        m_lost = device;
        ShowStatus(DeviceText(device) + QStringLiteral("が切断されました。再接続を待っています"));
    } else {
        ShowStatus(DeviceText(device) + QStringLiteral("が切断されました。ポートを閉じました"));
    }
}

void TForm1::ReopenTimer()
{
    if (m_closed)
        return;
    if (m_opened) {
        // A node removed without a hang-up (a link that udev or a script took away) is a device
        // that went away all the same.
        if (CommX1.Handle() != TCustomCommX::kInvalidHandle && !platform::PortNamePresent(*m_opened))
            CommX1DeviceLost();
        return;
    }
    // Never behind the user's back: not while the settings dialog is up (its OK opens the port
    // itself) nor while a continuous output is still winding down.
    if (!m_lost || !m_autoReopen || m_playingOut || (m_frmSetting && m_frmSetting->isVisible()))
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
    const bool opened = OpenPort(&device);
    if (pin)
        platform::PinPort(device.comNumber, std::string());
    if (opened) {
        m_lost.reset();
        m_reopenStatus.clear();
        m_reopenPause = 1;
        ShowStatus(DeviceText(device, path) + QStringLiteral("に再接続しました"));
        return;
    }
    // A device that is back but held by another program, or that now refuses the settings, is
    // not forced: one status line says why, and a later look tries again.
    m_reopenPause = std::min(m_reopenPause * 2, kMaxReopenPause);
    m_reopenWait = m_reopenPause - 1;
    const QString status = DeviceText(device, path) + QStringLiteral("に再接続できません: ") +
                           OpenFailureReason(platform::LastOpenProblem()) + QStringLiteral(" 再試行します");
    if (status != m_reopenStatus) {
        m_reopenStatus = status;
        ShowStatus(status);
    }
}
