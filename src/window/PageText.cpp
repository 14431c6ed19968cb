// SPDX-License-Identifier: MIT
#include "PageText.h"

#include "Page.h"
#include "PageViewLine.h"

#include <QTextBoundaryFinder>

#include <algorithm>

using pageview_detail::CharAtColumn;
using pageview_detail::CharCount;
using pageview_detail::DecodedLine;
using pageview_detail::DecodeLine;

void PageText::setPage(const core::Page *page)
{
    m_page = page;
    m_starts.assign(1, 0);
    m_syncRevision = m_syncStructure = ~std::uint64_t{0};
    m_syncCount = 0;
    m_caret = m_anchor = Pos{};
    // A column kept from another page would send the first vertical move sideways.
    m_preferredColumn = -1;
}

void PageText::sync() const
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

int PageText::lineCount() const
{
    return m_page ? m_page->count() : 0;
}

std::string_view PageText::lineBytes(int line) const
{
    return m_page ? std::string_view(m_page->line(line)) : std::string_view();
}

int PageText::lineChars(int line) const
{
    return m_page && line >= 0 && line < m_page->count() ? CharCount(m_page->line(line)) : 0;
}

int PageText::startOf(int line) const
{
    line = std::clamp(line, 0, lineCount());
    while (static_cast<int>(m_starts.size()) <= line) {
        const int known = static_cast<int>(m_starts.size()) - 1;
        m_starts.push_back(m_starts.back() + lineChars(known) + 1);
    }
    return m_starts[static_cast<std::size_t>(line)];
}

int PageText::lineStart(int line) const
{
    sync();
    return startOf(line);
}

PageText::Pos PageText::clampPos(Pos p) const
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

PageText::Pos PageText::posOf(int offset) const
{
    const int n = lineCount();
    if (n == 0 || offset <= 0)
        return {};
    while (static_cast<int>(m_starts.size()) <= n && m_starts.back() <= offset)
        startOf(static_cast<int>(m_starts.size()));
    const auto it = std::upper_bound(m_starts.begin(), m_starts.end(), offset);
    const int line = static_cast<int>(it - m_starts.begin()) - 1;
    if (line >= n)
        return {n - 1, lineChars(n - 1)};
    return {line, std::min(offset - m_starts[static_cast<std::size_t>(line)], lineChars(line))};
}

PageText::Pos PageText::posAt(int offset) const
{
    sync();
    return posOf(offset);
}

int PageText::offsetOf(Pos p) const
{
    sync();
    return startOf(p.line) + p.ch;
}

int PageText::column(Pos p) const
{
    return lineCount() == 0 ? 0 : DecodeLine(lineBytes(p.line)).col(p.ch);
}

PageText::Pos PageText::caret() const
{
    sync();
    return m_caret;
}

PageText::Pos PageText::anchor() const
{
    sync();
    return m_anchor;
}

PageText::Pos PageText::selectionFrom() const
{
    sync();
    return std::min(m_caret, m_anchor);
}

PageText::Pos PageText::selectionTo() const
{
    sync();
    return std::max(m_caret, m_anchor);
}

int PageText::caretOffset() const
{
    return offsetOf(caret());
}

void PageText::setCaretOffset(int offset)
{
    sync();
    m_caret = m_anchor = posOf(offset);
    m_preferredColumn = -1;
}

int PageText::lineAtOffset(int offset) const
{
    return posAt(offset).line;
}

int PageText::lineStartOffset(int line) const
{
    return lineStart(std::clamp(line, 0, std::max(0, lineCount() - 1)));
}

int PageText::characterCount() const
{
    const int n = lineCount();
    return n == 0 ? 0 : lineStart(n) - 1;
}

QString PageText::text(int start, int end) const
{
    sync();
    if (end <= start)
        return {};
    const Pos a = posOf(start);
    const Pos b = posOf(end);
    QString out;
    for (int line = a.line; line <= b.line; ++line) {
        const DecodedLine d = DecodeLine(lineBytes(line));
        const int from = line == a.line ? a.ch : 0;
        const int to = line == b.line ? b.ch : d.total;
        out += QStringView(d.text).mid(from, to - from);
        if (line != b.line)
            out += QLatin1Char('\n');
    }
    return out;
}

bool PageText::hasSelection() const
{
    sync();
    return m_caret != m_anchor;
}

void PageText::selection(int *start, int *end) const
{
    const int a = offsetOf(selectionFrom());
    const int b = offsetOf(selectionTo());
    if (start)
        *start = a;
    if (end)
        *end = b;
}

QString PageText::selectedText() const
{
    int start = 0;
    int end = 0;
    selection(&start, &end);
    return text(start, end);
}

void PageText::setSelection(int start, int end)
{
    sync();
    m_anchor = posOf(start);
    m_caret = posOf(end);
    m_preferredColumn = -1;
}

void PageText::selectAll()
{
    sync();
    const int n = lineCount();
    m_anchor = {};
    m_caret = n == 0 ? Pos{} : Pos{n - 1, lineChars(n - 1)};
}

void PageText::setCaret(Pos p, bool extend)
{
    sync();
    m_caret = clampPos(p);
    if (!extend)
        m_anchor = m_caret;
}

PageText::Pos PageText::lineTarget(int line) const
{
    const int n = lineCount();
    line = std::clamp(line, 0, std::max(0, n - 1));
    if (n == 0)
        return {};
    const DecodedLine d = DecodeLine(lineBytes(line));
    int ch = CharAtColumn(d, m_preferredColumn);
    if (ch < d.total && d.col(ch) < m_preferredColumn && d.width(ch) > 1 &&
        m_preferredColumn - d.col(ch) > d.width(ch) / 2)
        ++ch;
    return {line, ch};
}

PageText::Pos PageText::wordStep(Pos p, bool forward) const
{
    const int n = lineCount();
    if (n == 0)
        return {};
    if (forward && p.ch >= lineChars(p.line))
        return p.line + 1 < n ? Pos{p.line + 1, 0} : p;
    if (!forward && p.ch == 0)
        return p.line > 0 ? Pos{p.line - 1, lineChars(p.line - 1)} : p;
    const DecodedLine d = DecodeLine(lineBytes(p.line));
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
}

void PageText::move(Motion motion, bool extend, int pageRows)
{
    sync();
    const int n = lineCount();
    Pos p = m_caret;
    const bool vertical = motion == Motion::NextLine || motion == Motion::PrevLine ||
                          motion == Motion::NextPage || motion == Motion::PrevPage;
    if (vertical && m_preferredColumn < 0 && n > 0)
        m_preferredColumn = column(p);
    if (!vertical)
        m_preferredColumn = -1;
    switch (motion) {
    case Motion::NextChar:
        if (n > 0 && p.ch < lineChars(p.line))
            ++p.ch;
        else if (p.line + 1 < n)
            p = {p.line + 1, 0};
        break;
    case Motion::PrevChar:
        if (p.ch > 0)
            --p.ch;
        else if (p.line > 0)
            p = {p.line - 1, lineChars(p.line - 1)};
        break;
    case Motion::NextWord:
        p = wordStep(p, true);
        break;
    case Motion::PrevWord:
        p = wordStep(p, false);
        break;
    case Motion::NextLine:
        p = lineTarget(p.line + 1);
        break;
    case Motion::PrevLine:
        p = lineTarget(p.line - 1);
        break;
    case Motion::NextPage:
        p = lineTarget(p.line + pageRows);
        break;
    case Motion::PrevPage:
        p = lineTarget(p.line - pageRows);
        break;
    case Motion::LineStart:
        p.ch = 0;
        break;
    case Motion::LineEnd:
        p.ch = lineChars(p.line);
        break;
    case Motion::DocStart:
        p = {};
        break;
    case Motion::DocEnd:
        p = n == 0 ? Pos{} : Pos{n - 1, lineChars(n - 1)};
        break;
    }
    m_caret = p;
    if (!extend)
        m_anchor = p;
}

void PageText::selectWordAt(Pos p)
{
    sync();
    p = clampPos(p);
    const DecodedLine d = DecodeLine(lineBytes(p.line));
    if (d.total == 0) {
        m_caret = m_anchor = Pos{p.line, 0};
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
}
