// SPDX-License-Identifier: MIT
// The page view's text without a widget: offsets over CP932 lines checked against an independent
// decode, caret moves with the kept column, words, and caret and selection across page changes.
#include "Cp932.h"
#include "Page.h"
#include "PageText.h"

#include <QStringList>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace
{

// "あ" and "い" in CP932.
const std::string kA = "\x82\xa0";
const std::string kI = "\x82\xa2";

using Motion = PageText::Motion;

core::Page MakePage(const std::vector<std::string> &lines)
{
    core::Page page;
    for (const auto &l : lines)
        page.add(l);
    return page;
}

// The whole text as a text edit would hold it, decoded without the view's code.
QString Reference(const core::Page &page)
{
    QStringList lines;
    for (int i = 0; i < page.count(); ++i)
        lines << QString::fromStdString(platform::Cp932ToUtf8(page.line(i)));
    return lines.join(QLatin1Char('\n'));
}

std::string Std(const QString &s)
{
    return s.toStdString();
}

TEST(PageText, OffsetsMatchAnIndependentDecode)
{
    // Wide characters, an empty line, an undecodable byte and a last line without ASCII.
    const core::Page page = MakePage({"ab", kA + kI + "x", "", "\x80z", kA});
    const QString ref = Reference(page);
    const int count = static_cast<int>(ref.size());
    ASSERT_EQ(count, 12);

    // Filled from the front and from the back: the cache must not depend on the order of asking.
    PageText forward;
    forward.setPage(&page);
    PageText backward;
    backward.setPage(&page);
    std::vector<int> offsets;
    for (int o = -2; o <= count + 2; ++o)
        offsets.push_back(o);
    for (PageText *t : {&forward, &backward}) {
        if (t == &backward)
            std::reverse(offsets.begin(), offsets.end());
        EXPECT_EQ(t->characterCount(), count);
        EXPECT_EQ(Std(t->text(0, count)), Std(ref));
        for (const int o : offsets) {
            SCOPED_TRACE(o);
            const int clamped = std::clamp(o, 0, count);
            const qsizetype lastBreak = clamped == 0 ? -1 : ref.lastIndexOf(QLatin1Char('\n'), clamped - 1);
            const PageText::Pos p = t->posAt(o);
            EXPECT_EQ(p.line, static_cast<int>(ref.left(clamped).count(QLatin1Char('\n'))));
            EXPECT_EQ(p.ch, clamped - static_cast<int>(lastBreak + 1));
            EXPECT_EQ(t->offsetOf(p), clamped);
            EXPECT_EQ(t->lineStartOffset(p.line), static_cast<int>(lastBreak + 1));
            EXPECT_EQ(Std(t->text(o, o + 1)), Std(ref.mid(clamped, o >= 0 ? 1 : 0)));
        }
    }
}

TEST(PageText, CaretMoves)
{
    // Line starts: 0, 7, 10, 19, 23, 24; 29 characters.
    const core::Page page = MakePage({"abcdef", "ab", "abcdefgh", kA + kI + kA, "", "ab cd"});
    struct Row {
        const char *name;
        int start;
        std::vector<Motion> moves;
        int caret;
        bool extend = false;
        int pageRows = 2;
    };
    const std::vector<Row> rows = {
        {"down over a shorter line keeps the column", 5, {Motion::NextLine, Motion::NextLine}, 15},
        {"down stops at the shorter line's end", 5, {Motion::NextLine}, 9},
        {"down and up come back", 5, {Motion::NextLine, Motion::PrevLine}, 5},
        {"a sideways move forgets the column", 5, {Motion::NextLine, Motion::PrevChar, Motion::NextLine}, 11},
        {"the column survives a wide and an empty line",
         13,
         {Motion::NextLine, Motion::NextLine, Motion::NextLine},
         27},
        {"the second column of a wide character is the character", 13, {Motion::NextLine}, 20},
        {"down at the last line", 27, {Motion::NextLine}, 27},
        {"up at the first line", 3, {Motion::PrevLine}, 3},
        {"page down by the rows given", 5, {Motion::NextPage}, 15},
        {"page down onto an empty line", 5, {Motion::NextPage, Motion::NextPage}, 23},
        {"page up stops at the first line", 29, {Motion::PrevPage}, 5, false, 10},
        {"home", 13, {Motion::LineStart}, 10},
        {"end", 13, {Motion::LineEnd}, 18},
        {"right over a line break", 6, {Motion::NextChar}, 7},
        {"left over a line break", 7, {Motion::PrevChar}, 6},
        {"left at the text start", 0, {Motion::PrevChar}, 0},
        {"right at the text end", 29, {Motion::NextChar}, 29},
        {"text end", 1, {Motion::DocEnd}, 29},
        {"text start", 20, {Motion::DocStart}, 0},
        {"next word start", 24, {Motion::NextWord}, 27},
        {"next word to the line end", 27, {Motion::NextWord}, 29},
        {"next word over a line break", 18, {Motion::NextWord}, 19},
        {"previous word start", 29, {Motion::PrevWord}, 27},
        {"previous word over a line break", 24, {Motion::PrevWord}, 23},
        {"shift+down selects", 5, {Motion::NextLine}, 9, true},
        {"shift+end then shift+down twice keeps the anchor",
         2,
         {Motion::LineEnd, Motion::NextLine, Motion::NextLine},
         16,
         true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        PageText t;
        t.setPage(&page);
        t.setCaretOffset(row.start);
        for (const Motion m : row.moves)
            t.move(m, row.extend, row.pageRows);
        EXPECT_EQ(t.caretOffset(), row.caret);
        int start = -1;
        int end = -1;
        t.selection(&start, &end);
        EXPECT_EQ(start, row.extend ? std::min(row.start, row.caret) : row.caret);
        EXPECT_EQ(end, row.extend ? std::max(row.start, row.caret) : row.caret);
    }
}

TEST(PageText, SelectionFollowsPageChanges)
{
    struct Row {
        const char *name;
        std::function<void(core::Page &, PageText &)> change;
        int anchor;
        int caret;
    };
    // Anchor at "abc|def", caret at "あいm|n" on the last line.
    const std::vector<Row> rows = {
        {"appended", [](core::Page &p, PageText &) { p.add("xyz"); }, 3, 17},
        {"last line shortened", [](core::Page &p, PageText &) { p.replaceLast(kA); }, 3, 15},
        {"last line taken", [](core::Page &p, PageText &) { p.takeLast(); }, 3, 14},
        {"last line removed", [](core::Page &p, PageText &) { p.remove(2); }, 3, 10},
        {"first line shortened", [](core::Page &p, PageText &) { p.replace(0, "a"); }, 1, 12},
        {"first line removed", [](core::Page &p, PageText &) { p.remove(0); }, 3, 10},
        {"cleared", [](core::Page &p, PageText &) { p.clear(); }, 0, 0},
        {"cleared and refilled",
         [](core::Page &p, PageText &) {
             p.clear();
             p.add("q");
         },
         1, 1},
        {"page taken away", [](core::Page &, PageText &t) { t.setPage(nullptr); }, 0, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        core::Page page = MakePage({"abcdef", "ghijkl", kA + kI + "mn"});
        PageText t;
        t.setPage(&page);
        t.setSelection(3, 17);
        ASSERT_EQ(Std(t.selectedText()), Std(QStringLiteral("def\nghijkl\nあいm")));
        row.change(page, t);
        EXPECT_EQ(t.offsetOf(t.anchor()), row.anchor);
        EXPECT_EQ(t.caretOffset(), row.caret);
        const QString ref = t.page() ? Reference(page) : QString();
        EXPECT_EQ(t.characterCount(), ref.size());
        EXPECT_EQ(Std(t.selectedText()), Std(ref.mid(row.anchor, row.caret - row.anchor)));
        // Offsets past what is left read nothing, with or without a page.
        EXPECT_EQ(Std(t.text(0, 100)), Std(ref));
    }
}

TEST(PageText, AnotherPageStartsWithoutTheKeptColumn)
{
    const core::Page first = MakePage({"abcdef", "ab"});
    const core::Page second = MakePage({"abcdef", "abcdef"});
    PageText t;
    t.setPage(&first);
    t.setCaretOffset(5);
    t.move(Motion::NextLine, false, 1);
    ASSERT_EQ(t.caretOffset(), 9);
    t.setPage(&second);
    ASSERT_EQ(t.caretOffset(), 0);
    t.move(Motion::NextLine, false, 1);
    EXPECT_EQ(t.caretOffset(), 7);
}

TEST(PageText, SelectWordAt)
{
    const core::Page page = MakePage({"[IN ]  41  42", "", kA + "x"});
    struct Row {
        const char *name;
        PageText::Pos at;
        int anchor;
        int caret;
    };
    const std::vector<Row> rows = {
        {"inside a word", {0, 8}, 7, 9},   {"at a word's start", {0, 7}, 7, 9},
        {"letters", {0, 2}, 1, 3},         {"past the line end takes the last word", {0, 60}, 11, 13},
        {"an empty line", {1, 4}, 14, 14}, {"below the last line", {9, 0}, 15, 16},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        PageText t;
        t.setPage(&page);
        t.selectWordAt(row.at);
        EXPECT_EQ(t.offsetOf(t.anchor()), row.anchor);
        EXPECT_EQ(t.caretOffset(), row.caret);
    }
}

} // namespace
