// SPDX-License-Identifier: MIT
// The main window: the terminal itself. It owns the serial port component, the four display
// pages (byte-line models shown by PageView) and the receive pipeline, and carries them from
// construction through the first show (the port opens), the settings dialog (the port reopens)
// to the close (settings and history written, port closed).
//
// The window stays thin: the receive pipeline, the settings and history files, the page files
// and the send logic are display-free classes under core/; the handlers here read the controls,
// call them and show the result. The handlers keep the names of the controls and events they
// serve and are public, so that tests drive them as the user's clicks would.
#pragma once

#include "CommSettings.h"
#include "Commx.h"
#include "Page.h"
#include "PageTable.h"
#include "PortDevice.h"
#include "ProgButtons.h"
#include "SendCells.h"
#include "TrafficLog.h"

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
namespace core
{
class RxPipeline;
class PageSaver;
struct PageSet;
} // namespace core
class PageView;
class RepaintPacer;
class QAction;
class QComboBox;
class QDialog;
class QLabel;
class QTimer;

class TForm1 : public QMainWindow
{
    Q_OBJECT

  public:
    explicit TForm1(QWidget *parent = nullptr);
    ~TForm1() override;

    // The designer form: every control under its original name.
    Ui::TForm1 &form() { return *ui; }

    // The settings dialog shown by mnuSettingClick. The program creates it after the window;
    // without one, the command makes its own on first use.
    void SetSettingDialog(QDialog *dialog) { m_frmSetting = dialog; }

    // The clock of the receive pipeline (GetTickCount by default); tests make time pass by hand.
    using TickSource = std::function<std::uint32_t()>;
    void SetTickSource(TickSource source);
    // The calendar clock of the line times and the traffic log, in ms since 1970 (the system's
    // by default); tests set the time by hand.
    using ClockSource = std::function<std::int64_t()>;
    void SetClockSource(ClockSource source);
    // How the traffic log asks for its folder: gets the folder to start in, returns the chosen
    // one or an empty text when the user cancels (a folder dialog by default).
    using FolderPicker = std::function<QString(const QString &start)>;
    void SetFolderPicker(FolderPicker picker);
    // What the traffic log writes its text through (the file by default), and how many bytes of
    // records may wait for it; tests hold or fail the writes on purpose.
    using LogOutputMaker =
        std::function<std::unique_ptr<core::TrafficLog::Output>(platform::AppendFile file)>;
    void SetTrafficLogOutput(LogOutputMaker maker, std::size_t maxBacklog);

    // State shared with the dialog and the other parts of the window.
    core::CommSettings CommSettings;
    // 1 while the page's tab is shown, in the order of the page table.
    std::vector<int> PageVisible =
        std::vector<int>(static_cast<std::size_t>(core::StandardPages().count()), 1);

    TCommX CommX1;
    QTimer *Timer1 = nullptr;

    // The page memo table (Memo1 ... Memo4) and the models they show.
    PageView *Memo(int i) const { return m_memos[static_cast<std::size_t>(i)]; }
    core::Page &PageModel(int i) { return m_pages[static_cast<std::size_t>(i)]; }
    QLabel *PbText(int i) const { return m_pbTexts[static_cast<std::size_t>(i)]; }

    // The active page index of PageControl1, -1 when no tab is shown.
    int ActivePageIndex() const;

    // Start-up, settings and close (Main.cpp).
    void FormShow();
    void ApplyCommSettings();
    void mnuSettingClick();
    void mnuHEXClick() { TogglePage(core::kPageHex); }
    void mnuDECClick() { TogglePage(core::kPageDec); }
    void mnuCHARClick() { TogglePage(core::kPageChar); }
    void mnuTEXTClick() { TogglePage(core::kPageText); }
    // "受信時刻表示": the time column of the four pages on or off.
    void mnuRecvTimeClick();
    bool ShowTimes() const { return m_showTimes; }
    void mnuExitClick();
    void mnuHeplClick();
    void FormResize();
    bool FormCloseQuery();
    void FormClose();

    // Receive display (MainReceive.cpp).
    void CommX1Receive(QObject *Sender, std::int32_t ReceiveSize);
    void Timer1Timer();
    // The component's line-error and break events: the line-error counter looks at the counts.
    void CommX1Error(std::int32_t ErrorState);
    // Waits for the automatic saves in the background, and tells a failure.
    void FinishSaves();
    // Senders show what they sent through this (page index 0 to 3, cells without the tag, the
    // time of the send).
    void AppendOutLine(int page, const std::string &cells, std::int64_t time);

    // Traffic log (MainTrafficLog.cpp). The menu item starts a log (asking for the folder) or
    // stops the one running.
    void mnuTrafficLogClick();
    // Starts a log in `folder` without asking; false (the user told why) when the file cannot
    // be made.
    bool StartTrafficLog(const QString &folder);
    // Writes the line still open and what waits, and closes the file.
    void StopTrafficLog();
    bool TrafficLogRunning() const { return m_trafficLog != nullptr; }
    // The running log's file, or the last one's.
    QString TrafficLogPath() const { return m_trafficLogPath; }
    // The folder the next log starts in: the last one used.
    QString TrafficLogFolder() const;

    // Devices that go away and come back (MainReconnect.cpp). The device of the open port went
    // away: what it sent is shown, the port closes and, with the reopen on, is watched for.
    void CommX1DeviceLost();
    // Twice a second: notices a device node that vanished without a hang-up, and reopens the
    // port once its device is back; one that is back but will not open is tried less often.
    void ReopenTimer();
    void mnuAutoReopenClick();
    QAction *mnuAutoReopen = nullptr;
    QTimer *TimerReopen = nullptr;

    // Page files and pick-up (MainLogs.cpp).
    void BtnLOGClick();
    void BtnClearClick();
    void Memo1DblClick(PageView *Sender, int line);
    void MemoEnter(PageView *Sender);

    // Control lines (MainCtrlLines.cpp).
    void stRTSClick();
    void stDTRClick();
    void CtrlLineStep();

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

    // The history step of the two send buttons: `text` (CP932) goes to the top of the send
    // history; the send box keeps the text as typed (MainSend.cpp).
    void PushSendHistory(const std::string &text);
    // Parses one mixed-send text (CP932) under the form and type selected now, transmits it and
    // echoes it on the shown pages. Touches neither the send box nor the history.
    void SendMixText(const std::string &text);
    // The continuous output without its dialog: every line of the file goes through SendMixText.
    // Returns false when it did not run (another send still going, or the file cannot be opened).
    bool PlayOutFile(const QString &path);
    // True while a send (string, mixed, registered or continuous output) has not returned: it may
    // be waiting for room in the transmit queue, and the window then refuses a second send.
    bool Sending() const { return m_sending; }
    // The slot (1 to 4) whose label the history picker serves; shared by every window.
    static int PickSlot;

    // The registered send texts (CP932), slot 1 first.
    core::ProgTexts ProgText;

    // The send history, the item list of cmbSendMix, as bytes (CP932), newest first. The items
    // keep their bytes beside the shown text, so bytes that do not decode survive a restart.
    std::vector<std::string> SendHistory() const;
    void SetSendHistory(const std::vector<std::string> &entries);

    // The send box's text as bytes (CP932). A line picked up from a page gives back the page's
    // own bytes while the box still shows it unchanged; other text is encoded, and nothing comes
    // back when it holds a character that CP932 lacks.
    std::optional<std::string> SendBoxBytes() const;
    void SetSendBoxBytes(const std::string &bytes);

    // The status text of stComSet for the current settings.
    QString ComSetText() const;

  protected:
    void showEvent(QShowEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

  private:
    void CreatePages();
    void ConnectHandlers();
    void ReadSettingsFile();
    // Both give the file and the reason when it could not be written, else an empty text.
    QString WriteSettingsFile();
    void LoadSendHistory();
    QString SaveSendHistory();
    void TogglePage(int page);
    // activateWhenNone: a tab shown while no page is active becomes the active one.
    void SetTabShown(int page, bool shown, bool activateWhenNone = true);
    // The stored active page was outside the tabs: none is active until the user picks one.
    bool m_noActivePage = false;
    void ShowActiveSheet();
    // Opens the port with CommSettings and starts the display; false when it did not open.
    // `device`: the device a reopen found, which the open must reach.
    bool OpenPort(const platform::PortIdentity *device = nullptr);
    void CreateReopenItems();
    void RaiseOutputLines();
    void RefreshViews();
    core::PageSet Pages();
    // Writes the shown pages' files; false with the reason when one could not be written.
    bool SavePageFiles(std::string *error);
    // Reads what the port has, no more than the ring has room for; returns the bytes read.
    std::size_t TakeReceived(std::int32_t atLeast);
    // The save at the line limit: handed to the background saver.
    bool SaveAtLimit(std::string &error);
    // Tells once in the status bar that a save in the background failed.
    void ReportSaveFailure();
    // Hands the completed log lines to the log's writer; stops the log when it failed.
    void FeedTrafficLog();
    void CloseTrafficLog(bool tellFailure);
    void TellTrafficLogFailure(const std::string &error);
    // A sent message's line for the traffic log, from its echo cells (HEX, DEC, CHAR, TEXT).
    // Hands the bytes of one send to the component; false when it did not take them all (the
    // port is closed, or closed while the call waited for room).
    bool Transmit(const std::string &bytes);
    // The time of a line sent now, in order with the received lines'.
    std::int64_t LineTimeNow();
    // A sent message's line for the traffic stream (and so the log), with its echo cells.
    // `accepted`: the component took the bytes; a line it refused is echoed but not logged.
    void SentLine(const std::string &bytes, const core::EchoCells &cells, std::int64_t time, bool accepted);
    void ShowLineErrors();
    // "ログクリア" starts the counts again from now; an open starts them from zero.
    void ResetLineErrors(bool reopened);

    std::unique_ptr<Ui::TForm1> ui;
    std::vector<core::Page> m_pages =
        std::vector<core::Page>(static_cast<std::size_t>(core::StandardPages().count()));
    std::vector<PageView *> m_memos; // one per page
    std::array<QLabel *, core::kProgSlots> m_pbTexts{};
    std::vector<QAction *> m_pageMenus; // one per page
    std::unique_ptr<core::RxPipeline> m_rx;
    std::unique_ptr<core::PageSaver> m_saver;
    TickSource m_tick;
    ClockSource m_clock;
    FolderPicker m_folderPicker;
    LogOutputMaker m_logOutput;
    std::size_t m_logBacklog = core::TrafficLog::kMaxPending;
    bool m_showTimes = false;
    std::unique_ptr<core::TrafficLog> m_trafficLog;
    core::TrafficRecorder m_recorder; // listening while the log runs
    QString m_trafficLogPath;
    std::string m_logFolder;              // CP932, as the settings file keeps it
    QLabel *m_trafficLogStatus = nullptr; // made when the first log starts
    QLabel *stLineErrors = nullptr;
    platform::CommErrorCounts m_lineErrorBase; // the device's counts at the last "ログクリア"
    platform::CommErrorCounts m_lineErrors;    // shown
    std::chrono::steady_clock::time_point m_errorCountsAt;
    QDialog *m_frmSetting = nullptr;
    QString m_sendBoxText;      // what SetSendBoxBytes showed ...
    std::string m_sendBoxBytes; // ... for these bytes
    bool m_closed = false;
    std::optional<platform::PortIdentity> m_opened; // the device of the open port
    std::optional<platform::PortIdentity> m_lost;   // a device that went away, watched for
    bool m_autoReopen = true;
    QString m_reopenStatus; // the last status line of a failing reopen, said once
    int m_reopenPause = 1;  // looks from one try of a returned device that would not open to the next
    int m_reopenWait = 0;   // looks left before the next try
    bool m_playingOut = false;
    bool m_stopPlayOut = false;

    // Sending (MainSend.cpp): the guard against a second send during a wait for the queue.
    friend class SendGuard;
    bool m_sending = false;
    void ShowStatus(const QString &text);
    void SetLogCount(int lines);
    RepaintPacer *m_countRepaint = nullptr;
    bool m_countResize = false; // the line counter's digits changed since its last repaint
};
