// SPDX-License-Identifier: MIT
// The pages as the window shows them: one view per page of the table on its tab, the line
// counter, the commands on the pages as a whole (save them to the BackLog files, empty them, pick
// a line up into the send box, keep the carets together), the time column and the traffic log's
// menu item, folder and status label.
#include "Main.h"

#include "ui_Main.h"

#include "Cp932Text.h"
#include "ExceptionDisplay.h"
#include "ExePath.h"
#include "PageFiles.h"
#include "PageView.h"
#include "RepaintPacer.h"

#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QStatusBar>
#include <QVBoxLayout>

void TForm1::CreatePages()
{
    for (int i = 0; i < m_view.pageCount(); ++i) {
        const core::PageKind &kind = core::StandardPages()[i];
        auto *sheet = findChild<QWidget *>(QString::fromStdString(kind.tabName));
        m_pageMenus.push_back(findChild<QAction *>(QString::fromStdString(kind.menuName)));
        auto *layout = new QVBoxLayout(sheet);
        layout->setContentsMargins(0, 0, 0, 0);
        auto *memo = new PageView(sheet);
        memo->setObjectName(QString::fromStdString(kind.viewName));
        // A fixed-pitch face so that the cells of one line stand in columns.
        QFont font(QStringLiteral("ＭＳ ゴシック"));
        font.setPointSize(12);
        font.setStyleHint(QFont::TypeWriter);
        memo->setFont(font);
        memo->setToolTip(QStringLiteral("ダブルクリックすると送信枠に入ります"));
        memo->setPage(&m_view.page(i));
        layout->addWidget(memo);
        m_memos.push_back(memo);
    }
}

void TForm1::RefreshViews()
{
    for (PageView *memo : m_memos)
        memo->refresh();
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

// --- Commands on the pages ----------------------------------------------------------------------

void TForm1::BtnLOGClick()
{
    std::string path, error;
    if (m_view.savePageFiles(&path, &error))
        return;
    // The message of a file that cannot be created, as the user knows it from other programs.
    ShowAppMessage(this,
                   QStringLiteral("ファイル %1 を作成できません。%2")
                       .arg(QString::fromStdString(path), QString::fromStdString(error)),
                   QMessageBox::Critical);
}

void TForm1::BtnClearClick()
{
    m_view.clearPages();
    m_port.resetLineErrors(false);
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

void TForm1::mnuRecvTimeClick()
{
    m_view.setShowTimes(!m_view.showTimes());
    ui->mnuRecvTime->setChecked(m_view.showTimes());
    for (PageView *memo : m_memos)
        memo->setShowTimes(m_view.showTimes());
}

// --- Traffic log ----------------------------------------------------------------------------------

QString TForm1::TrafficLogFolder() const
{
    if (!m_logFolder.empty())
        return FromCp932(m_logFolder);
    return QString::fromStdString(platform::ExeDir());
}

void TForm1::mnuTrafficLogClick()
{
    if (m_view.logRunning()) {
        m_view.stopLog();
        return;
    }
    const QString start = TrafficLogFolder();
    const QString folder =
        m_folderPicker
            ? m_folderPicker(start)
            : QFileDialog::getExistingDirectory(this, QStringLiteral("通信ログの保存先フォルダ"), start);
    if (!folder.isEmpty())
        StartTrafficLog(folder);
    ui->mnuTrafficLog->setChecked(m_view.logRunning());
}

bool TForm1::StartTrafficLog(const QString &folder)
{
    std::string path, error;
    if (!m_view.startLog(QFile::encodeName(folder).toStdString(), &path, &error)) {
        ShowAppMessage(this,
                       QStringLiteral("通信ログファイル %1 を作成できません。%2")
                           .arg(QFile::decodeName(path.c_str()), QString::fromStdString(error)),
                       QMessageBox::Critical);
        ui->mnuTrafficLog->setChecked(false);
        return false;
    }
    // The settings file is CP932: a folder whose name has no CP932 form is not remembered.
    if (const std::optional<std::string> bytes = ToCp932(folder))
        m_logFolder = *bytes;
    if (!m_trafficLogStatus) {
        // Beside the status bar's messages, not in their place: a send's message must not hide it.
        m_trafficLogStatus = new QLabel(ui->StatusBar1);
        m_trafficLogStatus->setObjectName(QStringLiteral("stTrafficLog"));
        ui->StatusBar1->addPermanentWidget(m_trafficLogStatus);
    }
    m_trafficLogStatus->setText(QStringLiteral("通信ログ記録中: %1").arg(m_view.logPath()));
    m_trafficLogStatus->show();
    ui->mnuTrafficLog->setChecked(true);
    return true;
}

void TForm1::LogStopped()
{
    if (m_trafficLogStatus)
        m_trafficLogStatus->hide();
    ui->mnuTrafficLog->setChecked(false);
}

void TForm1::TellLogFailure(const QString &message, const QString &detail)
{
    ShowAppMessage(this, message + QLatin1Char('\n') + detail, QMessageBox::Critical);
}
