// SPDX-License-Identifier: MIT
// Find in the main window offscreen: Ctrl+F and the menu item open the bar without moving a
// control, Esc closes it; text and bytes are found on their pages, stepped through around the
// end with a note and counted as "n / m 件"; lines that arrive are searched; the page holds still
// while a match is shown and follows its end again afterwards; selection, copy and the pick-up
// keep working with the bar open.
#include "MainWindowFixture.h"

#include "FindBar.h"
#include "PageView.h"

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QScrollBar>
#include <QTabWidget>

namespace
{

// The window on the loopback port with "CRLF受信で改行" and `page` active.
TForm1 &Start(MainWindowFixture &f, int page)
{
    f.writeIni("COM1=loopback");
    TForm1 &w = f.start();
    w.form().ComboBox1->setCurrentIndex(2);
    w.form().PageControl1->setCurrentIndex(page);
    // The shortcuts (Ctrl+F, F3, Esc) work in the active window.
    w.activateWindow();
    [&w] { QVERIFY(QTest::qWaitForWindowActive(&w)); }();
    return w;
}

// Received lines "text\r\n" through the port, waited for until every page holds them.
void Receive(TForm1 &w, const QByteArray &bytes)
{
    const int lines = static_cast<int>(bytes.count("\r\n"));
    const int before = std::max(0, w.PageModel(core::kPageText).count() - 1);
    platform::LoopbackPlug::Get(1)->inject(bytes.toStdString());
    QTRY_COMPARE_WITH_TIMEOUT(w.PageModel(core::kPageText).count(), before + lines + 1, 5000);
}

QByteArray Numbered(int from, int to, const char *prefix = "line ")
{
    QByteArray out;
    for (int i = from; i < to; ++i)
        out += prefix + QByteArray::number(i) + "\r\n";
    return out;
}

// Types the query and waits until the page is searched to its end.
void Find(FindBar *bar, const QString &text)
{
    bar->edit()->setText(text);
    QTRY_VERIFY(!bar->searching());
}

} // namespace

class TestFind : public QObject
{
    Q_OBJECT

  private slots:
    void cleanup() { QGuiApplication::clipboard()->clear(); }

    void ctrlFOpensAndEscCloses();
    void findsOnEveryPage_data();
    void findsOnEveryPage();
    void stepsAroundTheEndWithANote();
    void findsInLinesThatArrive();
    void pageHoldsStillWhileAMatchIsShown_data();
    void pageHoldsStillWhileAMatchIsShown();
    void selectionCopyAndPickUpWithTheBarOpen();
    void tabsKeepAQueryForTextAndOneForBytes();
};

void TestFind::ctrlFOpensAndEscCloses()
{
    MainWindowFixture f;
    TForm1 &w = Start(f, core::kPageText);
    Ui::TForm1 &ui = w.form();
    PageView *view = w.Memo(core::kPageText);
    const QRect pages = ui.PageControl1->geometry();
    const QRect viewRect = view->geometry();
    const QRect panel = ui.Panel1->geometry();
    FindBar *bar = w.findBar();
    QVERIFY(bar && !bar->isVisible());

    // The item stands in ファイル below the items before it.
    const QList<QAction *> items = ui.mnuFile->actions();
    QCOMPARE(items.last()->text(), QStringLiteral("検索..."));
    QCOMPARE(items.last()->shortcut(), QKeySequence(QKeySequence::Find));

    ui.cmbSendMix->setFocus();
    QTest::keyClick(ui.cmbSendMix->lineEdit(), Qt::Key_F, Qt::ControlModifier);
    QVERIFY(bar->isVisible());
    QTRY_COMPARE(QApplication::focusWidget(), bar->edit());
    // Over the bottom of the page, within it; no control moved.
    const QRect barRect(bar->mapTo(&w, QPoint(0, 0)), bar->size());
    const QRect viewOnWindow(view->mapTo(&w, QPoint(0, 0)), view->size());
    QVERIFY(viewOnWindow.contains(barRect));
    QVERIFY(barRect.bottom() > viewOnWindow.center().y());
    QCOMPARE(ui.PageControl1->geometry(), pages);
    QCOMPARE(view->geometry(), viewRect);
    QCOMPARE(ui.Panel1->geometry(), panel);

    QTest::keyClick(bar->edit(), Qt::Key_Escape);
    QVERIFY(!bar->isVisible());
    QCOMPARE(QApplication::focusWidget(), view);

    // The menu item opens it too, and Esc on the page closes it.
    items.last()->trigger();
    QVERIFY(bar->isVisible());
    view->setFocus();
    QTest::keyClick(view, Qt::Key_Escape);
    QVERIFY(!bar->isVisible());
}

void TestFind::findsOnEveryPage_data()
{
    QTest::addColumn<int>("page");
    QTest::addColumn<QString>("query");
    QTest::addColumn<bool>("caseSensitive");
    QTest::addColumn<QString>("count");
    QTest::addColumn<QString>("selected"); // the first match as the view shows it
    // "Ok 1", "ok 2" and "OK あ" as received, CR LF included.
    QTest::newRow("text, any case") << int(core::kPageText) << "ok" << false << "1 / 3 件"
                                    << "Ok";
    QTest::newRow("text, case") << int(core::kPageText) << "OK" << true << "1 / 1 件"
                                << "OK";
    QTest::newRow("text, CP932") << int(core::kPageText) << "K あ" << false << "1 / 1 件"
                                 << "K あ";
    QTest::newRow("char cells") << int(core::kPageChar) << "_cr _lf" << false << "1 / 3 件"
                                << "_cr _lf";
    QTest::newRow("hex across cells") << int(core::kPageHex) << "0d 0a" << false << "1 / 3 件"
                                      << "0D   0A";
    QTest::newRow("hex any byte") << int(core::kPageHex) << "6B ?? 32" << false << "1 / 1 件"
                                  << "6B   20   32";
    QTest::newRow("dec across cells") << int(core::kPageDec) << "13 10" << false << "1 / 3 件"
                                      << "13   10";
    QTest::newRow("not a byte") << int(core::kPageHex) << "0D ZZ" << false << "0 / 0 件"
                                << "";
}

void TestFind::findsOnEveryPage()
{
    QFETCH(int, page);
    QFETCH(QString, query);
    QFETCH(bool, caseSensitive);
    QFETCH(QString, count);
    QFETCH(QString, selected);
    MainWindowFixture f;
    TForm1 &w = Start(f, page);
    Receive(w, QByteArray("Ok 1\r\nok 2\r\nOK \x82\xa0\r\n"));
    FindBar *bar = w.findBar();
    w.mnuFindClick();
    QCOMPARE(bar->caseBox()->isVisible(), page == core::kPageText || page == core::kPageChar);
    bar->caseBox()->setChecked(caseSensitive);
    Find(bar, query);
    QTest::keyClick(bar->edit(), Qt::Key_Return);
    QCOMPARE(bar->countText(), count);
    QCOMPARE(w.Memo(page)->selectedText(), selected);
    if (selected.isEmpty())
        QVERIFY(bar->noteText().contains(QStringLiteral("ZZ")));
}

void TestFind::stepsAroundTheEndWithANote()
{
    MainWindowFixture f;
    TForm1 &w = Start(f, core::kPageText);
    Receive(w, Numbered(0, 3, "item "));
    FindBar *bar = w.findBar();
    w.mnuFindClick();
    Find(bar, QStringLiteral("item"));
    QCOMPARE(bar->countText(), QStringLiteral("0 / 3 件"));
    PageView *view = w.Memo(core::kPageText);
    const auto selectedLine = [view] {
        int start = 0, end = 0;
        view->selection(&start, &end);
        return view->lineAtOffset(start);
    };

    struct Step {
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        const char *count;
        bool note;
    };
    const Step steps[] = {
        {Qt::Key_Return, {}, "1 / 3 件", false},
        {Qt::Key_F3, {}, "2 / 3 件", false},
        {Qt::Key_Enter, {}, "3 / 3 件", false},
        {Qt::Key_Return, {}, "1 / 3 件", true},
        {Qt::Key_Return, Qt::ShiftModifier, "3 / 3 件", true},
        {Qt::Key_F3, Qt::ShiftModifier, "2 / 3 件", false},
    };
    for (const Step &s : steps) {
        QTest::keyClick(bar->edit(), s.key, s.modifiers);
        QCOMPARE(bar->countText(), QString::fromUtf8(s.count));
        QCOMPARE(selectedLine(), QString::fromUtf8(s.count).left(1).toInt() - 1);
        QCOMPARE(view->selectedText(), QStringLiteral("item"));
        QCOMPARE(!bar->noteText().isEmpty(), s.note);
    }
    QVERIFY(bar->noteText().isEmpty());
    QTest::keyClick(bar->edit(), Qt::Key_Return, Qt::ShiftModifier);
    QTest::keyClick(bar->edit(), Qt::Key_Return, Qt::ShiftModifier);
    QCOMPARE(bar->noteText(), QStringLiteral("先頭まで検索しました。末尾から続けます"));
    Find(bar, QStringLiteral("none such"));
    QCOMPARE(bar->countText(), QStringLiteral("0 / 0 件"));
    QCOMPARE(bar->noteText(), QStringLiteral("見つかりません"));
}

void TestFind::findsInLinesThatArrive()
{
    MainWindowFixture f;
    TForm1 &w = Start(f, core::kPageText);
    Receive(w, Numbered(0, 5));
    FindBar *bar = w.findBar();
    w.mnuFindClick();
    Find(bar, QStringLiteral("ERR"));
    QCOMPARE(bar->countText(), QStringLiteral("0 / 0 件"));
    Receive(w, "ERR 1\r\nline\r\n");
    QTRY_COMPARE(bar->countText(), QStringLiteral("0 / 1 件"));
    QTest::keyClick(bar->edit(), Qt::Key_F3);
    QCOMPARE(bar->countText(), QStringLiteral("1 / 1 件"));
    QCOMPARE(w.Memo(core::kPageText)->selectedText(), QStringLiteral("ERR"));
    // The last line as it grows, without its break yet.
    platform::LoopbackPlug::Get(1)->inject("xERR");
    QTRY_COMPARE(bar->countText(), QStringLiteral("1 / 2 件"));
    // "ログクリア" empties the pages and the count.
    w.BtnClearClick();
    QTRY_COMPARE(bar->countText(), QStringLiteral("0 / 0 件"));
}

void TestFind::pageHoldsStillWhileAMatchIsShown_data()
{
    QTest::addColumn<bool>("byClose"); // else by scrolling to the end by hand
    QTest::newRow("bar closed") << true;
    QTest::newRow("scrolled to the end") << false;
}

void TestFind::pageHoldsStillWhileAMatchIsShown()
{
    QFETCH(bool, byClose);
    MainWindowFixture f;
    TForm1 &w = Start(f, core::kPageText);
    Receive(w, Numbered(0, 200));
    PageView *view = w.Memo(core::kPageText);
    QScrollBar *bar = view->verticalScrollBar();
    QTRY_VERIFY(!view->refreshPending());
    QVERIFY(bar->maximum() > 0);
    QCOMPARE(bar->value(), bar->maximum()); // following the end

    FindBar *find = w.findBar();
    w.mnuFindClick();
    Find(find, QStringLiteral("line 198"));
    QTest::keyClick(find->edit(), Qt::Key_Return);
    QCOMPARE(find->countText(), QStringLiteral("1 / 1 件"));
    const int shown = bar->value();
    QVERIFY(view->characterRect(view->lineStartOffset(198)).isValid()); // on screen

    Receive(w, Numbered(200, 260));
    QTRY_VERIFY(!view->refreshPending());
    QVERIFY(bar->maximum() >= shown + 60);
    QCOMPARE(bar->value(), shown);
    QCOMPARE(view->selectedText(), QStringLiteral("line 198"));

    if (byClose) {
        QTest::keyClick(find->edit(), Qt::Key_Escape);
        QVERIFY(!find->isVisible());
        QCOMPARE(bar->value(), bar->maximum());
    } else {
        bar->triggerAction(QAbstractSlider::SliderToMaximum);
    }
    Receive(w, Numbered(260, 280));
    QTRY_VERIFY(!view->refreshPending());
    QCOMPARE(bar->value(), bar->maximum());
    QVERIFY(view->characterRect(view->lineStartOffset(279)).isValid()); // the newest line on screen
}

void TestFind::selectionCopyAndPickUpWithTheBarOpen()
{
    MainWindowFixture f;
    TForm1 &w = Start(f, core::kPageText);
    Receive(w, Numbered(0, 3));
    FindBar *find = w.findBar();
    w.mnuFindClick();
    Find(find, QStringLiteral("line 1"));
    QTest::keyClick(find->edit(), Qt::Key_Return);
    PageView *view = w.Memo(core::kPageText);
    view->setFocus();
    QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("line 1"));
    // A selection of one's own, copied.
    view->setSelection(view->lineStartOffset(2), view->lineStartOffset(2) + 4);
    QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("[IN "));
    // The pick-up of the first row, which the bar does not cover.
    const QRect row0 = view->characterRect(2);
    QVERIFY(!row0.isEmpty());
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, row0.center());
    QCOMPARE(w.form().cmbSendMix->currentText(), QStringLiteral("[IN ]  line 0"));
    QVERIFY(find->isVisible());
}

// A byte pattern goes from HEX to DEC in the DEC page's notation; text typed for TEXT stays
// text, and switching finds anew on the page now shown.
void TestFind::tabsKeepAQueryForTextAndOneForBytes()
{
    MainWindowFixture f;
    TForm1 &w = Start(f, core::kPageHex);
    Receive(w, "AB\r\nab\r\n");
    FindBar *find = w.findBar();
    w.mnuFindClick();
    Find(find, QStringLiteral("41 42"));
    QTest::keyClick(find->edit(), Qt::Key_Return);
    QCOMPARE(find->countText(), QStringLiteral("1 / 1 件"));
    QTabWidget *tabs = w.form().PageControl1;
    tabs->setCurrentIndex(core::kPageDec);
    QCOMPARE(find->edit()->text(), QStringLiteral("65 66"));
    QTRY_COMPARE(find->countText(), QStringLiteral("0 / 1 件"));
    QCOMPARE(find->view(), w.Memo(core::kPageDec));
    QVERIFY(!w.Memo(core::kPageHex)->endHeld());
    tabs->setCurrentIndex(core::kPageText);
    QCOMPARE(find->edit()->text(), QString());
    Find(find, QStringLiteral("ab"));
    QCOMPARE(find->countText(), QStringLiteral("0 / 2 件"));
    tabs->setCurrentIndex(core::kPageChar);
    QCOMPARE(find->edit()->text(), QStringLiteral("ab"));
    QTRY_COMPARE(find->countText(), QStringLiteral("0 / 0 件")); // "  a   b " on the CHAR page
    tabs->setCurrentIndex(core::kPageHex);
    QCOMPARE(find->edit()->text(), QStringLiteral("41 42"));
    QTest::keyClick(find->edit(), Qt::Key_Return);
    QTRY_COMPARE(find->countText(), QStringLiteral("1 / 1 件"));
    QCOMPARE(w.Memo(core::kPageHex)->selectedText(), QStringLiteral("41   42"));
}

QTEST_MAIN(TestFind)
#include "tst_find.moc"
