// SPDX-License-Identifier: MIT
// The main window's life: construction from the form and the stored settings, the first show
// (the port opens), the settings dialog, the page-visibility commands, the layout rule and the
// close sequence.
#include "Main.h"

#include "ui_Main.h"

#include "Comset.h"
#include "Cp932.h"
#include "ExceptionDisplay.h"
#include "HelpViewer.h"
#include "HistoryFile.h"
#include "Ini.h"
#include "PageSaver.h"
#include "PageView.h"
#include "PortStatusText.h"
#include "RadioGroup.h"
#include "RepaintPacer.h"
#include "RxPipeline.h"
#include "Settings.h"
#include "Tick.h"
#include "TrafficLog.h"
#include "UserFiles.h"
#include "WallClock.h"

#include <QCloseEvent>
#include <QFile>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QShowEvent>
#include <QStringList>
#include <QTimer>
#include <QVBoxLayout>

#include <limits>
#include <utility>

namespace
{

constexpr int kMinWidth = 794;
constexpr int kMinHeight = 543;

const QColor kBrightGreen(0, 255, 0);

// The automatic reopen's switch, in a section of its own that older readers of the file skip.
constexpr const char *kReopenSection = "Reconnect";
constexpr const char *kReopenKey = "AUTO";

QString FromBytes(const std::string &bytes)
{
    return QString::fromStdString(platform::Cp932ToUtf8(bytes));
}

void SetFontPixels(QWidget *widget, int pixels)
{
    QFont font = widget->font();
    font.setPixelSize(pixels);
    widget->setFont(font);
}

} // namespace

TForm1::TForm1(QWidget *parent)
    : QMainWindow(parent), ui(std::make_unique<Ui::TForm1>()), m_rx(std::make_unique<core::RxPipeline>()),
      m_saver(std::make_unique<core::PageSaver>()), m_tick(platform::GetTickCount),
      m_clock(platform::WallClockMs)
{
    // The order matters: the settings file is read after the pages and the history exist, and
    // the output lines are raised before the first show opens the port.

    // The controls of the form, with the properties the designer file cannot say.
    ui->setupUi(this);
    setMinimumSize(kMinWidth, kMinHeight);
    {
        QFont font = this->font();
        font.setPixelSize(12);
        setFont(font);
    }
    SetFontPixels(ui->cmbSendMix, 16);
    SetFontPixels(ui->cmbSelText, 16);
    SetFontPixels(ui->stLogCount, 15);
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
    // The line-error counter sits in the free space of the line counter's row, between the
    // control-code buttons and the line-break choice, so that no control of the form moves.
    stLineErrors = new QLabel(ui->stLogCount->parentWidget());
    stLineErrors->setObjectName(QStringLiteral("stLineErrors"));
    stLineErrors->setGeometry(392, 60, 86, 19);
    ResetLineErrors(true);
    ui->cmbSelText->setEditText(QStringLiteral("テキストセレクト"));
    // The send box has no length limit of its own.
    ui->cmbSendMix->lineEdit()->setMaxLength(std::numeric_limits<int>::max());
    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(10);
    CreateReopenItems();

    // The setting texts start empty; the pages get their views.
    CommSettings.Parity.clear();
    CommSettings.StopBits.clear();
    CommSettings.Flow.clear();
    CreatePages();

    // The registered-text labels.
    for (int i = 0; i < core::kProgSlots; ++i)
        m_pbTexts[static_cast<std::size_t>(i)] = findChild<QLabel *>(QStringLiteral("PbText%1").arg(i + 1));

    // The send history.
    LoadSendHistory();

    // The settings file, the page flags and the menu ticks.
    ReadSettingsFile();

    // The registered send texts.
    ProgText = core::LoadProgButtons(platform::UserFileToRead(std::string(core::kProgButtonFile)));
    for (int i = 0; i < core::kProgSlots; ++i)
        PbText(i)->setText(FromBytes(ProgText[static_cast<std::size_t>(i)]));

    // Output lines (the port is still closed: only the colours change) and status text.
    RaiseOutputLines();
    ui->stComSet->setText(ComSetText());

    // The pipeline starts idle and every page holds one empty line.
    m_rx->SetLastRxTick(0);
    for (core::Page &page : m_pages)
        page.add(std::string());
    RefreshViews();

    ConnectHandlers();
    FormResize();
}

TForm1::~TForm1()
{
    Timer1->stop();
    CloseTrafficLog(false);
    CommX1.OnReceive = nullptr;
    CommX1.OnError = nullptr;
    CommX1.OnBreak = nullptr;
    CommX1.OnDeviceLost = nullptr;
    CommX1.PortClose();
    for (PageView *memo : m_memos)
        memo->setPage(nullptr);
}

void TForm1::CreatePages()
{
    for (const core::PageKind &kind : core::StandardPages()) {
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
        memo->setPage(&m_pages[m_memos.size()]);
        layout->addWidget(memo);
        m_memos.push_back(memo);
    }
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
    // A click on a tab makes its page active, also when no page was.
    connect(ui->PageControl1, &QTabWidget::tabBarClicked, this, [this](int index) {
        if (index >= 0 && m_noActivePage) {
            m_noActivePage = false;
            ui->PageControl1->setCurrentIndex(index);
            ShowActiveSheet();
        }
    });

    connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
    CommX1.OnReceive = [this](QObject *sender, std::int32_t size) { CommX1Receive(sender, size); };
    CommX1.OnError = [this](QObject *, std::int32_t state) { CommX1Error(state); };
    CommX1.OnBreak = [this](QObject *) { CommX1Error(0); };
    CommX1.OnDeviceLost = [this](QObject *) { CommX1DeviceLost(); };
    connect(TimerReopen, &QTimer::timeout, this, [this] { ReopenTimer(); });
    connect(mnuAutoReopen, &QAction::triggered, this, [this] { mnuAutoReopenClick(); });

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
    for (QPushButton *b : {ui->ProgSend1, ui->ProgSend2, ui->ProgSend3, ui->ProgSend4})
        connect(b, &QPushButton::clicked, this, [this, b] { ProgSendClick(b); });
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

void TForm1::SetTickSource(TickSource source)
{
    m_tick = source ? std::move(source) : TickSource(platform::GetTickCount);
}

void TForm1::SetClockSource(ClockSource source)
{
    m_clock = source ? std::move(source) : ClockSource(platform::WallClockMs);
}

void TForm1::mnuRecvTimeClick()
{
    m_showTimes = !m_showTimes;
    ui->mnuRecvTime->setChecked(m_showTimes);
    for (PageView *memo : m_memos)
        memo->setShowTimes(m_showTimes);
}

// --- Settings file and send history ---------------------------------------------------------

std::vector<std::string> TForm1::SendHistory() const
{
    std::vector<std::string> entries;
    entries.reserve(static_cast<std::size_t>(ui->cmbSendMix->count()));
    for (int i = 0; i < ui->cmbSendMix->count(); ++i) {
        const QVariant bytes = ui->cmbSendMix->itemData(i);
        if (bytes.isValid()) {
            entries.push_back(bytes.toByteArray().toStdString());
        } else {
            // An item added as text only; a character CP932 lacks cannot be stored.
            entries.push_back(
                platform::Utf8ToCp932(ui->cmbSendMix->itemText(i).toStdString()).value_or(std::string()));
        }
    }
    return entries;
}

void TForm1::SetSendHistory(const std::vector<std::string> &entries)
{
    // Replacing the items must not touch the text being edited in the box.
    const QString text = ui->cmbSendMix->currentText();
    ui->cmbSendMix->clear();
    for (const std::string &entry : entries)
        ui->cmbSendMix->addItem(FromBytes(entry), QByteArray::fromStdString(entry));
    ui->cmbSendMix->setEditText(text);
}

void TForm1::LoadSendHistory()
{
    std::vector<std::string> entries;
    core::LoadHistoryFile(platform::UserFileToRead(core::kHistoryFileName), entries);
    SetSendHistory(entries);
    ui->cmbSendMix->setEditText(QString());
}

QString TForm1::SaveSendHistory()
{
    // Not guarded, as the settings file is not: the close goes on whatever happens here. The
    // file is replaced in one step, so a failure leaves the old history whole.
    const std::string path = platform::UserFileToWrite(core::kHistoryFileName);
    std::string error;
    if (core::SaveHistoryFile(path, SendHistory(), &error))
        return {};
    return QStringLiteral("%1: %2").arg(QFile::decodeName(QByteArray::fromStdString(path)),
                                        QString::fromStdString(error));
}

void TForm1::ReadSettingsFile()
{
    platform::IniFile ini;
    ini.load(platform::UserFileToRead(platform::SettingsFileName()));
    core::Settings s;
    s.read(ini);
    CommSettings = s.comm;
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
    for (std::size_t i = 0; i < m_pages.size(); ++i)
        SetTabShown(static_cast<int>(i), s.pageShown[i], false);
    ShowActiveSheet();
    m_autoReopen = ini.get(kReopenSection, kReopenKey, "1") != "0";
    mnuAutoReopen->setChecked(m_autoReopen);

    for (std::size_t i = 0; i < m_pages.size(); ++i) {
        const bool shown = ui->PageControl1->isTabVisible(static_cast<int>(i));
        PageVisible[i] = shown ? 1 : 0;
        m_pageMenus[i]->setChecked(shown);
    }

    m_showTimes = s.showTimes;
    ui->mnuRecvTime->setChecked(m_showTimes);
    for (PageView *memo : m_memos)
        memo->setShowTimes(m_showTimes);
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
    s.comm = CommSettings;
    s.lineBreakMode = ui->ComboBox1->currentIndex();
    s.delimiter = RadioItemIndex(ui->RGDelimiter);
    s.activePage = ActivePageIndex();
    for (std::size_t i = 0; i < m_pages.size(); ++i)
        s.pageShown[i] = ui->PageControl1->isTabVisible(static_cast<int>(i));
    s.geometry.height = height();
    s.geometry.width = width();
    s.geometry.top = y();
    s.geometry.left = x();
    s.showTimes = m_showTimes;
    s.logFolder = m_logFolder;
    s.write(ini);
    // Written once it differs from the default, so that a file that never had it stays as it was.
    if (!m_autoReopen || ini.contains(kReopenSection, kReopenKey))
        ini.set(kReopenSection, kReopenKey, m_autoReopen ? "1" : "0");
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
    return FromBytes(core::StatusText(CommSettings));
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
    SetRadioItemIndex(ui->RGSelect, 0);
    RGSelectClick();
}

void TForm1::ApplyCommSettings()
{
    // An open the user asked for wins over a device that was waited for.
    m_lost.reset();
    if (!OpenPort())
        ShowAppMessage(this, QStringLiteral("ポートオープンに失敗しました"), QMessageBox::Warning,
                       OpenFailureReason(platform::LastOpenProblem()));
}

bool TForm1::OpenPort(const platform::PortIdentity *device)
{
    m_opened.reset();
    CommX1.SetBitRate(CommSettings.Speed);
    CommX1.SetCharSize(CommSettings.WordSize);
    CommX1.SetParityBit(CommSettings.Parity == "EVEN"  ? cpbEven
                        : CommSettings.Parity == "ODD" ? cpbOdd
                                                       : cpbNone);
    CommX1.SetStopBit(CommSettings.StopBits == "1.5" ? csb1p5 : CommSettings.StopBits == "2" ? csb2 : csb1);
    CommX1.SetFlowCtrl(CommSettings.Flow == "RTS/CTS" ? cfcRtsCts : cfcNone);
    CommX1.SetPortNo(CommSettings.ComNo);
    m_rx->ResetRing();

    try {
        CommX1.PortOpen();
    } catch (const std::exception &) {
        // Whatever failed (device missing or busy, a setting refused, a worker not started), the
        // program goes on without a port; the caller tells the user.
        ResetLineErrors(true);
        return false;
    }
    m_opened = device ? *device : platform::IdentifyPort(CommSettings.ComNo);
    ResetLineErrors(true);
    RaiseOutputLines();
    ui->stComSet->setText(ComSetText());
    Timer1->start();
    return true;
}

void TForm1::RaiseOutputLines()
{
    CommX1.SetDtrSignal(true);
    CommX1.SetRtsSignal(true);
    for (QLabel *label : {ui->stDTR, ui->stRTS}) {
        QPalette palette = label->palette();
        palette.setColor(QPalette::Window, kBrightGreen);
        label->setPalette(palette);
    }
}

void TForm1::mnuSettingClick()
{
    CommX1.PortClose();
    m_opened.reset();
    if (!m_frmSetting)
        m_frmSetting = new TfrmSetting(CommSettings, this);
    auto *dialog = qobject_cast<TfrmSetting *>(m_frmSetting);
    if (dialog)
        dialog->SetSettings(CommSettings);
    if (m_frmSetting->exec() == QDialog::Accepted && dialog)
        CommSettings = dialog->Settings();
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
    PageVisible[static_cast<std::size_t>(page)] = shown ? 0 : 1;
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
    ui->cmbSendMix->resize(width() - 45, ui->cmbSendMix->height());
    ui->Panel1->move(ui->Panel1->x(), height() - 203);
    ui->PageControl1->resize(width() - 45, ui->Panel1->y() - ui->PageControl1->y() - 10);
}

// --- Close --------------------------------------------------------------------------------------

bool TForm1::FormCloseQuery()
{
    return true;
}

void TForm1::mnuExitClick()
{
    close();
}

void TForm1::closeEvent(QCloseEvent *event)
{
    if (!FormCloseQuery()) {
        event->ignore();
        return;
    }
    FormClose();
    QMainWindow::closeEvent(event);
}

void TForm1::FormClose()
{
    if (m_closed)
        return;
    m_closed = true;
    Timer1->stop();
    TimerReopen->stop();
    const QString settingsError = WriteSettingsFile();
    CommX1.PortClose();
    StopTrafficLog();
    const QString historyError = SaveSendHistory();
    FinishSaves();
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
