// SPDX-License-Identifier: MIT
#include "PageViewAccessible.h"

#include "Page.h"
#include "PageView.h"

#include <QScrollBar>

#include <algorithm>

namespace
{

QAccessibleInterface *PageViewFactory(const QString &className, QObject *object)
{
    // Only the exact class: a subclass may bring its own interface.
    if (className != QLatin1String(PageView::staticMetaObject.className()))
        return nullptr;
    if (auto *view = qobject_cast<PageView *>(object))
        return new PageViewAccessible(view);
    return nullptr;
}

} // namespace

void PageView::installAccessibility()
{
    static const bool installed = [] {
        QAccessible::installFactory(PageViewFactory);
        return true;
    }();
    Q_UNUSED(installed);
}

PageViewAccessible::PageViewAccessible(PageView *view) : QAccessibleWidget(view, QAccessible::EditableText) {}

PageView *PageViewAccessible::view() const
{
    return static_cast<PageView *>(widget());
}

void *PageViewAccessible::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::TextInterface)
        return static_cast<QAccessibleTextInterface *>(this);
    return QAccessibleWidget::interface_cast(type);
}

QAccessible::State PageViewAccessible::state() const
{
    QAccessible::State s = QAccessibleWidget::state();
    s.readOnly = true;
    s.editable = false;
    s.multiLine = true;
    s.selectableText = true;
    return s;
}

QString PageViewAccessible::text(QAccessible::Text t) const
{
    if (t == QAccessible::Value)
        return view()->text(0, view()->characterCount());
    return QAccessibleWidget::text(t);
}

void PageViewAccessible::selection(int selectionIndex, int *startOffset, int *endOffset) const
{
    *startOffset = *endOffset = 0;
    if (selectionIndex == 0 && view()->hasSelection())
        view()->selection(startOffset, endOffset);
}

int PageViewAccessible::selectionCount() const
{
    return view()->hasSelection() ? 1 : 0;
}

// The view has one selection: adding one replaces it.
void PageViewAccessible::addSelection(int startOffset, int endOffset)
{
    view()->setSelection(startOffset, endOffset);
}

void PageViewAccessible::removeSelection(int selectionIndex)
{
    if (selectionIndex == 0)
        view()->setCaretOffset(view()->caretOffset());
}

void PageViewAccessible::setSelection(int selectionIndex, int startOffset, int endOffset)
{
    if (selectionIndex == 0)
        view()->setSelection(startOffset, endOffset);
}

int PageViewAccessible::cursorPosition() const
{
    return view()->caretOffset();
}

void PageViewAccessible::setCursorPosition(int position)
{
    view()->setCaretOffset(position);
    view()->scrollToOffset(position);
}

QString PageViewAccessible::text(int startOffset, int endOffset) const
{
    return view()->text(startOffset, endOffset);
}

QString PageViewAccessible::boundaryText(int step, int offset, QAccessible::TextBoundaryType type,
                                         int *startOffset, int *endOffset) const
{
    *startOffset = *endOffset = -1;
    const PageView *v = view();
    const int length = v->characterCount();
    if (offset == -1)
        offset = length;
    if (offset < 0 || offset > length)
        return {};
    int start = 0;
    int end = 0;
    if (type == QAccessible::CharBoundary) {
        start = offset + step;
        end = start + 1;
        if (start < 0 || end > length)
            return {};
    } else {
        // A line is its characters and the line break after it, as a text edit reports it.
        const int lines = v->page() ? v->page()->count() : 0;
        const int line = v->lineAtOffset(offset) + step;
        if (line < 0 || line >= std::max(1, lines))
            return {};
        start = v->lineStartOffset(line);
        end = line + 1 < lines ? v->lineStartOffset(line + 1) : length;
    }
    *startOffset = start;
    *endOffset = end;
    return v->text(start, end);
}

QString PageViewAccessible::textBeforeOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                             int *startOffset, int *endOffset) const
{
    if (boundaryType == QAccessible::CharBoundary || boundaryType == QAccessible::LineBoundary ||
        boundaryType == QAccessible::ParagraphBoundary)
        return boundaryText(-1, offset, boundaryType, startOffset, endOffset);
    return QAccessibleTextInterface::textBeforeOffset(offset, boundaryType, startOffset, endOffset);
}

QString PageViewAccessible::textAfterOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                            int *startOffset, int *endOffset) const
{
    if (boundaryType == QAccessible::CharBoundary || boundaryType == QAccessible::LineBoundary ||
        boundaryType == QAccessible::ParagraphBoundary)
        return boundaryText(1, offset, boundaryType, startOffset, endOffset);
    return QAccessibleTextInterface::textAfterOffset(offset, boundaryType, startOffset, endOffset);
}

QString PageViewAccessible::textAtOffset(int offset, QAccessible::TextBoundaryType boundaryType,
                                         int *startOffset, int *endOffset) const
{
    if (boundaryType == QAccessible::CharBoundary || boundaryType == QAccessible::LineBoundary ||
        boundaryType == QAccessible::ParagraphBoundary)
        return boundaryText(0, offset, boundaryType, startOffset, endOffset);
    return QAccessibleTextInterface::textAtOffset(offset, boundaryType, startOffset, endOffset);
}

int PageViewAccessible::characterCount() const
{
    return view()->characterCount();
}

QRect PageViewAccessible::characterRect(int offset) const
{
    const QRect r = view()->characterRect(offset);
    if (r.isEmpty())
        return {};
    return {view()->viewport()->mapToGlobal(r.topLeft()), r.size()};
}

int PageViewAccessible::offsetAtPoint(const QPoint &point) const
{
    return view()->offsetAt(view()->viewport()->mapFromGlobal(point));
}

void PageViewAccessible::scrollToSubstring(int startIndex, int endIndex)
{
    // The end first, so that the start wins when both do not fit.
    view()->scrollToOffset(endIndex);
    view()->scrollToOffset(startIndex);
}

QString PageViewAccessible::attributes(int offset, int *startOffset, int *endOffset) const
{
    // One font for the whole text.
    *startOffset = 0;
    *endOffset = view()->characterCount();
    const QFont f = view()->font();
    return QStringLiteral("font-family:\"%1\";font-size:%2pt;").arg(f.family()).arg(f.pointSizeF());
}
