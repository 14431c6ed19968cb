// SPDX-License-Identifier: MIT
// The page view offscreen: scroll ranges and following the end, painting bounded by the screen
// (and the scroll bars and pacers repainting only when and as often as needed),
// character offsets over CP932 lines (and their cache across model changes), caret keys, mouse
// selection and double-click pick-up, copy, focus, tool tips and the accessible text interface.
#include "Cp932.h"
#include "Page.h"
#include "PageView.h"
#include "RepaintPacer.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QHelpEvent>
#include <QPainter>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QToolTip>

#include <cmath>
#include <memory>

namespace
{

// "あ" and "い" in CP932.
const std::string kA = "\x82\xa0";
const std::string kI = "\x82\xa2";

// The whole text as the view must report it, decoded independently of the view.
QString Reference(const core::Page &page)
{
    QStringList lines;
    for (int i = 0; i < page.count(); ++i)
        lines << QString::fromStdString(platform::Cp932ToUtf8(page.line(i)));
    return lines.join(QLatin1Char('\n'));
}

struct Fixture {
    core::Page page;
    std::unique_ptr<PageView> view;

    explicit Fixture(const std::vector<std::string> &lines = {}, QSize size = QSize(400, 300))
    {
        for (const auto &l : lines)
            page.add(l);
        view = std::make_unique<PageView>();
        view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
        view->resize(size);
        view->setPage(&page);
        view->show();
        QVERIFY(QTest::qWaitForWindowExposed(view.get()));
    }
    ~Fixture()
    {
        if (view)
            view->setPage(nullptr);
    }

    // Refreshes as the window's tick does and waits until the view has caught up (it catches up
    // at most every few tens of milliseconds while data streams in).
    void refresh()
    {
        view->refresh();
        QTRY_VERIFY(!view->refreshPending());
    }

    int rowHeight() const { return QFontMetrics(view->font()).lineSpacing(); }
    qreal colWidth() const { return QFontMetricsF(view->font()).horizontalAdvance(QLatin1Char('0')); }
    int rows() const { return view->viewport()->height() / rowHeight(); }
    // The middle of a byte column on a screen row, in viewport coordinates.
    QPoint cell(int row, int col) const
    {
        return QPoint(static_cast<int>((col + 0.5) * colWidth()), row * rowHeight() + rowHeight() / 2);
    }
};

// Counts the paint events of the widgets it is installed on.
struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject *, QEvent *e) override
    {
        paints += e->type() == QEvent::Paint ? 1 : 0;
        return false;
    }
};

std::vector<std::string> NumberedLines(int n, const std::string &prefix = "[IN ]  line ")
{
    std::vector<std::string> lines;
    for (int i = 0; i < n; ++i)
        lines.push_back(prefix + std::to_string(i));
    return lines;
}

} // namespace

class TestPageView : public QObject
{
    Q_OBJECT

  private slots:
    void scrollRanges_data()
    {
        QTest::addColumn<int>("lines");
        QTest::addColumn<int>("length");
        QTest::newRow("empty") << 0 << 0;
        QTest::newRow("fits") << 3 << 10;
        QTest::newRow("tall") << 200 << 20;
        QTest::newRow("wide") << 5 << 500;
    }
    void scrollRanges()
    {
        QFETCH(int, lines);
        QFETCH(int, length);
        Fixture f(std::vector<std::string>(static_cast<std::size_t>(lines), std::string(length, 'x')));
        f.refresh();
        QCOMPARE(f.view->verticalScrollBar()->maximum(), std::max(0, lines - f.rows()));
        QCOMPARE(f.view->verticalScrollBar()->pageStep(), f.rows());
        const int cols = static_cast<int>(f.view->viewport()->width() / f.colWidth());
        const int maxLength = lines > 0 ? length : 0;
        QCOMPARE(f.view->horizontalScrollBar()->maximum(), std::max(0, maxLength + 1 - cols));
    }

    void fullWidthColumnsCountBytes()
    {
        // Two bytes, two columns: the horizontal range follows the bytes, not the characters.
        std::string wide;
        for (int i = 0; i < 200; ++i)
            wide += kA;
        Fixture f({wide});
        const int cols = static_cast<int>(f.view->viewport()->width() / f.colWidth());
        QCOMPARE(f.view->horizontalScrollBar()->maximum(), 400 + 1 - cols);
        QCOMPARE(f.view->characterCount(), 200);
    }

    void followsTheEndOnlyAtTheBottom()
    {
        Fixture f(NumberedLines(10));
        QScrollBar *vbar = f.view->verticalScrollBar();
        for (const auto &l : NumberedLines(50))
            f.page.add(l);
        f.refresh();
        QCOMPARE(vbar->maximum(), 60 - f.rows());
        QCOMPARE(vbar->value(), vbar->maximum());

        vbar->setValue(3); // the user scrolls up
        f.page.add("more");
        f.page.replaceLast("more, replaced");
        f.refresh();
        QCOMPARE(vbar->maximum(), 61 - f.rows());
        QCOMPARE(vbar->value(), 3);

        vbar->setValue(vbar->maximum()); // and back down: following resumes
        f.page.add("again");
        f.refresh();
        QCOMPARE(vbar->value(), vbar->maximum());
        QCOMPARE(vbar->maximum(), 62 - f.rows());

        // Another page starts at its end as well.
        core::Page other;
        for (const auto &l : NumberedLines(80))
            other.add(l);
        f.view->setPage(&other);
        QCOMPARE(vbar->value(), 80 - f.rows());
        f.view->setPage(&f.page);

        // Emptied pages (the line limit) leave the view at the top, still following.
        f.page.clear();
        f.refresh();
        QCOMPARE(vbar->maximum(), 0);
        for (const auto &l : NumberedLines(40))
            f.page.add(l);
        f.refresh();
        QCOMPARE(vbar->value(), vbar->maximum());
    }

    void refreshRepaintsWhenChangedRowsAreOnScreen_data()
    {
        QTest::addColumn<int>("lines");
        QTest::addColumn<int>("change"); // 0: append, 1: replace the last line, 2: replace line 0
        QTest::addColumn<bool>("repaint");
        QTest::newRow("append below the screen") << 100 << 0 << false;
        QTest::newRow("last line below the screen") << 100 << 1 << false;
        QTest::newRow("first line on screen") << 100 << 2 << true;
        QTest::newRow("last line on screen") << 5 << 1 << true;
        QTest::newRow("append on screen") << 5 << 0 << true;
    }
    void refreshRepaintsWhenChangedRowsAreOnScreen()
    {
        QFETCH(int, lines);
        QFETCH(int, change);
        QFETCH(bool, repaint);
        Fixture f(NumberedLines(lines));
        f.view->verticalScrollBar()->setValue(0); // scrolled away from the end
        PaintCounter counter;
        QCoreApplication::processEvents();
        f.view->viewport()->installEventFilter(&counter);
        if (change == 0)
            f.page.add("new");
        else if (change == 1)
            f.page.replaceLast("replaced");
        else
            f.page.replace(0, "replaced");
        f.refresh();
        if (repaint) {
            QTRY_VERIFY_WITH_TIMEOUT(counter.paints > 0, 2000);
        } else {
            // Longer than the view may defer a repaint while data streams in.
            QTest::qWait(150);
            QCOMPARE(counter.paints, 0);
        }
        QCOMPARE(f.view->verticalScrollBar()->value(), 0);
        f.view->viewport()->removeEventFilter(&counter);
    }

    void scrollBarsRepaintOnlyWhenTheirPictureChanges_data()
    {
        QTest::addColumn<int>("lines");
        QTest::addColumn<bool>("repaint");
        // With a thousand lines the handle has its smallest size and stays at the end.
        QTest::newRow("handle unchanged") << 1000 << false;
        QTest::newRow("handle shrinks") << 5 << true;
    }
    void scrollBarsRepaintOnlyWhenTheirPictureChanges()
    {
        QFETCH(int, lines);
        QFETCH(bool, repaint);
        Fixture f(NumberedLines(lines));
        QScrollBar *vbar = f.view->verticalScrollBar();
        PaintCounter counter;
        QTest::qWait(50);
        vbar->installEventFilter(&counter);
        f.view->horizontalScrollBar()->installEventFilter(&counter);
        // Longer than the bars' pace, in steps like a stream's ticks.
        for (int step = 0; step < 12; ++step) {
            for (const auto &l : NumberedLines(30))
                f.page.add(l);
            f.refresh();
            QTest::qWait(25);
        }
        QCOMPARE(vbar->maximum(), std::max(0, f.page.count() - f.rows()));
        QCOMPARE(vbar->value(), vbar->maximum());
        if (repaint) {
            QTRY_VERIFY_WITH_TIMEOUT(counter.paints > 0, 2000);
        } else {
            QTest::qWait(250);
            QCOMPARE(counter.paints, 0);
            vbar->setValue(0); // the person scrolls: the handle moves
            QTRY_VERIFY_WITH_TIMEOUT(counter.paints > 0, 2000);
        }
    }

    void pacersOfOneIntervalApplyTogether()
    {
        // Long enough that a busy machine cannot make the second request come after the interval.
        constexpr int kIntervalMs = 1000;
        int a = 0, b = 0;
        int bWhenTheLoopRan = -1; // the second's applies when the event loop ran after the first's
        RepaintPacer first(
            kIntervalMs,
            [&] {
                if (++a == 2)
                    QMetaObject::invokeMethod(
                        qApp, [&] { bWhenTheLoopRan = b; }, Qt::QueuedConnection);
            },
            nullptr);
        RepaintPacer second(
            kIntervalMs, [&] { ++b; }, nullptr);
        first.request(); // after a quiet spell: at once
        QCOMPARE(a, 1);
        QTest::qWait(15);
        second.request();
        QCOMPARE(b, 1);
        first.request();
        second.request();
        QVERIFY(first.pending() && second.pending());
        QCOMPARE(a + b, 2);
        // The second would be due later by itself; it comes with the first's frame, before the
        // event loop runs again.
        QTRY_COMPARE_WITH_TIMEOUT(bWhenTheLoopRan, 2, 5000);
        QVERIFY(!first.pending() && !second.pending());
    }

    void paintingDecodesOnlyTheRowsOnScreen_data()
    {
        QTest::addColumn<bool>("atEnd");
        QTest::newRow("top") << false;
        QTest::newRow("end") << true;
    }
    void paintingDecodesOnlyTheRowsOnScreen()
    {
        QFETCH(bool, atEnd);
        Fixture f(NumberedLines(5000, "[IN ]  " + kA + " "));
        f.view->verticalScrollBar()->setValue(atEnd ? f.view->verticalScrollBar()->maximum() : 0);
        const QImage image = f.view->viewport()->grab().toImage();
        const int rowsOnScreen = f.view->viewport()->height() / f.rowHeight() + 1;
        QVERIFY(f.view->lastPaintDecodedLines() > 0);
        QVERIFY2(f.view->lastPaintDecodedLines() <= rowsOnScreen,
                 qPrintable(QString::number(f.view->lastPaintDecodedLines())));
        // Something was drawn: not every pixel has the background colour.
        const QRgb background = f.view->palette().color(QPalette::Base).rgb();
        bool drawn = false;
        for (int y = 0; y < image.height() && !drawn; ++y)
            for (int x = 0; x < image.width() && !drawn; ++x)
                drawn = image.pixel(x, y) != background;
        QVERIFY(drawn);
    }

    // ASCII runs are drawn from glyphs looked up once, other runs as text: either way a row must
    // look as the font draws its text, selected or not.
    void rowsLookAsTheFontDrawsTheirText_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("selected");
        QTest::newRow("ascii") << QByteArray("[IN ]  Hello, World! 0123456789 ~{|}`@_") << false;
        QTest::newRow("ascii, selected") << QByteArray("[OUT]  AT+CSQ? \"quoted\" 'x' \\ ^") << true;
        QTest::newRow("with full-width") << QByteArray(("ab" + kA + "cd" + kI + " ef").c_str()) << false;
        QTest::newRow("half-width kana") << QByteArray("x \xb1\xb2\xb3 y") << false;
    }
    void rowsLookAsTheFontDrawsTheirText()
    {
        QFETCH(QByteArray, line);
        QFETCH(bool, selected);
        Fixture f({line.toStdString()}, QSize(500, 120));
        const QFontMetricsF fm(f.view->font());
        if (line.contains(kA.c_str()) &&
            std::abs(fm.horizontalAdvance(QChar(0x3042)) - 2 * f.colWidth()) > 0.01)
            QSKIP("this font's full-width glyphs are not two columns wide");
        if (selected)
            f.view->selectAll();
        f.view->clearFocus(); // no caret
        const QImage shown = f.view->viewport()->grab().toImage();

        // The same row drawn by the font as one string, on the same background, with the text
        // column by column as the view lays it out (every character here is narrow or exactly
        // two columns wide in a fixed-pitch font).
        QImage expected(shown.size(), shown.format());
        expected.setDevicePixelRatio(shown.devicePixelRatio());
        const QPalette &pal = f.view->palette();
        expected.fill(pal.color(QPalette::Base));
        {
            QPainter p(&expected);
            p.setFont(f.view->font());
            const QString text = QString::fromStdString(platform::Cp932ToUtf8(line.toStdString()));
            if (selected) {
                const QRectF row(0, 0, static_cast<qreal>(line.size()) * f.colWidth(), f.rowHeight());
                p.fillRect(row, pal.brush(QPalette::Highlight));
            }
            p.setPen(pal.color(selected ? QPalette::HighlightedText : QPalette::Text));
            p.drawText(QPointF(0, QFontMetrics(f.view->font()).ascent()), text);
        }
        const int rowBottom = f.rowHeight();
        int differing = 0;
        for (int y = 0; y < rowBottom; ++y)
            for (int x = 0; x < shown.width(); ++x)
                differing += shown.pixel(x, y) != expected.pixel(x, y);
        QCOMPARE(differing, 0);
    }

    void offsetsOverCp932Lines_data()
    {
        // Text: "ab\nあいx\n\n\uFFFDz": lines start at 0, 3, 7 and 8; 10 characters.
        QTest::addColumn<int>("offset");
        QTest::addColumn<int>("line");
        QTest::addColumn<int>("clamped");
        QTest::newRow("start") << 0 << 0 << 0;
        QTest::newRow("end of first line") << 2 << 0 << 2;
        QTest::newRow("second line") << 3 << 1 << 3;
        QTest::newRow("after two wide chars") << 5 << 1 << 5;
        QTest::newRow("end of second line") << 6 << 1 << 6;
        QTest::newRow("empty line") << 7 << 2 << 7;
        QTest::newRow("undecodable byte") << 8 << 3 << 8;
        QTest::newRow("text end") << 10 << 3 << 10;
        QTest::newRow("past the end") << 11 << 3 << 10;
        QTest::newRow("far past the end") << 1000 << 3 << 10;
        QTest::newRow("negative") << -5 << 0 << 0;
    }
    void offsetsOverCp932Lines()
    {
        QFETCH(int, offset);
        QFETCH(int, line);
        QFETCH(int, clamped);
        Fixture f({"ab", kA + kI + "x", "", "\x80z"});
        QCOMPARE(f.view->characterCount(), 10);
        QCOMPARE(f.view->text(0, 10), QStringLiteral("ab\nあいx\n\n\uFFFDz"));
        QCOMPARE(f.view->lineAtOffset(offset), line);
        f.view->setCaretOffset(offset);
        QCOMPARE(f.view->caretOffset(), clamped);
        QVERIFY(!f.view->hasSelection());
        QCOMPARE(f.view->lineStartOffset(line), QList<int>({0, 3, 7, 8})[line]);
    }

    void offsetCacheFollowsModelChanges()
    {
        // Every kind of change, each checked against a fresh decode of the whole page.
        Fixture f({"abc", kA + "d", "e"});
        const auto check = [&](const char *step) {
            const QString ref = Reference(f.page);
            QVERIFY2(f.view->characterCount() == ref.size(), step);
            QVERIFY2(f.view->text(0, f.view->characterCount()) == ref, step);
            int start = 0;
            for (int i = 0; i < f.page.count(); ++i) {
                QVERIFY2(f.view->lineStartOffset(i) == start, step);
                start += QString::fromStdString(platform::Cp932ToUtf8(f.page.line(i))).size() + 1;
            }
        };
        check("initial");
        f.page.replaceLast(kA + kI + kA);
        check("last line replaced");
        f.page.add("new");
        f.page.replaceLast(kI);
        f.page.add("");
        check("appended and replaced");
        f.refresh();
        f.page.replace(0, kA + kA + kA + kA);
        check("first line replaced");
        f.page.remove(1);
        check("line removed");
        f.page.clear();
        check("cleared");
        f.page.replace(0, "x" + kA);
        check("first line of an empty page");
    }

    void caretStaysWithinTheChangedText()
    {
        Fixture f({"abcdef", "ghijkl", "mnopqr"});
        f.view->setCaretOffset(17); // line 2, character 3
        f.page.remove(0);
        f.page.remove(0);
        f.page.replace(0, "mn");
        QCOMPARE(f.view->caretOffset(), 2);
        f.page.clear();
        QCOMPARE(f.view->caretOffset(), 0);
        QCOMPARE(f.view->selectedText(), QString());
    }

    void setCaretOffsetDoesNotScroll()
    {
        Fixture f(NumberedLines(100));
        QScrollBar *vbar = f.view->verticalScrollBar();
        QCOMPARE(vbar->value(), vbar->maximum());
        f.view->setCaretOffset(0);
        QCOMPARE(vbar->value(), vbar->maximum());
        QCOMPARE(f.view->caretOffset(), 0);
    }

    void keyboardMovesTheCaret_data()
    {
        // Lines: "abcd" (0..4), "あい" (5..7), "" (8), "xyz" (9..12), "あx" (13..15).
        QTest::addColumn<int>("start");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<int>("caret");
        QTest::addColumn<QString>("selected");
        const int none = Qt::NoModifier;
        const int shift = Qt::ShiftModifier;
        const int ctrl = Qt::ControlModifier;
        QTest::newRow("right over the line end") << 4 << int(Qt::Key_Right) << none << 5 << QString();
        QTest::newRow("left over the line start") << 5 << int(Qt::Key_Left) << none << 4 << QString();
        QTest::newRow("left at the text start") << 0 << int(Qt::Key_Left) << none << 0 << QString();
        QTest::newRow("down keeps the byte column") << 2 << int(Qt::Key_Down) << none << 6 << QString();
        QTest::newRow("up from a wide char") << 6 << int(Qt::Key_Up) << none << 2 << QString();
        QTest::newRow("down onto an empty line") << 7 << int(Qt::Key_Down) << none << 8 << QString();
        QTest::newRow("down at the last line") << 14 << int(Qt::Key_Down) << none << 14 << QString();
        QTest::newRow("down past a shorter line's end") << 12 << int(Qt::Key_Down) << none << 15 << QString();
        QTest::newRow("home") << 7 << int(Qt::Key_Home) << none << 5 << QString();
        QTest::newRow("end") << 5 << int(Qt::Key_End) << none << 7 << QString();
        QTest::newRow("ctrl+end") << 1 << int(Qt::Key_End) << ctrl << 15 << QString();
        QTest::newRow("ctrl+home") << 11 << int(Qt::Key_Home) << ctrl << 0 << QString();
        QTest::newRow("shift+end selects") << 5 << int(Qt::Key_End) << shift << 7 << QStringLiteral("あい");
        QTest::newRow("shift+down selects a break")
            << 3 << int(Qt::Key_Down) << shift << 6 << QStringLiteral("d\nあ");
        QTest::newRow("shift+left at a line start")
            << 9 << int(Qt::Key_Left) << shift << 8 << QStringLiteral("\n");
    }
    void keyboardMovesTheCaret()
    {
        QFETCH(int, start);
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(int, caret);
        QFETCH(QString, selected);
        Fixture f({"abcd", kA + kI, "", "xyz", kA + "x"});
        f.view->setCaretOffset(start);
        QTest::keyClick(f.view.get(), Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        QCOMPARE(f.view->caretOffset(), caret);
        QCOMPARE(f.view->selectedText(), selected);
    }

    void pageKeysScrollAndKeepTheCaretVisible()
    {
        Fixture f(NumberedLines(300));
        QScrollBar *vbar = f.view->verticalScrollBar();
        QTest::keyClick(f.view.get(), Qt::Key_Home, Qt::ControlModifier);
        QCOMPARE(vbar->value(), 0);
        QTest::keyClick(f.view.get(), Qt::Key_PageDown);
        QCOMPARE(f.view->lineAtOffset(f.view->caretOffset()), f.rows());
        QCOMPARE(vbar->value(), f.rows());
        QTest::keyClick(f.view.get(), Qt::Key_End, Qt::ControlModifier);
        QCOMPARE(f.view->lineAtOffset(f.view->caretOffset()), 299);
        QCOMPARE(vbar->value(), vbar->maximum());
        QTest::keyClick(f.view.get(), Qt::Key_PageUp);
        const int line = f.view->lineAtOffset(f.view->caretOffset());
        QCOMPARE(line, 299 - f.rows());
        QVERIFY(line >= vbar->value() && line < vbar->value() + f.rows());
    }

    void copyPutsTheSelectionOnTheClipboard_data()
    {
        QTest::addColumn<int>("start");
        QTest::addColumn<int>("end");
        QTest::addColumn<QString>("copied");
        QTest::newRow("within a line") << 1 << 3 << QStringLiteral("bc");
        QTest::newRow("over lines and wide chars") << 2 << 6 << QStringLiteral("c\nあい");
        QTest::newRow("reversed") << 6 << 2 << QStringLiteral("c\nあい");
        QTest::newRow("undecodable byte") << 6 << 9 << QStringLiteral("\n\uFFFDz");
    }
    void copyPutsTheSelectionOnTheClipboard()
    {
        QFETCH(int, start);
        QFETCH(int, end);
        QFETCH(QString, copied);
        Fixture f({"abc", kA + kI, "\x80z"});
        QGuiApplication::clipboard()->setText(QStringLiteral("before"));
        f.view->setSelection(start, end);
        QTest::keyClick(f.view.get(), Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), copied);
        QCOMPARE(f.view->caretOffset(), end);
        // The model keeps its bytes.
        QCOMPARE(f.page.line(2), std::string("\x80z"));
    }

    void copyWithoutSelectionKeepsTheClipboard()
    {
        Fixture f({"abc"});
        QGuiApplication::clipboard()->setText(QStringLiteral("before"));
        QTest::keyClick(f.view.get(), Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("before"));
        f.view->selectAll();
        QTest::keyClick(f.view.get(), Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("abc"));
    }

    void mouseDragSelects()
    {
        Fixture f({"abcdef", kA + kI + "gh", "ijk"});
        QWidget *vp = f.view->viewport();
        QTest::mousePress(vp, Qt::LeftButton, Qt::NoModifier, f.cell(0, 2));
        // The right half of い's second column: the boundary after it.
        QMouseEvent move(QEvent::MouseMove, QPointF(f.cell(1, 3)), vp->mapToGlobal(QPointF(f.cell(1, 3))),
                         Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(vp, &move);
        QTest::mouseRelease(vp, Qt::LeftButton, Qt::NoModifier, f.cell(1, 3));
        QCOMPARE(f.view->selectedText(), QStringLiteral("cdef\nあい"));
        QTest::mouseClick(vp, Qt::LeftButton, Qt::ShiftModifier, f.cell(2, 1));
        QCOMPARE(f.view->selectedText(), QStringLiteral("cdef\nあいgh\ni"));
    }

    void doubleClickPicksTheLine_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("column");
        QTest::addColumn<int>("line");
        QTest::addColumn<QString>("word");
        QTest::newRow("cell on row 2") << 2 << 8 << 2 << QStringLiteral("41");
        QTest::newRow("tag on row 0") << 0 << 2 << 0 << QStringLiteral("IN");
        QTest::newRow("past the line end") << 1 << 60 << 1 << QStringLiteral("42");
        QTest::newRow("below the last line") << 9 << 8 << 3 << QString();
        QTest::newRow("undecodable line") << 3 << 0 << 3 << QString();
    }
    void doubleClickPicksTheLine()
    {
        QFETCH(int, row);
        QFETCH(int, column);
        QFETCH(int, line);
        QFETCH(QString, word);
        Fixture f({"[IN ]  41  42", "[IN ]  41  42", "[IN ]  41  42", ""});
        f.page.replace(3, "\x80\x80");
        f.refresh();
        QSignalSpy spy(f.view.get(), &PageView::lineDoubleClicked);
        QTest::mouseDClick(f.view->viewport(), Qt::LeftButton, Qt::NoModifier, f.cell(row, column));
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toInt(), line);
        int start = 0;
        f.view->selection(&start, nullptr);
        QCOMPARE(f.view->lineAtOffset(start), line);
        QCOMPARE(f.view->lineAtOffset(f.view->caretOffset()), line);
        if (!word.isNull())
            QCOMPARE(f.view->selectedText(), word);
        QCOMPARE(f.page.line(3), std::string("\x80\x80"));
    }

    void focusInEntersThePage_data()
    {
        QTest::addColumn<int>("reason");
        QTest::addColumn<bool>("entered");
        QTest::newRow("mouse") << int(Qt::MouseFocusReason) << true;
        QTest::newRow("tab") << int(Qt::TabFocusReason) << true;
        QTest::newRow("other") << int(Qt::OtherFocusReason) << true;
        QTest::newRow("window activated") << int(Qt::ActiveWindowFocusReason) << false;
        QTest::newRow("menu closed") << int(Qt::PopupFocusReason) << false;
    }
    void focusInEntersThePage()
    {
        QFETCH(int, reason);
        QFETCH(bool, entered);
        Fixture f({"abc"});
        QSignalSpy spy(f.view.get(), &PageView::focusEntered);
        QFocusEvent in(QEvent::FocusIn, Qt::FocusReason(reason));
        QApplication::sendEvent(f.view.get(), &in);
        QCOMPARE(spy.count(), entered ? 1 : 0);
    }

    void toolTipShowsOverTheRows()
    {
        Fixture f({"abc"});
        f.view->setToolTip(QStringLiteral("ダブルクリックすると送信枠に入ります"));
        QWidget *vp = f.view->viewport();
        QHelpEvent help(QEvent::ToolTip, f.cell(0, 1), vp->mapToGlobal(f.cell(0, 1)));
        QApplication::sendEvent(vp, &help);
        QTRY_COMPARE_WITH_TIMEOUT(QToolTip::text(), QStringLiteral("ダブルクリックすると送信枠に入ります"),
                                  2000);
        QToolTip::hideText();
    }

    void accessibleTextInterface()
    {
        Fixture f({"[IN ]  41", kA + "x", "\x80", "end"});
        QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(f.view.get());
        QVERIFY(iface);
        QCOMPARE(iface->role(), QAccessible::EditableText);
        QVERIFY(iface->state().readOnly);
        QVERIFY(iface->state().multiLine);
        QAccessibleTextInterface *text = iface->textInterface();
        QVERIFY(text);
        const QString whole = QStringLiteral("[IN ]  41\nあx\n\uFFFD\nend");
        QCOMPARE(text->characterCount(), int(whole.size()));
        QCOMPARE(text->text(0, text->characterCount()), whole);
        QCOMPARE(iface->text(QAccessible::Value), whole);

        f.view->setCaretOffset(11);
        QCOMPARE(text->cursorPosition(), 11);
        text->setCursorPosition(3);
        QCOMPARE(f.view->caretOffset(), 3);
        text->setSelection(0, 10, 12);
        QCOMPARE(text->selectionCount(), 1);
        int s = -1;
        int e = -1;
        text->selection(0, &s, &e);
        QCOMPARE(s, 10);
        QCOMPARE(e, 12);
        QCOMPARE(f.view->selectedText(), QStringLiteral("あx"));
        text->removeSelection(0);
        QCOMPARE(text->selectionCount(), 0);

        // "あ": two columns wide, on screen.
        const QRect wide = text->characterRect(10);
        QVERIFY(!wide.isEmpty());
        QVERIFY(f.view->viewport()->rect().contains(
            QRect(f.view->viewport()->mapFromGlobal(wide.topLeft()), wide.size())));
        QVERIFY(qAbs(wide.width() - 2 * text->characterRect(11).width()) <= 2);
        QCOMPARE(text->offsetAtPoint(wide.topLeft() + QPoint(1, wide.height() / 2)), 10);

        QCOMPARE(text->textAtOffset(11, QAccessible::LineBoundary, &s, &e), QStringLiteral("あx\n"));
        QCOMPARE(s, 10);
        QCOMPARE(e, 13);
        QCOMPARE(text->textAfterOffset(11, QAccessible::LineBoundary, &s, &e), QStringLiteral("\uFFFD\n"));
        QCOMPARE(text->textBeforeOffset(11, QAccessible::LineBoundary, &s, &e),
                 QStringLiteral("[IN ]  41\n"));
        QCOMPARE(text->textAtOffset(16, QAccessible::LineBoundary, &s, &e), QStringLiteral("end"));
        QCOMPARE(text->textAfterOffset(16, QAccessible::LineBoundary, &s, &e), QString());
        QCOMPARE(text->textAtOffset(10, QAccessible::CharBoundary, &s, &e), QStringLiteral("あ"));
        QCOMPARE(text->textAtOffset(7, QAccessible::WordBoundary, &s, &e), QStringLiteral("41"));
    }

    void accessibleRectsOffScreenAndHidden()
    {
        // A view that was never shown (a hidden tab) still reads its page.
        core::Page page;
        for (const auto &l : NumberedLines(500))
            page.add(l);
        PageView hidden;
        hidden.setPage(&page);
        QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(&hidden);
        QVERIFY(iface && iface->textInterface());
        QCOMPARE(iface->textInterface()->text(0, iface->textInterface()->characterCount()), Reference(page));
        hidden.setPage(nullptr);

        Fixture f(NumberedLines(500));
        QAccessibleTextInterface *text = QAccessible::queryAccessibleInterface(f.view.get())->textInterface();
        QVERIFY(text->characterRect(0).isEmpty()); // scrolled away: the view follows the end
        QVERIFY(!text->characterRect(f.view->lineStartOffset(499)).isEmpty());
        text->scrollToSubstring(0, 3);
        QCOMPARE(f.view->verticalScrollBar()->value(), 0);
        QVERIFY(!text->characterRect(0).isEmpty());
    }
};

QTEST_MAIN(TestPageView)
#include "tst_pageview.moc"
