// SPDX-License-Identifier: MIT
// The find bar ("検索"): a small bar over the bottom of the active page, in room the page view
// leaves under its rows, so that no control of the window moves and no row hides beneath it. It
// finds text as shown on the TEXT and CHAR pages (with a box for case) and bytes as written on the
// HEX and DEC pages ("0D 0A", "13 10", "??" for any byte), marks the matches on screen, selects
// the one stepped to and keeps it in view while lines stream in.
//
// One query text is kept for the text pages and one for the byte pages: a byte pattern goes
// between HEX and DEC rewritten as that page writes its bytes ("0D 0A" on HEX is "13 10" on DEC),
// while text typed for TEXT or CHAR is never read as bytes, nor the other way round.
//
// The search runs on the user-interface thread in slices of kSliceMs between the events, so that
// a full page never holds up the receive tick; the finder (core::PageFinder) keeps the matches
// up to date as lines arrive.
#pragma once

#include "PageFind.h"

#include <QBasicTimer>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <array>
#include <functional>
#include <optional>
#include <vector>

class PageView;
class QCheckBox;
class QLabel;
class QLineEdit;
class QShortcut;
class QTabWidget;
class QToolButton;

class FindBar : public QWidget
{
    Q_OBJECT

  public:
    // How long one slice of the search may take before the events get their turn.
    static constexpr int kSliceMs = 4;

    // The bar lies over `tabs`; `views` are the pages' views in the order of the page table and
    // `activePage` tells which of them is shown (-1: none).
    FindBar(QTabWidget *tabs, std::vector<PageView *> views, std::function<int()> activePage);
    ~FindBar() override;

    // Ctrl+F: shows the bar with its text selected for typing over.
    void open();
    // Esc: hides the bar; the page follows its end again if the bar had held it.
    void closeBar();
    // Enter and F3, Shift+Enter and Shift+F3; around the end with a note.
    void findNext() { step(+1); }
    void findPrevious() { step(-1); }
    // The pages changed: new lines are searched, an emptied page starts afresh.
    void pagesChanged();

    QLineEdit *edit() const { return m_edit; }
    QCheckBox *caseBox() const { return m_case; }
    // "n / m 件", and the note (around the end, not found, a pattern that is no byte).
    QString countText() const;
    QString noteText() const;
    // The page the bar finds in, and the match selected (none before the first step).
    PageView *view() const { return m_view; }
    const core::PageFinder &finder() const { return m_finder; }
    std::optional<core::FindMatch> current() const;
    // The search has not yet covered the page as it stands.
    bool searching() const;

  protected:
    void timerEvent(QTimerEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

  private:
    enum Kind { kText = 0, kBytes = 1 };
    void attach();
    void detach();
    void place();
    void queryEdited();
    void runSlice();
    void takeDropped();
    void schedule();
    void step(int direction);
    void select(int index);
    int currentIndex() const;
    void showCount();

    QTabWidget *m_tabs;
    std::vector<PageView *> m_views;
    std::function<int()> m_activePage;
    QLineEdit *m_edit;
    QCheckBox *m_case;
    QToolButton *m_prev;
    QToolButton *m_next;
    QToolButton *m_close;
    QLabel *m_count;
    QLabel *m_note;
    QShortcut *m_escape;

    core::PageFinder m_finder;
    PageView *m_view = nullptr;
    QPointer<QWidget> m_viewport; // m_view's, while watched
    Kind m_kind = kText;
    int m_radix = 16;
    std::array<QString, 2> m_texts; // per kind
    // The last byte pattern that was one, and the radix it was written in.
    std::optional<std::vector<int>> m_bytes;
    int m_bytesRadix = 16;
    QString m_error;

    std::optional<core::FindMatch> m_current;
    int m_pendingStep = 0; // a step asked for while the search was still on its way
    QString m_stepNote;
    QBasicTimer m_slice;
    std::size_t m_shownMatches = 0;
    bool m_marksDirty = false; // matches were dropped since the view last repainted them
};
