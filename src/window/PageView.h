// SPDX-License-Identifier: MIT
// The read-only view of one display page. It reads the byte-line model directly and lays out and
// paints only the rows on screen, so the cost of a refresh does not grow with the page: a text edit
// that lays out every line it holds cannot keep up with four pages at full receive speed.
//
// Columns are byte columns: in CP932 with a fixed-pitch font a one-byte character is one column
// and a two-byte (full-width) character is two. Caret and selection are character offsets into the
// page's whole text, kept by PageText; the view adds the pixels, the scrolling and the input.
#pragma once

#include "PacedScrollBar.h"
#include "PageFind.h"
#include "PageText.h"
#include "RepaintPacer.h"

#include <QAbstractScrollArea>
#include <QBasicTimer>
#include <QRawFont>

#include <array>
#include <cstdint>
#include <vector>

namespace pageview_detail
{
// The glyphs of the printable ASCII characters in a view's font. While lines stream in, a repaint
// shows rows it never showed before, and shaping each of them as text costs more than drawing
// it. Not valid when the font lacks one of them: runs are then drawn as text.
struct AsciiGlyphs {
    QRawFont font;
    std::array<quint32, 0x7F - 0x20> index{};
};
} // namespace pageview_detail

class PageView : public QAbstractScrollArea
{
    Q_OBJECT

  public:
    explicit PageView(QWidget *parent = nullptr);
    ~PageView() override;

    // The window owns the model; the view only reads it and must be told before it goes away
    // (setPage(nullptr)).
    void setPage(const core::Page *page);
    const core::Page *page() const { return m_text.page(); }

    // Once per timer tick: cheap when the page has not changed. Otherwise updates the scroll ranges
    // and repaints, following the end when the view was at the bottom before the change.
    void refresh();
    // A refresh was asked for while the view caught up only moments ago: it is applied shortly.
    bool refreshPending() const { return m_streamRepaint->pending(); }

    // The time column: before each line that has a time, the local time at which it began
    // ("HH:MM:SS.mmm"). It stays put when the lines scroll sideways, and it is no part of the
    // text: offsets, selection, copy and accessibility know only the lines.
    void setShowTimes(bool on);
    bool showTimes() const { return m_showTimes; }
    // Columns the time column takes, its gap to the text included.
    static constexpr int kTimeColumns = 13;

    // Character offsets into the whole text.
    int caretOffset() const;
    // Clamped to the text; leaves an empty selection and does not scroll.
    void setCaretOffset(int offset);
    int lineAtOffset(int offset) const;
    // Offset of the line's first character; clamped to the lines (0 for an empty page).
    int lineStartOffset(int line) const;
    int characterCount() const;
    // The decoded text of [start, end), clamped.
    QString text(int start, int end) const;
    QString selectedText() const;
    bool hasSelection() const;
    // start <= end; both equal the caret when nothing is selected.
    void selection(int *start, int *end) const;
    // Anchor at start, caret at end; scrolls the caret into view when asked.
    void setSelection(int start, int end, bool scroll = false);
    void selectAll();
    void copy() const;

    // Geometry for hit tests and accessibility, in viewport coordinates. An offset on a row that
    // is not on screen gives an empty rectangle.
    QRect characterRect(int offset) const;
    // -1 when the point is outside the rows of the page.
    int offsetAt(const QPoint &viewportPos) const;
    void scrollToOffset(int offset);

    // Find: the matches on this page, marked where they stand on screen. The list is the finder's,
    // sorted by line; marksChanged repaints at the pace of the stream. nullptr: no marks.
    void setMarks(const std::vector<core::FindMatch> *marks);
    void marksChanged();
    // While held, new lines do not scroll the view to its end, so that a match being looked at
    // stays put. Scrolling to the end by hand lets go of it; releaseEnd does too, and goes back to
    // the end when the view was following it when the hold began.
    void holdEnd();
    void releaseEnd();
    bool endHeld() const { return m_holdEnd; }
    // Room under the rows for a bar over the bottom of the page, in pixels (0: none), and the
    // rectangle it leaves, in the view's coordinates. The view's own size does not change.
    void setBottomReserve(int pixels);
    QRect bottomReserveRect() const;

    // Registers the accessibility factory (done once by the first view as well).
    static void installAccessibility();

    // Lines decoded by the last paint: lets tests check that painting is bounded by the screen.
    int lastPaintDecodedLines() const { return m_lastPaintDecoded; }

  signals:
    // The caret now lies in the double-clicked line; lineIndex is that line.
    void lineDoubleClicked(int lineIndex);
    void focusEntered();

  protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void timerEvent(QTimerEvent *event) override;
    void changeEvent(QEvent *event) override;

  private:
    using Pos = PageText::Pos;
    struct Metrics {
        qreal colWidth = 8;
        int rowHeight = 16;
        int ascent = 12;
        bool fixedPitch = true; // runs of narrow characters can be drawn in one call
        bool wideFits = true;   // full-width glyphs are exactly two columns wide
    };

    Pos posAtPoint(const QPoint &viewportPos, bool *onRow = nullptr) const;

    void updateMetrics();
    void updateScrollRanges();
    int visibleRows() const;
    int visibleColumns() const;
    // Where the text begins in the viewport: after the time column when it is shown.
    qreal textLeft() const;
    void ensureVisible(Pos p);
    void moveCaret(Pos p, bool extend);
    void caretMoved();
    void positionsChanged();
    void restartBlink();
    void applyRefresh();
    QRect caretRect() const;

    PageText m_text;
    Metrics m_metrics;
    pageview_detail::AsciiGlyphs m_ascii;

    // Model state the scroll ranges were last set for.
    std::uint64_t m_viewRevision = ~std::uint64_t{0};
    std::uint64_t m_viewStructure = ~std::uint64_t{0};
    int m_viewCount = 0;

    bool m_dragging = false;
    bool m_caretOn = true;
    QBasicTimer m_blink;
    int m_blinksLeft = 0;
    RepaintPacer *m_streamRepaint;
    PacedScrollBar *m_vbar;
    PacedScrollBar *m_hbar;
    bool m_inRefresh = false;
    int m_lastPaintDecoded = 0;
    bool m_showTimes = false;
    const std::vector<core::FindMatch> *m_marks = nullptr;
    bool m_marksChanged = false;
    bool m_holdEnd = false;
    bool m_resumeEnd = false; // the view followed its end when the hold began
    int m_bottomReserve = 0;
};
