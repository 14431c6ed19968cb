// SPDX-License-Identifier: MIT
// The main window's life: construction from the form and the stored settings, the first show
// (the port opens), the settings dialog, the page-visibility commands, the layout rule and the
// close sequence.
#include "Main.h"

#include "ui_Main.h"

#include "Comset.h"
#include "Cp932Text.h"
#include "ExceptionDisplay.h"
#include "HelpViewer.h"
#include "Ini.h"
#include "PageView.h"
#include "PortStatusText.h"
#include "RadioGroup.h"
#include "RepaintPacer.h"
#include "Settings.h"
#include "UserFiles.h"

#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QIcon>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QShortcut>
#include <QShowEvent>
#include <QStringList>
#include <QTimer>

#include <limits>
#include <utility>

namespace
{

// The smallest size of the window, which its layout rule keeps.
constexpr int kMinWidth = 794;
constexpr int kMinHeight = 543;
// The layout rule's margins: the send box and the pages end this far from the window's right
// edge, the panel below the pages starts this far above its bottom, and the pages end this far
// above the panel.
constexpr int kRightMargin = 45;
constexpr int kPanelFromBottom = 203;
constexpr int kPagesAbovePanel = 10;
// The font sizes of the form, in pixels.
constexpr int kFormFontPixels = 12;
constexpr int kBoxFontPixels = 16;
constexpr int kLineCounterFontPixels = 15;

// The line-error counter reads the counts this often (the device keeps them: reading costs
// nothing), besides at once on an error or a break.
constexpr auto kErrorCountsEvery = std::chrono::milliseconds(250);

// The automatic reopen's switch, in a section of its own that older readers of the file skip.
constexpr const char *kReopenSection = "Reconnect";
constexpr const char *kReopenKey = "AUTO";

// The program's own icon, in the sizes the build rendered into it; the menu entry shows the same
// picture, so that the window is known by it in the task bar and a portable copy has it too.
QIcon ProgramIcon()
{
    QIcon icon;
    const QDir sizes(QStringLiteral(":/icons"));
    for (const QString &size : sizes.entryList(QDir::Dirs))
        icon.addFile(sizes.filePath(size + QStringLiteral("/org.quorvel.Quorvel.png")));
    return icon;
}

void SetFontPixels(QWidget *widget, int pixels)
{
    QFont font = widget->font();
    font.setPixelSize(pixels);
    widget->setFont(font);
}

} // namespace

TForm1::TForm1(QWidget *parent) : QMainWindow(parent), ui(std::make_unique<Ui::TForm1>())
{
    // The order matters: the settings file is read after the pages and the history exist, and
    // the output lines are raised before the first show opens the port.

    // The controls of the form, with the properties the designer file cannot say.
    ui->setupUi(this);
    setWindowIcon(ProgramIcon());
    setMinimumSize(kMinWidth, kMinHeight);
    SetFontPixels(this, kFormFontPixels);
    SetFontPixels(ui->cmbSendMix, kBoxFontPixels);
    SetFontPixels(ui->cmbSelText, kBoxFontPixels);
    SetFontPixels(ui->stLogCount, kLineCounterFontPixels);
    // Painting its own background spares the window's painting beneath it on each new count.
    ui->stLogCount->setAutoFillBackground(true);
    m_countRepaint = new RepaintPacer(
        RepaintPacer::kStreamMs,
        [this] {
            ui->stLogCount->setUpdatesEnabled(true);
            if (std::exchange(m_countResize, false))
                ui->stLogCount->adjustSize();
        },
        this);
    ui->cmbSelText->setEditText(QStringLiteral("テキストセレクト"));
    // The send box has no length limit of its own.
    ui->cmbSendMix->lineEdit()->setMaxLength(std::numeric_limits<int>::max());
    CreatePortItems();
    CreateReplyItems();
    CreateScriptItems();
    CreatePages();
    CreateFindItems();

    // The registered-text labels.
    for (int i = 0; i < core::kProgSlots; ++i)
        m_pbTexts[static_cast<std::size_t>(i)] = findChild<QLabel *>(QStringLiteral("PbText%1").arg(i + 1));

    // The send history.
    connect(&m_sender, &Sender::historyChanged, this, [this] { ShowSendHistory(); });
    m_sender.loadHistory();
    ui->cmbSendMix->setEditText(QString());

    // The settings file, the page flags and the menu ticks.
    ReadSettingsFile();

    // The registered send texts and their repeats, and the automatic replies.
    m_sender.loadRegistered();
    ShowRegistered();
    m_replies.load();
    m_mnuAutoReplyOn->setChecked(m_replies.on());
    ShowReplyStatus();

    // Output lines (the port is still closed: only the colours change) and status text.
    m_port.setDtr(true);
    m_port.setRts(true);
    PaintOutputLines();
    ui->stComSet->setText(ComSetText());
    RefreshViews();

    ConnectHandlers();
    FormResize();
}

TForm1::~TForm1()
{
    // The parts outlive the widgets' forms but not the page views, which go with the window.
    m_view.timer()->stop();
    disconnect(&m_port, nullptr, this, nullptr);
    disconnect(&m_view, nullptr, this, nullptr);
    disconnect(&m_sender, nullptr, this, nullptr);
    disconnect(&m_script, nullptr, this, nullptr);
    m_script.shutdown();
    for (PageView *memo : m_memos)
        memo->setPage(nullptr);
}

void TForm1::ConnectHandlers()
{
    connect(ui->mnuExit, &QAction::triggered, this, [this] { mnuExitClick(); });
    connect(ui->mnuSetting, &QAction::triggered, this, [this] { mnuSettingClick(); });
    for (std::size_t i = 0; i < m_pageMenus.size(); ++i)
        connect(m_pageMenus[i], &QAction::triggered, this, [this, i] { TogglePage(static_cast<int>(i)); });
    connect(ui->mnuRecvTime, &QAction::triggered, this, [this] { mnuRecvTimeClick(); });
    connect(ui->mnuTrafficLog, &QAction::triggered, this, [this] { mnuTrafficLogClick(); });
    connect(ui->mnuHepl, &QAction::triggered, this, [this] { mnuHeplClick(); });
    // F1 as in every desktop program; a shortcut of the window, so that the menu item reads as
    // the form has it.
    connect(new QShortcut(QKeySequence::HelpContents, this), &QShortcut::activated, this,
            [this] { mnuHeplClick(); });
    // A click on a tab makes its page active, also when no page was.
    connect(ui->PageControl1, &QTabWidget::tabBarClicked, this, [this](int index) {
        if (index >= 0 && m_noActivePage) {
            m_noActivePage = false;
            ui->PageControl1->setCurrentIndex(index);
            ShowActiveSheet();
        }
    });

    // What the parts report.
    connect(&m_port, &PortSession::status, this, [this](const QString &text) { ShowStatus(text); });
    connect(&m_port, &PortSession::opened, this, [this] { PortOpened(); });
    connect(&m_port, &PortSession::lineEvent, this, [this] { ShowLineErrors(); });
    connect(&m_port, &PortSession::lineErrorsReset, this, [this] {
        stLineErrors->clear(); // shown again below even when the counts stay the same
        ShowLineErrors();
    });
    // Never behind the user's back: not while the settings dialog is up (its OK opens the port
    // itself) nor while a continuous output is still winding down.
    m_port.setReopenAllowed([this] {
        return !m_closed && !m_sender.playingOut() && !(m_frmSetting && m_frmSetting->isVisible());
    });
    connect(m_mnuAutoReopen, &QAction::triggered, this, [this] { mnuAutoReopenClick(); });

    connect(&m_view, &ReceiveView::pagesChanged, this, [this] { RefreshViews(); });
    connect(&m_view, &ReceiveView::lineCountChanged, this, [this](int lines) { SetLogCount(lines); });
    connect(&m_view, &ReceiveView::status, this, [this](const QString &text) { ShowStatus(text); });
    connect(&m_view, &ReceiveView::ticked, this, [this] {
        if (std::chrono::steady_clock::now() - m_errorCountsAt >= kErrorCountsEvery)
            ShowLineErrors();
        CtrlLineStep();
    });
    connect(&m_view, &ReceiveView::logStopped, this, [this] { LogStopped(); });
    connect(&m_view, &ReceiveView::logFailed, this,
            [this](const QString &message, const QString &detail) { TellLogFailure(message, detail); });
    m_view.setLineBreakMode([this] { return ui->ComboBox1->currentIndex(); });

    connect(&m_sender, &Sender::status, this, [this](const QString &text) { ShowStatus(text); });
    m_sender.setMixSyntax([this] {
        return Sender::MixSyntax{core::MixFormFromIndex(RadioItemIndex(ui->RGSelect)),
                                 core::MixTypeFromIndex(RadioItemIndex(ui->RGtype))};
    });

    connect(ui->BtnLOG, &QPushButton::clicked, this, [this] { BtnLOGClick(); });
    connect(ui->BtnClear, &QPushButton::clicked, this, [this] { BtnClearClick(); });
    for (PageView *memo : m_memos) {
        connect(memo, &PageView::lineDoubleClicked, this,
                [this, memo](int line) { Memo1DblClick(memo, line); });
        connect(memo, &PageView::focusEntered, this, [this, memo] { MemoEnter(memo); });
    }

    connect(ui->BtnSend, &QPushButton::clicked, this, [this] { BtnSendClick(); });
    connect(ui->BtnMix, &QPushButton::clicked, this, [this] { BtnMixClick(); });
    connect(ui->BtnMultiLine, &QPushButton::clicked, this, [this] { BtnMultiLineClick(); });
    for (QPushButton *b : {ui->BtnEsc, ui->Button1, ui->Button2, ui->Button3, ui->Button4, ui->Button5,
                           ui->Button6, ui->Button7, ui->Button8, ui->Button9, ui->Button10})
        connect(b, &QPushButton::clicked, this, [this, b] { BtnEscClick(b); });
    m_progSends = {ui->ProgSend1, ui->ProgSend2, ui->ProgSend3, ui->ProgSend4};
    for (std::size_t i = 0; i < m_progSends.size(); ++i) {
        QPushButton *b = m_progSends[i];
        const int slot = static_cast<int>(i) + 1;
        connect(b, &QPushButton::clicked, this, [this, b] { ProgSendClick(b); });
        b->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(b, &QPushButton::customContextMenuRequested, this, [this, b, slot](const QPoint &at) {
            QMenu menu(this);
            QAction *repeat = menu.addAction(QStringLiteral("繰り返し送信..."));
            if (menu.exec(b->mapToGlobal(at)) == repeat)
                ProgSendRepeatClick(slot);
        });
        ShowRepeat(slot);
    }
    connect(&m_sender, &Sender::repeatChanged, this, [this](int slot) { ShowRepeat(slot); });
    connect(&m_replies, &AutoReplies::status, this, [this](const QString &text) { ShowStatus(text); });
    connect(&m_replies, &AutoReplies::activeChanged, this, [this] { ShowReplyStatus(); });
    connect(m_mnuAutoReply, &QAction::triggered, this, [this] { mnuAutoReplyClick(); });
    connect(m_mnuAutoReplyOn, &QAction::triggered, this, [this] { mnuAutoReplyOnClick(); });
    ConnectScript();
    for (QPushButton *b :
         {ui->SetK1, ui->SetK2, ui->SetK3, ui->SetK4, ui->SetM1, ui->SetM2, ui->SetM3, ui->SetM4})
        connect(b, &QPushButton::clicked, this, [this, b] { SetKClick(b); });
    for (QRadioButton *r : {ui->RGSelect_0, ui->RGSelect_1})
        connect(r, &QRadioButton::clicked, this, [this] { RGSelectClick(); });

    // Clicks on labels, double-clicks, focus and keys of the combo boxes arrive as events.
    for (QWidget *w : {static_cast<QWidget *>(ui->stRTS), static_cast<QWidget *>(ui->stDTR)})
        w->installEventFilter(this);
    for (QLabel *label : m_pbTexts)
        label->installEventFilter(this);
    // What is sent is what was typed: no completion from the history, and Enter (the mixed send)
    // adds nothing to the list by itself.
    for (QComboBox *box : {ui->cmbSendMix, ui->cmbSelText}) {
        box->setCompleter(nullptr);
        box->setInsertPolicy(QComboBox::NoInsert);
    }
    ui->cmbSendMix->installEventFilter(this);
    ui->cmbSendMix->lineEdit()->installEventFilter(this);
    ui->cmbSelText->installEventFilter(this);
    ui->cmbSelText->lineEdit()->installEventFilter(this);
}
bool TForm1::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if (type == QEvent::MouseButtonRelease) {
        if (watched == ui->stRTS)
            stRTSClick();
        else if (watched == ui->stDTR)
            stDTRClick();
    } else if (type == QEvent::MouseButtonDblClick) {
        for (QLabel *label : m_pbTexts)
            if (watched == label) {
                PbTextDblClick(label);
                return true;
            }
    } else if (type == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (watched == ui->cmbSendMix || watched == ui->cmbSendMix->lineEdit()) {
            if (cmbSendMixKeyPress(key))
                return true;
        } else if (watched == ui->cmbSelText || watched == ui->cmbSelText->lineEdit()) {
            if (cmbSelTextKeyPress(key))
                return true;
        }
    } else if (type == QEvent::FocusIn) {
        // The combo box takes the focus for its line edit, so the box reports it (the line edit
        // too, should it ever take it itself: the handler only sets a text).
        if (watched == ui->cmbSendMix || watched == ui->cmbSendMix->lineEdit())
            cmbSendMixEnter();
    } else if (type == QEvent::FocusOut) {
        // Opening the picker's own list is no leaving.
        const auto reason = static_cast<QFocusEvent *>(event)->reason();
        if ((watched == ui->cmbSelText || watched == ui->cmbSelText->lineEdit()) &&
            reason != Qt::PopupFocusReason && ui->cmbSelText->isVisible() &&
            !ui->cmbSelText->isAncestorOf(QApplication::focusWidget()))
            cmbSelTextExit();
    }
    return QMainWindow::eventFilter(watched, event);
}

void TForm1::ShowStatus(const QString &text)
{
    ui->StatusBar1->showMessage(text);
}

// --- Settings file ------------------------------------------------------------------------------

void TForm1::ReadSettingsFile()
{
    platform::IniFile ini;
    ini.load(platform::UserFileToRead(platform::SettingsFileName()));
    core::Settings s;
    s.read(ini);
    m_port.settings() = s.comm;
    // The geometry key by key, in the order height, width, top, left. The size is the window's
    // own (menu bar included, the window manager's frame not): the frame is not ours to size, and
    // reading back what was set keeps a restart from drifting.
    resize(width(), s.geometry.height);
    resize(s.geometry.width, height());
    move(x(), s.geometry.top);
    move(s.geometry.left, y());
    ui->ComboBox1->setCurrentIndex(s.lineBreakMode);
    SetRadioItemIndex(ui->RGDelimiter, s.delimiter);

    // The active page first, then the tabs one by one, as the keys are read: hiding the active
    // page's tab hands the page on to its neighbour. A stored page outside the tabs leaves no page
    // active until the user picks a tab.
    m_noActivePage = s.activePage < 0;
    if (!m_noActivePage)
        ui->PageControl1->setCurrentIndex(s.activePage);
    for (int i = 0; i < m_view.pageCount(); ++i)
        SetTabShown(i, s.pageShown[static_cast<std::size_t>(i)], false);
    ShowActiveSheet();
    m_port.setAutoReopen(ini.get(kReopenSection, kReopenKey, "1") != "0");
    m_mnuAutoReopen->setChecked(m_port.autoReopen());

    for (int i = 0; i < m_view.pageCount(); ++i) {
        const bool shown = ui->PageControl1->isTabVisible(i);
        PageVisible()[static_cast<std::size_t>(i)] = shown ? 1 : 0;
        m_pageMenus[static_cast<std::size_t>(i)]->setChecked(shown);
    }

    m_view.setShowTimes(s.showTimes);
    ui->mnuRecvTime->setChecked(s.showTimes);
    for (PageView *memo : m_memos)
        memo->setShowTimes(s.showTimes);
    m_logFolder = s.logFolder;
}

QString TForm1::WriteSettingsFile()
{
    platform::IniFile ini;
    const QString path =
        QFile::decodeName(QByteArray::fromStdString(platform::UserFileToRead(platform::SettingsFileName())));
    // A file that exists but cannot be read is left alone rather than replaced by our keys only.
    // The file read may lie beside the executable where it cannot be written: its lines then go
    // on in the user's copy.
    if (!ini.load(platform::UserFileToRead(platform::SettingsFileName())))
        return QStringLiteral("%1: %2").arg(path, QString::fromStdString(ini.errorText()));
    core::Settings s;
    s.comm = m_port.settings();
    s.lineBreakMode = ui->ComboBox1->currentIndex();
    s.delimiter = RadioItemIndex(ui->RGDelimiter);
    s.activePage = ActivePageIndex();
    for (int i = 0; i < m_view.pageCount(); ++i)
        s.pageShown[static_cast<std::size_t>(i)] = ui->PageControl1->isTabVisible(i);
    s.geometry.height = height();
    s.geometry.width = width();
    s.geometry.top = y();
    s.geometry.left = x();
    s.showTimes = m_view.showTimes();
    s.logFolder = m_logFolder;
    s.write(ini);
    // Written once it differs from the default, so that a file that never had it stays as it was.
    if (!m_port.autoReopen() || ini.contains(kReopenSection, kReopenKey))
        ini.set(kReopenSection, kReopenKey, m_port.autoReopen() ? "1" : "0");
    const std::string target = platform::UserFileToWrite(platform::SettingsFileName());
    if (ini.save(target))
        return {};
    return QStringLiteral("%1: %2").arg(QFile::decodeName(QByteArray::fromStdString(target)),
                                        QString::fromStdString(ini.errorText()));
}

int TForm1::ActivePageIndex() const
{
    if (m_noActivePage)
        return -1;
    const int current = ui->PageControl1->currentIndex();
    if (current < 0 || !ui->PageControl1->isTabVisible(current))
        return -1;
    return current;
}

QString TForm1::ComSetText() const
{
    return FromCp932(core::StatusText(m_port.settings()));
}

// --- Show, port, settings dialog --------------------------------------------------------------

void TForm1::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TForm1::FormShow()
{
    ApplyCommSettings();
    TellReplyProblems();
    SetRadioItemIndex(ui->RGSelect, 0);
    RGSelectClick();
}

void TForm1::ApplyCommSettings()
{
    if (m_port.openByHand())
        return;
    // The status bar goes on saying it once the message is answered, since the lamps and the
    // settings text stay as they were.
    ShowStatus(NotConnectedStatus(m_port.openFailure(), m_port.waitForDevice()));
    ShowAppMessage(this, QStringLiteral("ポートオープンに失敗しました"), QMessageBox::Warning,
                   m_port.openFailureDetail());
}

void TForm1::mnuSettingClick()
{
    m_port.close();
    if (!m_frmSetting)
        m_frmSetting = new TfrmSetting(m_port.settings(), this);
    auto *dialog = qobject_cast<TfrmSetting *>(m_frmSetting);
    if (dialog) {
        dialog->SetSettings(m_port.settings());
        dialog->SetRemoteStates([this](int comNo) { return m_port.remoteState(comNo); });
    }
    if (m_frmSetting->exec() == QDialog::Accepted && dialog)
        m_port.settings() = dialog->Settings();
    ApplyCommSettings();
}

void TForm1::mnuHeplClick()
{
    try {
        platform::ShowHelp(this);
    } catch (const std::exception &e) {
        // Shown as an exception that escaped the handler would be, without throwing through Qt.
        ShowException(this, e);
    }
}

// --- Page visibility ----------------------------------------------------------------------------

void TForm1::TogglePage(int page)
{
    // The menu item's tick is the truth; QAction has already flipped it when it was triggered, so
    // the page follows the tab's own state instead.
    const bool shown = ui->PageControl1->isTabVisible(page);
    SetTabShown(page, !shown);
    PageVisible()[static_cast<std::size_t>(page)] = shown ? 0 : 1;
    m_pageMenus[static_cast<std::size_t>(page)]->setChecked(!shown);
}
void TForm1::SetTabShown(int page, bool shown, bool activateWhenNone)
{
    QTabWidget *tabs = ui->PageControl1;
    if (tabs->isTabVisible(page) == shown)
        return;
    const bool wasActive = ActivePageIndex() == page;
    tabs->setTabVisible(page, shown);
    if (!shown && wasActive) {
        // The page whose tab now stands at the same position becomes active: the next shown tab
        // to the right, else the last shown one to the left.
        int next = -1;
        for (int i = page + 1; i < tabs->count() && next < 0; ++i)
            if (tabs->isTabVisible(i))
                next = i;
        for (int i = page - 1; i >= 0 && next < 0; --i)
            if (tabs->isTabVisible(i))
                next = i;
        if (next >= 0)
            tabs->setCurrentIndex(next);
    } else if (shown && activateWhenNone && ActivePageIndex() < 0) {
        m_noActivePage = false;
        tabs->setCurrentIndex(page);
    }
    ShowActiveSheet();
}

void TForm1::ShowActiveSheet()
{
    // With every tab hidden a tab widget would still show the page it had last.
    if (QWidget *sheet = ui->PageControl1->currentWidget())
        sheet->setVisible(ActivePageIndex() >= 0);
}

// --- Layout rule --------------------------------------------------------------------------------

void TForm1::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    FormResize();
}

void TForm1::FormResize()
{
    if (width() < kMinWidth || height() < kMinHeight) {
        resize(std::max(width(), kMinWidth), std::max(height(), kMinHeight));
        return; // the resize comes back here with the new size
    }
    // The rule counts the window's outer size: the menu bar, which is part of the window here, and
    // the frame and caption the window manager draws around it. The controls sit in the client
    // area below the menu bar, as in the window's Windows version.
    const QSize outer = frameGeometry().size();
    ui->cmbSendMix->resize(outer.width() - kRightMargin, ui->cmbSendMix->height());
    ui->Panel1->move(ui->Panel1->x(), outer.height() - kPanelFromBottom);
    ui->PageControl1->resize(outer.width() - kRightMargin,
                             ui->Panel1->y() - ui->PageControl1->y() - kPagesAbovePanel);
}

void TForm1::moveEvent(QMoveEvent *event)
{
    QMainWindow::moveEvent(event);
    // The window manager's frame is known only once it has framed the window, which moves the
    // window's contents without resizing them.
    FormResize();
}

// --- Close --------------------------------------------------------------------------------------

void TForm1::mnuExitClick()
{
    close();
}

void TForm1::closeEvent(QCloseEvent *event)
{
    FormClose();
    QMainWindow::closeEvent(event);
}

void TForm1::FormClose()
{
    if (m_closed)
        return;
    m_closed = true;
    // The script first: it sends through the parts that shut down below.
    m_script.shutdown();
    m_view.timer()->stop();
    m_port.shutdown();
    m_sender.shutdown();
    const QString settingsError = WriteSettingsFile();
    m_port.close();
    m_view.shutdown();
    const QString historyError = m_sender.saveHistory();
    m_view.finishSaves();
    // Told once, for both files: the old files stay as they were, and what was not written is
    // named so that the user can free the place and save again another time.
    QStringList failed;
    for (const QString &e : {settingsError, historyError})
        if (!e.isEmpty())
            failed << e;
    if (!failed.isEmpty())
        ShowAppMessage(this, QStringLiteral("設定を保存できませんでした。"), QMessageBox::Warning,
                       failed.join(QLatin1Char('\n')));
}
