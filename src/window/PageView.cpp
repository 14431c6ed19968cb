// SPDX-License-Identifier: MIT
#include "PageView.h"

#include "Page.h"
#include "PageViewLine.h"
#include "TimeText.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFocusEvent>
#include <QFontMetricsF>
#include <QGlyphRun>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScopedValueRollback>
#include <QScrollBar>

#include <algorithm>
#include <cmath>
#include <utility>

using pageview_detail::AsciiGlyphs;
using pageview_detail::CharAtColumn;
using pageview_detail::DecodedLine;
using pageview_detail::DecodeLine;
using pageview_detail::IsBlankGlyph;

PageView::PageView(QWidget *parent)
    : QAbstractScrollArea(parent), m_streamRepaint(new RepaintPacer(
                                       RepaintPacer::kStreamMs, [this] { applyRefresh(); }, this)),
      m_vbar(new PacedScrollBar(Qt::Vertical, this)), m_hbar(new PacedScrollBar(Qt::Horizontal, this))
{
    setVerticalScrollBar(m_vbar);
    setHorizontalScrollBar(m_hbar);
    // The scroll area lays its children out again after every change of a bar's range, to show
    // or hide bars shown as needed. These are always shown, and that layout would repaint both
    // bars and their frames on every tick while lines stream in.
    for (QScrollBar *bar : {verticalScrollBar(), horizontalScrollBar()})
        disconnect(bar, SIGNAL(rangeChanged(int, int)), this, nullptr);
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
    // The bar moved by hand (its arrows, a drag, the wheel) to the end lets go of a hold.
    connect(m_vbar, &QAbstractSlider::actionTriggered, this, [this] {
        if (m_holdEnd && m_vbar->sliderPosition() >= m_vbar->maximum())
            m_holdEnd = m_resumeEnd = false;
    });
    updateMetrics();
    updateScrollRanges();
}

PageView::~PageView() = default;

void PageView::setPage(const core::Page *page)
{
    m_text.setPage(page);
    m_viewRevision = m_viewStructure = ~std::uint64_t{0};
    m_viewCount = 0;
    // A new page starts at the top and follows its end.
    verticalScrollBar()->setRange(0, 0);
    horizontalScrollBar()->setRange(0, 0);
    m_streamRepaint->cancel();
    m_vbar->flush();
    m_hbar->flush();
    applyRefresh();
    viewport()->update();
}

void PageView::refresh()
{
    const core::Page *page = m_text.page();
    const std::uint64_t revision = page ? page->revision() : 0;
    if (revision != m_viewRevision)
        m_streamRepaint->request();
}

void PageView::applyRefresh()
{
    const core::Page *page = m_text.page();
    const std::uint64_t revision = page ? page->revision() : 0;
    const bool marks = std::exchange(m_marksChanged, false);
    if (revision == m_viewRevision) {
        if (marks)
            viewport()->update();
        return;
    }
    // Appends and last-line replacements leave the lines before the previous last one alone:
    // when those are all that is on screen, the rows need no repaint.
    const std::uint64_t structure = page ? page->structureRevision() : 0;
    const int firstChanged = structure == m_viewStructure ? std::max(0, m_viewCount - 1) : 0;
    m_viewRevision = revision;
    m_viewStructure = structure;
    m_viewCount = m_text.lineCount();
    const QScopedValueRollback inRefresh(m_inRefresh, true);

    QScrollBar *vbar = verticalScrollBar();
    QScrollBar *hbar = horizontalScrollBar();
    const int top = vbar->value();
    const bool atEnd = !m_holdEnd && top >= vbar->maximum();
    const int left = hbar->value();
    m_vbar->beginStreamChange();
    m_hbar->beginStreamChange();
    updateScrollRanges();
    if (atEnd)
        vbar->setValue(vbar->maximum());
    m_vbar->endStreamChange();
    m_hbar->endStreamChange();
    if (marks || vbar->value() != top || hbar->value() != left || firstChanged <= top + visibleRows())
        viewport()->update();
}

void PageView::setMarks(const std::vector<core::FindMatch> *marks)
{
    if (m_marks == marks)
        return;
    m_marks = marks;
    viewport()->update();
}

void PageView::marksChanged()
{
    m_marksChanged = true;
    m_streamRepaint->request();
}

void PageView::holdEnd()
{
    if (m_holdEnd)
        return;
    m_resumeEnd = verticalScrollBar()->value() >= verticalScrollBar()->maximum();
    m_holdEnd = true;
}

void PageView::releaseEnd()
{
    if (!m_holdEnd)
        return;
    m_holdEnd = false;
    if (std::exchange(m_resumeEnd, false))
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void PageView::setBottomReserve(int pixels)
{
    if (m_bottomReserve == pixels)
        return;
    m_bottomReserve = pixels;
    setViewportMargins(0, 0, 0, pixels);
}

QRect PageView::bottomReserveRect() const
{
    const QRect vp = viewport()->geometry();
    return {vp.left(), vp.bottom() + 1, vp.width(), m_bottomReserve};
}

void PageView::setShowTimes(bool on)
{
    if (m_showTimes == on)
        return;
    m_showTimes = on;
    updateScrollRanges();
    viewport()->update();
}

qreal PageView::textLeft() const
{
    return m_showTimes ? kTimeColumns * m_metrics.colWidth : 0;
}

int PageView::caretOffset() const
{
    return m_text.caretOffset();
}

void PageView::setCaretOffset(int offset)
{
    m_text.setCaretOffset(offset);
    positionsChanged();
}

int PageView::lineAtOffset(int offset) const
{
    return m_text.lineAtOffset(offset);
}

int PageView::lineStartOffset(int line) const
{
    return m_text.lineStartOffset(line);
}

int PageView::characterCount() const
{
    return m_text.characterCount();
}

QString PageView::text(int start, int end) const
{
    return m_text.text(start, end);
}

bool PageView::hasSelection() const
{
    return m_text.hasSelection();
}

void PageView::selection(int *start, int *end) const
{
    m_text.selection(start, end);
}

QString PageView::selectedText() const
{
    return m_text.selectedText();
}

void PageView::setSelection(int start, int end, bool scroll)
{
    m_text.setSelection(start, end);
    if (scroll)
        ensureVisible(m_text.caret());
    positionsChanged();
}

void PageView::selectAll()
{
    m_text.selectAll();
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

    m_ascii = {};
    QRawFont raw = QRawFont::fromFont(font());
    QString printable;
    for (char16_t u = 0x20; u < 0x7F; ++u)
        printable += QChar(u);
    const QList<quint32> glyphs = raw.glyphIndexesForString(printable);
    if (raw.isValid() && glyphs.size() == printable.size() &&
        std::none_of(glyphs.begin(), glyphs.end(), [](quint32 g) { return g == 0; })) {
        std::copy(glyphs.begin(), glyphs.end(), m_ascii.index.begin());
        m_ascii.font = raw;
    }
}

int PageView::visibleRows() const
{
    return std::max(1, viewport()->height() / m_metrics.rowHeight);
}

int PageView::visibleColumns() const
{
    return std::max(1, static_cast<int>((viewport()->width() - textLeft()) / m_metrics.colWidth));
}

void PageView::updateScrollRanges()
{
    const int rows = visibleRows();
    const int cols = visibleColumns();
    m_vbar->setPageStep(rows);
    m_vbar->setRange(0, std::max(0, m_text.lineCount() - rows));
    m_hbar->setPageStep(cols);
    // One column more than the longest line, so that a caret at its end can be shown.
    m_hbar->setRange(0, std::max(0, (page() ? page()->maxLineLength() : 0) + 1 - cols));
}

void PageView::resizeEvent(QResizeEvent *event)
{
    QScrollBar *vbar = verticalScrollBar();
    const bool atEnd = !m_holdEnd && vbar->value() >= vbar->maximum();
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
    const Pos p = m_text.posAt(offset);
    const int top = verticalScrollBar()->value();
    const int row = p.line - top;
    if (m_text.lineCount() == 0 || row < 0 || row * m_metrics.rowHeight >= viewport()->height())
        return {};
    const DecodedLine d = DecodeLine(m_text.lineBytes(p.line));
    const qreal cw = m_metrics.colWidth;
    const qreal x = textLeft() + (d.col(p.ch) - horizontalScrollBar()->value()) * cw;
    const int cols = p.ch < d.total ? std::max(1, d.width(p.ch)) : 1; // the line break counts as one
    return QRectF(x, row * m_metrics.rowHeight, cols * cw, m_metrics.rowHeight).toAlignedRect();
}

PageView::Pos PageView::posAtPoint(const QPoint &pos, bool *onRow) const
{
    const int n = m_text.lineCount();
    const int row = static_cast<int>(std::floor(static_cast<qreal>(pos.y()) / m_metrics.rowHeight));
    const int line = verticalScrollBar()->value() + row;
    if (onRow)
        *onRow = n > 0 && pos.y() >= 0 && pos.y() < viewport()->height() && line >= 0 && line < n;
    if (n == 0)
        return {};
    Pos p{std::clamp(line, 0, n - 1), 0};
    const DecodedLine d = DecodeLine(m_text.lineBytes(p.line));
    const qreal col = (pos.x() - textLeft()) / m_metrics.colWidth + horizontalScrollBar()->value();
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
    bool onRow = false;
    const Pos p = posAtPoint(viewportPos, &onRow);
    return onRow ? m_text.offsetOf(p) : -1;
}

void PageView::ensureVisible(Pos p)
{
    QScrollBar *vbar = verticalScrollBar();
    const int rows = visibleRows();
    if (p.line < vbar->value())
        vbar->setValue(p.line);
    else if (p.line >= vbar->value() + rows)
        vbar->setValue(p.line - rows + 1);
    if (m_text.lineCount() == 0)
        return;
    const int col = m_text.column(p);
    QScrollBar *hbar = horizontalScrollBar();
    const int cols = visibleColumns();
    if (col < hbar->value())
        hbar->setValue(col);
    else if (col >= hbar->value() + cols)
        hbar->setValue(col - cols + 1);
}

void PageView::scrollToOffset(int offset)
{
    ensureVisible(m_text.posAt(offset));
}

QRect PageView::caretRect() const
{
    const Pos caret = m_text.caret();
    const int row = caret.line - verticalScrollBar()->value();
    if (row < 0 || row * m_metrics.rowHeight >= viewport()->height())
        return {};
    const int col = m_text.column(caret);
    const int x = static_cast<int>(
        std::lround(textLeft() + (col - horizontalScrollBar()->value()) * m_metrics.colWidth));
    return {x - 1, row * m_metrics.rowHeight, 3, m_metrics.rowHeight};
}

// --- painting --------------------------------------------------------------------------------

namespace
{

// Draws a run of printable ASCII characters from the font's glyphs, one column each; false when
// the run holds another character or the font lacks the glyphs.
bool DrawAscii(QPainter &p, QStringView run, QPointF at, qreal cw, const AsciiGlyphs &ascii)
{
    if (!ascii.font.isValid())
        return false;
    QList<quint32> indexes(run.size());
    QList<QPointF> positions(run.size());
    for (qsizetype i = 0; i < run.size(); ++i) {
        const char16_t u = run[i].unicode();
        if (u < 0x20 || u >= 0x7F)
            return false;
        indexes[i] = ascii.index[u - 0x20];
        positions[i] = QPointF(static_cast<qreal>(i) * cw, 0);
    }
    QGlyphRun glyphs;
    glyphs.setRawFont(ascii.font);
    glyphs.setGlyphIndexes(indexes);
    glyphs.setPositions(positions);
    p.drawGlyphRun(at, glyphs);
    return true;
}

// Draws characters [from, to) of one row, in runs that a single call can place on their
// columns: a fixed-pitch font keeps narrow runs aligned, and full-width runs when their glyphs are
// exactly two columns wide. Control characters take their column but draw nothing.
void DrawChars(QPainter &p, const DecodedLine &d, int from, int to, qreal x0, qreal cw, int baseline,
               bool fixedPitch, bool wideFits, const AsciiGlyphs &ascii)
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
        const QPointF at(x0 + d.col(ch) * cw, baseline);
        const QStringView run = QStringView(d.text).mid(ch - d.first, end - ch);
        if (wide || !DrawAscii(p, run, at, cw, ascii))
            p.drawText(at, run.toString());
        ch = end;
    }
}

} // namespace

void PageView::paintEvent(QPaintEvent *event)
{
    QPainter p(viewport());
    const QPalette &pal = palette();
    // The viewport fills its own background (Base), once per paint.
    m_lastPaintDecoded = 0;
    const int n = m_text.lineCount();
    if (n == 0) {
        if (hasFocus() && m_caretOn)
            p.fillRect(caretRect().adjusted(1, 0, -1, 0), pal.brush(QPalette::Text));
        return;
    }
    p.setFont(font());
    const Metrics &m = m_metrics;
    const int top = verticalScrollBar()->value();
    const int hval = horizontalScrollBar()->value();
    const qreal left = textLeft();
    const qreal x0 = left - hval * m.colWidth;
    // Lines scrolled sideways pass under the time column, not into it.
    if (m_showTimes)
        p.setClipRect(QRectF(left, 0, viewport()->width() - left, viewport()->height()));
    const int firstLine = top + std::max(0, event->rect().top()) / m.rowHeight;
    const int lastLine = std::min(n - 1, top + event->rect().bottom() / m.rowHeight);
    const int colEnd = hval + visibleColumns() + 2;
    const Pos caret = m_text.caret();
    const Pos selA = m_text.selectionFrom();
    const Pos selB = m_text.selectionTo();
    const bool hasSel = selA != selB;
    const QColor text = pal.color(QPalette::Text);
    const QColor highlighted = pal.color(QPalette::HighlightedText);
    // Found matches: amber laid over the base, so that the text's own colour stays readable on a
    // light palette and a dark one.
    const QColor base = pal.color(QPalette::Base);
    const QColor mark = QColor::fromRgbF(0.55F * base.redF() + 0.45F, 0.55F * base.greenF() + 0.45F * 0.8F,
                                         0.55F * base.blueF());
    auto nextMark = m_marks ? std::lower_bound(m_marks->begin(), m_marks->end(), firstLine,
                                               [](const core::FindMatch &a, int l) { return a.line < l; })
                            : std::vector<core::FindMatch>::const_iterator();

    for (int line = firstLine; line <= lastLine; ++line) {
        const DecodedLine d = DecodeLine(m_text.lineBytes(line), std::max(0, hval - 1), colEnd);
        ++m_lastPaintDecoded;
        const int y = (line - top) * m.rowHeight;
        const int baseline = y + m.ascent;
        const int visFrom = d.ascii ? d.first : CharAtColumn(d, hval);
        const int visTo = d.ascii ? d.windowEnd() : std::min(d.total, CharAtColumn(d, colEnd) + 1);

        for (; m_marks && nextMark != m_marks->end() && nextMark->line == line; ++nextMark) {
            const qreal xa = x0 + d.col(nextMark->start) * m.colWidth;
            const qreal xb = x0 + d.col(nextMark->start + nextMark->length) * m.colWidth;
            if (xb > xa)
                p.fillRect(QRectF(xa, y, xb - xa, m.rowHeight), mark);
        }

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
        DrawChars(p, d, visFrom, selFrom, x0, m.colWidth, baseline, m.fixedPitch, m.wideFits, m_ascii);
        DrawChars(p, d, selTo, visTo, x0, m.colWidth, baseline, m.fixedPitch, m.wideFits, m_ascii);
        if (selTo > selFrom) {
            p.setPen(highlighted);
            DrawChars(p, d, selFrom, selTo, x0, m.colWidth, baseline, m.fixedPitch, m.wideFits, m_ascii);
        }
        if (line == caret.line && hasFocus() && m_caretOn) {
            const qreal x = x0 + d.col(caret.ch) * m.colWidth;
            p.fillRect(QRectF(std::round(x), y, 1, m.rowHeight), text);
        }
    }
    if (m_showTimes) {
        p.setClipping(false);
        p.setPen(pal.color(QPalette::PlaceholderText));
        for (int line = firstLine; line <= lastLine; ++line)
            if (const std::int64_t t = m_text.page()->time(line))
                p.drawText(QPointF(0, (line - top) * m.rowHeight + m.ascent),
                           QString::fromLatin1(core::ClockText(t)));
    }
}

// --- input -----------------------------------------------------------------------------------

void PageView::positionsChanged()
{
    restartBlink();
    viewport()->update();
    if (QAccessible::isActive()) {
        QAccessibleTextCursorEvent cursor(this, m_text.caretOffset());
        QAccessible::updateAccessibility(&cursor);
        if (m_text.hasSelection()) {
            int start = 0;
            int end = 0;
            m_text.selection(&start, &end);
            QAccessibleTextSelectionEvent sel(this, start, end);
            QAccessible::updateAccessibility(&sel);
        }
    }
}

void PageView::moveCaret(Pos p, bool extend)
{
    m_text.setCaret(p, extend);
    caretMoved();
}

void PageView::caretMoved()
{
    ensureVisible(m_text.caret());
    positionsChanged();
}

void PageView::keyPressEvent(QKeyEvent *event)
{
    if (event->matches(QKeySequence::Copy)) {
        copy();
        return;
    }
    if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
        return;
    }
    using Motion = PageText::Motion;
    struct Binding {
        QKeySequence::StandardKey move;
        QKeySequence::StandardKey select;
        Motion motion;
    };
    static constexpr Binding kBindings[] = {
        {QKeySequence::MoveToNextChar, QKeySequence::SelectNextChar, Motion::NextChar},
        {QKeySequence::MoveToPreviousChar, QKeySequence::SelectPreviousChar, Motion::PrevChar},
        {QKeySequence::MoveToNextWord, QKeySequence::SelectNextWord, Motion::NextWord},
        {QKeySequence::MoveToPreviousWord, QKeySequence::SelectPreviousWord, Motion::PrevWord},
        {QKeySequence::MoveToNextLine, QKeySequence::SelectNextLine, Motion::NextLine},
        {QKeySequence::MoveToPreviousLine, QKeySequence::SelectPreviousLine, Motion::PrevLine},
        {QKeySequence::MoveToNextPage, QKeySequence::SelectNextPage, Motion::NextPage},
        {QKeySequence::MoveToPreviousPage, QKeySequence::SelectPreviousPage, Motion::PrevPage},
        {QKeySequence::MoveToStartOfLine, QKeySequence::SelectStartOfLine, Motion::LineStart},
        {QKeySequence::MoveToEndOfLine, QKeySequence::SelectEndOfLine, Motion::LineEnd},
        {QKeySequence::MoveToStartOfDocument, QKeySequence::SelectStartOfDocument, Motion::DocStart},
        {QKeySequence::MoveToEndOfDocument, QKeySequence::SelectEndOfDocument, Motion::DocEnd},
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
    // The page keys scroll by a screen as well, so that the caret keeps its row when it can.
    const int rows = visibleRows();
    if (hit->motion == Motion::NextPage || hit->motion == Motion::PrevPage) {
        const int step = hit->motion == Motion::NextPage ? rows : -rows;
        verticalScrollBar()->setValue(verticalScrollBar()->value() + step);
    }
    m_text.move(hit->motion, extend, rows);
    caretMoved();
    // Keys that took the view to its end let go of a hold as the scroll bar does.
    if (m_holdEnd && verticalScrollBar()->value() >= verticalScrollBar()->maximum())
        m_holdEnd = m_resumeEnd = false;
}

void PageView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    m_text.forgetColumn();
    m_dragging = true;
    moveCaret(posAtPoint(event->position().toPoint()), event->modifiers().testFlag(Qt::ShiftModifier));
}

void PageView::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_dragging || !(event->buttons() & Qt::LeftButton))
        return;
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

void PageView::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mouseDoubleClickEvent(event);
        return;
    }
    m_dragging = false;
    m_text.forgetColumn();
    // The character under the mouse, not the nearest boundary, decides the word.
    const QPoint pos = event->position().toPoint();
    Pos p = posAtPoint(pos);
    if (m_text.lineCount() > 0) {
        const DecodedLine d = DecodeLine(m_text.lineBytes(p.line));
        const qreal col = (pos.x() - textLeft()) / m_metrics.colWidth + horizontalScrollBar()->value();
        p.ch = CharAtColumn(d, static_cast<int>(std::floor(std::max<qreal>(0, col))));
        if (col >= d.col(d.total))
            p.ch = d.total;
    }
    m_text.selectWordAt(p);
    positionsChanged();
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

// The caret blinks for a while after the last move, then stays on, as desktops do: a window
// left open on a bench costs no wake-ups for it.
constexpr int kBlinkForMs = 10000;

void PageView::restartBlink()
{
    m_caretOn = true;
    const int flash = QApplication::cursorFlashTime();
    if (hasFocus() && flash > 0) {
        m_blinksLeft = 2 * (kBlinkForMs / flash);
        m_blink.start(flash / 2, this);
    } else {
        m_blink.stop();
    }
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
    if (event->timerId() != m_blink.timerId()) {
        QAbstractScrollArea::timerEvent(event);
        return;
    }
    m_caretOn = !m_caretOn;
    if (--m_blinksLeft <= 0 && m_caretOn)
        m_blink.stop();
    viewport()->update(caretRect());
}
