// SPDX-License-Identifier: MIT
// Find in a page: text as the TEXT and CHAR pages show it (CP932 decoded, with or without case),
// or a byte sequence as the HEX and DEC pages write it ("0D 0A", "13 10", "??" for any byte). A
// match lies within one line; it may span cells. Places are the view's: the line, and the first
// character and the count of characters within the line's decoded text, so that the view can
// select a match without knowing how it was found.
//
// The finder keeps its matches up to date as the page grows: appended lines and the last line,
// which the receive pipeline keeps extending, are searched as they come; when lines are removed
// or replaced (a blank line taken out before an echo, the line limit, "ログクリア") the search goes
// on from the first line touched. It searches until a deadline and goes on from there at the next
// call, so that a large page never holds up the receive tick.
#pragma once

#include <chrono>
#include <climits>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace core
{

class Page;

struct FindMatch {
    int line = 0;
    int start = 0;  // characters into the line's decoded text
    int length = 0; // characters
    friend bool operator==(const FindMatch &, const FindMatch &) = default;
};

// A byte of a pattern that stands for any byte ("??").
inline constexpr int kAnyByte = -1;

struct FindQuery {
    enum class Kind { Text, Bytes };
    Kind kind = Kind::Text;
    // Text: the characters as shown (UTF-16, as the view counts them).
    std::u16string text;
    bool caseSensitive = false;
    // Bytes: 0 to 255 or kAnyByte, and how the page writes a byte (16: "0D", 10: " 13").
    std::vector<int> bytes;
    int radix = 16;

    bool empty() const { return kind == Kind::Text ? text.empty() : bytes.empty(); }
};

// A byte pattern as typed for the HEX (radix 16) or DEC (radix 10) page: bytes apart by blanks
// or commas. HEX takes one or two digits a byte, either case, and longer runs of digits two by
// two ("0D0A"); DEC takes one to three digits up to 255. "??" (DEC also "?" and "???") is any
// byte. Nothing comes back for a word that is no byte; *bad then holds that word.
std::optional<std::vector<int>> ParseBytePattern(std::string_view text, int radix,
                                                 std::string *bad = nullptr);
// The pattern written as the page writes its bytes: "0D 0A ??" or "13 10 ??".
std::string BytePatternText(const std::vector<int> &bytes, int radix);

// CP932 decoded into UTF-16, character for character as platform::Cp932ToUtf8 decodes it (and so
// as the page view shows it), only faster.
void DecodeCp932(std::string_view bytes, std::u16string &out);

// Case folding for the cased letters CP932 holds: ASCII, full-width Latin, Greek, Cyrillic and
// the Roman numerals.
char16_t FoldCase(char16_t c);

// Appends the matches in one line, left to right and not overlapping.
void FindInLine(const FindQuery &query, std::string_view line, int lineIndex, std::vector<FindMatch> &out);

class PageFinder
{
  public:
    using Clock = std::chrono::steady_clock;
    // Beyond this many matches no more are kept: a pattern such as "??" on a full page would
    // otherwise take hundreds of megabytes for a list nobody steps through.
    static constexpr std::size_t kMaxMatches = 1'000'000;

    PageFinder();
    ~PageFinder();
    PageFinder(const PageFinder &) = delete;
    PageFinder &operator=(const PageFinder &) = delete;

    // Starts afresh with another query.
    void setQuery(FindQuery query);
    const FindQuery &query() const;
    // Starts afresh with the same query (on another page).
    void restart();

    // Drops the matches the page's changes made stale; cheap. Call it before the matches are
    // read after the page changed.
    void sync(const Page &page);
    // Searches on until the deadline (at least one line, so that each call gets on); true when
    // the matches cover the whole page as it stands.
    bool update(const Page &page, Clock::time_point deadline);
    bool complete(const Page &page) const;

    // Sorted by line and start.
    const std::vector<FindMatch> &matches() const { return m_matches; }
    // The lowest line whose matches were dropped because its line changed or went (or the query
    // did) since the last call, INT_MAX when none: a match remembered on that line or after it
    // no longer stands for what it did. The last line searched again as it grows is no drop.
    int takeDropped();
    // More matches were found than are kept.
    bool truncated() const { return m_truncatedAt >= 0; }

  private:
    struct Matcher;
    void reset();
    void drop(int line);
    void searchLine(const Page &page, int line);

    std::unique_ptr<Matcher> m_matcher;
    std::vector<FindMatch> m_matches;
    // Lines [0, m_done) are searched for good: they are neither the last line nor were they
    // changed since (the page's structure revision is still m_structure).
    int m_done = 0;
    std::uint64_t m_structure = ~std::uint64_t{0};
    std::uint64_t m_revision = ~std::uint64_t{0}; // the page when the search last reached its end
    int m_dropped = 0;
    int m_truncatedAt = -1; // the line where the kept matches ran out
};

} // namespace core
