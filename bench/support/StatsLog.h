// SPDX-License-Identifier: MIT
// The receive statistics this program logs under the category "quorvel.stats": lines of
// key=value words after the tag "rx-stats" (bytes received, bytes the ring dropped, tick
// durations, the last line of the TEXT page ...), and a log file read as it grows. Fields are
// found by their key, so a field added to the line or a change in their order breaks no
// benchmark.
#pragma once

#include "FileDescriptor.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>
#include <utility>
#include <vector>

namespace bench
{

inline constexpr std::string_view kStatsTag = "rx-stats";

// key=value words after the tag; a value in double quotes may hold spaces and backslash
// escapes (kept as they are). Words without '=' are passed over.
inline std::map<std::string, std::string> ParseFields(std::string_view text)
{
    std::map<std::string, std::string> fields;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        const std::size_t space = std::min(text.find(' ', i), text.size());
        const std::size_t eq = text.find('=', i);
        if (eq >= space) {
            i = space;
            continue;
        }
        const std::string key(text.substr(i, eq - i));
        std::string value;
        i = eq + 1;
        if (i < text.size() && text[i] == '"') {
            for (++i; i < text.size() && text[i] != '"'; ++i) {
                if (text[i] == '\\' && i + 1 < text.size())
                    value += text[i++];
                value += text[i];
            }
            ++i;
        } else {
            const std::size_t stop = std::min(text.find(' ', i), text.size());
            value = text.substr(i, stop - i);
            i = stop;
        }
        fields[key] = value;
    }
    return fields;
}

inline int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(c | 0x20);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// \xHH is the byte HH, \r \n \t are CR, LF and tab; a backslash before anything else stands for
// that character.
inline std::string Unescape(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        if (c == 'x' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 && HexDigit(text[i + 2]) >= 0) {
            out += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
            i += 2;
        } else {
            out += c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c;
        }
    }
    return out;
}

struct StatsLine {
    std::string text; // from "rx-stats" on
    std::map<std::string, std::string> fields;

    // The statistics in a line of the log (or in a logged message), if it holds them.
    static std::optional<StatsLine> find(std::string_view logLine)
    {
        const auto at = logLine.find(kStatsTag);
        if (at == std::string_view::npos)
            return std::nullopt;
        return StatsLine{std::string(logLine.substr(at)), ParseFields(logLine.substr(at + kStatsTag.size()))};
    }

    std::optional<unsigned long long> number(const std::string &key) const
    {
        const auto it = fields.find(key);
        if (it == fields.end() || it->second.empty())
            return std::nullopt;
        char *end = nullptr;
        errno = 0;
        const unsigned long long value = std::strtoull(it->second.c_str(), &end, 10);
        if (errno != 0 || *end != '\0' || it->second[0] == '-')
            return std::nullopt;
        return value;
    }

    // A figure with a fraction, such as tick-max-ms.
    std::optional<double> decimal(const std::string &key) const
    {
        const auto it = fields.find(key);
        if (it == fields.end() || it->second.empty())
            return std::nullopt;
        char *end = nullptr;
        errno = 0;
        const double value = std::strtod(it->second.c_str(), &end);
        if (errno != 0 || *end != '\0')
            return std::nullopt;
        return value;
    }

    // The TEXT page's last complete line, escapes undone.
    std::optional<std::string> textLast() const
    {
        const auto it = fields.find("text-last");
        return it == fields.end() ? std::nullopt : std::optional(Unescape(it->second));
    }
};

// The complete lines added to a file since the last call.
class LogTail
{
  public:
    explicit LogTail(const std::string &path) : m_fd(OpenOrThrow(path, O_RDONLY)) {}

    std::vector<std::string> newLines()
    {
        char buffer[65536];
        for (ssize_t n; (n = ::read(m_fd.get(), buffer, sizeof buffer)) > 0;)
            m_partial.append(buffer, static_cast<std::size_t>(n));
        std::vector<std::string> lines;
        std::size_t from = 0;
        for (std::size_t nl; (nl = m_partial.find('\n', from)) != std::string::npos; from = nl + 1)
            lines.push_back(m_partial.substr(from, nl - from));
        m_partial.erase(0, from);
        return lines;
    }

  private:
    FileDescriptor m_fd;
    std::string m_partial;
};

} // namespace bench
