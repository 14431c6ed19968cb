// SPDX-License-Identifier: MIT
// The send commands: the string send, the control-character buttons, the mixed send, the
// registered buttons and the continuous output from a file.
#include "Main.h"

#include "ui_Main.h"

#include "RadioGroup.h"

// TODO(send): the string send, the control-character buttons, the mixed send, the registered
// buttons with their history picker and the continuous output land with the send commands; the
// logic is in core (SendCells, MixSend, SendHistory, CtrlButtons, ProgButtons, LineReader). Until
// then these handlers do nothing.
void TForm1::BtnSendClick() {}
void TForm1::BtnEscClick(QObject *Sender) {}
void TForm1::BtnMixClick() {}
bool TForm1::cmbSendMixKeyPress(int key)
{
    return false;
}
void TForm1::cmbSendMixEnter() {}
void TForm1::ProgSendClick(QObject *Sender) {}
void TForm1::SetKClick(QObject *Sender) {}
void TForm1::PbTextDblClick(QObject *Sender) {}
void TForm1::cmbSelTextExit() {}
bool TForm1::cmbSelTextKeyPress(int key)
{
    return false;
}
void TForm1::BtnMultiLineClick() {}

// The type of the list form means nothing in the normal form.
void TForm1::RGSelectClick()
{
    ui->RGtype->setEnabled(RadioItemIndex(ui->RGSelect) == 1);
}
