// SPDX-License-Identifier: MIT
// The main window: the terminal itself. It owns the three parts that do the work, none of which
// knows a widget (src/session): the port session (the port, its settings and its device), the
// receive view (the pages' models, the tick, the saves and the traffic log) and the sender (every
// kind of send and the history). The window reads its controls, hands their values to the parts
// and shows what the parts report, from construction through the first show (the port opens),
// the settings dialog (the port reopens) to the close (settings and history written, port closed).
//
// The handlers keep the names of the controls and events they serve and are public, so that
// tests drive them as the user's clicks would; each forwards to a part in a line or two.
#pragma once

#include "AutoReplies.h"
#include "PortSession.h"
#include "ReceiveView.h"
#include "ScriptRunner.h"
#include "Sender.h"

#include <QMainWindow>
#include <QString>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Ui
{
class TForm1;
}
class FindBar;
class PageView;
class RepaintPacer;
class QAction;
class QDialog;
class QLabel;
class QPushButton;
class QTimer;

class TForm1 : public QMainWindow
{
    Q_OBJECT

  public:
    explicit TForm1(QWidget *parent = nullptr);
    ~TForm1() override;

    // The designer form: every control under its own name.
    Ui::TForm1 &form() { return *ui; }
    // The parts behind the window.
    PortSession &port() { return m_port; }
    ReceiveView &view() { return m_view; }
    Sender &sender() { return m_sender; }
    AutoReplies &replies() { return m_replies; }
    ScriptRunner &script() { return m_script; }

    // The settings dialog shown by mnuSettingClick. The program creates it after the window;
    // without one, the command makes its own on first use.
    void SetSettingDialog(QDialog *dialog) { m_frmSetting = dialog; }

    // Tests make time pass by hand (ReceiveView says which clock is which), choose the traffic
    // log's folder without a dialog, and hold or fail the log's writes.
    void SetTickSource(ReceiveView::TickSource source) { m_view.setTickSource(std::move(source)); }
    void SetClockSource(ReceiveView::ClockSource source) { m_view.setClockSource(std::move(source)); }
    using FolderPicker = std::function<QString(const QString &start)>;
    void SetFolderPicker(FolderPicker picker) { m_folderPicker = std::move(picker); }
    void SetTrafficLogOutput(ReceiveView::LogOutputMaker maker, std::size_t maxBacklog)
    {
        m_view.setLogOutput(std::move(maker), maxBacklog);
    }

    // The script's file without a dialog (tests).
    using FilePicker = std::function<QString(const QString &start)>;
    void SetScriptPicker(FilePicker picker) { m_scriptPicker = std::move(picker); }

    // What the window's Windows-era design calls by these names, for the tests.
    TCommX &CommX1() { return m_port.comm(); }
    core::CommSettings &CommSettings() { return m_port.settings(); }
    QTimer *Timer1() const { return m_view.timer(); }
    // 1 while the page's tab is shown, in the order of the page table.
    std::vector<int> &PageVisible() { return m_view.visible(); }
    core::Page &PageModel(int i) { return m_view.page(i); }
    PageView *Memo(int i) const { return m_memos[static_cast<std::size_t>(i)]; }
    QLabel *PbText(int i) const { return m_pbTexts[static_cast<std::size_t>(i)]; }
    core::ProgTexts &ProgText() { return m_sender.registered(); }
    QAction *mnuAutoReopen() const { return m_mnuAutoReopen; }
    // The slot (1 to 4) whose label the history picker serves.
    int PickSlot() const { return m_pickSlot; }
    // The active page index of PageControl1, -1 when no tab is shown.
    int ActivePageIndex() const;
    // The status text of stComSet for the current settings.
    QString ComSetText() const;

    // Start-up, settings and close (Main.cpp).
    void FormShow();
    void ApplyCommSettings();
    void mnuSettingClick();
    void mnuHEXClick() { TogglePage(core::kPageHex); }
    void mnuDECClick() { TogglePage(core::kPageDec); }
    void mnuCHARClick() { TogglePage(core::kPageChar); }
    void mnuTEXTClick() { TogglePage(core::kPageText); }
    void mnuExitClick();
    void mnuHeplClick();
    void FormResize();
    void FormClose();

    // The port (MainPort.cpp).
    void CommX1DeviceLost() { m_port.deviceLost(); }
    void ReopenTimer() { m_port.reopenLook(); }
    void mnuAutoReopenClick();
    void stRTSClick();
    void stDTRClick();
    void CtrlLineStep();
    void CommX1Error(std::int32_t) { ShowLineErrors(); }

    // The pages (MainPages.cpp).
    void CommX1Receive(QObject *, std::int32_t) { m_view.receiveEvent(); }
    void Timer1Timer() { m_view.tick(); }
    void FinishSaves() { m_view.finishSaves(); }
    // Senders show what they sent through this (page index, cells without the tag, its time).
    void AppendOutLine(int page, const std::string &cells, std::int64_t time)
    {
        m_view.appendOutLine(page, cells, time);
    }
    void BtnLOGClick();
    void BtnClearClick();
    void Memo1DblClick(PageView *Sender, int line);
    void MemoEnter(PageView *Sender);
    // "受信時刻表示": the time column of the pages on or off.
    void mnuRecvTimeClick();
    bool ShowTimes() const { return m_view.showTimes(); }
    // The traffic log: the menu item starts one (asking for the folder) or stops the one running.
    void mnuTrafficLogClick();
    // Starts a log in `folder` without asking; false (the user told why) when the file cannot
    // be made.
    bool StartTrafficLog(const QString &folder);
    void StopTrafficLog() { m_view.stopLog(); }
    bool TrafficLogRunning() const { return m_view.logRunning(); }
    // The running log's file, or the last one's.
    QString TrafficLogPath() const { return m_view.logPath(); }
    // The folder the next log starts in: the last one used.
    QString TrafficLogFolder() const;

    // Scripts (MainScript.cpp): "スクリプト実行..." asks for a .lua file and runs it on the open
    // port; "スクリプト停止" stops the one running.
    void mnuScriptRunClick();
    void mnuScriptStopClick() { m_script.stop(); }
    // Runs the script without asking; false (the user told why) when it did not start.
    bool RunScript(const QString &path);

    // Find (MainFind.cpp): "検索..." and Ctrl+F open the bar over the bottom of the pages.
    void mnuFindClick();
    FindBar *findBar() const { return m_findBar; }

    // Sending (MainSend.cpp).
    void BtnSendClick();
    void BtnEscClick(QObject *Sender);
    void BtnMixClick();
    // Returns true when the key was taken (Enter).
    bool cmbSendMixKeyPress(int key);
    void cmbSendMixEnter();
    void RGSelectClick();
    void ProgSendClick(QObject *Sender);
    void SetKClick(QObject *Sender);
    void PbTextDblClick(QObject *Sender);
    void cmbSelTextExit();
    bool cmbSelTextKeyPress(int key);
    void BtnMultiLineClick();
    // A registered button's repeat ("繰り返し送信..." in its context menu): the interval in ms
    // (0: none) and the count (0: until stopped).
    void ProgSendRepeatClick(int slot);
    // "自動応答...": the rules' dialog; "自動応答を有効にする": all rules on or off.
    void mnuAutoReplyClick();
    void mnuAutoReplyOnClick();
    // One mixed-send text (CP932) under the form and type selected now, transmitted and echoed.
    void SendMixText(const std::string &text) { m_sender.sendMixText(text); }
    // The continuous output without its dialog. Returns false when it did not run.
    bool PlayOutFile(const QString &path) { return m_sender.playOut(path); }
    // True while a send has not returned (it may wait for room in the transmit queue).
    bool Sending() const { return m_sender.sending(); }
    // The send history, the item list of cmbSendMix, as bytes (CP932), newest first.
    std::vector<std::string> SendHistory() const { return m_sender.history(); }
    void SetSendHistory(const std::vector<std::string> &entries) { m_sender.setHistory(entries); }
    void PushSendHistory(const std::string &text) { m_sender.pushHistory(text); }
    // The send box's text as bytes (CP932). A line picked up from a page gives back the page's
    // own bytes while the box still shows it unchanged; other text is encoded, and nothing comes
    // back when it holds a character that CP932 lacks.
    std::optional<std::string> SendBoxBytes() const;
    void SetSendBoxBytes(const std::string &bytes);

  protected:
    void showEvent(QShowEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void moveEvent(QMoveEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

  private:
    // Main.cpp
    void ConnectHandlers();
    void ReadSettingsFile();
    // The file and the reason when it could not be written, else an empty text.
    QString WriteSettingsFile();
    void TogglePage(int page);
    // activateWhenNone: a tab shown while no page is active becomes the active one.
    void SetTabShown(int page, bool shown, bool activateWhenNone = true);
    void ShowActiveSheet();
    void ShowStatus(const QString &text);
    // MainPort.cpp
    void CreatePortItems();
    void PortOpened();
    void PaintOutputLines();
    void ShowOutputLine(bool dtr, bool on);
    void ShowLineErrors();
    // MainPages.cpp
    void CreatePages();
    void RefreshViews();
    void SetLogCount(int lines);
    void LogStopped();
    void TellLogFailure(const QString &message, const QString &detail);
    // MainFind.cpp
    void CreateFindItems();
    // MainSend.cpp
    void ShowSendHistory();
    void ShowRegistered();
    void CreateReplyItems();
    void ShowRepeat(int slot);
    void ShowReplyStatus();
    void TellReplyProblems();
    // MainScript.cpp
    void CreateScriptItems();
    void ConnectScript();
    void ShowScriptStatus(const QString &text);
    void ScriptLogged(const QByteArray &text);
    void ScriptFinished(const ScriptRunner::Outcome &outcome);

    // The parts first: the widgets below refer to them.
    PortSession m_port;
    ReceiveView m_view{m_port};
    Sender m_sender{m_port, m_view};
    AutoReplies m_replies{m_view, m_sender};
    ScriptRunner m_script{m_port, m_view, m_sender};

    std::unique_ptr<Ui::TForm1> ui;
    std::vector<PageView *> m_memos;    // one per page
    std::vector<QAction *> m_pageMenus; // one per page
    std::array<QLabel *, core::kProgSlots> m_pbTexts{};
    QAction *m_mnuAutoReopen = nullptr;
    QAction *m_mnuFind = nullptr;
    FindBar *m_findBar = nullptr;
    QAction *m_mnuAutoReply = nullptr;
    QAction *m_mnuAutoReplyOn = nullptr;
    QLabel *m_replyStatus = nullptr; // made when the rules are first switched on
    QAction *m_mnuScriptRun = nullptr;
    QAction *m_mnuScriptStop = nullptr;
    QLabel *m_scriptStatus = nullptr; // made when the first script starts
    FilePicker m_scriptPicker;
    QString m_scriptFolder; // where the last script was picked, for this run
    // Used by the registered buttons' handler: the four buttons in slot order.
    std::array<QPushButton *, core::kProgSlots> m_progSends{};
    QLabel *stLineErrors = nullptr;
    QLabel *m_trafficLogStatus = nullptr; // made when the first log starts
    RepaintPacer *m_countRepaint = nullptr;
    bool m_countResize = false;             // the line counter's digits changed since its last repaint
    platform::CommErrorCounts m_lineErrors; // shown
    std::chrono::steady_clock::time_point m_errorCountsAt;
    QDialog *m_frmSetting = nullptr;
    FolderPicker m_folderPicker;
    std::string m_logFolder;    // CP932, as the settings file keeps it
    QString m_sendBoxText;      // what SetSendBoxBytes showed ...
    std::string m_sendBoxBytes; // ... for these bytes
    int m_pickSlot = 1;         // the slot (1 to 4) whose label the history picker serves
    // The stored active page was outside the tabs: none is active until the user picks one.
    bool m_noActivePage = false;
    bool m_closed = false;
};
