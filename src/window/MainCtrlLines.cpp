// SPDX-License-Identifier: MIT
// The control-line panel: the RTS and DTR labels switch their output lines, and the CTS and DSR
// labels show the input lines once per tick. An output's state is its label's colour: the
// program keeps no other record of what it last switched.
#include "Main.h"

#include "ui_Main.h"

#include <QLabel>

namespace
{

const QColor kActive(0, 255, 0);
const QColor kInactive(0, 128, 0);

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

void TForm1::stRTSClick()
{
    const bool on = !IsActiveColour(ui->stRTS);
    CommX1.SetRtsSignal(on);
    Paint(ui->stRTS, on ? kActive : kInactive);
}

void TForm1::stDTRClick()
{
    const bool on = !IsActiveColour(ui->stDTR);
    CommX1.SetDtrSignal(on);
    Paint(ui->stDTR, on ? kActive : kInactive);
}

void TForm1::CtrlLineStep()
{
    if (CommSettings.CtrlCheck != 0) {
        Paint(ui->stCTS, CommX1.IsCtsSignal() ? kActive : kInactive);
        Paint(ui->stDSR, CommX1.IsDsrSignal() ? kActive : kInactive);
        return;
    }
    const QColor face = ui->Panel1->palette().color(QPalette::Button);
    Paint(ui->stCTS, face);
    Paint(ui->stDSR, face);
}
