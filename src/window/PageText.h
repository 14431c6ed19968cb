// SPDX-License-Identifier: MIT
// The text behind a page view, without pixels: character offsets over the page's CP932 lines,
// caret and selection, and the caret moves of the keyboard. Offsets count the characters of the
// page's whole text (lines decoded from CP932, joined by one "\n" each), as a text edit's plain
// text would count them. The line-start offsets are computed on demand and cached, so the receive
// path never decodes lines that nobody looks at.
//
// Every query first brings the cache and the positions in line with the page, which costs one
// comparison when the page has not changed: the window changes the page between any two calls
// without telling anyone.
#pragma once

#include <QString>

#include <cstdint>
#include <string_view>
#include <vector>

namespace core
{
class Page;
}

class PageText
{
  public:
    // A place in the text as line and character within the line.
    struct Pos {
        int line = 0;
        int ch = 0;
        friend bool operator==(const Pos &, const Pos &) = default;
        friend auto operator<=>(const Pos &, const Pos &) = default; // NOLINT(modernize-use-nullptr)
    };

    enum class Motion {
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

    // The page is only read, and must outlive its use here (setPage(nullptr) before it goes).
    // Caret, anchor and the column kept by vertical moves start afresh.
    void setPage(const core::Page *page);
    const core::Page *page() const { return m_page; }

    int lineCount() const;
    // The line's bytes; empty outside the lines and without a page.
    std::string_view lineBytes(int line) const;
    // Characters of the line, without its break; 0 outside the lines.
    int lineChars(int line) const;
    // Offset of the line's first character, for 0 <= line <= lineCount() (clamped): one past
    // the text's end for lineCount(), since every line counts its break.
    int lineStart(int line) const;
    // Clamped to the text.
    Pos posAt(int offset) const;
    int offsetOf(Pos p) const;
    Pos clampPos(Pos p) const;
    // Byte column of a position: a full-width character takes two.
    int column(Pos p) const;

    Pos caret() const;
    Pos anchor() const;
    // The selection's ends in text order; both equal the caret when nothing is selected.
    Pos selectionFrom() const;
    Pos selectionTo() const;

    int caretOffset() const;
    // Clamped to the text; leaves an empty selection.
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
    // Anchor at start, caret at end.
    void setSelection(int start, int end);
    void selectAll();

    // Puts the caret at p (clamped); the anchor goes with it unless the selection is extended.
    void setCaret(Pos p, bool extend);
    // Moves the caret as a key does. A page move goes pageRows lines; vertical moves keep the
    // byte column they started from, any other move forgets it.
    void move(Motion motion, bool extend, int pageRows);
    // A pointer placed the caret: the next vertical move starts from the caret's own column.
    void forgetColumn() { m_preferredColumn = -1; }
    // Selects the word around the character at p (the last one when p is past the line's end);
    // an empty line leaves the caret at its start.
    void selectWordAt(Pos p);

  private:
    void sync() const;
    int startOf(int line) const;
    Pos posOf(int offset) const;
    Pos lineTarget(int line) const;
    Pos wordStep(Pos p, bool forward) const;

    const core::Page *m_page = nullptr;

    // Line-start offsets: m_starts[k] is the offset of line k for k < m_starts.size(); line k's
    // characters are known for k < m_starts.size() - 1. Appends and last-line replacements keep the
    // lines before the previous last one; any other change drops the whole cache.
    mutable std::vector<int> m_starts{0};
    mutable std::uint64_t m_syncRevision = ~std::uint64_t{0};
    mutable std::uint64_t m_syncStructure = ~std::uint64_t{0};
    mutable int m_syncCount = 0;

    mutable Pos m_caret;
    mutable Pos m_anchor;
    int m_preferredColumn = -1; // byte column kept by vertical moves
};
