// SPDX-License-Identifier: MIT
// Accessibility of the page view: a read-only multi-line text with Qt's text interface, so that
// screen readers and desktop automation read a page (hidden tabs included) as they would a text
// edit. Offsets are those of PageView: characters of the lines joined by "\n".
#pragma once

#include <QAccessibleWidget>

class PageView;

class PageViewAccessible : public QAccessibleWidget, public QAccessibleTextInterface
{
  public:
    explicit PageViewAccessible(PageView *view);

    void *interface_cast(QAccessible::InterfaceType type) override;
    QAccessible::State state() const override;
    QString text(QAccessible::Text t) const override;

    // QAccessibleTextInterface
    void selection(int selectionIndex, int *startOffset, int *endOffset) const override;
    int selectionCount() const override;
    void addSelection(int startOffset, int endOffset) override;
    void removeSelection(int selectionIndex) override;
    void setSelection(int selectionIndex, int startOffset, int endOffset) override;
    int cursorPosition() const override;
    void setCursorPosition(int position) override;
    QString text(int startOffset, int endOffset) const override;
    QString textBeforeOffset(int offset, QAccessible::TextBoundaryType boundaryType, int *startOffset,
                             int *endOffset) const override;
    QString textAfterOffset(int offset, QAccessible::TextBoundaryType boundaryType, int *startOffset,
                            int *endOffset) const override;
    QString textAtOffset(int offset, QAccessible::TextBoundaryType boundaryType, int *startOffset,
                         int *endOffset) const override;
    int characterCount() const override;
    QRect characterRect(int offset) const override;
    int offsetAtPoint(const QPoint &point) const override;
    void scrollToSubstring(int startIndex, int endIndex) override;
    QString attributes(int offset, int *startOffset, int *endOffset) const override;

  private:
    PageView *view() const;
    // Character and line boundaries straight from the line offsets, without building the text.
    // `step` is -1 (before), 0 (at) or 1 (after).
    QString boundaryText(int step, int offset, QAccessible::TextBoundaryType type, int *startOffset,
                         int *endOffset) const;
};
