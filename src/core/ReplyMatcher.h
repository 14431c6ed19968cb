// SPDX-License-Identifier: MIT
// The automatic replies' matching: patterns of bytes, each byte either a value or any byte
// ("??"), found in the received bytes as they come, across reads and ticks.
//
// All the patterns are matched at once, bit-parallel (shift-and over the patterns laid end to end,
// a bit per pattern byte): each received byte costs a few word operations per 64 pattern bytes,
// whatever the patterns hold, so no pattern can make matching slow, and the memory is the
// patterns' own plus the last bytes of the longest one (for the bytes a "??" took). A match
// consumes its bytes: matching starts again after its last byte. Of several patterns that end
// at the same byte, the first in list order matches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace core
{

// One byte of a pattern: a value, or -1 for any byte.
using BytePattern = std::vector<std::int16_t>;
inline constexpr std::size_t kMaxPatternBytes = 256;

// "01 03 ?? ?? 00 02": two hex digits or "??" per byte, blanks between them.
std::optional<BytePattern> ParseHexPattern(std::string_view text, std::string *error);
// "OK\r\n": the bytes as written, with the escapes \r \n \t \0 \\ and \xHH.
std::optional<BytePattern> ParseTextPattern(std::string_view text, std::string *error);

class ReplyMatcher
{
  public:
    // The patterns in list order; an empty one (a rule that is off) never matches.
    void setPatterns(const std::vector<BytePattern> &patterns);
    // Forgets what was partly matched.
    void reset();

    struct Match {
        int pattern = -1;                   // none
        std::vector<std::uint8_t> captures; // the bytes the "??" took, in order
    };
    // Feeds the bytes up to the first match and returns how many it took: all n, or up to and
    // including the match's last byte, which *found then describes. The caller may change the
    // patterns before it feeds the rest.
    std::size_t feed(const std::uint8_t *p, std::size_t n, Match *found);

  private:
    int step(std::uint8_t b);
    Match match(int pattern) const;

    std::vector<BytePattern> m_patterns;
    std::vector<std::size_t> m_offsets; // each pattern's first bit
    std::size_t m_words = 0;
    std::vector<std::uint64_t> m_masks; // 256 × m_words: which pattern bytes take the byte
    std::vector<std::uint64_t> m_starts;
    std::vector<std::uint64_t> m_ends;
    std::vector<std::uint64_t> m_state;
    std::vector<std::uint8_t> m_recent; // the last bytes, as many as the longest pattern
    std::size_t m_recentAt = 0;
};

} // namespace core
