// SPDX-License-Identifier: MIT
// The communication settings dialog, driven through its controls as a user would.
#include "Comset.h"

#include "ExePath.h"
#include "Loopback.h"
#include "PortNames.h"
#include "PortStatusText.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <memory>

namespace
{

const QString kSpeedMessage = QStringLiteral("通信速度設定が異常です");
const QString kWaitMessage = QStringLiteral("受信改行待ち時間は１～５０００までの値にしてください");

bool SameSettings(const core::CommSettings &a, const core::CommSettings &b)
{
    return a.ComNo == b.ComNo && a.Speed == b.Speed && a.WordSize == b.WordSize && a.Parity == b.Parity &&
           a.StopBits == b.StopBits && a.Flow == b.Flow && a.RecvLineWait == b.RecvLineWait &&
           a.CtrlCheck == b.CtrlCheck;
}

// A message box the dialog showed: closed by a poll that runs inside its own event loop.
struct ShownMessage {
    QString title;
    QString text;
    int buttons = 0;
};

// Runs `action`; every message box that becomes the active modal widget meanwhile is recorded and
// closed with its OK button, so no test waits for a user.
template <typename Action> QList<ShownMessage> CloseMessagesDuring(Action action)
{
    QList<ShownMessage> shown;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, &poll, [&shown] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        shown.append({box->windowTitle(), box->text(), int(box->buttons().size())});
        box->button(QMessageBox::Ok) ? box->button(QMessageBox::Ok)->click() : box->reject();
    });
    poll.start();
    action();
    poll.stop();
    return shown;
}

QStringList Texts(const QList<ShownMessage> &messages)
{
    QStringList texts;
    for (const ShownMessage &m : messages)
        texts << m.text;
    return texts;
}

// One dialog over a parent window, as the main window owns it.
class Fixture
{
  public:
    explicit Fixture(const core::CommSettings &initial = {}) : settings(initial)
    {
        parent.setGeometry(194, 130, 794, 583);
        parent.show();
        dialog = std::make_unique<TfrmSetting>(settings, &parent);
    }

    template <typename T> T *get(const char *name) const
    {
        T *w = dialog->findChild<T *>(QLatin1String(name));
        if (!w)
            qFatal("control %s missing", name);
        return w;
    }
    QComboBox *combo(const char *name) const { return get<QComboBox>(name); }
    QLineEdit *edit1() const { return get<QLineEdit>("Edit1"); }
    QCheckBox *check() const { return get<QCheckBox>("CheckBox1"); }

    // The window takes the dialog's settings after an accepted OK, as mnuSettingClick does.
    QList<ShownMessage> clickOk()
    {
        dialog->setResult(QDialog::Rejected);
        const QList<ShownMessage> shown = CloseMessagesDuring([this] { get<QPushButton>("BtnOk")->click(); });
        if (dialog->result() == QDialog::Accepted)
            settings = dialog->Settings();
        return shown;
    }

    core::CommSettings settings;
    QWidget parent;
    std::unique_ptr<TfrmSetting> dialog;
};

} // namespace

class TestComset : public QObject
{
    Q_OBJECT

  private slots:
    void initTestCase();
    void cleanupTestCase();

    void layout_data();
    void layout();
    void formAndTabOrder();
    void defaultsShown();
    void formShowMapping_data();
    void formShowMapping();
    void refilledOnEveryShowing();
    void okValidation_data();
    void okValidation();
    void typedSpeedNotInListAccepted();
    void okStoresSelections_data();
    void okStoresSelections();
    void noPortSelectionStoresZero();
    void keyFilter_data();
    void keyFilter();
    void pasteDiscarded();
    void enterMovesToNextControl();
    void cancelKeepsEverything();
    void closeBoxIsCancel();
    void modalRunLikeTheMainWindow();
    void placement();
    void outerSize();
    void deviceLabel();
    void openFailureReasons();
    void noAccessAdviceNamesOnlyAGroupWithRights();

  private:
    void changeEveryControl(Fixture &f);

    QTemporaryDir m_dir;
    QString m_portMap;
};

void TestComset::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // The device label must never look at the INI beside the test binary.
    platform::SetExePathForTesting((m_dir.path() + "/Quorvel").toStdString());
    m_portMap = m_dir.path() + "/ports.ini";
    QFile ini(m_portMap);
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("[INI]\r\nCOMM=2\r\n[PORTS]\r\nCOM2=loopback\r\nCOM3=/dev/ttyQuorvelTest7\r\n");
    ini.close();
    platform::SetPortMapFile(m_portMap.toStdString());
}

void TestComset::cleanupTestCase()
{
    platform::SetPortMapFile("");
    platform::SetExePathForTesting("");
}

void TestComset::layout_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QStringList>("items");

    QStringList ports;
    for (int i = 1; i <= 20; ++i)
        ports << QStringLiteral("COM%1").arg(i);
    QTest::newRow("cmbPort") << "cmbPort" << QRect(28, 28, 105, 23) << ports;
    QTest::newRow("cmbParity") << "cmbParity" << QRect(28, 72, 105, 23)
                               << QStringList{"NONE", "EVEN", "ODD", ""};
    QTest::newRow("cmbStopbit") << "cmbStopbit" << QRect(28, 116, 105, 23) << QStringList{"1", "1.5", "2"};
    QTest::newRow("cmbWord") << "cmbWord" << QRect(28, 160, 105, 23) << QStringList{"7", "8", ""};
    QTest::newRow("cmbFlow") << "cmbFlow" << QRect(28, 204, 105, 23) << QStringList{"NONE", "RTS/CTS"};
    QTest::newRow("cmbSpeed") << "cmbSpeed" << QRect(156, 28, 89, 23)
                              << QStringList{"2400", "4800", "9600", "19200", "38400", "57600", "115200"};
    QTest::newRow("Edit1") << "Edit1" << QRect(156, 88, 77, 23) << QStringList{};
    QTest::newRow("CheckBox1") << "CheckBox1" << QRect(156, 136, 149, 17)
                               << QStringList{"制御線監視をしない"};
    QTest::newRow("BtnOk") << "BtnOk" << QRect(160, 168, 97, 33) << QStringList{"OK"};
    QTest::newRow("BtnCancel") << "BtnCancel" << QRect(160, 204, 97, 33) << QStringList{"キャンセル"};
}

void TestComset::layout()
{
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    QFETCH(QStringList, items);
    Fixture f;
    QWidget *w = f.dialog->findChild<QWidget *>(name);
    QVERIFY(w);
    QCOMPARE(w->geometry(), geometry);
    if (auto *combo = qobject_cast<QComboBox *>(w)) {
        QStringList actual;
        for (int i = 0; i < combo->count(); ++i)
            actual << combo->itemText(i);
        QCOMPARE(actual, items);
        // Only the speed can be typed; the other lists offer fixed choices.
        QCOMPARE(combo->isEditable(), name == "cmbSpeed");
    } else if (auto *button = qobject_cast<QAbstractButton *>(w)) {
        QCOMPARE(QStringList{button->text()}, items);
    }
}

void TestComset::formAndTabOrder()
{
    Fixture f;
    QCOMPARE(f.dialog->windowTitle(), QStringLiteral("通信設定"));
    QCOMPARE(f.dialog->font().family(), QStringLiteral("ＭＳ Ｐゴシック"));
    QCOMPARE(f.dialog->font().pixelSize(), 15);
    // The labels above the controls, each where the form puts it.
    const QList<QPair<QString, QPoint>> labels = {
        {"ポート", {28, 12}},
        {"パリティ", {28, 56}},
        {"ストップビット", {28, 100}},
        {"ワード長", {28, 144}},
        {"フロー制御", {28, 188}},
        {"速度(bps)", {156, 12}},
        {"改行待ち時間(ms)", {156, 68}},
    };
    for (const auto &[text, pos] : labels) {
        bool found = false;
        for (QLabel *label : f.dialog->findChildren<QLabel *>())
            found = found || (label->text() == text && label->pos() == pos);
        QVERIFY2(found, qPrintable(text));
    }

    f.dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.dialog.get()));
    const QStringList expected = {"BtnOk",   "cmbPort",  "cmbParity", "cmbStopbit", "cmbFlow",
                                  "cmbWord", "cmbSpeed", "Edit1",     "CheckBox1",  "BtnOk"};
    // Tab from BtnOk round the whole dialog; the first stop after BtnOk is BtnCancel.
    f.get<QPushButton>("BtnOk")->setFocus(Qt::OtherFocusReason);
    QCOMPARE(f.dialog->focusWidget(), f.get<QWidget>("BtnOk"));
    QTest::keyClick(f.dialog->focusWidget(), Qt::Key_Tab);
    QCOMPARE(f.dialog->focusWidget()->objectName(), QStringLiteral("BtnCancel"));
    for (qsizetype i = 1; i < expected.size(); ++i) {
        QTest::keyClick(f.dialog->focusWidget(), Qt::Key_Tab);
        QCOMPARE(f.dialog->focusWidget()->objectName(), expected[i]);
    }
    f.dialog->reject();
}

void TestComset::defaultsShown()
{
    Fixture f;
    f.dialog->show();
    QCOMPARE(f.combo("cmbPort")->currentText(), QStringLiteral("COM1"));
    QCOMPARE(f.combo("cmbSpeed")->currentText(), QStringLiteral("9600"));
    QCOMPARE(f.combo("cmbWord")->currentText(), QStringLiteral("8"));
    QCOMPARE(f.combo("cmbParity")->currentText(), QStringLiteral("NONE"));
    QCOMPARE(f.combo("cmbStopbit")->currentText(), QStringLiteral("1"));
    QCOMPARE(f.combo("cmbFlow")->currentText(), QStringLiteral("NONE"));
    QCOMPARE(f.edit1()->text(), QStringLiteral("500"));
    QVERIFY(f.check()->isChecked());
    f.dialog->reject();
}

void TestComset::formShowMapping_data()
{
    QTest::addColumn<int>("comNo");
    QTest::addColumn<int>("wordSize");
    QTest::addColumn<QString>("parity");
    QTest::addColumn<QString>("stopBits");
    QTest::addColumn<QString>("flow");
    QTest::addColumn<int>("ctrlCheck");
    // expected: port index, word index, parity index, stop-bit index, flow index, ticked
    QTest::addColumn<QList<int>>("expected");

    QTest::newRow("port from the settings file beyond the list")
        << 25 << 8 << "NONE"
        << "1"
        << "NONE" << 1 << QList<int>{-1, 1, 0, 0, 0, 1};
    QTest::newRow("port 0") << 0 << 8 << "NONE"
                            << "1"
                            << "NONE" << 1 << QList<int>{-1, 1, 0, 0, 0, 1};
    QTest::newRow("last port, 7 bits, even, 2 stop, rts/cts, not watched")
        << 20 << 7 << "EVEN"
        << "2"
        << "RTS/CTS" << 0 << QList<int>{19, 0, 1, 2, 1, 0};
    QTest::newRow("odd, 1.5 stop bits, any non-zero flag ticks")
        << 3 << 8 << "ODD"
        << "1.5"
        << "NONE" << 5 << QList<int>{2, 1, 2, 1, 0, 1};
    QTest::newRow("unknown texts show the first item") << 1 << 5 << "even"
                                                       << "3"
                                                       << "rts/cts" << 1 << QList<int>{0, 1, 0, 0, 0, 1};
    QTest::newRow("empty texts show the first item") << 1 << 8 << ""
                                                     << ""
                                                     << "" << 1 << QList<int>{0, 1, 0, 0, 0, 1};
}

void TestComset::formShowMapping()
{
    QFETCH(int, comNo);
    QFETCH(int, wordSize);
    QFETCH(QString, parity);
    QFETCH(QString, stopBits);
    QFETCH(QString, flow);
    QFETCH(int, ctrlCheck);
    QFETCH(QList<int>, expected);

    core::CommSettings s;
    s.ComNo = comNo;
    s.WordSize = wordSize;
    s.Parity = parity.toStdString();
    s.StopBits = stopBits.toStdString();
    s.Flow = flow.toStdString();
    s.CtrlCheck = ctrlCheck;
    s.Speed = 115200;
    s.RecvLineWait = 42;
    Fixture f(s);
    f.dialog->show();
    QCOMPARE(f.combo("cmbPort")->currentIndex(), expected[0]);
    QCOMPARE(f.combo("cmbWord")->currentIndex(), expected[1]);
    QCOMPARE(f.combo("cmbParity")->currentIndex(), expected[2]);
    QCOMPARE(f.combo("cmbStopbit")->currentIndex(), expected[3]);
    QCOMPARE(f.combo("cmbFlow")->currentIndex(), expected[4]);
    QCOMPARE(f.check()->isChecked(), expected[5] != 0);
    QCOMPARE(f.combo("cmbSpeed")->currentText(), QStringLiteral("115200"));
    QCOMPARE(f.edit1()->text(), QStringLiteral("42"));
    f.dialog->reject();
}

void TestComset::refilledOnEveryShowing()
{
    Fixture f;
    f.dialog->show();
    f.edit1()->setText("1234");
    f.combo("cmbParity")->setCurrentIndex(2);
    f.dialog->reject();

    f.settings.RecvLineWait = 77;
    f.settings.Speed = 4800;
    f.dialog->SetSettings(f.settings); // as the window hands its settings over before each showing
    f.dialog->show();
    QCOMPARE(f.edit1()->text(), QStringLiteral("77"));
    QCOMPARE(f.combo("cmbSpeed")->currentText(), QStringLiteral("4800"));
    QCOMPARE(f.combo("cmbParity")->currentIndex(), 0);
    f.dialog->reject();
}

void TestComset::okValidation_data()
{
    QTest::addColumn<QString>("speed");
    QTest::addColumn<QString>("wait");
    QTest::addColumn<QStringList>("messages");

    QTest::newRow("speed 0") << "0"
                             << "500" << QStringList{kSpeedMessage};
    QTest::newRow("speed empty") << ""
                                 << "500" << QStringList{kSpeedMessage};
    QTest::newRow("speed not a number") << "96OO"
                                        << "500" << QStringList{kSpeedMessage};
    QTest::newRow("speed beyond 32 bits") << "4294967296"
                                          << "500" << QStringList{kSpeedMessage};
    QTest::newRow("speed negative") << "-9600"
                                    << "500" << QStringList{kSpeedMessage};
    QTest::newRow("wait 5000 accepted") << "9600"
                                        << "5000" << QStringList{};
    QTest::newRow("wait 1 accepted") << "9600"
                                     << "1" << QStringList{};
    QTest::newRow("wait 5001") << "9600"
                               << "5001" << QStringList{kWaitMessage};
    QTest::newRow("wait 0") << "9600"
                            << "0" << QStringList{kWaitMessage};
    QTest::newRow("wait empty") << "9600"
                                << "" << QStringList{kWaitMessage};
    QTest::newRow("both wrong: only the speed message") << "0"
                                                        << "0" << QStringList{kSpeedMessage};
    QTest::newRow("any positive speed passes") << "1"
                                               << "500" << QStringList{};
}

void TestComset::okValidation()
{
    QFETCH(QString, speed);
    QFETCH(QString, wait);
    QFETCH(QStringList, messages);

    core::CommSettings before;
    before.Speed = 19200;
    before.RecvLineWait = 250;
    Fixture f(before);
    f.dialog->show();
    // Text that did not come through the key filters: only OK's checks stand in its way.
    f.combo("cmbSpeed")->setEditText(speed);
    f.edit1()->setText(wait);
    const QList<ShownMessage> shown = f.clickOk();

    QCOMPARE(Texts(shown), messages);
    for (const ShownMessage &m : shown) {
        QCOMPARE(m.title, QStringLiteral("Quorvel"));
        QCOMPARE(m.buttons, 1);
    }
    if (messages.isEmpty()) {
        QVERIFY(!f.dialog->isVisible());
        QCOMPARE(f.dialog->result(), int(QDialog::Accepted));
        QCOMPARE(f.settings.Speed, speed.toInt());
        QCOMPARE(f.settings.RecvLineWait, wait.toInt());
    } else {
        // Refused: the dialog stays open with what was entered, and nothing is stored.
        QVERIFY(f.dialog->isVisible());
        QCOMPARE(f.combo("cmbSpeed")->currentText(), speed);
        QCOMPARE(f.edit1()->text(), wait);
        QVERIFY(SameSettings(f.settings, before));
        f.dialog->reject();
    }
}

void TestComset::typedSpeedNotInListAccepted()
{
    Fixture f;
    f.dialog->show();
    QComboBox *speed = f.combo("cmbSpeed");
    speed->clearEditText();
    QTest::keyClicks(speed, "300");
    QCOMPARE(speed->currentText(), QStringLiteral("300"));
    // Typed values are not added to the list.
    QCOMPARE(speed->count(), 7);
    QVERIFY(f.clickOk().isEmpty());
    QCOMPARE(f.settings.Speed, 300);
}

void TestComset::okStoresSelections_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("after");

    QTest::newRow("empty parity item keeps the parity") << "cmbParity" << 3 << "Parity"
                                                        << "EVEN"
                                                        << "EVEN";
    QTest::newRow("parity without selection is kept") << "cmbParity" << -1 << "Parity"
                                                      << "ODD"
                                                      << "ODD";
    QTest::newRow("parity ODD") << "cmbParity" << 2 << "Parity"
                                << "NONE"
                                << "ODD";
    QTest::newRow("unknown parity text replaced by the shown NONE") << "" << 0 << "Parity"
                                                                    << "even"
                                                                    << "NONE";
    QTest::newRow("empty word item gives 8") << "cmbWord" << 2 << "WordSize"
                                             << "7"
                                             << "8";
    QTest::newRow("word 7") << "cmbWord" << 0 << "WordSize"
                            << "8"
                            << "7";
    QTest::newRow("word without selection gives 8") << "cmbWord" << -1 << "WordSize"
                                                    << "7"
                                                    << "8";
    QTest::newRow("stop bits 1.5") << "cmbStopbit" << 1 << "StopBits"
                                   << "1"
                                   << "1.5";
    QTest::newRow("stop bits without selection kept") << "cmbStopbit" << -1 << "StopBits"
                                                      << "2"
                                                      << "2";
    QTest::newRow("flow RTS/CTS") << "cmbFlow" << 1 << "Flow"
                                  << "NONE"
                                  << "RTS/CTS";
    QTest::newRow("flow without selection kept") << "cmbFlow" << -1 << "Flow"
                                                 << "RTS/CTS"
                                                 << "RTS/CTS";
    QTest::newRow("port COM7") << "cmbPort" << 6 << "ComNo"
                               << "1"
                               << "7";
    QTest::newRow("ticked box stores 1") << "CheckBox1" << 1 << "CtrlCheck"
                                         << "0"
                                         << "1";
    QTest::newRow("cleared box stores 0") << "CheckBox1" << 0 << "CtrlCheck"
                                          << "3"
                                          << "0";
}

void TestComset::okStoresSelections()
{
    QFETCH(QString, control);
    QFETCH(int, index);
    QFETCH(QString, field);
    QFETCH(QString, before);
    QFETCH(QString, after);

    core::CommSettings s;
    const auto set = [&](core::CommSettings &target, const QString &value) {
        if (field == "Parity")
            target.Parity = value.toStdString();
        else if (field == "StopBits")
            target.StopBits = value.toStdString();
        else if (field == "Flow")
            target.Flow = value.toStdString();
        else if (field == "WordSize")
            target.WordSize = value.toInt();
        else if (field == "ComNo")
            target.ComNo = value.toInt();
        else if (field == "CtrlCheck")
            target.CtrlCheck = value.toInt();
    };
    set(s, before);
    Fixture f(s);
    f.dialog->show();
    if (control == "CheckBox1")
        f.check()->setChecked(index != 0);
    else if (!control.isEmpty())
        f.combo(control.toLatin1().constData())->setCurrentIndex(index);
    QVERIFY(f.clickOk().isEmpty());

    core::CommSettings expected = s;
    set(expected, after);
    QVERIFY(SameSettings(f.settings, expected));
}

void TestComset::noPortSelectionStoresZero()
{
    core::CommSettings s;
    s.ComNo = 25;
    Fixture f(s);
    f.dialog->show();
    QCOMPARE(f.combo("cmbPort")->currentIndex(), -1);
    QCOMPARE(f.combo("cmbPort")->currentText(), QString());
    QVERIFY(f.clickOk().isEmpty());
    QCOMPARE(f.settings.ComNo, 0);
}

void TestComset::keyFilter_data()
{
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("initial");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("result");

    for (const QString box : {"cmbSpeed", "Edit1"}) {
        const QByteArray b = box.toLatin1();
        QTest::addRow("%s: letters filtered", b.constData()) << box << ""
                                                             << "1a2b3C"
                                                             << "123";
        QTest::addRow("%s: signs and blanks filtered", b.constData()) << box << ""
                                                                      << "-4 +5.6"
                                                                      << "456";
        QTest::addRow("%s: full-width digits filtered", b.constData()) << box << ""
                                                                       << "１２3"
                                                                       << "3";
        QTest::addRow("%s: hexadecimal prefix filtered", b.constData()) << box << ""
                                                                        << "0x1F"
                                                                        << "01";
        QTest::addRow("%s: backspace passes", b.constData()) << box << "500"
                                                             << "\b\b7"
                                                             << "57";
    }
}

void TestComset::keyFilter()
{
    QFETCH(QString, box);
    QFETCH(QString, initial);
    QFETCH(QString, typed);
    QFETCH(QString, result);

    Fixture f;
    f.dialog->show();
    QWidget *target = f.get<QWidget>(box.toLatin1().constData());
    QLineEdit *edit = box == "Edit1" ? f.edit1() : f.combo("cmbSpeed")->lineEdit();
    edit->setText(initial);
    edit->end(false);
    for (const QChar c : typed) {
        if (c == QChar(8))
            QTest::keyClick(target, Qt::Key_Backspace);
        else // as a keyboard layout or input method hands it over: the character, no key code
            QTest::sendKeyEvent(QTest::Click, target, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
    QCOMPARE(edit->text(), result);
    f.dialog->reject();
}

void TestComset::pasteDiscarded()
{
    Fixture f;
    f.dialog->show();
    QApplication::clipboard()->setText(QStringLiteral("77"));
    for (const char *name : {"cmbSpeed", "Edit1"}) {
        QWidget *target = f.get<QWidget>(name);
        QLineEdit *edit = target == f.edit1() ? f.edit1() : f.combo("cmbSpeed")->lineEdit();
        edit->setText("12");
        edit->end(false);
        QTest::keyClick(target, Qt::Key_V, Qt::ControlModifier);
        QTest::keyClick(target, Qt::Key_Insert, Qt::ShiftModifier);
        QCOMPARE(edit->text(), QStringLiteral("12"));
        // Editing keys that type nothing still work.
        QTest::keyClick(target, Qt::Key_Home);
        QTest::keyClick(target, Qt::Key_Delete);
        QCOMPARE(edit->text(), QStringLiteral("2"));
    }
    f.dialog->reject();
}

void TestComset::enterMovesToNextControl()
{
    Fixture f;
    f.dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.dialog.get()));
    QComboBox *speed = f.combo("cmbSpeed");
    speed->setFocus(Qt::OtherFocusReason);
    QCOMPARE(f.dialog->focusWidget(), speed);

    QList<ShownMessage> shown = CloseMessagesDuring([&] { QTest::keyClick(speed, Qt::Key_Return); });
    QVERIFY(shown.isEmpty());
    QVERIFY(f.dialog->isVisible());
    QCOMPARE(f.dialog->focusWidget(), f.edit1());
    QCOMPARE(speed->currentText(), QStringLiteral("9600"));
    QCOMPARE(speed->count(), 7);

    shown = CloseMessagesDuring([&] { QTest::keyClick(f.edit1(), Qt::Key_Enter); });
    QVERIFY(shown.isEmpty());
    QVERIFY(f.dialog->isVisible());
    QCOMPARE(f.dialog->focusWidget(), f.check());
    QCOMPARE(f.edit1()->text(), QStringLiteral("500"));
    QVERIFY(SameSettings(f.settings, core::CommSettings{}));
    f.dialog->reject();
}

void TestComset::changeEveryControl(Fixture &f)
{
    f.combo("cmbPort")->setCurrentIndex(4);
    f.combo("cmbParity")->setCurrentIndex(2);
    f.combo("cmbStopbit")->setCurrentIndex(2);
    f.combo("cmbWord")->setCurrentIndex(0);
    f.combo("cmbFlow")->setCurrentIndex(1);
    f.combo("cmbSpeed")->setEditText("38400");
    f.edit1()->setText("100");
    f.check()->setChecked(!f.check()->isChecked());
}

void TestComset::cancelKeepsEverything()
{
    Fixture f;
    f.dialog->show();
    changeEveryControl(f);
    f.get<QPushButton>("BtnCancel")->click();
    QVERIFY(!f.dialog->isVisible());
    QCOMPARE(f.dialog->result(), int(QDialog::Rejected));
    QVERIFY(SameSettings(f.settings, core::CommSettings{}));
}

void TestComset::closeBoxIsCancel()
{
    Fixture f;
    f.dialog->show();
    changeEveryControl(f);
    QVERIFY(f.dialog->close());
    QVERIFY(!f.dialog->isVisible());
    QCOMPARE(f.dialog->result(), int(QDialog::Rejected));
    QVERIFY(SameSettings(f.settings, core::CommSettings{}));
}

void TestComset::modalRunLikeTheMainWindow()
{
    Fixture f;
    // Cancel out of a modal run first, then confirm a change in a second one.
    QTimer::singleShot(0, f.dialog.get(), [&f, this] {
        changeEveryControl(f);
        f.get<QPushButton>("BtnCancel")->click();
    });
    QCOMPARE(f.dialog->exec(), int(QDialog::Rejected));
    QVERIFY(SameSettings(f.dialog->Settings(), core::CommSettings{}));

    QTimer::singleShot(0, f.dialog.get(), [&f] {
        QCOMPARE(f.combo("cmbParity")->currentIndex(), 0); // refilled, not left from the last run
        f.combo("cmbParity")->setCurrentIndex(1);
        f.get<QPushButton>("BtnOk")->click();
    });
    QCOMPARE(f.dialog->exec(), int(QDialog::Accepted));
    QCOMPARE(f.dialog->Settings().Parity, std::string("EVEN"));
}

void TestComset::placement()
{
    Fixture f;
    f.dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.dialog.get()));
    const QPoint centre = f.parent.frameGeometry().center();
    QVERIFY2((f.dialog->frameGeometry().center() - centre).manhattanLength() <= 4,
             "first showing is centred over the main window");
    f.dialog->reject();

    // Moved by the user (through the window system, not by the program), then shown again after
    // the main window has moved: it comes back where it was left.
    f.dialog->show();
    f.dialog->windowHandle()->setFramePosition(QPoint(40, 50));
    QTRY_COMPARE(f.dialog->frameGeometry().topLeft(), QPoint(40, 50));
    f.dialog->reject();
    f.parent.move(300, 200);
    f.dialog->show();
    QCOMPARE(f.dialog->frameGeometry().topLeft(), QPoint(40, 50));
    f.dialog->reject();
}

void TestComset::outerSize()
{
    Fixture f;
    f.dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.dialog.get()));
    const QMargins frame = f.dialog->windowHandle()->frameMargins();
    if (frame.isNull())
        QCOMPARE(f.dialog->size(), QSize(328, 250));
    else
        QCOMPARE(f.dialog->frameGeometry().size(), QSize(336, 284));
    // Fixed: the window cannot be resized.
    QCOMPARE(f.dialog->minimumSize(), f.dialog->maximumSize());
    // Every control lies inside the client area.
    for (QWidget *w : f.dialog->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
        QVERIFY2(f.dialog->rect().contains(w->geometry()), qPrintable(w->objectName()));
    f.dialog->reject();
}

void TestComset::deviceLabel()
{
    core::CommSettings s;
    s.ComNo = 2;
    Fixture f(s);
    f.dialog->show();
    auto *label = f.get<QLabel>("lblDevice");
    QVERIFY(label->text().startsWith(QStringLiteral("使用可能 →")));
    QVERIFY(label->toolTip().startsWith(QStringLiteral("使用可能 → ループバック\n")));
    QVERIFY(label->toolTip().contains(QStringLiteral("ループバック")));
    QVERIFY(label->toolTip().contains(QStringLiteral("[PORTS]")));

    // Follows plugging and other users while the dialog is open.
    auto plug = platform::LoopbackPlug::Get(2);
    platform::HANDLE other = platform::CreateFileA("COM2");
    QVERIFY(other);
    QTRY_VERIFY_WITH_TIMEOUT(label->text().startsWith(QStringLiteral("使用中 →")), 1500);
    platform::CloseHandle(other);
    plug->setMissing(true);
    QTRY_VERIFY_WITH_TIMEOUT(label->text().startsWith(QStringLiteral("未検出 →")), 1500);
    plug->setMissing(false);

    // Follows the selection; a mapped path that is not there is said to be missing.
    f.combo("cmbPort")->setCurrentIndex(2);
    QVERIFY(label->toolTip().contains(QStringLiteral("/dev/ttyQuorvelTest7")));
    QVERIFY(label->toolTip().startsWith(QStringLiteral("未検出 → /dev/ttyQuorvelTest7\n")));

    const std::size_t detected = platform::DetectedSerialDevices().size();
    if (detected < 20) {
        f.combo("cmbPort")->setCurrentIndex(19);
        QCOMPARE(label->text(), QStringLiteral("→ 未検出"));
        QVERIFY(label->toolTip().contains(QStringLiteral("見つかりません")));
    }

    f.combo("cmbPort")->setCurrentIndex(-1);
    QVERIFY(label->text().isEmpty());

    // It is a display only: OK stores the port number and nothing else changes.
    f.combo("cmbPort")->setCurrentIndex(1);
    QVERIFY(f.clickOk().isEmpty());
    core::CommSettings expected;
    expected.ComNo = 2;
    QVERIFY(SameSettings(f.settings, expected));
}

void TestComset::openFailureReasons()
{
    using Kind = platform::OpenProblem::Kind;
    platform::PortTarget device{platform::PortTarget::Kind::Device, "/dev/null",
                                platform::PortTarget::Source::PortsSection};
    platform::PortTarget loopback{platform::PortTarget::Kind::Loopback, "",
                                  platform::PortTarget::Source::PortsSection};
    struct Case {
        Kind kind;
        platform::PortTarget target;
        QString says;
    };
    const Case cases[] = {
        {Kind::None, device, QString()},
        {Kind::NotMapped, {}, QStringLiteral("[PORTS] に COM3 の行がなく")},
        {Kind::NotPresent, device,
         QStringLiteral("/dev/null が見つかりません（設定ファイルの [PORTS] の COM3）")},
        {Kind::NotPresent, loopback, QStringLiteral("ループバックは外されています")},
        {Kind::NotSerial, device, QStringLiteral("/dev/null はシリアル装置ではありません")},
        // /dev/null belongs to root and its group on every machine: joining that group is no advice.
        {Kind::NoAccess, device,
         QStringLiteral("/dev/null "
                        "を開く権限がありません。装置の所有者は「root」で、このユーザーには読み書きの権限があ"
                        "りません。")},
        {Kind::InUse, device, QStringLiteral("/dev/null は他のプログラムが使用中です")},
        {Kind::SettingRefused, device, QStringLiteral("通信速度 250000 bps")},
    };
    for (const Case &c : cases) {
        platform::OpenProblem p;
        p.kind = c.kind;
        p.comNumber = 3;
        p.target = c.target;
        p.baudRate = 250000;
        const QString reason = OpenFailureReason(p);
        if (c.says.isEmpty())
            QVERIFY(reason.isEmpty());
        else
            QVERIFY2(reason.contains(c.says), qPrintable(reason));
    }
}

void TestComset::noAccessAdviceNamesOnlyAGroupWithRights()
{
    // A group other than root this process may give a file of its own: dialout (or any) when
    // root, else its own group.
    gid_t gid = 0;
    if (::geteuid() == 0) {
        if (const group *g = ::getgrnam("dialout"))
            gid = g->gr_gid;
    } else {
        gid = ::getegid();
    }
    if (gid == 0)
        QSKIP("no group other than root to give a file here");
    QTemporaryDir dir;
    const QString node = dir.filePath(QStringLiteral("ttyNODE"));
    QFile file(node);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    const std::string path = node.toStdString();
    if (::chown(path.c_str(), static_cast<uid_t>(-1), gid) != 0)
        QSKIP("cannot change the group of a file here");
    const QString group = QString::fromStdString(platform::DeviceGroup(path));
    QVERIFY(!group.isEmpty());
    const passwd *owner = ::getpwuid(::geteuid());
    QVERIFY(owner);

    platform::OpenProblem p;
    p.kind = platform::OpenProblem::Kind::NoAccess;
    p.comNumber = 3;
    p.target = {platform::PortTarget::Kind::Device, path, platform::PortTarget::Source::PortsSection};
    struct Case {
        QFile::Permissions mode;
        bool advisesGroup;
    };
    const QFile::Permissions rw = QFile::ReadOwner | QFile::WriteOwner;
    for (const Case &c : {Case{rw | QFile::ReadGroup | QFile::WriteGroup, true}, Case{rw, false},
                          Case{rw | QFile::ReadGroup, false}}) {
        QVERIFY(QFile::setPermissions(node, c.mode));
        const QString reason = OpenFailureReason(p);
        QVERIFY2(reason.contains(QStringLiteral("sudo usermod -aG %1 $USER").arg(group)) == c.advisesGroup,
                 qPrintable(reason));
        QVERIFY2(reason.contains(
                     QStringLiteral("装置の所有者は「%1」").arg(QString::fromLocal8Bit(owner->pw_name))) ==
                     !c.advisesGroup,
                 qPrintable(reason));
    }
}

QTEST_MAIN(TestComset)
#include "tst_comset.moc"
