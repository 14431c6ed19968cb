// SPDX-License-Identifier: MIT
// Commands on the pages as a whole: save them to the BackLog files, empty them, pick a line up
// into the send box, and keep the four carets together.
#include "Main.h"

#include "ui_Main.h"

#include "Cp932.h"
#include "ExceptionDisplay.h"
#include "PageFiles.h"
#include "PageSaver.h"
#include "PageView.h"
#include "RxPipeline.h"
#include "UserFiles.h"

#include <QMessageBox>

bool TForm1::SavePageFiles(std::string *error)
{
    const core::PageSaveResult result = core::SavePageFiles(platform::MakeUserFileDir(), Pages());
    if (!result.ok && error)
        *error = result.path + ": " + result.error;
    return result.ok;
}

void TForm1::BtnLOGClick()
{
    // The automatic saves before this one land first, so that they cannot overwrite it.
    FinishSaves();
    const core::PageSaveResult result = core::SavePageFiles(platform::MakeUserFileDir(), Pages());
    if (result.ok) {
        // An automatic save that still waits (its disk failed) would bring back older lines.
        core::PageSaver::PageMask saved(m_pages.size());
        for (std::size_t i = 0; i < saved.size(); ++i)
            saved[i] = PageVisible[i] != 0;
        m_saver->drop(saved);
        return;
    }
    // The message of a file that cannot be created, as the user knows it from other programs.
    ShowAppMessage(this,
                   QStringLiteral("ファイル %1 を作成できません。%2")
                       .arg(QString::fromStdString(result.path), QString::fromStdString(result.error)),
                   QMessageBox::Critical);
}

void TForm1::BtnClearClick()
{
    for (core::Page &page : m_pages)
        page.clear();
    // A clear is final: lines of an automatic save that failed do not come back into the files.
    m_saver->drop(core::PageSaver::PageMask(m_pages.size(), true));
    // The next bytes begin a new line on the emptied pages: so they do in the traffic stream.
    m_rx->stream().endLine();
    ResetLineErrors(false);
    RefreshViews();
}

void TForm1::Memo1DblClick(PageView *Sender, int line)
{
    const core::Page *page = Sender->page();
    if (!page)
        return;
    if (const std::optional<std::string> bytes = core::PickUpLine(*page, line))
        SetSendBoxBytes(*bytes);
}

void TForm1::MemoEnter(PageView *Sender)
{
    const int offset = Sender->caretOffset();
    for (PageView *memo : m_memos)
        if (memo != Sender)
            memo->setCaretOffset(offset);
}

void TForm1::SetSendBoxBytes(const std::string &bytes)
{
    m_sendBoxText = QString::fromStdString(platform::Cp932ToUtf8(bytes));
    m_sendBoxBytes = bytes;
    ui->cmbSendMix->setEditText(m_sendBoxText);
}

std::optional<std::string> TForm1::SendBoxBytes() const
{
    const QString text = ui->cmbSendMix->currentText();
    // A picked-up line goes out as the bytes the page holds, also where they do not decode.
    if (text == m_sendBoxText)
        return m_sendBoxBytes;
    return platform::Utf8ToCp932(text.toStdString());
}
