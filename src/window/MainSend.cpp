// SPDX-License-Identifier: MIT
// The send box and its commands: the string send, the control-character buttons, the mixed send
// (button, Enter, and SendMixText for the other senders) and the send history.
#include "MainSend.h"

#include "ui_Main.h"

#include "Cp932.h"
#include "CtrlButtons.h"
#include "MixSend.h"
#include "RadioGroup.h"
#include "RepaintPacer.h"
#include "RxPipeline.h"
#include "SendCells.h"
#include "SendHistory.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QStatusBar>

const QString sendui::kMsgBusy = QStringLiteral("前の送信が終わっていません。");
const QString sendui::kMsgUnencodable = QStringLiteral("送信できない文字が含まれています。");

namespace
{

const QString kMsgUsage =
    QStringLiteral("カンマ区切りの内容をバイナリ出力します。文字列は\"\"文字で括ってください。");

bool IsEnter(int key)
{
    return key == Qt::Key_Return || key == Qt::Key_Enter;
}

} // namespace

SendGuard::SendGuard(TForm1 &window) : m_window(window)
{
    if (m_window.m_sending) {
        m_window.ShowStatus(sendui::kMsgBusy);
        return;
    }
    m_window.m_sending = true;
    m_acquired = true;
}

SendGuard::~SendGuard()
{
    if (m_acquired)
        m_window.m_sending = false;
}

QString sendui::TrimLow(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin).unicode() <= 0x20)
        ++begin;
    while (end > begin && text.at(end - 1).unicode() <= 0x20)
        --end;
    return text.mid(begin, end - begin);
}

QString sendui::FromCp932(std::string_view bytes)
{
    return QString::fromStdString(platform::Cp932ToUtf8(bytes));
}

void TForm1::ShowStatus(const QString &text)
{
    ui->StatusBar1->showMessage(text);
}

void TForm1::SetLogCount(int lines)
{
    QLabel *label = ui->stLogCount;
    const QString count = QStringLiteral("ログ行数: %1").arg(lines);
    if (label->text() == count)
        return;
    // While lines stream in, the count changes on every tick: its text is current at once for
    // whoever reads it, its pixels follow at the pages' repaint pace. Only a change in the
    // number of digits changes the label's size (the digits of a font are of one width), and
    // working out a label's size costs more than painting it; the new size comes with the pixels.
    if (count.size() != label->text().size())
        m_countResize = true;
    label->setUpdatesEnabled(false);
    label->setText(count);
    m_countRepaint->request();
}

std::int64_t TForm1::LineTimeNow()
{
    return m_rx->lineTime(m_clock());
}

bool TForm1::Transmit(const std::string &bytes)
{
    // Nothing to send is accepted only by an open port: the log must not show a line sent
    // while there was none.
    const bool open = CommX1.Handle() != TCustomCommX::kInvalidHandle;
    return CommX1.TransString(bytes) && open;
}

// --- String send ----------------------------------------------------------------------------

void TForm1::BtnSendClick()
{
    const std::optional<std::string> text = SendBoxBytes();
    if (!text) {
        ShowStatus(sendui::kMsgUnencodable);
        return;
    }
    const SendGuard guard(*this);
    if (!guard.acquired())
        return;
    PushSendHistory(*text);

    // The text goes whole, however long, with its delimiter, in one call.
    const std::string bytes = core::StringSendBytes(*text, RadioItemIndex(ui->RGDelimiter));
    const bool accepted = Transmit(bytes);
    if (m_closed)
        return;

    const core::EchoCells cells = core::StringSendCells(bytes);
    const std::int64_t sentAt = LineTimeNow();
    for (int i = 0; i < core::StandardPages().count(); ++i)
        AppendOutLine(i, cells[static_cast<std::size_t>(i)], sentAt);
    SentLine(bytes, cells, sentAt, accepted);
    RefreshViews();
}

void TForm1::PushSendHistory(const std::string &text)
{
    // Rebuilding the item list must leave the box as the user typed it: the text (and the bytes of
    // a picked-up line behind it) and where the caret stood.
    QLineEdit *edit = ui->cmbSendMix->lineEdit();
    const int caret = edit ? edit->cursorPosition() : 0;
    SetSendHistory(core::PushSendHistory(SendHistory(), text));
    if (edit)
        edit->setCursorPosition(caret);
}

// --- Control-character buttons --------------------------------------------------------------

void TForm1::BtnEscClick(QObject *Sender)
{
    if (!Sender)
        return;
    const int tag = Sender->property("Tag").toInt();
    if (tag < 0 || tag > 255)
        return;
    const core::MixForm form = core::MixFormFromIndex(RadioItemIndex(ui->RGSelect));
    const core::MixType type = core::MixTypeFromIndex(RadioItemIndex(ui->RGtype));
    const auto b = static_cast<unsigned char>(tag);

    if (const std::optional<std::string> bytes = SendBoxBytes()) {
        const std::optional<std::string> piece = core::CtrlButtonPiece(*bytes, b, form, type);
        if (!piece)
            return;
        // Through the bytes, so that a picked-up line keeps bytes the box cannot show.
        SetSendBoxBytes(*bytes + *piece);
    } else {
        // A character CP932 lacks stays in the box for the user to mend; the piece depends only
        // on the trimmed ends, which UTF-8 gives the same as CP932 would.
        const QString text = ui->cmbSendMix->currentText();
        const std::optional<std::string> piece = core::CtrlButtonPiece(text.toStdString(), b, form, type);
        if (!piece)
            return;
        ui->cmbSendMix->setEditText(text + QString::fromStdString(*piece));
    }
    if (QLineEdit *edit = ui->cmbSendMix->lineEdit())
        edit->setCursorPosition(static_cast<int>(edit->text().size()));
}

// --- Mixed send -----------------------------------------------------------------------------

void TForm1::BtnMixClick()
{
    const std::optional<std::string> text = SendBoxBytes();
    if (!text) {
        ShowStatus(sendui::kMsgUnencodable);
        return;
    }
    if (core::TrimLow(*text).empty())
        return;
    const SendGuard guard(*this);
    if (!guard.acquired())
        return;
    PushSendHistory(*text);
    SendMixText(*text);
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

void TForm1::SendMixText(const std::string &text)
{
    const core::MixSendPlan plan =
        core::PlanMixSend(text, core::MixFormFromIndex(RadioItemIndex(ui->RGSelect)),
                          core::MixTypeFromIndex(RadioItemIndex(ui->RGtype)));
    if (plan.itemLimit)
        ShowStatus(QString::fromUtf8(core::kItemLimitMessage.data(),
                                     static_cast<qsizetype>(core::kItemLimitMessage.size())));

    // The bytes of one text go to the component in one call, in the planned order: a block per
    // number item would let a fast link wait on the 32-block queue limit for every 32 bytes, and
    // the bytes on the wire are the same either way.
    std::string bytes;
    for (const core::MixTransmit &call : plan.calls)
        bytes += call.bytes;
    const bool accepted = Transmit(bytes);
    // A close while the call waited for room ends the send: nothing more goes to a closed window.
    if (m_closed)
        return;
    if (!plan.sent)
        return;

    const std::int64_t sentAt = LineTimeNow();
    for (int i = 0; i < core::StandardPages().count(); ++i) {
        if (!PageVisible[static_cast<std::size_t>(i)])
            continue;
        core::Page &page = PageModel(i);
        // The counter follows at once when the echo removes a blank line of the HEX page.
        const int n = page.count();
        if (i == 0 && n >= 3 && core::IsBlankLine(page.line(n - 2)))
            SetLogCount(n - 1);
        AppendOutLine(i, plan.cells[static_cast<std::size_t>(i)], sentAt);
        page.add(std::string());
    }
    SentLine(bytes, plan.cells, sentAt, accepted);
    RefreshViews();
}

// The type of the list form means nothing in the normal form.
void TForm1::RGSelectClick()
{
    ui->RGtype->setEnabled(RadioItemIndex(ui->RGSelect) == 1);
}
