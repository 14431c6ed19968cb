// SPDX-License-Identifier: MIT
#include "Comset.h"

#include "CommSettingsForm.h"

#include "ui_Comset.h"

#include "ExceptionDisplay.h"
#include "Int32Text.h"
#include "Loopback.h"
#include "PortNames.h"
#include "PortStatusText.h"

#include <QEvent>
#include <QFile>
#include <QKeyEvent>
#include <QLineEdit>
#include <QShowEvent>
#include <QStringList>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <optional>
#include <utility>

namespace
{

// The dialog's outer size, frame included, as the form was drawn. Where the platform reports no
// frame (or before the window manager has framed the window) the client gets the size it had
// under the frame the form was drawn with; it never gets smaller than the controls need.
constexpr QSize kOuterSize(336, 284);
constexpr QSize kDefaultClientSize(328, 250);
constexpr QSize kSmallestClientSize(312, 244);

constexpr int kPortCount = 20;

// The character a key press types, as the filters see it; nothing for keys that type no
// character (cursor keys, Delete, Tab, Escape and the like), which reach the box unfiltered.
std::optional<QChar> TypedCharacter(const QKeyEvent &event)
{
    // Paste and cut arrive as characters with Ctrl+V and Ctrl+X; Shift+Insert and Shift+Delete
    // do the same without one, so they count as the same non-digit character.
    if (event.matches(QKeySequence::Paste) || event.matches(QKeySequence::Cut))
        return QChar(0x16);
    switch (event.key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return QChar(13);
    case Qt::Key_Backspace:
        return QChar(8);
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
    case Qt::Key_Escape:
    case Qt::Key_Delete:
        return std::nullopt;
    default:
        break;
    }
    const QString text = event.text();
    if (text.isEmpty())
        return std::nullopt;
    return text.size() == 1 ? text.front() : QChar(0xFFFF);
}

// The next control of the dialog's tab order after `from`, skipping the parts of `from` itself
// (the edit field inside the speed combo box).
QWidget *NextTabStop(QWidget *from)
{
    for (QWidget *w = from->nextInFocusChain(); w && w != from; w = w->nextInFocusChain()) {
        if (from->isAncestorOf(w) || w->window() != from->window())
            continue;
        if ((w->focusPolicy() & Qt::TabFocus) == Qt::TabFocus && w->isEnabled() &&
            w->isVisibleTo(from->window()))
            return w;
    }
    return nullptr;
}

} // namespace

TfrmSetting::TfrmSetting(core::CommSettings settings, QWidget *parent)
    : QDialog(parent), ui(std::make_unique<Ui::TfrmSetting>()), m_settings(std::move(settings))
{
    ui->setupUi(this);

    // The form's font by its character height, which a point size would tie to the screen.
    QFont formFont = font();
    formFont.setFamily(QStringLiteral("ＭＳ Ｐゴシック"));
    formFont.setPixelSize(15);
    setFont(formFont);
    QFont deviceFont = formFont;
    deviceFont.setPixelSize(10);
    ui->lblDevice->setFont(deviceFont);
    ui->lblDevice->setTextFormat(Qt::PlainText);
    // The wait-time caption was laid out for a font in which it fits its 116 pixels on one line;
    // with a wider substitute font it takes the free room to its right instead of wrapping into
    // a second line that the edit box below would hide.
    QLabel *waitCaption = ui->Label7;
    const int needed = waitCaption->fontMetrics().horizontalAdvance(waitCaption->text()) + 2;
    if (needed > waitCaption->width())
        waitCaption->resize(std::min(needed, kSmallestClientSize.width() - waitCaption->x()),
                            waitCaption->height());

    // The speed is what the user types: no completion turning "1" into "19200", and typed
    // values do not become list items.
    ui->cmbSpeed->setCompleter(nullptr);
    ui->cmbSpeed->setInsertPolicy(QComboBox::NoInsert);

    // Characters reach the two number boxes only as key presses, which the filters see; an input
    // method would hand them over as committed text past the filters.
    for (QWidget *w : {static_cast<QWidget *>(ui->cmbSpeed), static_cast<QWidget *>(ui->cmbSpeed->lineEdit()),
                       static_cast<QWidget *>(ui->Edit1)}) {
        w->setAttribute(Qt::WA_InputMethodEnabled, false);
        w->installEventFilter(this);
    }

    connect(ui->BtnOk, &QPushButton::clicked, this, [this] { BtnOkClick(); });
    connect(ui->BtnCancel, &QPushButton::clicked, this, [this] { BtnCancelClick(); });
    connect(ui->cmbPort, &QComboBox::currentIndexChanged, this, [this] { UpdateDeviceLabel(); });
    // The label follows devices plugged in and pulled out while the dialog is open, and only
    // then: a hidden dialog costs the window no wake-ups.
    m_follow = new QTimer(this);
    m_follow->setInterval(500);
    connect(m_follow, &QTimer::timeout, this, [this] { UpdateDeviceLabel(); });

    setFixedSize(kDefaultClientSize);
}

TfrmSetting::~TfrmSetting() = default;

void TfrmSetting::showEvent(QShowEvent *event)
{
    // Sized before QDialog centres the window over its parent (unless it has been placed); after
    // the first showing it counts as placed, so it comes back where the user left it.
    if (!event->spontaneous())
        FitOuterSize(false);
    QDialog::showEvent(event);
    m_follow->start();
    setAttribute(Qt::WA_Moved, true);
    if (!event->spontaneous())
        FormShow();
}

void TfrmSetting::hideEvent(QHideEvent *event)
{
    m_follow->stop();
    QDialog::hideEvent(event);
}

void TfrmSetting::moveEvent(QMoveEvent *event)
{
    // The window manager tells the frame only once it has framed the window, which it reports
    // with a move.
    QDialog::moveEvent(event);
    if (isVisible())
        FitOuterSize(true);
}

bool TfrmSetting::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::KeyPress)
        return QDialog::eventFilter(watched, event);
    const std::optional<QChar> typed = TypedCharacter(*static_cast<QKeyEvent *>(event));
    if (!typed)
        return false;
    QChar key = *typed;
    if (watched == ui->Edit1)
        Edit1KeyPress(key);
    else
        cmbSpeedKeyPress(key);
    return key.isNull();
}

void TfrmSetting::FormShow()
{
    const core::CommSettings &s = m_settings;
    ui->cmbPort->setCurrentIndex(s.ComNo >= 1 && s.ComNo <= kPortCount ? s.ComNo - 1 : -1);
    ui->cmbSpeed->setEditText(QString::number(s.Speed));
    ui->cmbWord->setCurrentIndex(s.WordSize == 7 ? 0 : 1);
    ui->cmbParity->setCurrentIndex(s.Parity == "EVEN" ? 1 : s.Parity == "ODD" ? 2 : 0);
    ui->cmbStopbit->setCurrentIndex(s.StopBits == "1.5" ? 1 : s.StopBits == "2" ? 2 : 0);
    ui->cmbFlow->setCurrentIndex(s.Flow == "RTS/CTS" ? 1 : 0);
    ui->Edit1->setText(QString::number(s.RecvLineWait));
    ui->CheckBox1->setChecked(s.CtrlCheck != 0);
    // The map of ports may have changed since the last showing even if the selection has not.
    UpdateDeviceLabel();
}

void TfrmSetting::BtnOkClick()
{
    core::CommSettingsInput input;
    input.speed = ui->cmbSpeed->currentText().toStdString();
    input.lineWait = ui->Edit1->text().toStdString();
    input.port = ui->cmbPort->currentIndex();
    input.word = ui->cmbWord->currentIndex();
    input.parity = ui->cmbParity->currentIndex();
    input.stopBits = ui->cmbStopbit->currentIndex();
    input.flow = ui->cmbFlow->currentIndex();
    input.ctrlCheck = ui->CheckBox1->isChecked();
    const core::CommSettingsOutcome outcome = core::SettingsFromDialog(m_settings, input);
    switch (outcome.error) {
    case core::CommSettingsError::Speed:
        ShowAppMessage(this, QStringLiteral("通信速度設定が異常です"));
        return;
    case core::CommSettingsError::LineWait:
        ShowAppMessage(this, QStringLiteral("受信改行待ち時間は１～５０００までの値にしてください"));
        return;
    case core::CommSettingsError::None:
        break;
    }
    m_settings = outcome.settings;
    accept();
}

void TfrmSetting::BtnCancelClick()
{
    reject();
}

void TfrmSetting::cmbSpeedKeyPress(QChar &key)
{
    DigitKeyPress(ui->cmbSpeed, key);
}

void TfrmSetting::Edit1KeyPress(QChar &key)
{
    DigitKeyPress(ui->Edit1, key);
}

void TfrmSetting::DigitKeyPress(QWidget *sender, QChar &key)
{
    if (key == QChar(13)) {
        key = QChar();
        if (QWidget *next = NextTabStop(sender))
            next->setFocus(Qt::TabFocusReason);
    }
    const bool digit = key >= QLatin1Char('0') && key <= QLatin1Char('9');
    if (!digit && key != QChar(8))
        key = QChar();
}

void TfrmSetting::UpdateDeviceLabel()
{
    const int index = ui->cmbPort->currentIndex();
    QString text;
    QString tip;
    if (index >= 0) {
        const int comNo = index + 1;
        const platform::PortTarget target = platform::ResolvePort(comNo);
        const QString from = target.source == platform::PortTarget::Source::PortsSection
                                 ? QStringLiteral("（設定ファイルの[PORTS]）")
                                 : QStringLiteral("（自動検出）");
        if (target.isLoopback()) {
            const auto plug = platform::LoopbackPlug::Get(comNo);
            const platform::DeviceState state = plug->isMissing() ? platform::DeviceState::Missing
                                                : plug->isOpen()  ? platform::DeviceState::InUse
                                                                  : platform::DeviceState::Available;
            text = DeviceStateText(state) + QStringLiteral(" → ループバック");
            tip = QStringLiteral("COM%1 は内蔵のループバックを開きます").arg(comNo) + from;
        } else if (target.isNetwork()) {
            const QString address = QString::fromStdString(target.path);
            const QString state = m_remoteState ? m_remoteState(comNo) : QString();
            text = (state.isEmpty() ? QStringLiteral("未接続") : state) + QStringLiteral(" → ") + address;
            tip = QStringLiteral("COM%1 はほかのパソコンのポート %2 に接続します（%3）")
                      .arg(comNo)
                      .arg(address, target.protocol == platform::PortTarget::Protocol::RawTcp
                                        ? QStringLiteral("TCP、バイトだけ")
                                        : QStringLiteral("RFC 2217")) +
                  from;
        } else if (target.found()) {
            const QString path = QFile::decodeName(QByteArray::fromStdString(target.path));
            const QString about = DeviceSummary(platform::DescribeDevice(target.path));
            const platform::DeviceState state = platform::ProbeDevice(target.path);
            text = DeviceStateText(state) + QStringLiteral(" → ") + path +
                   (about.isEmpty() ? QString() : QLatin1Char(' ') + about);
            tip = QStringLiteral("COM%1 は %2 を開きます").arg(comNo).arg(path) + from;
            if (!about.isEmpty())
                tip += QLatin1Char('\n') + about;
            if (state == platform::DeviceState::InUse) {
                QStringList holders;
                for (const std::string &h : platform::DeviceHolders(target.path))
                    holders << QString::fromStdString(h);
                tip += QStringLiteral("\n使用中: ") + holders.join(QStringLiteral(", "));
            }
        } else {
            text = QStringLiteral("→ 未検出");
            tip = QStringLiteral("COM%1 に当たるシリアル装置が見つかりません").arg(comNo);
        }
    }
    // The state comes first, so that it stays readable when a long device path or description
    // is cut; the tip has everything whole.
    if (!text.isEmpty())
        tip = text + QLatin1Char('\n') + tip;
    const QString shown =
        ui->lblDevice->fontMetrics().elidedText(text, Qt::ElideRight, ui->lblDevice->width());
    if (shown != ui->lblDevice->text())
        ui->lblDevice->setText(shown);
    ui->lblDevice->setToolTip(tip);
}

void TfrmSetting::FitOuterSize(bool keepCentre)
{
    const QWindow *window = windowHandle();
    const QMargins frame = window ? window->frameMargins() : QMargins();
    QSize client = kDefaultClientSize;
    if (!frame.isNull()) {
        client = (kOuterSize - QSize(frame.left() + frame.right(), frame.top() + frame.bottom()))
                     .expandedTo(kSmallestClientSize);
    }
    if (size() == client)
        return;
    // A frame learnt after the window was placed changes the size about the same centre.
    const QSize grown = client - size();
    setFixedSize(client);
    if (keepCentre)
        move(pos() - QPoint(grown.width() / 2, grown.height() / 2));
}
