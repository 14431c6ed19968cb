// SPDX-License-Identifier: MIT
// The main window's senders end to end: what the string send, the mixed send, the registered
// buttons and the continuous output put on the wire (read back from the far end of a
// pseudo-terminal) and on the pages, the send history, the picker, and the refusals (text CP932
// cannot hold, a second send while one waits for the transmit queue, a close during a play-out).
#include "MainWindowFixture.h"

#include "Cp932.h"
#include "PageView.h"
#include "PtyMaster.h"
#include "RadioGroup.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>

#include <algorithm>
#include <chrono>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

namespace
{

using Lines = std::vector<std::string>;

// The window on the loopback plug with output held in the device, so that a play-out of
// long.txt (`lines` lines of 0x41) waits for room in the transmit queue.
TForm1 &StartHeld(MainWindowFixture &f, int lines)
{
    f.writeIni("COM1=loopback");
    TForm1 &w = f.start();
    const auto plug = platform::LoopbackPlug::Get(1);
    plug->takeWritten();
    plug->setOutputCapacity(0);
    plug->holdOutput(true);
    f.writeFile(QStringLiteral("long.txt"), QByteArray("0x41\n").repeated(lines));
    return w;
}

Lines PageLines(TForm1 &w, int page)
{
    Lines lines;
    for (int i = 0; i < w.PageModel(page).count(); ++i)
        lines.push_back(w.PageModel(page).line(i));
    return lines;
}

QString Status(TForm1 &w)
{
    return w.form().StatusBar1->currentMessage();
}

void SetBox(TForm1 &w, const QString &text)
{
    w.form().cmbSendMix->setEditText(text);
}

void SelectForm(TForm1 &w, int form, int type = 0)
{
    SetRadioItemIndex(w.form().RGSelect, form);
    w.RGSelectClick();
    SetRadioItemIndex(w.form().RGtype, type);
}

// A window on the far end of a pseudo-terminal, every page shown and empty but for its one line.
struct PtyWindow {
    PtyMaster pty;
    MainWindowFixture f;
    TForm1 *w = nullptr;

    bool start()
    {
        if (!pty.ok())
            return false;
        f.writeIni("COM1=" + pty.slavePath());
        w = &f.start();
        return f.answerer.messages.isEmpty();
    }
};

#define START_PTY_WINDOW(name)                                                                               \
    PtyWindow name;                                                                                          \
    if (!name.pty.ok())                                                                                      \
        QSKIP("no pseudo-terminals here");                                                                   \
    QVERIFY2(name.start(), qPrintable(name.f.answerer.messages.join(QLatin1Char(' ')) +                      \
                                      name.f.answerer.details.join(QLatin1Char(' '))));                      \
    TForm1 &w = *name.w

} // namespace

class TestMainWindowSend : public QObject
{
    Q_OBJECT

  private slots:
    void stringSend_data();
    void stringSend();
    void stringSendSkipsHiddenPage();
    void mixedSend_data();
    void mixedSend();
    void enterInBoxSends();
    void mixEchoDropsBlankLineAndCounts();
    void listFormPickUpGoesBackAsSent_data();
    void listFormPickUpGoesBackAsSent();
    void historyKeepsFiftyAndIgnoresCase();
    void ctrlButtonsWriteNotation_data();
    void ctrlButtonsWriteNotation();
    void registeredButtons_data();
    void registeredButtons();
    void registeredTextsSurviveRestart();
    void registeringRefusesWhatCannotBeStored();
    void pickerChangesLabelOnly();
    void playOut_data();
    void playOut();
    void playOutLongLineAndMissingFile();
    void textCp932LacksIsRefused();
    void secondSendRefusedWhilePlayOutWaits();
    void closeEndsPlayOut();
};

// --- String send ----------------------------------------------------------------------------

void TestMainWindowSend::stringSend_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("delimiter");
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<Lines>("hex");
    QTest::addColumn<Lines>("dec");
    QTest::addColumn<Lines>("chr");
    QTest::addColumn<Lines>("txt");

    // The TEXT page keeps the CR LF of the delimiter in the echo; a page shows a CR LF as a line
    // break, so the text after it stands as a line of its own.
    QTest::newRow("AB CR+LF") << "AB" << 2 << QByteArray("AB\r\n") << Lines{"[OUT]   41   42   0D   0A  "}
                              << Lines{"[OUT]    65   66   13   10 "} << Lines{"[OUT]    A   B  _cr _lf"}
                              << Lines{"[OUT]  AB", ""};
    QTest::newRow("empty CR") << "" << 1 << QByteArray("\r") << Lines{"[OUT]   0D  "} << Lines{"[OUT]    13 "}
                              << Lines{"[OUT]   _cr"} << Lines{"[OUT]  \r"};
    QTest::newRow("empty none") << "" << 0 << QByteArray() << Lines{"[OUT]  "} << Lines{"[OUT]  "}
                                << Lines{"[OUT]  "} << Lines{"[OUT]  "};
    QTest::newRow("blank and high byte")
        << " \xef\xbd\xb1" << 0 << QByteArray(" \xb1") << Lines{"[OUT]   20   B1  "}
        << Lines{"[OUT]    32  177 "} << Lines{"[OUT]        \xb1 "} << Lines{"[OUT]   \xb1"};
}

void TestMainWindowSend::stringSend()
{
    QFETCH(QString, text);
    QFETCH(int, delimiter);
    QFETCH(QByteArray, wire);
    START_PTY_WINDOW(win);
    SetRadioItemIndex(w.form().RGDelimiter, delimiter);
    SetBox(w, text);

    w.form().BtnSend->click();
    QCOMPARE(win.pty.readSent(wire.size()), wire);
    QTEST(PageLines(w, 0), "hex");
    QTEST(PageLines(w, 1), "dec");
    QTEST(PageLines(w, 2), "chr");
    QTEST(PageLines(w, 3), "txt");
    // The box keeps the text; the history has it on top.
    QCOMPARE(w.form().cmbSendMix->currentText(), text);
    QCOMPARE(w.SendHistory().at(0), *platform::Utf8ToCp932(text.toStdString()));
}

void TestMainWindowSend::stringSendSkipsHiddenPage()
{
    START_PTY_WINDOW(win);
    w.mnuDECClick();
    QCOMPARE(w.PageVisible()[1], 0);
    SetRadioItemIndex(w.form().RGDelimiter, 2);
    // Longer than any fixed transmit buffer would hold: it goes whole, with its delimiter.
    const QByteArray text = QByteArray("0123456789").repeated(150);
    SetBox(w, QString::fromLatin1(text));
    w.BtnSendClick();
    QCOMPARE(win.pty.readSent(text.size() + 2), text + "\r\n");
    QCOMPARE(PageLines(w, 1), Lines{""});
    QCOMPARE(w.PageModel(0).count(), 1);
    QCOMPARE(w.PageModel(0).line(0).size(), std::size_t(7 + 5 * 1502));
}

// --- Mixed send -----------------------------------------------------------------------------

void TestMainWindowSend::mixedSend_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<Lines>("hex");
    QTest::addColumn<Lines>("chr");
    QTest::addColumn<Lines>("txt");

    QTest::newRow("frame") << "0x02,\"AB C\",13,10"
                           << QByteArray("\x02"
                                         "AB C\r\n")
                           << Lines{"[OUT]   02   41   42   20   43   0D   0A  ", ""}
                           << Lines{"[OUT]   _sx  A   B  _sp  C  _cr _lf", ""} << Lines{"[OUT]  .AB C..", ""};
    QTest::newRow("empty string") << "\"\"" << QByteArray() << Lines{"[OUT]  ", ""} << Lines{"[OUT]  ", ""}
                                  << Lines{"[OUT]  ", ""};
    // Nothing sent: no echo either, the page keeps its one empty line.
    QTest::newRow("lone quote") << "\"" << QByteArray() << Lines{""} << Lines{""} << Lines{""};
    QTest::newRow("skipped items") << "abc,-1,0x41" << QByteArray("A") << Lines{"[OUT]   41  ", ""}
                                   << Lines{"[OUT]    A ", ""} << Lines{"[OUT]  A", ""};
}

void TestMainWindowSend::mixedSend()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, wire);
    START_PTY_WINDOW(win);
    SetBox(w, text);
    w.form().BtnMix->click();
    QCOMPARE(win.pty.readSent(wire.size()), wire);
    QTEST(PageLines(w, 0), "hex");
    QTEST(PageLines(w, 2), "chr");
    QTEST(PageLines(w, 3), "txt");
    QCOMPARE(w.SendHistory().at(0), text.toStdString());
    QCOMPARE(w.form().cmbSendMix->currentText(), text);
}

void TestMainWindowSend::enterInBoxSends()
{
    START_PTY_WINDOW(win);
    QLineEdit *edit = w.form().cmbSendMix->lineEdit();
    SetBox(w, QStringLiteral("0x41,\"BC\""));
    QTest::keyClick(edit, Qt::Key_Return);
    QCOMPARE(win.pty.readSent(3), QByteArray("ABC"));
    QCOMPARE(edit->text(), QStringLiteral("0x41,\"BC\""));
    // The history holds the text once: the combo box did not add the entry of its own.
    QCOMPARE(w.SendHistory(), std::vector<std::string>{"0x41,\"BC\""});

    // The keypad's Enter too; other keys type as usual.
    SetBox(w, QString());
    QTest::keyClicks(edit, QStringLiteral("66"));
    QTest::keyClick(edit, Qt::Key_Enter, Qt::KeypadModifier);
    QCOMPARE(win.pty.readSent(1), QByteArray("B"));
    QCOMPARE(edit->text(), QStringLiteral("66"));

    // Typing the start of a history entry sends what was typed, not the entry.
    SetBox(w, QString());
    QTest::keyClicks(edit, QStringLiteral("0x4"));
    QCOMPARE(edit->text(), QStringLiteral("0x4"));
    QTest::keyClick(edit, Qt::Key_Return);
    QCOMPARE(win.pty.readSent(1), QByteArray("\x04"));

    // An all-blank box does nothing at all.
    SetBox(w, QStringLiteral("   "));
    QTest::keyClick(edit, Qt::Key_Return);
    QCOMPARE(win.pty.readSent(0), QByteArray());
    QCOMPARE(w.SendHistory().size(), std::size_t(3));

    // 1001 items: the first 1000 go, and the status bar tells why the rest did not.
    QStringList items;
    for (int i = 0; i < 1001; ++i)
        items << QStringLiteral("0x%1").arg(0x30 + i % 10, 0, 16);
    SetBox(w, items.join(QLatin1Char(',')));
    QTest::keyClick(edit, Qt::Key_Return);
    const QByteArray sent = win.pty.readSent(1000);
    QCOMPARE(sent.size(), 1000);
    QCOMPARE(sent.left(12), QByteArray("012345678901"));
    QCOMPARE(Status(w), QStringLiteral("一括送信できる分割数を超えています。"));

    // Focus on the box shows the usage text.
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    w.form().BtnSend->setFocus();
    edit->setFocus();
    QTRY_COMPARE(
        Status(w),
        QStringLiteral("カンマ区切りの内容をバイナリ出力します。文字列は\"\"文字で括ってください。"));
}

void TestMainWindowSend::mixEchoDropsBlankLineAndCounts()
{
    MainWindowFixture f;
    f.writeIni("COM1=loopback");
    TForm1 &w = f.start();
    w.mnuDECClick();
    QLabel *counter = w.form().stLogCount;
    const Lines dec = PageLines(w, 1);

    // No blank line before the last: the counter is left to the receive timer.
    counter->setText(QStringLiteral("x"));
    w.SendMixText("0x41");
    QCOMPARE(counter->text(), QStringLiteral("x"));
    QCOMPARE(PageLines(w, 0), (Lines{"[OUT]   41  ", ""}));

    // A blank line before the last goes, and the counter shows the HEX page's count at once.
    core::Page &hex = w.PageModel(0);
    hex.clear();
    for (const char *line : {"a", "b", " \t", ""})
        hex.add(line);
    w.PageModel(2).clear();
    for (const char *line : {"a", " ", ""})
        w.PageModel(2).add(line);
    w.SendMixText("0x42");
    QCOMPARE(counter->text(), QStringLiteral("ログ行数: 3"));
    QCOMPARE(PageLines(w, 0), (Lines{"a", "b", "[OUT]   42  ", ""}));
    QCOMPARE(PageLines(w, 2), (Lines{"a", "[OUT]    B ", ""}));
    // The hidden page gets neither the echo nor the empty line.
    QCOMPARE(PageLines(w, 1), dec);
    std::string wire;
    QTRY_COMPARE_WITH_TIMEOUT((wire += platform::LoopbackPlug::Get(1)->takeWritten(), wire),
                              std::string("AB"), 3000);
}

void TestMainWindowSend::listFormPickUpGoesBackAsSent_data()
{
    QTest::addColumn<int>("page");
    QTest::addColumn<QByteArray>("received");
    QTest::newRow("HEX") << 0
                         << QByteArray("\x01\x00"
                                       "A \xff\x22",
                                       6);
    QTest::newRow("DEC") << 1 << QByteArray("\x7f\x80 9", 4);
    QTest::newRow("CHAR") << 2
                          << QByteArray("\x02"
                                        "AB\"\x1f",
                                        5);
}

void TestMainWindowSend::listFormPickUpGoesBackAsSent()
{
    QFETCH(int, page);
    QFETCH(QByteArray, received);
    START_PTY_WINDOW(win);
    QVERIFY(win.pty.write(received));
    // The line is there once the TEXT page shows its last byte (every page is written per tick).
    QTRY_VERIFY_WITH_TIMEOUT(w.PageModel(0).line(0).size() == 7 + 5 * std::size_t(received.size()), 3000);

    w.Memo1DblClick(w.Memo(page), 0);
    QVERIFY(w.form().cmbSendMix->currentText().startsWith(QStringLiteral("[IN ]")));
    SelectForm(w, 1, page);
    QVERIFY(w.form().RGtype->isEnabled());
    w.form().BtnMix->click();
    QCOMPARE(win.pty.readSent(received.size()), received);
    // The echo of the list form reads back the same way.
    QCOMPARE(w.PageModel(0).line(w.PageModel(0).count() - 2), "[OUT]  " + w.PageModel(0).line(0).substr(7));
}

void TestMainWindowSend::historyKeepsFiftyAndIgnoresCase()
{
    START_PTY_WINDOW(win);
    QByteArray all;
    for (int i = 0; i <= 50; ++i) {
        SetBox(w, QStringLiteral("t%1").arg(i));
        w.BtnSendClick();
        all += "t" + QByteArray::number(i);
    }
    QCOMPARE(win.pty.readSent(all.size()), all);
    std::vector<std::string> history = w.SendHistory();
    QCOMPARE(history.size(), std::size_t(50));
    QCOMPARE(history.front(), std::string("t50"));
    QCOMPARE(history.back(), std::string("t1"));

    // An entry equal but for letter case moves to the top as the new text; the box keeps it.
    SetBox(w, QStringLiteral("T25"));
    w.form().cmbSendMix->lineEdit()->setCursorPosition(1);
    w.form().BtnMix->click(); // "T25" is no mixed-send item: nothing goes, the history moves all the same
    history = w.SendHistory();
    QCOMPARE(history.size(), std::size_t(50));
    QCOMPARE(history.front(), std::string("T25"));
    QCOMPARE(std::count(history.begin(), history.end(), std::string("t25")), 0);
    QCOMPARE(history.back(), std::string("t1"));
    QCOMPARE(w.form().cmbSendMix->currentText(), QStringLiteral("T25"));
    QCOMPARE(w.form().cmbSendMix->lineEdit()->cursorPosition(), 1);
    QCOMPARE(win.pty.readSent(0), QByteArray());

    // A new text pushes the oldest out, one per send.
    SetBox(w, QStringLiteral("new"));
    w.BtnSendClick();
    history = w.SendHistory();
    QCOMPARE(history.size(), std::size_t(50));
    QCOMPARE(history.back(), std::string("t2"));
}

// --- Control-character buttons --------------------------------------------------------------

void TestMainWindowSend::ctrlButtonsWriteNotation_data()
{
    QTest::addColumn<int>("form");
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("box");
    QTest::addColumn<QStringList>("buttons");
    QTest::addColumn<QString>("expected");

    QTest::newRow("normal after item") << 0 << 0 << "0x41" << QStringList{"BtnEsc"} << "0x41,0x1b";
    QTest::newRow("normal after comma") << 0 << 0 << "0x41," << QStringList{"BtnEsc"} << "0x41,0x1b";
    QTest::newRow("normal trailing blank") << 0 << 0 << "0x41, " << QStringList{"BtnEsc"} << "0x41, 0x1b";
    QTest::newRow("normal empty") << 0 << 0 << "" << QStringList{"Button8", "Button9"} << "0x0d,0x0a";
    QTest::newRow("list HEX") << 1 << 0 << "" << QStringList{"BtnEsc", "Button8"} << "[OUT] 1B 0D";
    QTest::newRow("list DEC") << 1 << 1 << "" << QStringList{"BtnEsc"} << "[OUT]  27";
    QTest::newRow("list CHAR") << 1 << 2 << "A" << QStringList{"Button10"} << "A  _sb";
    QTest::newRow("list TEXT") << 1 << 3 << "x" << QStringList{"BtnEsc"} << "x";
    QTest::newRow("keeps what CP932 lacks")
        << 0 << 0 << "\"\xf0\x9f\x98\x80\"" << QStringList{"Button1"} << "\"\xf0\x9f\x98\x80\",0x02";
}

void TestMainWindowSend::ctrlButtonsWriteNotation()
{
    QFETCH(int, form);
    QFETCH(int, type);
    QFETCH(QString, box);
    QFETCH(QStringList, buttons);
    QFETCH(QString, expected);
    MainWindowFixture f;
    f.writeIni("COM1=loopback");
    TForm1 &w = f.start();
    SelectForm(w, form, type);
    SetBox(w, box);
    for (const QString &name : buttons)
        w.findChild<QPushButton *>(name)->click();
    QCOMPARE(w.form().cmbSendMix->currentText(), expected);
    QCOMPARE(w.form().cmbSendMix->lineEdit()->cursorPosition(), int(expected.size()));
    // Nothing is transmitted and the history is not touched.
    QCOMPARE(platform::LoopbackPlug::Get(1)->takeWritten(), std::string());
    QVERIFY(w.SendHistory().empty());
}

// --- Registered buttons ---------------------------------------------------------------------

void TestMainWindowSend::registeredButtons_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("delimiter");
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("registered");
    QTest::addColumn<QByteArray>("wire");

    QTest::newRow("SetK2") << "SetK2" << 2 << "0x02,\"AB\",0x03"
                           << "0x02,\"AB\",0x03"
                           << QByteArray("\x02"
                                         "AB\x03");
    QTest::newRow("SetM1 none") << "SetM1" << 0 << "AB C"
                                << "\"AB C\"" << QByteArray("AB C");
    QTest::newRow("SetM1 CR") << "SetM1" << 1 << "AB C"
                              << "\"AB C\",0x0d" << QByteArray("AB C\r");
    QTest::newRow("SetM1 CR+LF") << "SetM1" << 2 << "AB C"
                                 << "\"AB C\",0x0d,0x0a" << QByteArray("AB C\r\n");
    // The string item ends at the text's own quote.
    QTest::newRow("SetM3 inner quote") << "SetM3" << 0 << "a\"b"
                                       << "\"a\"b\"" << QByteArray("a");
}

void TestMainWindowSend::registeredButtons()
{
    QFETCH(QString, button);
    QFETCH(int, delimiter);
    QFETCH(QString, box);
    QFETCH(QString, registered);
    QFETCH(QByteArray, wire);
    START_PTY_WINDOW(win);
    const int slot = button.back().digitValue();
    SetRadioItemIndex(w.form().RGDelimiter, delimiter);
    SetBox(w, box);
    w.findChild<QPushButton *>(button)->click();
    QCOMPARE(QString::fromStdString(w.ProgText()[std::size_t(slot - 1)]), registered);
    QCOMPARE(w.PbText(slot - 1)->text(), registered);
    QVERIFY(win.f.readFile(QStringLiteral("PButton.ini"))
                .contains("BTN" + QByteArray::number(slot) + "=\"" + registered.toLatin1() + "\"\r\n"));
    QCOMPARE(win.pty.readSent(0), QByteArray()); // registering sends nothing

    // The send takes the registered text whatever the box holds now; box and history stay.
    SetBox(w, QStringLiteral("0x55"));
    w.findChild<QPushButton *>(QStringLiteral("ProgSend%1").arg(slot))->click();
    QCOMPARE(win.pty.readSent(wire.size()), wire);
    QCOMPARE(w.form().cmbSendMix->currentText(), QStringLiteral("0x55"));
    QVERIFY(w.SendHistory().empty());
    QCOMPARE(w.PageModel(0).count(), 2); // the echo and its empty line

    // An empty slot sends nothing.
    w.findChild<QPushButton *>(QStringLiteral("ProgSend%1").arg(slot == 4 ? 1 : 4))->click();
    QCOMPARE(win.pty.readSent(0), QByteArray());
}

void TestMainWindowSend::registeredTextsSurviveRestart()
{
    MainWindowFixture f;
    f.writeIni("COM1=loopback");
    f.writeFile(QStringLiteral("PButton.ini"), "[Other]\r\nkeep=1\r\n");
    TForm1 *w = &f.start();
    w->form().StatusBar1->clearMessage();
    const QString blanks = QStringLiteral("  0x41 , \"x \"  ");
    const std::string longest(2045, '7');
    SetBox(*w, blanks);
    w->form().SetK1->click();
    SetBox(*w, QString::fromStdString(longest));
    w->form().SetK4->click();
    SetRadioItemIndex(w->form().RGDelimiter, 1);
    SetBox(*w, QStringLiteral(" a "));
    w->form().SetM2->click();
    QCOMPARE(Status(*w), QString());
    f.closeWindow();

    w = &f.start();
    QCOMPARE(QString::fromStdString(w->ProgText()[0]), blanks);
    QCOMPARE(w->ProgText()[1], std::string("\" a \",0x0d"));
    QCOMPARE(w->ProgText()[2], std::string());
    QCOMPARE(w->ProgText()[3], longest);
    QCOMPARE(w->PbText(0)->text(), blanks);
    QVERIFY(f.readFile(QStringLiteral("PButton.ini")).startsWith("[Other]\r\nkeep=1\r\n"));
}

void TestMainWindowSend::registeringRefusesWhatCannotBeStored()
{
    MainWindowFixture f;
    f.writeIni("COM1=loopback");
    TForm1 &w = f.start();
    SetBox(w, QStringLiteral("0x41"));
    w.form().SetK1->click();

    struct Case {
        const char *name;
        QString box;
        const char *button;
        QString message;
    };
    const Case cases[] = {
        {"too long", QString(2046, QLatin1Char('7')), "SetK1",
         QStringLiteral("登録できるのは2045バイトまでです。")},
        // Quotes and a delimiter make it longer than the box.
        {"too long as string", QString(2042, QLatin1Char('7')), "SetM1",
         QStringLiteral("登録できるのは2045バイトまでです。")},
        {"line break", QStringLiteral("a\rb"), "SetK1", QStringLiteral("改行を含む内容は登録できません。")},
        {"not CP932", QStringLiteral("\"\U0001F600\""), "SetM1",
         QStringLiteral("登録できない文字が含まれています。")},
        {"blank", QStringLiteral("  \t "), "SetK1", QString()},
    };
    for (const Case &c : cases) {
        w.form().StatusBar1->clearMessage();
        SetRadioItemIndex(w.form().RGDelimiter, 2);
        SetBox(w, c.box);
        w.findChild<QPushButton *>(QLatin1String(c.button))->click();
        QVERIFY2(Status(w) == c.message, c.name);
        QVERIFY2(w.ProgText()[0] == "0x41", c.name);
        QVERIFY2(w.PbText(0)->text() == QStringLiteral("0x41"), c.name);
    }
    QVERIFY(f.readFile(QStringLiteral("PButton.ini")).contains("BTN1=\"0x41\"\r\n"));
}

void TestMainWindowSend::pickerChangesLabelOnly()
{
    START_PTY_WINDOW(win);
    SetBox(w, QStringLiteral("0x34"));
    w.form().SetK4->click();
    w.SetSendHistory({"0x31", "\"hist\""});
    QComboBox *picker = w.form().cmbSelText;
    QVERIFY(picker->isHidden());

    // A double-click on the label opens the picker over it, without the focus.
    QTest::mouseDClick(w.PbText(3), Qt::LeftButton);
    QCOMPARE(w.PickSlot(), 4);
    QVERIFY(picker->isVisible());
    QCOMPARE(picker->geometry().topLeft(), w.PbText(3)->geometry().topLeft());
    QCOMPARE(picker->count(), 2);
    QCOMPARE(picker->itemText(1), QStringLiteral("\"hist\""));
    QCOMPARE(picker->currentText(), QStringLiteral("0x34"));

    // Choosing an entry and leaving changes the caption only.
    picker->setCurrentIndex(1);
    w.cmbSelTextExit();
    QVERIFY(picker->isHidden());
    QCOMPARE(w.PbText(3)->text(), QStringLiteral("\"hist\""));
    QCOMPARE(w.ProgText()[3], std::string("0x34"));
    w.form().ProgSend4->click();
    QCOMPARE(win.pty.readSent(1), QByteArray("4"));
    QVERIFY(win.f.readFile(QStringLiteral("PButton.ini")).contains("BTN4=\"0x34\""));

    // A blank pick leaves the label; a registration sets every caption back.
    QTest::mouseDClick(w.PbText(1), Qt::LeftButton);
    QCOMPARE(w.PickSlot(), 2);
    picker->setEditText(QStringLiteral("   "));
    w.cmbSelTextExit();
    QCOMPARE(w.PbText(1)->text(), QString());
    SetBox(w, QStringLiteral("0x32"));
    w.form().SetK2->click();
    QCOMPARE(w.PbText(3)->text(), QStringLiteral("0x34"));

    // Enter in the picker moves the focus on, which closes it with its text.
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QTest::mouseDClick(w.PbText(0), Qt::LeftButton);
    picker->lineEdit()->setFocus();
    QTRY_VERIFY(picker->lineEdit()->hasFocus());
    picker->setEditText(QStringLiteral("0x31"));
    QTest::keyClick(picker->lineEdit(), Qt::Key_Return);
    QTRY_VERIFY(picker->isHidden());
    QCOMPARE(w.PbText(0)->text(), QStringLiteral("0x31"));
    QCOMPARE(w.ProgText()[0], std::string());
}

// --- Continuous output ----------------------------------------------------------------------

void TestMainWindowSend::playOut_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::newRow("LF") << QByteArray("0x41\n\n\"AB\"\n");
    QTest::newRow("CR LF") << QByteArray("0x41\r\n\r\n\"AB\"\r\n");
    QTest::newRow("no final line feed") << QByteArray("0x41\n\n\"AB\"");
}

void TestMainWindowSend::playOut()
{
    QFETCH(QByteArray, file);
    START_PTY_WINDOW(win);
    win.f.writeFile(QStringLiteral("lines.txt"), file);
    SetBox(w, QStringLiteral("kept"));
    QVERIFY(w.PlayOutFile(win.f.path(QStringLiteral("lines.txt"))));
    QVERIFY(!w.Sending());
    QCOMPARE(win.pty.readSent(3), QByteArray("AAB"));
    // Two echo lines; the second echo takes the place of the first one's empty line.
    QCOMPARE(PageLines(w, 0), (Lines{"[OUT]   41  ", "[OUT]   41   42  ", ""}));
    QCOMPARE(PageLines(w, 3), (Lines{"[OUT]  A", "[OUT]  AB", ""}));
    QCOMPARE(w.form().cmbSendMix->currentText(), QStringLiteral("kept"));
    QVERIFY(w.SendHistory().empty());
}

void TestMainWindowSend::playOutLongLineAndMissingFile()
{
    START_PTY_WINDOW(win);
    SelectForm(w, 1, 3); // list form, TEXT: each line goes out as its bytes
    const QByteArray line = QByteArray("0123456789").repeated(600);
    win.f.writeFile(QStringLiteral("long.txt"), line + "\n65\n");
    QVERIFY(w.PlayOutFile(win.f.path(QStringLiteral("long.txt"))));
    QCOMPARE(win.pty.readSent(6001), line + "A");
    // Read in pieces of 4999 and 1001 bytes: two sends, then the number line.
    QCOMPARE(w.PageModel(3).count(), 4);
    QCOMPARE(w.PageModel(3).line(0).size(), std::size_t(7 + 4999));
    QCOMPARE(w.PageModel(3).line(1).size(), std::size_t(7 + 1001));
    QCOMPARE(w.PageModel(3).line(2), std::string("[OUT]  A"));

    QVERIFY(!w.PlayOutFile(win.f.path(QStringLiteral("missing.txt"))));
    QCOMPARE(win.pty.readSent(0), QByteArray());
    QVERIFY(win.f.answerer.messages.isEmpty());
}

// --- Refusals ---------------------------------------------------------------------------------

void TestMainWindowSend::textCp932LacksIsRefused()
{
    START_PTY_WINDOW(win);
    const QString refused = QStringLiteral("送信できない文字が含まれています。");
    for (QPushButton *button : {w.form().BtnSend, w.form().BtnMix}) {
        w.form().StatusBar1->clearMessage();
        SetBox(w, QStringLiteral("\"A\u00e9\""));
        button->click();
        QCOMPARE(Status(w), refused);
        QCOMPARE(win.pty.readSent(0), QByteArray());
        QVERIFY(w.SendHistory().empty());
        QCOMPARE(PageLines(w, 0), Lines{""});
    }
    // What CP932 holds goes out as CP932.
    SetBox(w, QStringLiteral("\"あ\""));
    w.form().BtnMix->click();
    QCOMPARE(win.pty.readSent(2), QByteArray("\x82\xa0"));
}

void TestMainWindowSend::secondSendRefusedWhilePlayOutWaits()
{
    MainWindowFixture f;
    TForm1 &w = StartHeld(f, 300);
    const auto plug = platform::LoopbackPlug::Get(1);

    bool finished = false;
    bool ran = false;
    bool sendingMeanwhile = false;
    QString refusedSend, refusedMix, refusedProg, refusedPlayOut;
    bool playOutMeanwhile = true;
    QString boxAfterEsc;
    std::string registered;
    std::vector<std::string> historyMeanwhile;
    QTimer::singleShot(0, &w, [&] {
        ran = w.PlayOutFile(f.path(QStringLiteral("long.txt")));
        finished = true;
    });
    // Runs inside the play-out's wait for room in the transmit queue.
    QTimer::singleShot(300, &w, [&] {
        sendingMeanwhile = w.Sending();
        SetBox(w, QStringLiteral("\"ZZ\""));
        w.form().BtnSend->click();
        refusedSend = Status(w);
        w.form().StatusBar1->clearMessage();
        QTest::keyClick(w.form().cmbSendMix->lineEdit(), Qt::Key_Return);
        refusedMix = Status(w);
        w.form().StatusBar1->clearMessage();
        w.form().SetK1->click(); // registering still works ...
        registered = w.ProgText()[0];
        w.form().ProgSend1->click(); // ... sending the registered text does not
        refusedProg = Status(w);
        w.form().StatusBar1->clearMessage();
        playOutMeanwhile = w.PlayOutFile(f.path(QStringLiteral("long.txt")));
        refusedPlayOut = Status(w);
        historyMeanwhile = w.SendHistory();
        w.form().Button2->click(); // the control-character buttons work too
        boxAfterEsc = w.form().cmbSendMix->currentText();
        plug->holdOutput(false);
    });
    // Should the wait never end, this lets it go all the same.
    QTimer::singleShot(8000, &w, [&] { plug->holdOutput(false); });
    QTRY_VERIFY_WITH_TIMEOUT(finished, 15000);

    const QString busy = QStringLiteral("前の送信が終わっていません。");
    QVERIFY(ran);
    QVERIFY(sendingMeanwhile);
    QCOMPARE(refusedSend, busy);
    QCOMPARE(refusedMix, busy);
    QCOMPARE(refusedProg, busy);
    QVERIFY(!playOutMeanwhile);
    QCOMPARE(refusedPlayOut, busy);
    QVERIFY(historyMeanwhile.empty());
    QCOMPARE(registered, std::string("\"ZZ\""));
    QCOMPARE(boxAfterEsc, QStringLiteral("\"ZZ\",0x03"));
    QVERIFY(!w.Sending());
    // The wire holds the play-out's bytes and nothing else.
    std::string wire;
    QTRY_VERIFY_WITH_TIMEOUT((wire += plug->takeWritten()).size() >= 300, 5000);
    QTest::qWait(50);
    wire += plug->takeWritten();
    QCOMPARE(wire, std::string(300, 'A'));
}

void TestMainWindowSend::closeEndsPlayOut()
{
    MainWindowFixture f;
    TForm1 &w = StartHeld(f, 3000);
    const auto plug = platform::LoopbackPlug::Get(1);

    bool finished = false;
    QTimer::singleShot(0, &w, [&] {
        w.PlayOutFile(f.path(QStringLiteral("long.txt")));
        finished = true;
    });
    QTimer::singleShot(300, &w, [&] { w.close(); });
    QTimer::singleShot(8000, &w, [&] { plug->holdOutput(false); });
    QTRY_VERIFY_WITH_TIMEOUT(finished, 15000);
    QVERIFY(!w.Sending());
    QVERIFY(!w.isVisible());
    plug->holdOutput(false);
    QTest::qWait(100);
    // The play-out stopped at the close: far fewer lines than the file holds went out.
    QVERIFY(plug->takeWritten().size() < 100);
    // No echo of a line after the close: at most the lines of the first 32 blocks were shown.
    QVERIFY(w.PageModel(0).count() < 100);
}

QTEST_MAIN(TestMainWindowSend)
#include "tst_mainwindow_send.moc"
