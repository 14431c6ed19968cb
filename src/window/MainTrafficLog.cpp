// SPDX-License-Identifier: MIT
// The traffic log from the window's side: the menu item that starts and stops it, the file made
// in the chosen folder, the status bar while it runs, and the hand-over of the completed lines
// after every tick. The lines themselves are built by the receive pipeline and the senders, and
// written by the log's own thread.
#include "Main.h"

#include "ui_Main.h"

#include "AppendFile.h"
#include "Cp932.h"
#include "ExceptionDisplay.h"
#include "ExePath.h"
#include "FileIo.h"
#include "RxPipeline.h"
#include "TimeText.h"
#include "TrafficLog.h"

#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QStatusBar>
#include <QTimer>

#include <chrono>

namespace
{

// A log started again within the same second gets a number after the time: a log never writes
// into a file that exists.
constexpr int kMaxNameTries = 100;

std::string LogPath(const std::string &folder, const std::string &name, int attempt)
{
    std::string path = folder;
    if (!path.empty() && path.back() != '/')
        path += '/';
    if (attempt == 0)
        return path + name;
    const std::size_t dot = name.rfind('.');
    return path + name.substr(0, dot) + "_" + std::to_string(attempt + 1) + name.substr(dot);
}

} // namespace

void TForm1::SetFolderPicker(FolderPicker picker)
{
    m_folderPicker = std::move(picker);
}

void TForm1::SetTrafficLogOutput(LogOutputMaker maker, std::size_t maxBacklog)
{
    m_logOutput = std::move(maker);
    m_logBacklog = maxBacklog;
}

QString TForm1::TrafficLogFolder() const
{
    if (!m_logFolder.empty())
        return QString::fromStdString(platform::Cp932ToUtf8(m_logFolder));
    return QString::fromStdString(platform::ExeDir());
}

void TForm1::mnuTrafficLogClick()
{
    if (m_trafficLog) {
        StopTrafficLog();
        return;
    }
    const QString start = TrafficLogFolder();
    const QString folder =
        m_folderPicker
            ? m_folderPicker(start)
            : QFileDialog::getExistingDirectory(this, QStringLiteral("通信ログの保存先フォルダ"), start);
    if (!folder.isEmpty())
        StartTrafficLog(folder);
    ui->mnuTrafficLog->setChecked(m_trafficLog != nullptr);
}

bool TForm1::StartTrafficLog(const QString &folder)
{
    CloseTrafficLog(true);
    const std::string dir = QFile::encodeName(folder).toStdString();
    const std::string name = core::TrafficLogFileName(m_clock());
    platform::AppendFile file;
    std::string path;
    std::string error;
    for (int attempt = 0; attempt < kMaxNameTries; ++attempt) {
        path = LogPath(dir, name, attempt);
        if (platform::FileExists(path))
            continue;
        if (file.create(path, &error))
            break;
    }
    if (!file.isOpen()) {
        if (error.empty())
            error = "every name is taken";
        ShowAppMessage(this,
                       QStringLiteral("通信ログファイル %1 を作成できません。%2")
                           .arg(QFile::decodeName(path.c_str()), QString::fromStdString(error)),
                       QMessageBox::Critical);
        ui->mnuTrafficLog->setChecked(false);
        return false;
    }

    m_trafficLog = std::make_unique<core::TrafficLog>(
        m_logOutput ? m_logOutput(std::move(file)) : core::TrafficLog::FileOutput(std::move(file)),
        m_logBacklog);
    m_rx->stream().subscribe(&m_recorder);
    m_trafficLogPath = QFile::decodeName(path.c_str());
    // The settings file is CP932: a folder whose name has no CP932 form is not remembered.
    if (const std::optional<std::string> bytes = platform::Utf8ToCp932(folder.toStdString()))
        m_logFolder = *bytes;
    if (!m_trafficLogStatus) {
        // Beside the status bar's messages, not in their place: a send's message must not hide it.
        m_trafficLogStatus = new QLabel(ui->StatusBar1);
        m_trafficLogStatus->setObjectName(QStringLiteral("stTrafficLog"));
        ui->StatusBar1->addPermanentWidget(m_trafficLogStatus);
    }
    m_trafficLogStatus->setText(QStringLiteral("通信ログ記録中: %1").arg(m_trafficLogPath));
    m_trafficLogStatus->show();
    ui->mnuTrafficLog->setChecked(true);
    return true;
}

void TForm1::StopTrafficLog()
{
    CloseTrafficLog(true);
}

void TForm1::CloseTrafficLog(bool tellFailure)
{
    if (!m_trafficLog)
        return;
    // The line still open is written as it stands.
    if (const std::optional<core::CompletedLine> open = m_rx->stream().openLine())
        m_recorder.record(*open);
    m_rx->stream().unsubscribe(&m_recorder);
    m_trafficLog->submit(m_recorder.take());
    const bool inTime = m_trafficLog->close();
    const std::optional<std::string> failure = m_trafficLog->takeFailure();
    m_trafficLog.reset();
    if (m_trafficLogStatus)
        m_trafficLogStatus->hide();
    ui->mnuTrafficLog->setChecked(false);
    if (!tellFailure)
        return;
    if (failure) {
        TellTrafficLogFailure(*failure);
    } else if (!inTime) {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(core::TrafficLog::kCloseGrace);
        ShowAppMessage(this,
                       QStringLiteral("通信ログの最後の部分を書き込めませんでした。"
                                      "ディスクが %1 秒以内に応答しませんでした。\n%2")
                           .arg(seconds.count())
                           .arg(m_trafficLogPath),
                       QMessageBox::Critical);
    }
}

void TForm1::FeedTrafficLog()
{
    if (!m_trafficLog)
        return;
    if (std::optional<std::string> failure = m_trafficLog->takeFailure()) {
        // The log stops; the terminal goes on.
        m_rx->stream().unsubscribe(&m_recorder);
        m_recorder.take();
        m_trafficLog.reset();
        m_trafficLogStatus->hide();
        ui->mnuTrafficLog->setChecked(false);
        // Told after the tick, so that the display goes on while the box is open.
        QTimer::singleShot(0, this, [this, error = std::move(*failure)] { TellTrafficLogFailure(error); });
        return;
    }
    // A tick without traffic hands nothing over: its buffer, used again, stays where it is.
    if (!m_recorder.empty())
        m_trafficLog->submit(m_recorder.take(m_trafficLog->spare()));
}

void TForm1::TellTrafficLogFailure(const std::string &error)
{
    ShowAppMessage(this,
                   QStringLiteral("通信ログを書き込めないため、記録を停止しました。\n%1")
                       .arg(QString::fromStdString(error)),
                   QMessageBox::Critical);
}

void TForm1::SentLine(const std::string &bytes, const core::EchoCells &cells, std::int64_t time,
                      bool accepted)
{
    m_rx->stream().sent(bytes, time, cells, accepted);
    // Without a port the receive timer does not run: the line goes to the writer now.
    if (m_trafficLog && !Timer1->isActive())
        FeedTrafficLog();
}
