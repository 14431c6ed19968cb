// SPDX-License-Identifier: MIT
// One display page: an ordered list of byte lines (CP932 text), with the operations of a string
// list. The view shows it; the receive pipeline, the senders, the log save and the pick-up work on
// it directly. Adding a line and replacing the last line cost O(1); nothing is laid out here.
//
// Beside each line the page keeps when the line began (milliseconds since 1970, 0 for a line
// that has no time, such as the empty line that waits for the next bytes). The time is not part
// of the line: the files, the pick-up and the offsets know only the bytes.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace core
{

class Page
{
  public:
    int count() const { return static_cast<int>(m_lines.size()); }
    // Reading outside the lines (line 0 of an empty page) gives the empty string.
    const std::string &line(int i) const;
    // When line i began; 0 outside the lines and for a line without a time.
    std::int64_t time(int i) const;
    // Replacing line 0 of an empty page creates it; other indexes outside the lines are ignored.
    // The line keeps its time.
    void replace(int i, std::string text);
    void setTime(int i, std::int64_t time);
    void add(std::string text, std::int64_t time = 0);
    void remove(int i);
    void clear();

    // The last line (index max(0, count - 1)).
    const std::string &last() const { return line(count() - 1 < 0 ? 0 : count() - 1); }
    void replaceLast(std::string text) { replace(count() - 1 < 0 ? 0 : count() - 1, std::move(text)); }
    // Moves the last line out and leaves it empty (nothing on an empty page). The receive
    // pipeline extends the last line during a tick and puts it back with replaceLast, so that a
    // long line is not copied twice on every tick.
    std::string takeLast();

    // Every line followed by CR LF: the page file's bytes.
    std::string fileText() const;
    const std::vector<std::string> &lines() const { return m_lines; }
    // Moves every line out, leaving the page empty: a save in the background takes the lines
    // without copying them.
    std::vector<std::string> takeLines();

    // Bumped on every change: views compare it to know when to repaint.
    std::uint64_t revision() const { return m_revision; }
    // Bumped when lines other than the last one changed or went away (a view then re-checks its
    // caret and selection); appends and last-line replacements do not bump it.
    std::uint64_t structureRevision() const { return m_structureRevision; }
    // The lowest line that the changes since structure revision `since` may have touched: the
    // lines before it are as they were then. The page remembers its last few such changes; for
    // an older revision the answer is 0.
    int firstChangedSince(std::uint64_t since) const;
    // The longest line in bytes (CP932: one byte is one column of a fixed-pitch font).
    int maxLineLength() const;

  private:
    void structureChanged(int line);

    std::vector<std::string> m_lines;
    std::vector<std::int64_t> m_times; // one per line
    std::uint64_t m_revision = 0;
    std::uint64_t m_structureRevision = 0;
    mutable int m_maxLength = 0;
    mutable bool m_maxLengthExact = true; // false after a removal may have shortened it
    // The lowest line of each of the last structure changes, by revision modulo their count.
    struct Change {
        std::uint64_t revision = 0;
        int line = 0;
    };
    std::array<Change, 16> m_changes{};
};

// Every line followed by CR LF.
std::string FileText(const std::vector<std::string> &lines);

} // namespace core
