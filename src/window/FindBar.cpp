// SPDX-License-Identifier: MIT
#include "FindBar.h"

#include "Page.h"
#include "PageTable.h"
#include "PageView.h"

#include <QApplication>
#include <QCheckBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QShortcut>
#include <QSignalBlocker>
#include <QTabWidget>
#include <QToolButton>

#include <algorithm>
#include <chrono>
#include <climits>
#include <utility>

namespace
{

bool Before(const core::FindMatch &a, int line, int start)
{
    return a.line < line || (a.line == line && a.start < start);
}

} // namespace

FindBar::FindBar(QTabWidget *tabs, std::vector<PageView *> views, std::function<int()> activePage)
    : QWidget(tabs), m_tabs(tabs), m_views(std::move(views)), m_activePage(std::move(activePage)),
      m_edit(new QLineEdit(this)), m_case(new QCheckBox(QStringLiteral("大文字と小文字を区別"), this)),
      m_prev(new QToolButton(this)), m_next(new QToolButton(this)), m_close(new QToolButton(this)),
      m_count(new QLabel(this)), m_note(new QLabel(this)),
      m_escape(new QShortcut(QKeySequence(Qt::Key_Escape), tabs))
{
    setObjectName(QStringLiteral("FindBar"));
    m_edit->setObjectName(QStringLiteral("edFind"));
    m_case->setObjectName(QStringLiteral("cbFindCase"));
    m_prev->setObjectName(QStringLiteral("btnFindPrev"));
    m_next->setObjectName(QStringLiteral("btnFindNext"));
    m_close->setObjectName(QStringLiteral("btnFindClose"));
    m_count->setObjectName(QStringLiteral("stFindCount"));
    m_note->setObjectName(QStringLiteral("stFindNote"));
    setAutoFillBackground(true);
    m_edit->setClearButtonEnabled(true);
    m_edit->setMinimumWidth(220);
    m_prev->setText(QStringLiteral("▲"));
    m_prev->setToolTip(QStringLiteral("前を検索 (Shift+F3)"));
    m_next->setText(QStringLiteral("▼"));
    m_next->setToolTip(QStringLiteral("次を検索 (F3)"));
    m_close->setText(QStringLiteral("×"));
    m_close->setToolTip(QStringLiteral("閉じる (Esc)"));
    for (QToolButton *b : {m_prev, m_next, m_close})
        b->setAutoRaise(true);

    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(4, 1, 4, 1);
    layout->setSpacing(6);
    layout->addWidget(new QLabel(QStringLiteral("検索:"), this));
    layout->addWidget(m_edit);
    layout->addWidget(m_prev);
    layout->addWidget(m_next);
    layout->addWidget(m_case);
    layout->addWidget(m_count);
    layout->addWidget(m_note, 1);
    layout->addWidget(m_close);
    hide();

    connect(m_edit, &QLineEdit::textChanged, this, [this] { queryEdited(); });
    connect(m_case, &QCheckBox::toggled, this, [this] { queryEdited(); });
    connect(m_prev, &QToolButton::clicked, this, [this] { findPrevious(); });
    connect(m_next, &QToolButton::clicked, this, [this] { findNext(); });
    connect(m_close, &QToolButton::clicked, this, [this] { closeBar(); });
    m_edit->installEventFilter(this);
    // Esc anywhere on the pages, the bar included, while the bar is shown.
    m_escape->setContext(Qt::WidgetWithChildrenShortcut);
    m_escape->setEnabled(false);
    connect(m_escape, &QShortcut::activated, this, [this] { closeBar(); });
    // F3 anywhere in the window; with the bar closed it comes back with its text.
    for (const auto &[key, forward] : {std::pair{QKeySequence(Qt::Key_F3), true},
                                       std::pair{QKeySequence(Qt::SHIFT | Qt::Key_F3), false}}) {
        auto *shortcut = new QShortcut(key, tabs->window());
        connect(shortcut, &QShortcut::activated, this, [this, forward = forward] {
            if (!isVisible())
                open();
            forward ? findNext() : findPrevious();
        });
    }
    connect(tabs, &QTabWidget::currentChanged, this, [this] {
        if (isVisible()) {
            detach();
            attach();
        }
    });
}

// The views and the pages may be gone by now (they go with the window before its children):
// nothing of theirs is touched here.
FindBar::~FindBar() = default;

void FindBar::open()
{
    if (!isVisible()) {
        show();
        raise();
        m_escape->setEnabled(true);
        attach();
    }
    m_edit->setFocus(Qt::ShortcutFocusReason);
    m_edit->selectAll();
}

void FindBar::closeBar()
{
    if (!isVisible())
        return;
    const bool hadFocus = isAncestorOf(QApplication::focusWidget());
    PageView *view = m_view;
    detach();
    m_escape->setEnabled(false);
    hide();
    if (hadFocus && view)
        view->setFocus(Qt::OtherFocusReason);
}

void FindBar::attach()
{
    const int page = m_activePage();
    m_view = page >= 0 && page < static_cast<int>(m_views.size()) ? m_views[static_cast<std::size_t>(page)]
                                                                  : nullptr;
    m_kind = page == core::kPageHex || page == core::kPageDec ? kBytes : kText;
    m_radix = page == core::kPageDec ? 10 : 16;
    m_case->setVisible(m_kind == kText);
    // A byte pattern is carried over in the notation of the page it is now found on.
    QString text = m_texts[m_kind];
    if (m_kind == kBytes && m_bytes && m_bytesRadix != m_radix)
        text = QString::fromStdString(core::BytePatternText(*m_bytes, m_radix));
    {
        const QSignalBlocker blocker(m_edit);
        m_edit->setText(text);
    }
    if (m_view) {
        m_view->setBottomReserve(sizeHint().height());
        m_view->setMarks(&m_finder.matches());
        m_viewport = m_view->viewport();
        m_viewport->installEventFilter(this);
    }
    place();
    queryEdited();
}

void FindBar::detach()
{
    m_slice.stop();
    m_pendingStep = 0;
    m_current.reset();
    if (!m_view)
        return;
    m_view->viewport()->removeEventFilter(this);
    m_viewport = nullptr;
    m_view->releaseEnd();
    m_view->setMarks(nullptr);
    m_view->setBottomReserve(0);
    m_view = nullptr;
}

void FindBar::place()
{
    const int h = sizeHint().height();
    if (!m_view) {
        setGeometry(0, m_tabs->height() - h, m_tabs->width(), h);
        return;
    }
    const QRect r = m_view->bottomReserveRect();
    setGeometry(r.translated(m_view->mapTo(m_tabs, QPoint(0, 0))));
}

bool FindBar::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_edit && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            key->modifiers().testFlag(Qt::ShiftModifier) ? findPrevious() : findNext();
            return true;
        }
    } else if (event->type() == QEvent::Resize && m_view && watched == m_viewport) {
        // The viewport is compared as it was when watched: a view being destroyed sends its
        // children's last events from the base class's destructor, no longer a scroll area.
        place();
    }
    return QWidget::eventFilter(watched, event);
}

void FindBar::queryEdited()
{
    const QString text = m_edit->text();
    m_texts[m_kind] = text;
    core::FindQuery q;
    m_error.clear();
    if (m_kind == kText) {
        q.text = text.toStdU16String();
        q.caseSensitive = m_case->isChecked();
    } else {
        q.kind = core::FindQuery::Kind::Bytes;
        q.radix = m_radix;
        std::string bad;
        if (auto bytes = core::ParseBytePattern(text.toStdString(), m_radix, &bad)) {
            q.bytes = *bytes;
            m_bytes = std::move(bytes);
            m_bytesRadix = m_radix;
        } else {
            m_bytes.reset();
            m_error = (m_radix == 16 ? QStringLiteral("「%1」はバイトではありません（00～FF か ??）")
                                     : QStringLiteral("「%1」はバイトではありません（0～255 か ??）"))
                          .arg(QString::fromStdString(bad));
        }
    }
    // The view stays where it is: the next step goes on from the selection there.
    m_finder.setQuery(std::move(q));
    m_finder.takeDropped();
    m_current.reset();
    m_pendingStep = 0;
    m_stepNote.clear();
    if (m_view)
        m_view->marksChanged();
    schedule();
    showCount();
}

void FindBar::pagesChanged()
{
    if (!isVisible() || !m_view || !m_view->page())
        return;
    m_finder.sync(*m_view->page());
    takeDropped();
    schedule();
}

void FindBar::takeDropped()
{
    const int from = m_finder.takeDropped();
    if (from == INT_MAX)
        return;
    m_marksDirty = true;
    if (m_current ? m_current->line >= from : from == 0) {
        // The match's line changed or went (the line limit, "ログクリア"): the page follows its
        // end again.
        m_current.reset();
        m_view->releaseEnd();
    }
}

void FindBar::schedule()
{
    if (searching() && !m_slice.isActive())
        m_slice.start(0, this);
    else
        showCount();
}

bool FindBar::searching() const
{
    return m_view && m_view->page() && !m_finder.complete(*m_view->page());
}

void FindBar::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_slice.timerId()) {
        QWidget::timerEvent(event);
        return;
    }
    runSlice();
}

void FindBar::runSlice()
{
    const core::Page *page = m_view ? m_view->page() : nullptr;
    if (!page) {
        m_slice.stop();
        return;
    }
    const bool done =
        m_finder.update(*page, core::PageFinder::Clock::now() + std::chrono::milliseconds(kSliceMs));
    takeDropped();
    if (std::exchange(m_marksDirty, false) || m_finder.matches().size() != m_shownMatches)
        m_view->marksChanged();
    if (!done)
        return;
    m_slice.stop();
    if (const int pending = std::exchange(m_pendingStep, 0))
        step(pending);
    showCount();
}

int FindBar::currentIndex() const
{
    if (!m_current)
        return -1;
    const auto &list = m_finder.matches();
    const auto it = std::lower_bound(
        list.begin(), list.end(), *m_current,
        [](const core::FindMatch &a, const core::FindMatch &b) { return Before(a, b.line, b.start); });
    return it != list.end() && *it == *m_current ? static_cast<int>(it - list.begin()) : -1;
}

std::optional<core::FindMatch> FindBar::current() const
{
    return currentIndex() >= 0 ? m_current : std::nullopt;
}

void FindBar::step(int direction)
{
    if (!m_view || !m_view->page() || m_finder.query().empty())
        return;
    if (searching()) {
        // Where the next match lies is known once the page is searched to its end.
        m_pendingStep = direction;
        schedule();
        return;
    }
    const auto &list = m_finder.matches();
    m_stepNote.clear();
    if (list.empty()) {
        showCount();
        return;
    }
    const int n = static_cast<int>(list.size());
    int index = currentIndex();
    if (index >= 0) {
        index += direction;
    } else {
        // From the selection (or the caret): the first match at or after its start, or the last
        // one before it.
        int start = 0;
        int end = 0;
        m_view->selection(&start, &end);
        const int line = m_view->lineAtOffset(start);
        const int ch = start - m_view->lineStartOffset(line);
        const auto it = std::lower_bound(list.begin(), list.end(), 0,
                                         [&](const core::FindMatch &a, int) { return Before(a, line, ch); });
        index = static_cast<int>(it - list.begin());
        if (direction < 0)
            --index;
    }
    if (index >= n) {
        index = 0;
        m_stepNote = QStringLiteral("末尾まで検索しました。先頭から続けます");
    } else if (index < 0) {
        index = n - 1;
        m_stepNote = QStringLiteral("先頭まで検索しました。末尾から続けます");
    }
    select(index);
}

void FindBar::select(int index)
{
    const core::FindMatch m = m_finder.matches()[static_cast<std::size_t>(index)];
    m_current = m;
    // Held before it scrolls: the view remembers whether it was following its end.
    m_view->holdEnd();
    const int a = m_view->lineStartOffset(m.line) + m.start;
    m_view->scrollToOffset(a);
    m_view->setSelection(a, a + m.length, true);
    showCount();
}

QString FindBar::countText() const
{
    return m_count->text();
}

QString FindBar::noteText() const
{
    return m_note->text();
}

void FindBar::showCount()
{
    const std::size_t total = m_finder.matches().size();
    m_shownMatches = total;
    m_count->setText(QStringLiteral("%1 / %2%3 件")
                         .arg(currentIndex() + 1)
                         .arg(total)
                         .arg(m_finder.truncated() ? QStringLiteral("+") : QString()));
    QString note = m_error;
    if (note.isEmpty())
        note = m_stepNote;
    if (note.isEmpty() && !m_finder.query().empty() && total == 0 && !searching())
        note = QStringLiteral("見つかりません");
    m_note->setText(note);
    m_note->setToolTip(note); // in full where the bar is too narrow for it
}
