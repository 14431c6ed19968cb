// SPDX-License-Identifier: MIT
// Scripts in the window: the two items of the file menu, the status label with the script's name
// and its last log line, the log's comment lines, and what the window shows of the end (a box for
// an error or a failure, with the file and the line).
#include "Main.h"

#include "ui_Main.h"

#include "ExceptionDisplay.h"
#include "ExePath.h"

#include <QAction>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QStatusBar>

namespace
{

// A script in the window waits for answers as it does without one, but the display is served
// too: a notice as soon as a millisecond has passed since the last.
constexpr int kScriptNoticeGapMs = 1;

} // namespace

void TForm1::CreateScriptItems()
{
    // Below the log's item, after the separator, so that none of the specified items moves.
    m_mnuScriptRun = ui->mnuFile->addAction(QStringLiteral("スクリプト実行..."));
    m_mnuScriptRun->setObjectName(QStringLiteral("mnuScriptRun"));
    m_mnuScriptStop = ui->mnuFile->addAction(QStringLiteral("スクリプト停止"));
    m_mnuScriptStop->setObjectName(QStringLiteral("mnuScriptStop"));
    m_mnuScriptStop->setEnabled(false);
    m_script.setNoticeGap(kScriptNoticeGapMs);
}

void TForm1::ConnectScript()
{
    connect(m_mnuScriptRun, &QAction::triggered, this, [this] { mnuScriptRunClick(); });
    connect(m_mnuScriptStop, &QAction::triggered, this, [this] { mnuScriptStopClick(); });
    connect(&m_script, &ScriptRunner::started, this, [this](const QString &name) {
        m_mnuScriptStop->setEnabled(true);
        ShowScriptStatus(QStringLiteral("スクリプト実行中: %1").arg(name));
    });
    connect(&m_script, &ScriptRunner::logged, this, [this](const QByteArray &text) { ScriptLogged(text); });
    connect(&m_script, &ScriptRunner::outputLineSet, this,
            [this](bool dtr, bool on) { ShowOutputLine(dtr, on); });
    connect(&m_script, &ScriptRunner::settingsChanged, this, [this] { ui->stComSet->setText(ComSetText()); });
    connect(&m_script, &ScriptRunner::finished, this,
            [this](const ScriptRunner::Outcome &outcome) { ScriptFinished(outcome); });
}

void TForm1::mnuScriptRunClick()
{
    const QString start =
        m_scriptFolder.isEmpty() ? QString::fromStdString(platform::ExeDir()) : m_scriptFolder;
    const QString path = m_scriptPicker
                             ? m_scriptPicker(start)
                             : QFileDialog::getOpenFileName(this, QStringLiteral("スクリプト実行"), start,
                                                            QStringLiteral("Lua スクリプト (*.lua);;"
                                                                           "すべてのファイル (*)"));
    if (path.isEmpty())
        return;
    m_scriptFolder = QFileInfo(path).absolutePath();
    RunScript(path);
}

bool TForm1::RunScript(const QString &path)
{
    QString why;
    if (m_script.start(path, &why))
        return true;
    ShowAppMessage(this, QStringLiteral("スクリプトを実行できません。"), QMessageBox::Warning, why);
    return false;
}

void TForm1::ShowScriptStatus(const QString &text)
{
    if (!m_scriptStatus) {
        // Beside the status bar's messages, as the log's label is: a send's message must not hide it.
        m_scriptStatus = new QLabel(ui->StatusBar1);
        m_scriptStatus->setObjectName(QStringLiteral("stScript"));
        ui->StatusBar1->addPermanentWidget(m_scriptStatus);
    }
    m_scriptStatus->setText(text);
    m_scriptStatus->show();
}

void TForm1::ScriptLogged(const QByteArray &text)
{
    const std::string bytes = text.toStdString();
    const QString shown = ScriptText(bytes);
    ShowScriptStatus(QStringLiteral("スクリプト実行中: %1: %2").arg(m_script.scriptName(), shown));
    m_view.logNote(ScriptLogNote(m_script.scriptName(), bytes));
}

void TForm1::ScriptFinished(const ScriptRunner::Outcome &outcome)
{
    using Kind = ScriptRunner::Outcome::Kind;
    m_mnuScriptStop->setEnabled(false);
    QString end;
    switch (outcome.kind) {
    case Kind::Ended:
        end = QStringLiteral("正常終了");
        break;
    case Kind::Failed:
        end = QStringLiteral("失敗");
        break;
    case Kind::Error:
        end = QStringLiteral("エラー");
        break;
    case Kind::Stopped:
    case Kind::TimedOut:
        end = QStringLiteral("停止");
        break;
    }
    ShowScriptStatus(QStringLiteral("スクリプト終了: %1: %2").arg(outcome.script, end));
    if (outcome.kind == Kind::Failed)
        ShowAppMessage(this, QStringLiteral("スクリプト %1 が失敗しました。").arg(outcome.script),
                       QMessageBox::Warning, outcome.message);
    else if (outcome.kind == Kind::Error)
        ShowAppMessage(this, QStringLiteral("スクリプト %1 でエラーが起きました。").arg(outcome.script),
                       QMessageBox::Warning, outcome.message);
}
