// SPDX-License-Identifier: MIT
// The send box and everything that sends: the string send, the control-character buttons, the
// mixed send (button and Enter), the registered send buttons with their labels and the history
// picker over them, the continuous output, and the history in the box's list. The window reads
// its controls and hands their values to the sender.
#include "Main.h"

#include "ui_Main.h"

#include "AutoReplyDialog.h"
#include "Cp932Text.h"
#include "ExceptionDisplay.h"
#include "RadioGroup.h"
#include "UserFiles.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>

namespace
{

const QString kMsgUnencodable = QStringLiteral("送信できない文字が含まれています。");
const QString kMsgRegisterUnencodable = QStringLiteral("登録できない文字が含まれています。");
const QString kMsgUsage =
    QStringLiteral("カンマ区切りの内容をバイナリ出力します。文字列は\"\"文字で括ってください。");

bool IsEnter(int key)
{
    return key == Qt::Key_Return || key == Qt::Key_Enter;
}

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

// --- The send box -------------------------------------------------------------------------------

void TForm1::SetSendBoxBytes(const std::string &bytes)
{
    m_sendBoxText = FromCp932(bytes);
    m_sendBoxBytes = bytes;
    ui->cmbSendMix->setEditText(m_sendBoxText);
}

std::optional<std::string> TForm1::SendBoxBytes() const
{
    const QString text = ui->cmbSendMix->currentText();
    // A picked-up line goes out as the bytes the page holds, also where they do not decode.
    if (text == m_sendBoxText)
        return m_sendBoxBytes;
    return ToCp932(text);
}

void TForm1::ShowSendHistory()
{
    // Rebuilding the item list must leave the box as the user typed it: the text (and the bytes
    // of a picked-up line behind it) and where the caret stood. The items keep their bytes beside
    // the shown text, so bytes that do not decode survive a restart.
    QLineEdit *edit = ui->cmbSendMix->lineEdit();
    const int caret = edit ? edit->cursorPosition() : 0;
    const QString text = ui->cmbSendMix->currentText();
    ui->cmbSendMix->clear();
    for (const std::string &entry : m_sender.history())
        ui->cmbSendMix->addItem(FromCp932(entry), QByteArray::fromStdString(entry));
    ui->cmbSendMix->setEditText(text);
    if (edit)
        edit->setCursorPosition(caret);
}

// --- String send, mixed send, control characters ------------------------------------------------

void TForm1::BtnSendClick()
{
    const std::optional<std::string> text = SendBoxBytes();
    if (!text) {
        ShowStatus(kMsgUnencodable);
        return;
    }
    m_sender.sendString(*text, RadioItemIndex(ui->RGDelimiter));
}

void TForm1::BtnMixClick()
{
    const std::optional<std::string> text = SendBoxBytes();
    if (!text) {
        ShowStatus(kMsgUnencodable);
        return;
    }
    m_sender.sendMixed(*text);
}

bool TForm1::cmbSendMixKeyPress(int key)
{
    if (!IsEnter(key))
        return false;
    BtnMixClick();
    return true;
}

void TForm1::cmbSendMixEnter()
{
    ShowStatus(kMsgUsage);
}

void TForm1::BtnEscClick(QObject *Sender)
{
    if (!Sender)
        return;
    const int tag = Sender->property("Tag").toInt();
    if (tag < 0 || tag > 255)
        return;
    const auto b = static_cast<unsigned char>(tag);
    if (const std::optional<std::string> bytes = SendBoxBytes()) {
        const std::optional<std::string> piece = m_sender.ctrlPiece(*bytes, b);
        if (!piece)
            return;
        // Through the bytes, so that a picked-up line keeps bytes the box cannot show.
        SetSendBoxBytes(*bytes + *piece);
    } else {
        // A character CP932 lacks stays in the box for the user to mend; the piece depends only
        // on the trimmed ends, which UTF-8 gives the same as CP932 would.
        const QString text = ui->cmbSendMix->currentText();
        const std::optional<std::string> piece = m_sender.ctrlPiece(text.toStdString(), b);
        if (!piece)
            return;
        ui->cmbSendMix->setEditText(text + QString::fromStdString(*piece));
    }
    if (QLineEdit *edit = ui->cmbSendMix->lineEdit())
        edit->setCursorPosition(static_cast<int>(edit->text().size()));
}

// The type of the list form means nothing in the normal form.
void TForm1::RGSelectClick()
{
    ui->RGtype->setEnabled(RadioItemIndex(ui->RGSelect) == 1);
}

// --- Registered send buttons --------------------------------------------------------------------

void TForm1::ShowRegistered()
{
    for (int i = 0; i < core::kProgSlots; ++i)
        PbText(i)->setText(FromCp932(m_sender.registered()[static_cast<std::size_t>(i)]));
}

void TForm1::ProgSendClick(QObject *Sender)
{
    const int slot = SlotOf(Sender);
    // A button with a repeat starts it, and stops it when it repeats; without one it sends once.
    if (m_sender.repeating(slot))
        m_sender.stopRepeat(slot);
    else if (slot != 0 && m_sender.repeat(slot).intervalMs > 0)
        m_sender.startRepeat(slot);
    else
        m_sender.sendRegistered(slot);
    if (slot != 0)
        ShowRepeat(slot);
}

void TForm1::ProgSendRepeatClick(int slot)
{
    QDialog dialog(this);
    dialog.setObjectName(QStringLiteral("frmRepeat"));
    dialog.setWindowTitle(QStringLiteral("繰り返し送信"));
    auto *on = new QCheckBox(QStringLiteral("繰り返す"), &dialog);
    on->setObjectName(QStringLiteral("chkRepeat"));
    auto *interval = new QSpinBox(&dialog);
    interval->setObjectName(QStringLiteral("spnInterval"));
    interval->setRange(Sender::kMinRepeatMs, Sender::kMaxRepeatMs);
    interval->setSuffix(QStringLiteral(" ms"));
    auto *count = new QSpinBox(&dialog);
    count->setObjectName(QStringLiteral("spnCount"));
    count->setRange(0, 100000000);
    count->setSpecialValueText(QStringLiteral("止めるまで"));
    const Sender::Repeat now = m_sender.repeat(slot);
    on->setChecked(now.intervalMs > 0);
    interval->setValue(now.intervalMs > 0 ? now.intervalMs : 1000);
    count->setValue(now.count);
    auto *form = new QFormLayout(&dialog);
    form->addRow(on);
    form->addRow(QStringLiteral("間隔"), interval);
    form->addRow(QStringLiteral("回数"), count);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    connect(buttons, &QDialogButtonBox::accepted, &dialog, [&dialog] { dialog.accept(); });
    connect(buttons, &QDialogButtonBox::rejected, &dialog, [&dialog] { dialog.reject(); });
    form->addRow(buttons);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QString error = m_sender.setRepeat(slot, {on->isChecked() ? interval->value() : 0, count->value()});
    ShowRepeat(slot);
    if (!error.isEmpty())
        ShowAppMessage(this, error, QMessageBox::Critical);
}

void TForm1::ShowRepeat(int slot)
{
    QPushButton *button = m_progSends[static_cast<std::size_t>(slot - 1)];
    const bool repeating = m_sender.repeating(slot);
    // The button of the specified form looks as it always did until a repeat is set; a repeating
    // one stays pressed.
    button->setCheckable(repeating || m_sender.repeat(slot).intervalMs > 0);
    button->setChecked(repeating);
    // The form's hint stays; a repeating button says so after it.
    if (!button->property("formHint").isValid())
        button->setProperty("formHint", button->toolTip());
    const QString hint = button->property("formHint").toString();
    button->setToolTip(repeating ? hint + QStringLiteral("（繰り返し送信中: もう一度押すと止まります）")
                                 : hint);
}

// --- Automatic replies ----------------------------------------------------------------------------

void TForm1::CreateReplyItems()
{
    // Below the items already there, after the reopen's, so that none of the specified items moves.
    m_mnuAutoReply = ui->mnuSettings->addAction(QStringLiteral("自動応答..."));
    m_mnuAutoReply->setObjectName(QStringLiteral("mnuAutoReply"));
    m_mnuAutoReplyOn = ui->mnuSettings->addAction(QStringLiteral("自動応答を有効にする"));
    m_mnuAutoReplyOn->setObjectName(QStringLiteral("mnuAutoReplyOn"));
    m_mnuAutoReplyOn->setCheckable(true);
}

void TForm1::mnuAutoReplyClick()
{
    AutoReplyDialog dialog(m_replies, this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    m_replies.setRules(dialog.Rules());
    if (const QString error = m_replies.save(); !error.isEmpty())
        ShowAppMessage(this, QStringLiteral("自動応答の規則を保存できませんでした。"), QMessageBox::Warning,
                       error);
}

void TForm1::mnuAutoReplyOnClick()
{
    m_replies.setOn(m_mnuAutoReplyOn->isChecked());
    if (const QString error = m_replies.save(); !error.isEmpty())
        ShowAppMessage(this, QStringLiteral("自動応答の規則を保存できませんでした。"), QMessageBox::Warning,
                       error);
}

void TForm1::ShowReplyStatus()
{
    if (!m_replies.on() && !m_replyStatus)
        return;
    if (!m_replyStatus) {
        // Beside the status bar's messages, as the log's label is: a send's message must not hide it.
        m_replyStatus = new QLabel(ui->StatusBar1);
        m_replyStatus->setObjectName(QStringLiteral("stAutoReply"));
        ui->StatusBar1->addPermanentWidget(m_replyStatus);
    }
    m_replyStatus->setText(QStringLiteral("自動応答: %1 件有効").arg(m_replies.activeCount()));
    m_replyStatus->setVisible(m_replies.on());
}

void TForm1::TellReplyProblems()
{
    if (m_replies.problems().isEmpty())
        return;
    ShowAppMessage(
        this,
        QStringLiteral("自動応答の規則ファイル %1 に読めない規則があります。その規則は使われません。")
            .arg(QString::fromStdString(platform::UserFileToRead(core::kReplyRuleFile))),
        QMessageBox::Warning, m_replies.problems().join(QLatin1Char('\n')));
}

void TForm1::SetKClick(QObject *Sender)
{
    const int slot = SlotOf(Sender);
    if (slot == 0)
        return;
    if (TrimLow(ui->cmbSendMix->currentText()).isEmpty())
        return;
    const std::optional<std::string> box = SendBoxBytes();
    if (!box) {
        ShowStatus(kMsgRegisterUnencodable);
        return;
    }
    const bool asString = Sender->objectName().startsWith(QLatin1String("SetM"));
    QString refusal, fileError;
    if (!m_sender.registerText(slot, *box, asString, RadioItemIndex(ui->RGDelimiter), &refusal, &fileError)) {
        if (!refusal.isEmpty())
            ShowStatus(refusal);
        return;
    }
    ShowRegistered();
    // The texts stay registered for this run; the user learns that they will not survive it.
    if (!fileError.isEmpty())
        ShowAppMessage(this, fileError, QMessageBox::Critical);
}

void TForm1::PbTextDblClick(QObject *Sender)
{
    const int slot = SlotOf(Sender);
    if (slot == 0)
        return;
    m_pickSlot = slot;
    QLabel *label = PbText(slot - 1);
    QComboBox *picker = ui->cmbSelText;
    QWidget *area = picker->parentWidget();
    picker->move(area ? area->mapFrom(window(), label->mapTo(window(), QPoint(0, 0))) : label->pos());

    picker->clear();
    for (const std::string &entry : m_sender.history())
        picker->addItem(FromCp932(entry), QByteArray::fromStdString(entry));
    picker->setEditText(label->text());
    // Shown without the focus: it works once the user clicks into it.
    picker->show();
    picker->raise();
}

void TForm1::cmbSelTextExit()
{
    QComboBox *picker = ui->cmbSelText;
    const QString text = picker->currentText();
    if (!TrimLow(text).isEmpty() && m_pickSlot >= 1 && m_pickSlot <= core::kProgSlots)
        PbText(m_pickSlot - 1)->setText(text);
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

// --- Continuous output ----------------------------------------------------------------------------

void TForm1::BtnMultiLineClick()
{
    const QString chosen =
        QFileDialog::getOpenFileName(this, QString(), QString(), QStringLiteral("すべてのファイル (*)"));
    const QString path = TrimLow(chosen);
    if (path.isEmpty())
        return;
    m_sender.playOut(path);
}
