// SPDX-License-Identifier: MIT
// The port as the window shows it: the reopen's menu item, the line-error counter, and the
// control-line panel, where the RTS and DTR labels switch their output lines and the CTS and DSR
// labels show the input lines once per tick. An output's state is its label's colour: the program
// keeps no other record of what it last switched.
#include "Main.h"

#include "ui_Main.h"

#include "PortStatusText.h"

#include <QAction>
#include <QLabel>
#include <QMenu>

namespace
{

const QColor kActive(0, 255, 0);
const QColor kInactive(0, 128, 0);

// The line-error counter's place: the free space of the line counter's row, between the
// control-code buttons and the line-break choice, so that no control of the form moves.
const QRect kLineErrorsGeometry(392, 60, 86, 19);

bool IsActiveColour(const QLabel *label)
{
    return label->palette().color(QPalette::Window) == kActive;
}

void Paint(QLabel *label, const QColor &colour)
{
    if (label->palette().color(QPalette::Window) == colour)
        return; // every tick repaints the inputs: only a change costs anything
    QPalette palette = label->palette();
    palette.setColor(QPalette::Window, colour);
    label->setPalette(palette);
}

} // namespace

void TForm1::CreatePortItems()
{
    // Below the specified items and the time column's, after the separator, so that none of the
    // specified items moves.
    m_mnuAutoReopen = ui->mnuSettings->addAction(QStringLiteral("自動再接続"));
    m_mnuAutoReopen->setObjectName(QStringLiteral("mnuAutoReopen"));
    m_mnuAutoReopen->setCheckable(true);
    m_mnuAutoReopen->setChecked(m_port.autoReopen());
    stLineErrors = new QLabel(ui->stLogCount->parentWidget());
    stLineErrors->setObjectName(QStringLiteral("stLineErrors"));
    stLineErrors->setGeometry(kLineErrorsGeometry);
    ShowLineErrors();
}

void TForm1::mnuAutoReopenClick()
{
    m_port.setAutoReopen(m_mnuAutoReopen->isChecked());
}

void TForm1::PortOpened()
{
    if (IsNotConnectedStatus(ui->StatusBar1->currentMessage()))
        ui->StatusBar1->clearMessage();
    PaintOutputLines();
    ui->stComSet->setText(ComSetText());
}

void TForm1::PaintOutputLines()
{
    Paint(ui->stDTR, kActive);
    Paint(ui->stRTS, kActive);
}

void TForm1::ShowOutputLine(bool dtr, bool on)
{
    Paint(dtr ? ui->stDTR : ui->stRTS, on ? kActive : kInactive);
}

void TForm1::stRTSClick()
{
    const bool on = !IsActiveColour(ui->stRTS);
    m_port.setRts(on);
    Paint(ui->stRTS, on ? kActive : kInactive);
}

void TForm1::stDTRClick()
{
    const bool on = !IsActiveColour(ui->stDTR);
    m_port.setDtr(on);
    Paint(ui->stDTR, on ? kActive : kInactive);
}

void TForm1::CtrlLineStep()
{
    // A port on another machine that does not carry its lines has no state to show.
    if (m_port.settings().CtrlCheck != 0 && m_port.linesKnown()) {
        const PortSession::InputLines lines = m_port.inputLines();
        Paint(ui->stCTS, lines.cts ? kActive : kInactive);
        Paint(ui->stDSR, lines.dsr ? kActive : kInactive);
        return;
    }
    const QColor face = ui->Panel1->palette().color(QPalette::Button);
    Paint(ui->stCTS, face);
    Paint(ui->stDSR, face);
}

void TForm1::ShowLineErrors()
{
    m_errorCountsAt = std::chrono::steady_clock::now();
    const platform::CommErrorCounts shown = m_port.lineErrors();
    if (shown == m_lineErrors && !stLineErrors->text().isEmpty())
        return;
    m_lineErrors = shown;
    const unsigned long long total = static_cast<unsigned long long>(shown.overrun) + shown.parity +
                                     shown.framing + shown.breaks + shown.lost;
    stLineErrors->setText(QStringLiteral("エラー: %1").arg(total));
    stLineErrors->setToolTip(QStringLiteral("受信エラー（ポートオープンまたはログクリアから）\n"
                                            "オーバーラン: %1\nパリティエラー: %2\nフレーミングエラー: %3\n"
                                            "ブレーク: %4\n受信バッファあふれで失われたバイト: %5")
                                 .arg(shown.overrun)
                                 .arg(shown.parity)
                                 .arg(shown.framing)
                                 .arg(shown.breaks)
                                 .arg(shown.lost));
    QPalette palette = stLineErrors->palette();
    palette.setColor(QPalette::WindowText,
                     total != 0 ? Qt::red : this->palette().color(QPalette::WindowText));
    stLineErrors->setPalette(palette);
}
