// SPDX-License-Identifier: MIT
#include "PageView.h"

#include "Page.h"
#include "PageViewLine.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFocusEvent>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScopedValueRollback>
#include <QScrollBar>
#include <QTextBoundaryFinder>

#include <algorithm>
#include <cmath>

using pageview_detail::CharAtColumn;
using pageview_detail::CharCount;
using pageview_detail::DecodedLine;
using pageview_detail::DecodeLine;
using pageview_detail::IsBlankGlyph;

PageView::PageView(QWidget *parent) : QAbstractScrollArea(parent)
{
    installAccessibility();
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled, false);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    verticalScrollBar()->setSingleStep(1);
    horizontalScrollBar()->setSingleStep(1);
    updateMetrics();
    updateScrollRanges();
}

PageView::~PageView() = default;

void PageView::setPage(const core::Page *page)
{
    m_page = page;
    m_starts.assign(1, 0);
    m_syncRevision = m_syncStructure = ~std::uint64_t{0};
    m_syncCount = 0;
    m_caret = m_anchor = Pos{};
    m_viewRevision = m_viewStructure = ~std::uint64_t{0};
    m_viewCount = 0;
    // A new page starts at the top and follows its end.
    verticalScrollBar()->setRange(0, 0);
    horizontalScrollBar()->setRange(0, 0);
    m_streamRepaint.stop();
    applyRefresh();
    viewport()->update();
}

int PageView::lineCount() const
{
    return m_page ? m_page->count() : 0;
}

void PageView::refresh()
{
    const std::uint64_t revision = m_page ? m_page->revision() : 0;
    if (revision == m_viewRevision || m_streamRepaint.isActive())
        return; // nothing new, or a refresh is already due
    // While data streams in, the view catches up at most every kStreamRepaintMs: the scroll bars
    // and the rows repainted on every 10 ms tick would cost more than everything else the window
    // does with the data.
    const qint64 since = m_sinceRefresh.isValid() ? m_sinceRefresh.elapsed() : kStreamRepaintMs;
    if (since < kStreamRepaintMs) {
        m_streamRepaint.start(static_cast<int>(kStreamRepaintMs - since), this);
        return;
    }
    applyRefresh();
}

void PageView::applyRefresh()
{
    const std::uint64_t revision = m_page ? m_page->revision() : 0;
    if (revision == m_viewRevision)
        return;
    m_sinceRefresh.start();
    // Appends and last-line replacements leave the lines before the previous last one alone:
    // when those are all that is on screen, the rows need no repaint.
    const std::uint64_t structure = m_page ? m_page->structureRevision() : 0;
    const int firstChanged = structure == m_viewStructure ? std::max(0, m_viewCount - 1) : 0;
    m_viewRevision = revision;
    m_viewStructure = structure;
    m_viewCount = lineCount();
    const QScopedValueRollback inRefresh(m_inRefresh, true);

    QScrollBar *vbar = verticalScrollBar();
    const int top = vbar->value();
    const bool atEnd = top >= vbar->maximum();
    const int left = horizontalScrollBar()->value();
    updateScrollRanges();
    if (atEnd)
        vbar->setValue(vbar->maximum());
    if (vbar->value() != top || horizontalScrollBar()->value() != left || firstChanged <= top + visibleRows())
        viewport()->update();
}

void PageView::syncModel() const
{
    if (!m_page) {
        m_starts.assign(1, 0);
        m_caret = m_anchor = Pos{};
        return;
    }
    if (m_page->revision() == m_syncRevision)
        return;
    if (m_page->structureRevision() != m_syncStructure) {
        m_starts.assign(1, 0);
    } else {
        // Only the previous last line can have changed since the last look, and lines came after it.
        const std::size_t keep = static_cast<std::size_t>(std::max(0, m_syncCount - 1)) + 1;
        if (m_starts.size() > keep)
            m_starts.resize(keep);
    }
    m_syncRevision = m_page->revision();
    m_syncStructure = m_page->structureRevision();
    m_syncCount = m_page->count();
    m_caret = clampPos(m_caret);
    m_anchor = clampPos(m_anchor);
}

int PageView::lineChars(int line) const
{
    return m_page && line >= 0 && line < m_page->count() ? CharCount(m_page->line(line)) : 0;
}

int PageView::lineStart(int line) const
{
    line = std::clamp(line, 0, lineCount());
    while (static_cast<int>(m_starts.size()) <= line) {
        const int known = static_cast<int>(m_starts.size()) - 1;
        m_starts.push_back(m_starts.back() + lineChars(known) + 1);
    }
    return m_starts[static_cast<std::size_t>(line)];
}

PageView::Pos PageView::clampPos(Pos p) const
{
    const int n = lineCount();
    if (n == 0)
        return {};
    p.line = std::clamp(p.line, 0, n - 1);
    // Every character takes at most two bytes, so a position in the first half needs no decoding.
    const int bytes = static_cast<int>(m_page->line(p.line).size());
    if (p.ch < 0)
        p.ch = 0;
    else if (p.ch > bytes / 2)
        p.ch = std::min(p.ch, lineChars(p.line));
    return p;
}

PageView::Pos PageView::posAt(int offset) const
{
    const int n = lineCount();
    if (n == 0 || offset <= 0)
        return {};
    while (static_cast<int>(m_starts.size()) <= n && m_starts.back() <= offset)
        lineStart(static_cast<int>(m_starts.size()));
    const auto it = std::upper_bound(m_starts.begin(), m_starts.end(), offset);
    const int line = static_cast<int>(it - m_starts.begin()) - 1;
    if (line >= n)
        return {n - 1, lineChars(n - 1)};
    return {line, std::min(offset - m_starts[static_cast<std::size_t>(line)], lineChars(line))};
}

int PageView::offsetOf(Pos p) const
{
    return lineStart(p.line) + p.ch;
}

int PageView::caretOffset() const
{
    syncModel();
    return offsetOf(m_caret);
}

void PageView::setCaretOffset(int offset)
{
    syncModel();
    m_caret = m_anchor = posAt(offset);
    m_preferredColumn = -1;
    positionsChanged();
}

int PageView::lineAtOffset(int offset) const
{
    syncModel();
    return posAt(offset).line;
}

int PageView::lineStartOffset(int line) const
{
    syncModel();
    return lineStart(std::clamp(line, 0, std::max(0, lineCount() - 1)));
}

int PageView::characterCount() const
{
    syncModel();
    const int n = lineCount();
    return n == 0 ? 0 : lineStart(n) - 1;
}

QString PageView::text(int start, int end) const
{
    syncModel();
    if (end <= start)
        return {};
    const Pos a = posAt(start);
    const Pos b = posAt(end);
    QString out;
    for (int line = a.line; line <= b.line; ++line) {
        const DecodedLine d = DecodeLine(m_page->line(line));
        const int from = line == a.line ? a.ch : 0;
        const int to = line == b.line ? b.ch : d.total;
        out += QStringView(d.text).mid(from, to - from);
        if (line != b.line)
            out += QLatin1Char('\n');
    }
    return out;
}

bool PageView::hasSelection() const
{
    syncModel();
    return m_caret != m_anchor;
}

void PageView::selection(int *start, int *end) const
{
    syncModel();
    const int a = offsetOf(std::min(m_caret, m_anchor));
    const int b = offsetOf(std::max(m_caret, m_anchor));
    if (start)
        *start = a;
    if (end)
        *end = b;
}

QString PageView::selectedText() const
{
    int start = 0;
    int end = 0;
    selection(&start, &end);
    return text(start, end);
}

void PageView::setSelection(int start, int end, bool scroll)
{
    syncModel();
    m_anchor = posAt(start);
    m_caret = posAt(end);
    m_preferredColumn = -1;
    if (scroll)
        ensureVisible(m_caret);
    positionsChanged();
}

void PageView::selectAll()
{
    syncModel();
    const int n = lineCount();
    m_anchor = {};
    m_caret = n == 0 ? Pos{} : Pos{n - 1, lineChars(n - 1)};
    positionsChanged();
}

void PageView::copy() const
{
    if (!hasSelection())
        return;
    if (QClipboard *clipboard = QGuiApplication::clipboard())
        clipboard->setText(selectedText());
}

// --- geometry --------------------------------------------------------------------------------

void PageView::updateMetrics()
{
    const QFontMetricsF fm(font());
    const QFontMetrics fmi(font());
    Metrics m;
    m.colWidth = std::max<qreal>(1.0, fm.horizontalAdvance(QLatin1Char('0')));
    m.rowHeight = std::max(1, fmi.lineSpacing());
    m.ascent = fmi.ascent();
    for (const char c : {'i', 'W', '.', '@', ' '})
        m.fixedPitch = m.fixedPitch && std::abs(fm.horizontalAdvance(QLatin1Char(c)) - m.colWidth) < 0.01;
    m.wideFits = std::abs(fm.horizontalAdvance(QChar(0x3042)) - 2 * m.colWidth) < 0.01;
    m_metrics = m;
}

int PageView::visibleRows() const
{
    return std::max(1, viewport()->height() / m_metrics.rowHeight);
}

int PageView::visibleColumns() const
{
    return std::max(1, static_cast<int>(viewport()->width() / m_metrics.colWidth));
}

void PageView::updateScrollRanges()
{
    const int rows = visibleRows();
    QScrollBar *vbar = verticalScrollBar();
    vbar->setPageStep(rows);
    vbar->setRange(0, std::max(0, lineCount() - rows));
    const int cols = visibleColumns();
    QScrollBar *hbar = horizontalScrollBar();
    hbar->setPageStep(cols);
    // One column more than the longest line, so that a caret at its end can be shown.
    hbar->setRange(0, std::max(0, (m_page ? m_page->maxLineLength() : 0) + 1 - cols));
}

void PageView::resizeEvent(QResizeEvent *event)
{
    QScrollBar *vbar = verticalScrollBar();
    const bool atEnd = vbar->value() >= vbar->maximum();
    QAbstractScrollArea::resizeEvent(event);
    updateScrollRanges();
    if (atEnd)
        vbar->setValue(vbar->maximum());
}

// refresh() schedules its own repaint after following the end.
void PageView::scrollContentsBy(int, int)
{
    if (!m_inRefresh)
        viewport()->update();
}

void PageView::changeEvent(QEvent *event)
{
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        updateMetrics();
        updateScrollRanges();
        viewport()->update();
    } else if (event->type() == QEvent::PaletteChange || event->type() == QEvent::EnabledChange) {
        viewport()->update();
    }
}

QRect PageView::characterRect(int offset) const
{
    syncModel();
    const Pos p = posAt(offset);
    const int top = verticalScrollBar()->value();
    const int row = p.line - top;
    if (lineCount() == 0 || row < 0 || row * m_metrics.rowHeight >= viewport()->height())
        return {};
    const DecodedLine d = DecodeLine(m_page->line(p.line));
    const qreal cw = m_metrics.colWidth;
    const qreal x = (d.col(p.ch) - horizontalScrollBar()->value()) * cw;
    const int cols = p.ch < d.total ? std::max(1, d.width(p.ch)) : 1; // the line break counts as one
    return QRectF(x, row * m_metrics.rowHeight, cols * cw, m_metrics.rowHeight).toAlignedRect();
}

PageView::Pos PageView::posAtPoint(const QPoint &pos, bool *onRow) const
{
    const int n = lineCount();
    const int row = static_cast<int>(std::floor(static_cast<qreal>(pos.y()) / m_metrics.rowHeight));
    const int line = verticalScrollBar()->value() + row;
    if (onRow)
        *onRow = n > 0 && pos.y() >= 0 && pos.y() < viewport()->height() && line >= 0 && line < n;
    if (n == 0)
        return {};
    Pos p{std::clamp(line, 0, n - 1), 0};
    const DecodedLine d = DecodeLine(m_page->line(p.line));
    const qreal col = pos.x() / m_metrics.colWidth + horizontalScrollBar()->value();
    // The character boundary nearest to the point.
    int ch = CharAtColumn(d, static_cast<int>(std::floor(std::max<qreal>(0, col))));
    if (ch < d.total && col - d.col(ch) > d.width(ch) / 2.0)
        ++ch;
    while (!d.ascii && ch > 0 && ch < d.total && d.at(ch).isLowSurrogate())
        --ch;
    p.ch = ch;
    return p;
}

int PageView::offsetAt(const QPoint &viewportPos) const
{
    syncModel();
    bool onRow = false;
    const Pos p = posAtPoint(viewportPos, &onRow);
    return onRow ? offsetOf(p) : -1;
}

void PageView::ensureVisible(Pos p)
{
    QScrollBar *vbar = verticalScrollBar();
    const int rows = visibleRows();
    if (p.line < vbar->value())
        vbar->setValue(p.line);
    else if (p.line >= vbar->value() + rows)
        vbar->setValue(p.line - rows + 1);
    if (lineCount() == 0)
        return;
    const int col = DecodeLine(m_page->line(p.line)).col(p.ch);
    QScrollBar *hbar = horizontalScrollBar();
    const int cols = visibleColumns();
    if (col < hbar->value())
        hbar->setValue(col);
    else if (col >= hbar->value() + cols)
        hbar->setValue(col - cols + 1);
}

void PageView::scrollToOffset(int offset)
{
    syncModel();
    ensureVisible(posAt(offset));
}

QRect PageView::caretRect() const
{
    const int row = m_caret.line - verticalScrollBar()->value();
    if (row < 0 || row * m_metrics.rowHeight >= viewport()->height())
        return {};
    const int col = lineCount() == 0 ? 0 : DecodeLine(m_page->line(m_caret.line)).col(m_caret.ch);
    const int x = static_cast<int>(std::lround((col - horizontalScrollBar()->value()) * m_metrics.colWidth));
    return {x - 1, row * m_metrics.rowHeight, 3, m_metrics.rowHeight};
}

// --- painting --------------------------------------------------------------------------------

namespace
{

// Draws characters [from, to) of one row, in runs that a single drawText can place on their
// columns: a fixed-pitch font keeps narrow runs aligned, and full-width runs when their glyphs are
// exactly two columns wide. Control characters take their column but draw nothing.
void DrawChars(QPainter &p, const DecodedLine &d, int from, int to, qreal x0, qreal cw, int baseline,
               bool fixedPitch, bool wideFits)
{
    int ch = from;
    while (ch < to) {
        if (IsBlankGlyph(d.at(ch))) {
            ++ch;
            continue;
        }
        const bool wide = d.width(ch) >= 2;
        int end = ch + 1;
        if (fixedPitch && (!wide || wideFits)) {
            while (end < to && !IsBlankGlyph(d.at(end)) && (d.width(end) >= 2) == wide &&
                   !d.at(end).isLowSurrogate())
                ++end;
        }
        while (end < to && d.at(end).isLowSurrogate())
            ++end;
        p.drawText(QPointF(x0 + d.col(ch) * cw, baseline), d.text.mid(ch - d.first, end - ch));
        ch = end;
    }
}

} // namespace

void PageView::paintEvent(QPaintEvent *event)
{
    syncModel();
    QPainter p(viewport());
    const QPalette &pal = palette();
    // The viewport fills its own background (Base), once per paint.
    m_lastPaintDecoded = 0;
    const int n = lineCount();
    if (n == 0) {
        if (hasFocus() && m_caretOn)
            p.fillRect(caretRect().adjusted(1, 0, -1, 0), pal.brush(QPalette::Text));
        return;
    }
    p.setFont(font());
    const Metrics &m = m_metrics;
    const int top = verticalScrollBar()->value();
    const int hval = horizontalScrollBar()->value();
    const qreal x0 = -hval * m.colWidth;
    const int firstLine = top + std::max(0, event->rect().top()) / m.rowHeight;
    const int lastLine = std::min(n - 1, top + event->rect().bottom() / m.rowHeight);
    const int colEnd = hval + visibleColumns() + 2;
    const Pos selA = std::min(m_caret, m_anchor);
    const Pos selB = std::max(m_caret, m_anchor);
    const bool hasSel = selA != selB;
    const QColor text = pal.color(QPalette::Text);
    const QColor highlighted = pal.color(QPalette::HighlightedText);

    for (int line = firstLine; line <= lastLine; ++line) {
        const DecodedLine d = DecodeLine(m_page->line(line), std::max(0, hval - 1), colEnd);
        ++m_lastPaintDecoded;
        const int y = (line - top) * m.rowHeight;
        const int baseline = y + m.ascent;
        const int visFrom = d.ascii ? d.first : CharAtColumn(d, hval);
        const int visTo = d.ascii ? d.windowEnd() : std::min(d.total, CharAtColumn(d, colEnd) + 1);

        int selFrom = visFrom;
        int selTo = visFrom; // empty: nothing selected on this row
        if (hasSel && line >= selA.line && line <= selB.line) {
            const int a = line == selA.line ? selA.ch : 0;
            const int b = line == selB.line ? selB.ch : d.total;
            // A selected line break shows as one selected column after the text.
            const int breakCols = line < selB.line ? 1 : 0;
            const qreal xa = x0 + d.col(a) * m.colWidth;
            const qreal xb = x0 + (d.col(b) + breakCols) * m.colWidth;
            if (xb > xa)
                p.fillRect(QRectF(xa, y, xb - xa, m.rowHeight), pal.brush(QPalette::Highlight));
            selFrom = std::clamp(a, visFrom, visTo);
            selTo = std::clamp(b, visFrom, visTo);
        }
        p.setPen(text);
        DrawChars(p, d, visFrom, selFrom, x0, m.colWidth, baseline, m.fixedPitch, m.wideFits);
        DrawChars(p, d, selTo, visTo, x0, m.colWidth, baseline, m.fixedPitch, m.wideFits);
        if (selTo > selFrom) {
            p.setPen(highlighted);
            DrawChars(p, d, selFrom, selTo, x0, m.colWidth, baseline, m.fixedPitch, m.wideFits);
        }
        if (line == m_caret.line && hasFocus() && m_caretOn) {
            const qreal x = x0 + d.col(m_caret.ch) * m.colWidth;
            p.fillRect(QRectF(std::round(x), y, 1, m.rowHeight), text);
        }
    }
}

// --- input -----------------------------------------------------------------------------------

void PageView::positionsChanged()
{
    restartBlink();
    viewport()->update();
    if (QAccessible::isActive()) {
        QAccessibleTextCursorEvent cursor(this, offsetOf(m_caret));
        QAccessible::updateAccessibility(&cursor);
        if (m_caret != m_anchor) {
            QAccessibleTextSelectionEvent sel(this, offsetOf(std::min(m_caret, m_anchor)),
                                              offsetOf(std::max(m_caret, m_anchor)));
            QAccessible::updateAccessibility(&sel);
        }
    }
}

void PageView::moveCaret(Pos p, bool extend)
{
    m_caret = p;
    if (!extend)
        m_anchor = p;
    ensureVisible(p);
    positionsChanged();
}

void PageView::keyPressEvent(QKeyEvent *event)
{
    syncModel();
    if (event->matches(QKeySequence::Copy)) {
        copy();
        return;
    }
    if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
        return;
    }
    enum Motion {
        NextChar,
        PrevChar,
        NextWord,
        PrevWord,
        NextLine,
        PrevLine,
        NextPage,
        PrevPage,
        LineStart,
        LineEnd,
        DocStart,
        DocEnd
    };
    struct Binding {
        QKeySequence::StandardKey move;
        QKeySequence::StandardKey select;
        Motion motion;
    };
    static constexpr Binding kBindings[] = {
        {QKeySequence::MoveToNextChar, QKeySequence::SelectNextChar, NextChar},
        {QKeySequence::MoveToPreviousChar, QKeySequence::SelectPreviousChar, PrevChar},
        {QKeySequence::MoveToNextWord, QKeySequence::SelectNextWord, NextWord},
        {QKeySequence::MoveToPreviousWord, QKeySequence::SelectPreviousWord, PrevWord},
        {QKeySequence::MoveToNextLine, QKeySequence::SelectNextLine, NextLine},
        {QKeySequence::MoveToPreviousLine, QKeySequence::SelectPreviousLine, PrevLine},
        {QKeySequence::MoveToNextPage, QKeySequence::SelectNextPage, NextPage},
        {QKeySequence::MoveToPreviousPage, QKeySequence::SelectPreviousPage, PrevPage},
        {QKeySequence::MoveToStartOfLine, QKeySequence::SelectStartOfLine, LineStart},
        {QKeySequence::MoveToEndOfLine, QKeySequence::SelectEndOfLine, LineEnd},
        {QKeySequence::MoveToStartOfDocument, QKeySequence::SelectStartOfDocument, DocStart},
        {QKeySequence::MoveToEndOfDocument, QKeySequence::SelectEndOfDocument, DocEnd},
    };
    const Binding *hit = nullptr;
    bool extend = false;
    for (const Binding &b : kBindings) {
        if (event->matches(b.move) || event->matches(b.select)) {
            hit = &b;
            extend = event->matches(b.select);
            break;
        }
    }
    if (!hit) {
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    const int n = lineCount();
    Pos p = m_caret;
    const auto lineEnd = [this](int line) { return lineChars(line); };
    const bool vertical = hit->motion == NextLine || hit->motion == PrevLine || hit->motion == NextPage ||
                          hit->motion == PrevPage;
    if (vertical && m_preferredColumn < 0 && n > 0)
        m_preferredColumn = DecodeLine(m_page->line(p.line)).col(p.ch);
    if (!vertical)
        m_preferredColumn = -1;
    const auto toLine = [&](int line) {
        line = std::clamp(line, 0, std::max(0, n - 1));
        if (n == 0)
            return Pos{};
        const DecodedLine d = DecodeLine(m_page->line(line));
        int ch = CharAtColumn(d, m_preferredColumn);
        if (ch < d.total && d.col(ch) < m_preferredColumn && d.width(ch) > 1 &&
            m_preferredColumn - d.col(ch) > d.width(ch) / 2)
            ++ch;
        return Pos{line, ch};
    };
    const auto wordStep = [&](bool forward) {
        if (n == 0)
            return Pos{};
        if (forward && p.ch >= lineEnd(p.line))
            return p.line + 1 < n ? Pos{p.line + 1, 0} : p;
        if (!forward && p.ch == 0)
            return p.line > 0 ? Pos{p.line - 1, lineEnd(p.line - 1)} : p;
        const DecodedLine d = DecodeLine(m_page->line(p.line));
        QTextBoundaryFinder finder(QTextBoundaryFinder::Word, d.text);
        finder.setPosition(p.ch);
        // Stop at word starts going forward, like a text edit does.
        for (;;) {
            const qsizetype next = forward ? finder.toNextBoundary() : finder.toPreviousBoundary();
            if (next < 0)
                return Pos{p.line, forward ? d.total : 0};
            if (next == 0 || next == d.total || (finder.boundaryReasons() & QTextBoundaryFinder::StartOfItem))
                return Pos{p.line, static_cast<int>(next)};
        }
    };
    switch (hit->motion) {
    case NextChar:
        if (n > 0 && p.ch < lineEnd(p.line))
            ++p.ch;
        else if (p.line + 1 < n)
            p = {p.line + 1, 0};
        break;
    case PrevChar:
        if (p.ch > 0)
            --p.ch;
        else if (p.line > 0)
            p = {p.line - 1, lineEnd(p.line - 1)};
        break;
    case NextWord:
        p = wordStep(true);
        break;
    case PrevWord:
        p = wordStep(false);
        break;
    case NextLine:
        p = toLine(p.line + 1);
        break;
    case PrevLine:
        p = toLine(p.line - 1);
        break;
    case NextPage:
    case PrevPage: {
        const int step = hit->motion == NextPage ? visibleRows() : -visibleRows();
        verticalScrollBar()->setValue(verticalScrollBar()->value() + step);
        p = toLine(p.line + step);
        break;
    }
    case LineStart:
        p.ch = 0;
        break;
    case LineEnd:
        p.ch = lineEnd(p.line);
        break;
    case DocStart:
        p = {};
        break;
    case DocEnd:
        p = n == 0 ? Pos{} : Pos{n - 1, lineEnd(n - 1)};
        break;
    }
    moveCaret(p, extend);
}

void PageView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    syncModel();
    m_preferredColumn = -1;
    m_dragging = true;
    moveCaret(posAtPoint(event->position().toPoint()), event->modifiers().testFlag(Qt::ShiftModifier));
}

void PageView::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_dragging || !(event->buttons() & Qt::LeftButton))
        return;
    syncModel();
    // A point above or below the rows names the line beyond the edge, which scrolls it into view.
    moveCaret(posAtPoint(event->position().toPoint()), true);
}

void PageView::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    m_dragging = false;
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (clipboard && clipboard->supportsSelection() && hasSelection())
        clipboard->setText(selectedText(), QClipboard::Selection);
}

void PageView::selectWordAt(Pos p)
{
    const DecodedLine d = DecodeLine(m_page ? m_page->line(p.line) : std::string());
    if (d.total == 0) {
        m_caret = m_anchor = Pos{p.line, 0};
        positionsChanged();
        return;
    }
    // The character under the point: the one before the boundary when the point lies past the end.
    const int ch = std::min(p.ch, d.total - 1);
    QTextBoundaryFinder finder(QTextBoundaryFinder::Word, d.text);
    finder.setPosition(ch);
    qsizetype start = finder.isAtBoundary() ? ch : finder.toPreviousBoundary();
    finder.setPosition(ch);
    qsizetype end = finder.toNextBoundary();
    if (start < 0)
        start = 0;
    if (end < 0)
        end = d.total;
    m_anchor = {p.line, static_cast<int>(start)};
    m_caret = {p.line, static_cast<int>(end)};
    positionsChanged();
}

void PageView::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mouseDoubleClickEvent(event);
        return;
    }
    syncModel();
    m_dragging = false;
    m_preferredColumn = -1;
    // The character under the mouse, not the nearest boundary, decides the word.
    const QPoint pos = event->position().toPoint();
    Pos p = posAtPoint(pos);
    if (lineCount() > 0) {
        const DecodedLine d = DecodeLine(m_page->line(p.line));
        const qreal col = pos.x() / m_metrics.colWidth + horizontalScrollBar()->value();
        p.ch = CharAtColumn(d, static_cast<int>(std::floor(std::max<qreal>(0, col))));
        if (col >= d.col(d.total))
            p.ch = d.total;
    }
    selectWordAt(p);
    emit lineDoubleClicked(p.line);
}

void PageView::contextMenuEvent(QContextMenuEvent *event)
{
    // The texts of Qt's own text controls, so that their translations apply.
    QMenu menu(this);
    QAction *copyAction = menu.addAction(QCoreApplication::translate("QWidgetTextControl", "&Copy"));
    copyAction->setEnabled(hasSelection());
    QAction *allAction = menu.addAction(QCoreApplication::translate("QWidgetTextControl", "Select All"));
    allAction->setEnabled(characterCount() > 0);
    const QAction *chosen = menu.exec(event->globalPos());
    if (chosen == copyAction)
        copy();
    else if (chosen == allAction)
        selectAll();
}

void PageView::restartBlink()
{
    m_caretOn = true;
    const int flash = QApplication::cursorFlashTime();
    if (hasFocus() && flash > 0)
        m_blink.start(flash / 2, this);
    else
        m_blink.stop();
}

void PageView::focusInEvent(QFocusEvent *event)
{
    QAbstractScrollArea::focusInEvent(event);
    restartBlink();
    viewport()->update();
    // Coming back from another window or from a menu does not enter the page anew.
    if (event->reason() != Qt::ActiveWindowFocusReason && event->reason() != Qt::PopupFocusReason)
        emit focusEntered();
}

void PageView::focusOutEvent(QFocusEvent *event)
{
    QAbstractScrollArea::focusOutEvent(event);
    m_blink.stop();
    m_dragging = false;
    viewport()->update();
}

void PageView::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_streamRepaint.timerId()) {
        m_streamRepaint.stop();
        applyRefresh();
        return;
    }
    if (event->timerId() != m_blink.timerId()) {
        QAbstractScrollArea::timerEvent(event);
        return;
    }
    m_caretOn = !m_caretOn;
    syncModel();
    viewport()->update(caretRect());
}
