// SPDX-License-Identifier: MIT
// The main window offscreen: start-up from the settings file, the port open and its failure, the
// layout rule, the page-visibility commands, the close sequence and a restart.
#include "MainWindowFixture.h"

#include "PageView.h"
#include "RadioGroup.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>

namespace
{

// The keys of a settings file in the order they stand in it, as "Section/Key=value".
QStringList IniKeys(const QByteArray &text)
{
    QStringList keys;
    QString section;
    for (QByteArray line : text.split('\n')) {
        line = line.trimmed();
        if (line.startsWith('[')) {
            section = QString::fromLatin1(line.mid(1, line.indexOf(']') - 1));
        } else if (line.contains('=')) {
            keys << section + QLatin1Char('/') + QString::fromLatin1(line);
        }
    }
    return keys;
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

  private slots:
    void firstStartUsesDefaults();
    void layoutHasEveryControl_data();
    void layoutHasEveryControl();
    void storedSizeGrowsToMinimum();
    void missingPortIsReportedOnce();
    void settingsCancelReopensPort();
    void statusTextFromStoredSettings_data();
    void statusTextFromStoredSettings();
    void hidingActiveTabActivatesNeighbour_data();
    void hidingActiveTabActivatesNeighbour();
    void allTabsHiddenSurviveRestart();
    void storedActivePageRules();
    void closeWritesEveryKeyAndHistory();
    void restartKeepsGeometry();
    void windowCarriesTheProgramIcon();
    void f1OpensTheHelp();
};

void TestMainWindow::firstStartUsesDefaults()
{
    MainWindowFixture f;
    f.writeIni("COM1=loopback");
    TForm1 &w = f.start();
    Ui::TForm1 &ui = w.form();

    QCOMPARE(w.windowTitle(), QStringLiteral("Quorvel  Version 1.20"));
    QCOMPARE(w.size(), QSize(794, 583));
    QCOMPARE(w.pos(), QPoint(194, 130));
    QCOMPARE(ui.stComSet->text(), QStringLiteral("COM:1 9600 8 N 1"));
    QVERIFY(f.answerer.messages.isEmpty());

    const auto plug = platform::LoopbackPlug::Get(1);
    QVERIFY(plug->isOpen());
    QVERIFY(plug->dtr());
    QVERIFY(plug->rts());
    const platform::DCB dcb = plug->state();
    QCOMPARE(dcb.BaudRate, 9600u);
    QCOMPARE(int(dcb.ByteSize), 8);
    QCOMPARE(int(dcb.Parity), int(platform::NOPARITY));
    QCOMPARE(int(dcb.StopBits), int(platform::ONESTOPBIT));
    QVERIFY(!(dcb.Flags & platform::DCB_fOutxCtsFlow));
    QVERIFY(w.Timer1()->isActive());
    QCOMPARE(w.Timer1()->interval(), 10);

    for (int i = 0; i < 4; ++i) {
        QVERIFY(ui.PageControl1->isTabVisible(i));
        QCOMPARE(w.PageVisible()[static_cast<std::size_t>(i)], 1);
        QCOMPARE(w.PageModel(i).count(), 1);
    }
    QCOMPARE(w.ActivePageIndex(), 0);
    for (QAction *a : {ui.mnuHEX, ui.mnuDEC, ui.mnuCHAR, ui.mnuTEXT})
        QVERIFY(a->isChecked());
    QCOMPARE(ui.ComboBox1->currentIndex(), 0);
    QCOMPARE(RadioItemIndex(ui.RGDelimiter), 0);
    QCOMPARE(RadioItemIndex(ui.RGSelect), 0);
    QVERIFY(!ui.RGtype->isEnabled());
    QCOMPARE(ui.cmbSendMix->count(), 0);
    QCOMPARE(ui.cmbSendMix->currentText(), QString());
    QVERIFY(ui.cmbSelText->isHidden());
    QCOMPARE(ui.stRTS->palette().color(QPalette::Window), QColor(0, 255, 0));
    QCOMPARE(ui.stDTR->palette().color(QPalette::Window), QColor(0, 255, 0));
    // The first tick replaces the form's caption of the line counter.
    QTRY_COMPARE_WITH_TIMEOUT(ui.stLogCount->text(), QStringLiteral("ログ行数: 1"), 2000);
    // The layout rule at the default size, on the window's outer size: the offscreen platform
    // frames a window with 2 pixels on each side and no caption (a window manager's caption
    // counts too), so 4 pixels more each way than a window without a frame would give.
    QCOMPARE(w.frameGeometry().size(), QSize(798, 587));
    QCOMPARE(ui.cmbSendMix->width(), 753);
    QCOMPARE(ui.Panel1->y(), 384);
    QCOMPARE(ui.PageControl1->height(), 294);
    QCOMPARE(ui.PageControl1->width(), 753);
}

void TestMainWindow::layoutHasEveryControl_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("hint");
    auto row = [](const char *name, QRect r, const char *caption, const char *hint = "") {
        QTest::newRow(name) << QString::fromLatin1(name) << r << QString::fromUtf8(caption)
                            << QString::fromUtf8(hint);
    };
    row("BtnMix", {12, 4, 85, 25}, "混在送信");
    row("RGSelect", {100, 0, 173, 29}, "混在送信形式");
    row("RGtype", {276, 0, 245, 29}, "タイプ");
    row("BtnMultiLine", {600, 4, 65, 25}, "連続出力", "ファイルから出力内容を読み出します");
    row("BtnSend", {664, 4, 69, 25}, "文字列送信");
    row("BtnEsc", {16, 56, 33, 21}, "Esc");
    row("Button8", {48, 56, 33, 21}, "CR");
    row("Button9", {80, 56, 33, 21}, "LF");
    row("Button6", {132, 56, 33, 21}, "SOH");
    row("Button1", {164, 56, 33, 21}, "STX");
    row("Button2", {196, 56, 33, 21}, "ETX");
    row("Button3", {228, 56, 33, 21}, "EOT");
    row("Button4", {260, 56, 33, 21}, "ENQ");
    row("Button5", {292, 56, 33, 21}, "ACK");
    row("Button7", {324, 56, 33, 21}, "NAK");
    row("Button10", {356, 56, 33, 21}, "EOF");
    row("RGDelimiter", {480, 56, 173, 29}, "文字列送信時のデリミタ");
    row("ProgSend1", {0, 0, 93, 25}, "登録送信１", "既に登録された内容を送信します");
    row("ProgSend4", {0, 84, 93, 25}, "登録送信４", "既に登録された内容を送信します");
    row("PbText1", {96, 4, 385, 17}, "", "ダブルクリックで送信履歴からセレクトできます。");
    row("PbText4", {96, 88, 385, 17}, "", "ダブルクリックで送信履歴からセレクトできます。");
    row("SetK2", {488, 28, 41, 25}, "登録", "混在送信の値を登録します");
    row("SetM3", {532, 56, 25, 25}, "文", "文字列として登録します");
    row("BtnClear", {572, 0, 93, 25}, "ログクリア");
    row("BtnLOG", {672, 0, 89, 25}, "ログ保存");
    row("ComboBox1", {636, 32, 121, 20}, "規制なし");
    row("stDTR", {632, 76, 27, 16}, "DTR");
    row("stDSR", {660, 76, 27, 16}, "DSR");
    row("stRTS", {688, 76, 26, 16}, "RTS");
    row("stCTS", {716, 76, 26, 16}, "CTS");
    row("stLogCount", {660, 60, 72, 19}, "ログ行数:0");
    row("cmbSelText", {96, 12, 385, 24}, "テキストセレクト");
}

void TestMainWindow::layoutHasEveryControl()
{
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    QFETCH(QString, caption);
    QFETCH(QString, hint);

    MainWindowFixture f;
    f.writeIni("COM1=loopback");
    TForm1 w; // not shown: the captions as the form has them (the timer has not run)

    auto *widget = w.findChild<QWidget *>(name);
    QVERIFY2(widget, qPrintable(name));
    QCOMPARE(widget->geometry(), geometry);
    QCOMPARE(widget->toolTip(), hint);
    if (caption.isEmpty())
        return;
    if (auto *b = qobject_cast<QPushButton *>(widget))
        QCOMPARE(b->text(), caption);
    else if (auto *l = qobject_cast<QLabel *>(widget))
        QCOMPARE(l->text(), caption);
    else if (auto *g = qobject_cast<QGroupBox *>(widget))
        QCOMPARE(g->title(), caption);
    else if (auto *c = qobject_cast<QComboBox *>(widget))
        QCOMPARE(c->currentText(), caption);
    else
        QFAIL("unexpected control kind");
}

void TestMainWindow::storedSizeGrowsToMinimum()
{
    MainWindowFixture f;
    f.writeIni("COM1=loopback", "[POS]\r\nHEIGHT=400\r\nWIDTH=600\r\nTOP=10\r\nLEFT=20\r\n");
    TForm1 &w = f.start();
    QCOMPARE(w.size(), QSize(794, 543));
    QCOMPARE(w.pos(), QPoint(20, 10));
    // The rule counts the frame (4 pixels each way here) into the window's outer size.
    QCOMPARE(w.form().Panel1->y(), 547 - 203);
    QCOMPARE(w.form().PageControl1->height(), 547 - 203 - 80 - 10);

    // Growing the window moves the lower panel and widens the send box and the pages.
    w.resize(1000, 700);
    QCOMPARE(w.form().cmbSendMix->width(), 959);
    QCOMPARE(w.form().Panel1->y(), 501);
    QCOMPARE(w.form().PageControl1->size(), QSize(959, 411));
    w.resize(100, 100);
    QCOMPARE(w.size(), QSize(794, 543));
}

void TestMainWindow::missingPortIsReportedOnce()
{
    MainWindowFixture f;
    f.writeIni("COM1=loopback", "[INI]\r\nSPEED=19200\r\nPARITY=EVEN\r\n");
    platform::LoopbackPlug::Get(1)->setMissing(true);
    TForm1 &w = f.start();

    QTRY_COMPARE_WITH_TIMEOUT(f.answerer.messages.size(), 1, 2000);
    QCOMPARE(f.answerer.messages.first(), QStringLiteral("ポートオープンに失敗しました"));
    QCOMPARE(f.answerer.titles.first(), QStringLiteral("Quorvel"));
    QVERIFY(f.answerer.details.first().contains(QStringLiteral("COM1 のループバックは外されています")));
    QVERIFY(w.isVisible());
    QVERIFY(!w.Timer1()->isActive());
    QCOMPARE(w.form().stComSet->text(), QStringLiteral("COM:1 19200 8 E 1"));
    QTest::qWait(50);
    QCOMPARE(f.answerer.messages.size(), 1);
    // The form's caption of the counter stays: no tick has run.
    QCOMPARE(w.form().stLogCount->text(), QStringLiteral("ログ行数:0"));

    // The settings command tries again after the dialog, and fails again.
    QDialog dialog(&w);
    w.SetSettingDialog(&dialog);
    w.mnuSettingClick();
    QCOMPARE(f.answerer.dialogs, 1);
    QCOMPARE(f.answerer.messages.size(), 2);
    QVERIFY(!w.Timer1()->isActive());

    // Once the device is there, the same command opens it.
    platform::LoopbackPlug::Get(1)->setMissing(false);
    w.mnuSettingClick();
    QCOMPARE(f.answerer.messages.size(), 2);
    QVERIFY(platform::LoopbackPlug::Get(1)->isOpen());
    QVERIFY(w.Timer1()->isActive());
}

void TestMainWindow::settingsCancelReopensPort()
{
    MainWindowFixture f;
    f.writeIni("COM1=loopback");
    TForm1 &w = f.start();
    const auto plug = platform::LoopbackPlug::Get(1);
    QCOMPARE(plug->openCount(), 1);

    // RTS switched off by the user is raised again by the reopen.
    w.stRTSClick();
    QVERIFY(!plug->rts());
    QDialog dialog(&w);
    w.SetSettingDialog(&dialog);
    w.mnuSettingClick();
    QCOMPARE(f.answerer.dialogs, 1);
    QCOMPARE(plug->openCount(), 2);
    QVERIFY(plug->isOpen());
    QVERIFY(plug->rts());
    QCOMPARE(w.form().stRTS->palette().color(QPalette::Window), QColor(0, 255, 0));
    QCOMPARE(plug->state().BaudRate, 9600u);
    QVERIFY(f.answerer.messages.isEmpty());
}

void TestMainWindow::statusTextFromStoredSettings_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QString>("status");
    QTest::addColumn<int>("parity");
    QTest::addColumn<int>("stopBits");
    QTest::newRow("odd, 2 stop bits, 7 bits")
        << QByteArray("[INI]\r\nWORDSIZE=7\r\nPARITY=ODD\r\nSTOPBIT=2\r\n") << "COM:1 9600 7 O 2"
        << int(platform::ODDPARITY) << int(platform::TWOSTOPBITS);
    QTest::newRow("blanks around EVEN") << QByteArray("[INI]\r\nPARITY=  EVEN  \r\n") << "COM:1 9600 8 E 1"
                                        << int(platform::EVENPARITY) << int(platform::ONESTOPBIT);
    QTest::newRow("lower case is no parity") << QByteArray("[INI]\r\nPARITY=even\r\n") << "COM:1 9600 8 e 1"
                                             << int(platform::NOPARITY) << int(platform::ONESTOPBIT);
    QTest::newRow("hex port number, bad speed")
        << QByteArray("[INI]\r\nCOMM=$1\r\nSPEED=abc\r\n") << "COM:1 9600 8 N 1" << int(platform::NOPARITY)
        << int(platform::ONESTOPBIT);
    QTest::newRow("1.5 stop bits") << QByteArray("[INI]\r\nWORDSIZE=7\r\nSTOPBIT=1.5\r\n")
                                   << "COM:1 9600 7 N 1.5" << int(platform::NOPARITY)
                                   << int(platform::ONE5STOPBITS);
}

void TestMainWindow::statusTextFromStoredSettings()
{
    QFETCH(QByteArray, ini);
    QFETCH(QString, status);
    QFETCH(int, parity);
    QFETCH(int, stopBits);

    MainWindowFixture f;
    f.writeIni("COM1=loopback", ini);
    TForm1 &w = f.start();
    QVERIFY2(f.answerer.messages.isEmpty(), qPrintable(f.answerer.messages.join(QLatin1Char(' '))));
    QCOMPARE(w.form().stComSet->text(), status);
    QCOMPARE(int(platform::LoopbackPlug::Get(1)->state().Parity), parity);
    QCOMPARE(int(platform::LoopbackPlug::Get(1)->state().StopBits), stopBits);
}

void TestMainWindow::hidingActiveTabActivatesNeighbour_data()
{
    QTest::addColumn<int>("active");
    QTest::addColumn<QList<int>>("hide"); // tabs hidden in this order; the last one is the active
    QTest::addColumn<int>("expected");
    QTest::newRow("first: right neighbour") << 0 << QList<int>{0} << 1;
    QTest::newRow("middle: right neighbour") << 1 << QList<int>{1} << 2;
    QTest::newRow("last: left neighbour") << 3 << QList<int>{3} << 2;
    QTest::newRow("skips a hidden right neighbour") << 1 << QList<int>{2, 1} << 3;
    QTest::newRow("last with hidden left neighbour") << 3 << QList<int>{2, 3} << 1;
    QTest::newRow("only tab left") << 2 << QList<int>{0, 1, 3, 2} << -1;
}

void TestMainWindow::hidingActiveTabActivatesNeighbour()
{
    QFETCH(int, active);
    QFETCH(QList<int>, hide);
    QFETCH(int, expected);

    MainWindowFixture f;
    f.writeIni("COM1=loopback");
    TForm1 &w = f.start();
    Ui::TForm1 &ui = w.form();
    QAction *menus[4] = {ui.mnuHEX, ui.mnuDEC, ui.mnuCHAR, ui.mnuTEXT};
    ui.PageControl1->setCurrentIndex(active);
    w.PageModel(1).add("kept while hidden");

    for (int page : hide)
        menus[page]->trigger();
    QCOMPARE(w.ActivePageIndex(), expected);
    for (int i = 0; i < 4; ++i) {
        const bool shown = !hide.contains(i);
        QCOMPARE(ui.PageControl1->isTabVisible(i), shown);
        QCOMPARE(menus[i]->isChecked(), shown);
        QCOMPARE(w.PageVisible()[static_cast<std::size_t>(i)], shown ? 1 : 0);
    }
    // With no tab left no page shows; showing one tab again brings its page back.
    if (expected < 0) {
        QVERIFY(!ui.TabSheet3->isVisible());
        ui.mnuDEC->trigger();
        QCOMPARE(w.ActivePageIndex(), 1);
        QVERIFY(ui.TabSheet2->isVisible());
    }
    // A page keeps its content while its tab is hidden.
    QCOMPARE(w.PageModel(1).last(), std::string("kept while hidden"));
}

void TestMainWindow::allTabsHiddenSurviveRestart()
{
    MainWindowFixture f;
    f.writeIni("COM1=loopback");
    {
        TForm1 &w = f.start();
        for (QAction *a : {w.form().mnuHEX, w.form().mnuDEC, w.form().mnuCHAR, w.form().mnuTEXT})
            a->trigger();
        QCOMPARE(w.ActivePageIndex(), -1);
        f.closeWindow();
    }
    const QStringList keys = IniKeys(f.readFile(QStringLiteral("Quorvel.ini")));
    for (const char *key :
         {"DISP/PAGE=-1", "DISP/HEXPAGE=0", "DISP/DECPAGE=0", "DISP/CHARPAGE=0", "DISP/TEXTPAGE=0"})
        QVERIFY2(keys.contains(QString::fromLatin1(key)), key);

    TForm1 &w = f.start();
    Ui::TForm1 &ui = w.form();
    for (int i = 0; i < 4; ++i) {
        QVERIFY(!ui.PageControl1->isTabVisible(i));
        QCOMPARE(w.PageVisible()[static_cast<std::size_t>(i)], 0);
    }
    for (QAction *a : {ui.mnuHEX, ui.mnuDEC, ui.mnuCHAR, ui.mnuTEXT})
        QVERIFY(!a->isChecked());
    QCOMPARE(w.ActivePageIndex(), -1);
}

void TestMainWindow::storedActivePageRules()
{
    {
        // A page outside the tabs: no page is active, and -1 goes back into the file.
        MainWindowFixture f;
        f.writeIni("COM1=loopback", "[DISP]\r\nPAGE=7\r\n");
        TForm1 &w = f.start();
        QCOMPARE(w.ActivePageIndex(), -1);
        QVERIFY(!w.form().PageControl1->currentWidget()->isVisible());
        f.closeWindow();
        QVERIFY(IniKeys(f.readFile(QStringLiteral("Quorvel.ini"))).contains(QStringLiteral("DISP/PAGE=-1")));

        // A click on a tab makes that page active.
        TForm1 &again = f.start();
        QCOMPARE(again.ActivePageIndex(), -1);
        QTabBar *bar = again.form().PageControl1->tabBar();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(2).center());
        QCOMPARE(again.ActivePageIndex(), 2);
        QVERIFY(again.form().TabSheet3->isVisible());
    }
    {
        // The stored page's tab is hidden: its right-hand neighbour becomes active.
        MainWindowFixture f;
        f.writeIni("COM1=loopback", "[DISP]\r\nPAGE=2\r\nCHARPAGE=0\r\n");
        TForm1 &w = f.start();
        QCOMPARE(w.ActivePageIndex(), 3);
    }
}

void TestMainWindow::closeWritesEveryKeyAndHistory()
{
    MainWindowFixture f;
    // A port that never opens still gets its settings written; unknown keys and sections stay.
    f.writeIni("COM1=loopback\r\nCOM2=loopback",
               "[INI]\r\nCOMM=0x2\r\nPARITY=odd\r\nOWN=kept\r\n[Mine]\r\nA=1\r\n"
               "[RecvSet]\r\nRETCODE=7\r\n[SendDelimiter]\r\nDELIMITER=9\r\n");
    platform::LoopbackPlug::Get(2)->setMissing(true);
    f.writeFile(QStringLiteral("SendCombo.dat"), "0x41\r\n\"AB\"\n\r\nlast");
    TForm1 &w = f.start();
    QCOMPARE(f.answerer.messages.size(), 1);
    QCOMPARE(w.form().ComboBox1->currentIndex(), -1);
    QCOMPARE(RadioItemIndex(w.form().RGDelimiter), 2);
    QCOMPARE(w.form().cmbSendMix->count(), 4);
    QCOMPARE(w.form().cmbSendMix->itemText(3), QStringLiteral("last"));
    QCOMPARE(w.form().cmbSendMix->currentText(), QString());
    w.mnuExitClick();
    QVERIFY(!w.isVisible());
    f.window.reset();

    const QByteArray ini = f.readFile(QStringLiteral("Quorvel.ini"));
    QStringList written;
    for (const QString &k : IniKeys(ini))
        if (!k.startsWith(QLatin1String("PORTS/")) && !k.startsWith(QLatin1String("Mine/")) &&
            !k.startsWith(QLatin1String("INI/OWN")))
            written << k;
    const QStringList expected = {"INI/COMM=2",
                                  "INI/PARITY=odd",
                                  "INI/SPEED=9600",
                                  "INI/WORDSIZE=8",
                                  "INI/STOPBIT=1",
                                  "INI/FLOW=NONE",
                                  "RecvSet/RETCODE=-1",
                                  "SendDelimiter/DELIMITER=2",
                                  "CharDelayTime/CharDelayTime=500",
                                  "MODE/CTRL_CHECK=1",
                                  "DISP/PAGE=0",
                                  "DISP/HEXPAGE=1",
                                  "DISP/DECPAGE=1",
                                  "DISP/CHARPAGE=1",
                                  "DISP/TEXTPAGE=1",
                                  "POS/HEIGHT=583",
                                  "POS/WIDTH=794",
                                  "POS/TOP=130",
                                  "POS/LEFT=194"};
    QCOMPARE(written, expected);
    QCOMPARE(written.size(), 19);
    QVERIFY(ini.contains("[PORTS]\r\nCOM1=loopback\r\nCOM2=loopback"));
    QVERIFY(ini.contains("OWN=kept"));
    QVERIFY(ini.contains("[Mine]\r\nA=1"));
    // The history goes back with CR LF after every entry, the last one included.
    QCOMPARE(f.readFile(QStringLiteral("SendCombo.dat")), QByteArray("0x41\r\n\"AB\"\r\n\r\nlast\r\n"));
}

void TestMainWindow::restartKeepsGeometry()
{
    MainWindowFixture f;
    f.writeIni("COM1=loopback", "[POS]\r\nHEIGHT=600\r\nWIDTH=900\r\nTOP=40\r\nLEFT=50\r\n");
    for (int run = 0; run < 2; ++run) {
        TForm1 &w = f.start();
        QCOMPARE(w.size(), QSize(900, 600));
        QCOMPARE(w.pos(), QPoint(50, 40));
        f.closeWindow();
    }
    const QStringList keys = IniKeys(f.readFile(QStringLiteral("Quorvel.ini")));
    for (const char *key : {"POS/HEIGHT=600", "POS/WIDTH=900", "POS/TOP=40", "POS/LEFT=50"})
        QVERIFY2(keys.contains(QString::fromLatin1(key)), key);
}

// The program's own icon, built into it (a portable copy has no icon theme to find it in), in the
// sizes the menus use.
void TestMainWindow::windowCarriesTheProgramIcon()
{
    MainWindowFixture f;
    f.writeIni("COM1=loopback");
    TForm1 w;
    const QIcon icon = w.windowIcon();
    QVERIFY(!icon.isNull());
    const QList<QSize> sizes = icon.availableSizes();
    for (int size : {48, 64, 128})
        QVERIFY2(sizes.contains(QSize(size, size)), qPrintable(QString::number(size)));
    QCOMPARE(icon.pixmap(QSize(64, 64)).size(), QSize(64, 64));
}

void TestMainWindow::f1OpensTheHelp()
{
    MainWindowFixture f;
    f.writeIni("COM1=loopback");
    QVERIFY(QDir(f.dir.path()).mkpath(QStringLiteral("help")));
    QVERIFY(QFile::copy(QStringLiteral(QUORVEL_HELP_SOURCE), f.path(QStringLiteral("help/index.html"))));
    TForm1 &w = f.start();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    auto viewer = [] {
        for (QWidget *top : QApplication::topLevelWidgets())
            if (top->objectName() == QLatin1String("HelpViewer") && top->isVisible())
                return top;
        return static_cast<QWidget *>(nullptr);
    };
    QVERIFY(!viewer());
    // Pressed where the focus is at the start: in the send box, which takes keys of its own.
    QTest::keyClick(w.form().cmbSendMix, Qt::Key_F1);
    QTRY_VERIFY_WITH_TIMEOUT(viewer(), 2000);
    QCOMPARE(f.answerer.messages.size(), 0);
    QCOMPARE(w.form().cmbSendMix->currentText(), QString());
    viewer()->close();
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
