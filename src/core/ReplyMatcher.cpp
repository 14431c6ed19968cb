// SPDX-License-Identifier: MIT
#include "ReplyMatcher.h"

#include <algorithm>

namespace core
{
namespace
{

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool Checked(BytePattern &pattern, std::string *error)
{
    if (pattern.empty()) {
        *error = "empty pattern";
        return false;
    }
    if (pattern.size() > kMaxPatternBytes) {
        *error = "pattern longer than " + std::to_string(kMaxPatternBytes) + " bytes";
        return false;
    }
    return true;
}

} // namespace

std::optional<BytePattern> ParseHexPattern(std::string_view text, std::string *error)
{
    BytePattern pattern;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ' || text[i] == '\t') {
            ++i;
            continue;
        }
        if (i + 1 >= text.size() || (i + 2 < text.size() && text[i + 2] != ' ' && text[i + 2] != '\t')) {
            *error = "not two hex digits at \"" + std::string(text.substr(i, 3)) + "\"";
            return std::nullopt;
        }
        if (text[i] == '?' && text[i + 1] == '?') {
            pattern.push_back(-1);
        } else {
            const int high = HexDigit(text[i]);
            const int low = HexDigit(text[i + 1]);
            if (high < 0 || low < 0) {
                *error = "not two hex digits at \"" + std::string(text.substr(i, 2)) + "\"";
                return std::nullopt;
            }
            pattern.push_back(static_cast<std::int16_t>(high * 16 + low));
        }
        i += 2;
    }
    if (!Checked(pattern, error))
        return std::nullopt;
    return pattern;
}

std::optional<BytePattern> ParseTextPattern(std::string_view text, std::string *error)
{
    BytePattern pattern;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\\') {
            pattern.push_back(static_cast<std::uint8_t>(c));
            continue;
        }
        if (++i >= text.size()) {
            *error = "a backslash at the end";
            return std::nullopt;
        }
        switch (text[i]) {
        case 'r':
            pattern.push_back('\r');
            break;
        case 'n':
            pattern.push_back('\n');
            break;
        case 't':
            pattern.push_back('\t');
            break;
        case '0':
            pattern.push_back(0);
            break;
        case '\\':
            pattern.push_back('\\');
            break;
        case 'x': {
            const int high = i + 1 < text.size() ? HexDigit(text[i + 1]) : -1;
            const int low = i + 2 < text.size() ? HexDigit(text[i + 2]) : -1;
            if (high < 0 || low < 0) {
                *error = "\\x without two hex digits";
                return std::nullopt;
            }
            pattern.push_back(static_cast<std::int16_t>(high * 16 + low));
            i += 2;
            break;
        }
        default:
            *error = std::string("unknown escape \\") + text[i];
            return std::nullopt;
        }
    }
    if (!Checked(pattern, error))
        return std::nullopt;
    return pattern;
}

void ReplyMatcher::setPatterns(const std::vector<BytePattern> &patterns)
{
    m_patterns = patterns;
    m_offsets.clear();
    std::size_t bits = 0;
    std::size_t longest = 0;
    for (const BytePattern &p : m_patterns) {
        m_offsets.push_back(bits);
        bits += p.size();
        longest = std::max(longest, p.size());
    }
    m_words = (bits + 63) / 64;
    m_masks.assign(256 * m_words, 0);
    m_starts.assign(m_words, 0);
    m_ends.assign(m_words, 0);
    auto set = [](std::vector<std::uint64_t> &words, std::size_t at, std::size_t bit) {
        words[at + bit / 64] |= std::uint64_t{1} << (bit % 64);
    };
    for (std::size_t k = 0; k < m_patterns.size(); ++k) {
        const BytePattern &p = m_patterns[k];
        if (p.empty())
            continue;
        set(m_starts, 0, m_offsets[k]);
        set(m_ends, 0, m_offsets[k] + p.size() - 1);
        for (std::size_t i = 0; i < p.size(); ++i)
            for (int b = 0; b < 256; ++b)
                if (p[i] < 0 || p[i] == b)
                    set(m_masks, static_cast<std::size_t>(b) * m_words, m_offsets[k] + i);
    }
    m_recent.assign(longest, 0);
    m_recentAt = 0;
    reset();
}

void ReplyMatcher::reset()
{
    m_state.assign(m_words, 0);
}

std::size_t ReplyMatcher::feed(const std::uint8_t *p, std::size_t n, Match *found)
{
    if (m_words == 0)
        return n;
    for (std::size_t i = 0; i < n; ++i) {
        if (const int hit = step(p[i]); hit >= 0) {
            *found = match(hit);
            return i + 1;
        }
    }
    return n;
}

inline int ReplyMatcher::step(std::uint8_t b)
{
    m_recent[m_recentAt] = b;
    if (++m_recentAt == m_recent.size())
        m_recentAt = 0;
    // Every partial match moves on by one byte, every pattern may begin at this one, and only
    // the pattern bytes that take this byte stay.
    const std::uint64_t *mask = &m_masks[static_cast<std::size_t>(b) * m_words];
    std::uint64_t carry = 0;
    bool any = false;
    for (std::size_t w = 0; w < m_words; ++w) {
        const std::uint64_t next = m_state[w] >> 63;
        m_state[w] = ((m_state[w] << 1) | carry | m_starts[w]) & mask[w];
        carry = next;
        any = any || (m_state[w] & m_ends[w]) != 0;
    }
    if (!any)
        return -1;
    for (std::size_t k = 0; k < m_patterns.size(); ++k) {
        if (m_patterns[k].empty())
            continue;
        const std::size_t bit = m_offsets[k] + m_patterns[k].size() - 1;
        if (m_state[bit / 64] >> (bit % 64) & 1) {
            reset(); // the match consumes its bytes
            return static_cast<int>(k);
        }
    }
    return -1;
}

ReplyMatcher::Match ReplyMatcher::match(int pattern) const
{
    Match m;
    m.pattern = pattern;
    const BytePattern &p = m_patterns[static_cast<std::size_t>(pattern)];
    // The last p.size() bytes, oldest first, end just before m_recentAt.
    const std::size_t n = m_recent.size();
    for (std::size_t i = 0; i < p.size(); ++i)
        if (p[i] < 0)
            m.captures.push_back(m_recent[(m_recentAt + n - p.size() + i) % n]);
    return m;
}

} // namespace core
