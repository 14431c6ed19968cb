// SPDX-License-Identifier: MIT
// The automatic replies' patterns and matching, as a hostile rule file or line could give them:
// any text parses or is refused without fault, and the matcher finds exactly what a plain
// byte-by-byte matcher finds, wherever the data is cut into reads. The input is: up to four
// patterns, each a line (hex form when it starts with 'h', else text form), a blank line, then the
// data.
#include "FuzzCheck.h"

#include "ReplyMatcher.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace
{

// At every byte the bytes since the last match are looked at from their end: the first pattern
// in list order that they end with matches, and the match consumes them.
std::vector<std::pair<int, std::string>> Plain(const std::vector<core::BytePattern> &patterns,
                                               std::string_view data)
{
    std::vector<std::pair<int, std::string>> found;
    std::string since;
    for (const char c : data) {
        since += c;
        for (std::size_t k = 0; k < patterns.size(); ++k) {
            const core::BytePattern &p = patterns[k];
            if (p.empty() || p.size() > since.size())
                continue;
            const std::size_t at = since.size() - p.size();
            bool ok = true;
            std::string captures;
            for (std::size_t i = 0; i < p.size() && ok; ++i) {
                const auto b = static_cast<std::uint8_t>(since[at + i]);
                ok = p[i] < 0 || p[i] == b;
                if (p[i] < 0)
                    captures += static_cast<char>(b);
            }
            if (ok) {
                found.emplace_back(static_cast<int>(k), captures);
                since.clear();
                break;
            }
        }
    }
    return found;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string_view in(reinterpret_cast<const char *>(data), size);
    std::vector<core::BytePattern> patterns;
    while (patterns.size() < 4) {
        const std::size_t lf = in.find('\n');
        if (lf == std::string_view::npos || lf == 0)
            break;
        const std::string_view line = in.substr(0, lf);
        in.remove_prefix(lf + 1);
        std::string error;
        const std::optional<core::BytePattern> p = line[0] == 'h'
                                                       ? core::ParseHexPattern(line.substr(1), &error)
                                                       : core::ParseTextPattern(line, &error);
        FUZZ_CHECK(p || !error.empty()); // a refused pattern says why
        patterns.push_back(p.value_or(core::BytePattern{}));
        FUZZ_CHECK(patterns.back().size() <= core::kMaxPatternBytes);
    }
    if (!in.empty() && in.front() == '\n')
        in.remove_prefix(1);
    const auto want = Plain(patterns, in);
    core::ReplyMatcher m;
    m.setPatterns(patterns);
    const auto *p = reinterpret_cast<const std::uint8_t *>(in.data());
    for (const std::size_t cut : {std::size_t(0), in.size() / 3, in.size()}) {
        std::vector<std::pair<int, std::string>> got;
        auto note = [&](const core::ReplyMatcher::Match &match) {
            got.emplace_back(match.pattern, std::string(match.captures.begin(), match.captures.end()));
        };
        m.reset();
        for (const auto &[from, to] : {std::pair{std::size_t(0), cut}, std::pair{cut, in.size()}}) {
            for (std::size_t at = from; at < to;) {
                core::ReplyMatcher::Match match;
                at += m.feed(p + at, to - at, &match);
                if (match.pattern >= 0)
                    note(match);
            }
        }
        FUZZ_CHECK(got == want);
    }
    return 0;
}
