// SPDX-License-Identifier: MIT
// The four registered send buttons: sending a registered text, registering the send box's text
// (as it is, or as a string with the delimiter), and the history picker over the labels.
#include "MainSend.h"

#include "ui_Main.h"

#include "ExceptionDisplay.h"
#include "Ini.h"
#include "ProgButtons.h"
#include "RadioGroup.h"
#include "UserFiles.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>

int TForm1::PickSlot = 1;

namespace
{

// The value goes into "PButton.ini" inside a pair of double quotes, and a value is read back with
// at most kProfileValueMax characters: a longer text would come back cut after a restart.
constexpr std::size_t kProgTextMax = platform::kProfileValueMax - 2;

const QString kMsgRegisterUnencodable = QStringLiteral("登録できない文字が含まれています。");
const QString kMsgRegisterTooLong =
    QStringLiteral("登録できるのは%1バイトまでです。").arg(static_cast<qulonglong>(kProgTextMax));
const QString kMsgRegisterLineBreak = QStringLiteral("改行を含む内容は登録できません。");

// The slot (1 to 4) a control serves, from the digit that ends its name.
int SlotOf(const QObject *control)
{
    if (!control)
        return 0;
    const QString name = control->objectName();
    if (name.isEmpty())
        return 0;
    const int slot = name.back().digitValue();
    return slot >= 1 && slot <= core::kProgSlots ? slot : 0;
}

} // namespace

void TForm1::ProgSendClick(QObject *Sender)
{
    const int slot = SlotOf(Sender);
    if (slot == 0)
        return;
    const std::string text = ProgText[static_cast<std::size_t>(slot - 1)];
    if (!core::ProgTextSendable(text))
        return;
    const SendGuard guard(*this);
    if (!guard.acquired())
        return;
    SendMixText(text);
}

void TForm1::SetKClick(QObject *Sender)
{
    const int slot = SlotOf(Sender);
    if (slot == 0)
        return;
    if (sendui::TrimLow(ui->cmbSendMix->currentText()).isEmpty())
        return;
    const std::optional<std::string> box = SendBoxBytes();
    if (!box) {
        ShowStatus(kMsgRegisterUnencodable);
        return;
    }
    const bool asString = Sender->objectName().startsWith(QLatin1String("SetM"));
    const std::optional<std::string> text =
        core::RegisterProgText(*box, asString, RadioItemIndex(ui->RGDelimiter));
    if (!text)
        return;
    // Refused here rather than coming back different after a restart: the file holds one line
    // per key, and a value has a length limit.
    if (text->find_first_of("\r\n") != std::string::npos) {
        ShowStatus(kMsgRegisterLineBreak);
        return;
    }
    if (text->size() > kProgTextMax) {
        ShowStatus(kMsgRegisterTooLong);
        return;
    }

    ProgText[static_cast<std::size_t>(slot - 1)] = *text;
    for (int i = 0; i < core::kProgSlots; ++i)
        PbText(i)->setText(sendui::FromCp932(ProgText[static_cast<std::size_t>(i)]));

    std::string error;
    const std::string name(core::kProgButtonFile);
    const std::string path = platform::UserFileToWrite(name);
    if (!core::SaveProgButtons(path, ProgText, &error, platform::UserFileToRead(name))) {
        // The texts stay registered for this run; the user learns that they will not survive it.
        ShowAppMessage(this,
                       QStringLiteral("ファイル %1 に書き込めません。%2")
                           .arg(QString::fromStdString(path), QString::fromStdString(error)),
                       QMessageBox::Critical);
    }
}

// --- The history picker -----------------------------------------------------------------------

void TForm1::PbTextDblClick(QObject *Sender)
{
    const int slot = SlotOf(Sender);
    if (slot == 0)
        return;
    PickSlot = slot;
    QLabel *label = PbText(slot - 1);
    QComboBox *picker = ui->cmbSelText;
    QWidget *area = picker->parentWidget();
    picker->move(area ? area->mapFrom(window(), label->mapTo(window(), QPoint(0, 0))) : label->pos());

    picker->clear();
    for (const std::string &entry : SendHistory())
        picker->addItem(sendui::FromCp932(entry), QByteArray::fromStdString(entry));
    picker->setEditText(label->text());
    // Shown without the focus: it works once the user clicks into it.
    picker->show();
    picker->raise();
}

void TForm1::cmbSelTextExit()
{
    QComboBox *picker = ui->cmbSelText;
    const QString text = picker->currentText();
    if (!sendui::TrimLow(text).isEmpty() && PickSlot >= 1 && PickSlot <= core::kProgSlots)
        PbText(PickSlot - 1)->setText(text);
    picker->hide();
}

bool TForm1::cmbSelTextKeyPress(int key)
{
    if (key != Qt::Key_Return && key != Qt::Key_Enter)
        return false;
    // On to the next control in tab order; leaving the picker closes it.
    QComboBox *picker = ui->cmbSelText;
    for (QWidget *next = picker->nextInFocusChain(); next && next != picker;
         next = next->nextInFocusChain()) {
        if (picker->isAncestorOf(next) || !next->isVisible() || !next->isEnabled() ||
            !(next->focusPolicy() & Qt::TabFocus))
            continue;
        next->setFocus(Qt::TabFocusReason);
        return true;
    }
    picker->clearFocus();
    return true;
}
