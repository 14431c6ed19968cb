// SPDX-License-Identifier: MIT
#include "Ini.h"

#include "FileIo.h"

#include <filesystem>
#include <optional>
#include <string_view>

namespace platform
{
namespace
{

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

char AsciiLower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i]))
            return false;
    }
    return true;
}

// "[name]" (blanks around the brackets allowed): the name, as written between the brackets.
std::optional<std::string_view> SectionName(std::string_view line)
{
    const std::string_view t = Trim(line);
    if (t.size() < 2 || t.front() != '[')
        return std::nullopt;
    const std::size_t close = t.rfind(']');
    if (close == std::string_view::npos || close == 0)
        return std::nullopt;
    return t.substr(1, close - 1);
}

struct KeyLine {
    std::string_view key; // trimmed, as spelled in the file
    std::string_view raw; // the value trimmed, quotes not yet removed
};

// "key=value" lines; comments (';') and lines without '=' are no keys.
std::optional<KeyLine> ParseKeyLine(std::string_view line)
{
    const std::string_view t = Trim(line);
    if (t.empty() || t.front() == ';' || t.front() == '[')
        return std::nullopt;
    const std::size_t eq = t.find('=');
    if (eq == std::string_view::npos)
        return std::nullopt;
    const std::string_view key = Trim(t.substr(0, eq));
    if (key.empty())
        return std::nullopt;
    return KeyLine{key, Trim(t.substr(eq + 1))};
}

std::string ReadValue(std::string_view raw)
{
    if (raw.size() >= 2 && raw.front() == '"' && raw.back() == '"')
        raw = raw.substr(1, raw.size() - 2);
    return std::string(raw.substr(0, kProfileValueMax));
}

// Line indices of the first section called `section`: its header, and one past its last line.
struct SectionSpan {
    std::size_t header;
    std::size_t end;
};

std::optional<SectionSpan> FindSection(const std::vector<std::string> &lines, std::string_view section)
{
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto name = SectionName(lines[i]);
        if (!name || !SameName(*name, section))
            continue;
        std::size_t end = i + 1;
        while (end < lines.size() && !SectionName(lines[end]))
            ++end;
        return SectionSpan{i, end};
    }
    return std::nullopt;
}

std::optional<std::size_t> FindKey(const std::vector<std::string> &lines, const SectionSpan &span,
                                   std::string_view key)
{
    for (std::size_t i = span.header + 1; i < span.end; ++i) {
        const auto k = ParseKeyLine(lines[i]);
        if (k && SameName(k->key, key))
            return i;
    }
    return std::nullopt;
}

constexpr const char *kNewLineEnd = "\r\n";

} // namespace

bool IniFile::load(const std::string &path)
{
    m_error.clear();
    auto bytes = ReadWholeFile(path);
    if (!bytes) {
        std::error_code ec;
        if (std::filesystem::exists(path, ec) || (ec && ec != std::errc::no_such_file_or_directory)) {
            m_error = "cannot read " + path;
            setText({});
            return false;
        }
        bytes.emplace();
    }
    setText(std::move(*bytes));
    return true;
}

bool IniFile::save(const std::string &path) const
{
    m_error.clear();
    return WriteFileAtomic(path, text(), &m_error);
}

std::string IniFile::get(const std::string &section, const std::string &key, const std::string &def) const
{
    const auto span = FindSection(m_lines, section);
    if (!span)
        return def;
    const auto line = FindKey(m_lines, *span, key);
    if (!line)
        return def;
    return ReadValue(ParseKeyLine(m_lines[*line])->raw);
}

bool IniFile::contains(const std::string &section, const std::string &key) const
{
    const auto span = FindSection(m_lines, section);
    return span && FindKey(m_lines, *span, key);
}

bool IniFile::hasSection(const std::string &section) const
{
    return FindSection(m_lines, section).has_value();
}

void IniFile::removeSection(const std::string &section)
{
    const auto span = FindSection(m_lines, section);
    if (!span)
        return;
    m_lines.erase(m_lines.begin() + static_cast<std::ptrdiff_t>(span->header),
                  m_lines.begin() + static_cast<std::ptrdiff_t>(span->end));
    m_ends.erase(m_ends.begin() + static_cast<std::ptrdiff_t>(span->header),
                 m_ends.begin() + static_cast<std::ptrdiff_t>(span->end));
}

void IniFile::set(const std::string &section, const std::string &key, const std::string &value)
{
    // A line end inside the value would end the line early and turn the rest into a line of its
    // own (a stray key, or even a section header). What a reader can get back is the text up to
    // the first line end, so that is what is stored.
    const std::string_view v(value.data(), std::min(value.size(), value.find_first_of("\r\n")));

    const auto span = FindSection(m_lines, section);
    if (span) {
        if (const auto line = FindKey(m_lines, *span, key)) {
            const KeyLine k = *ParseKeyLine(m_lines[*line]);
            // Rewritten whenever the stored text differs, blanks included, as the Windows profile
            // functions do; a line that already holds the value is left exactly as it was.
            const std::string &text = m_lines[*line];
            if (std::string_view(text).substr(text.find('=') + 1) != v)
                m_lines[*line] = std::string(k.key) + '=' + std::string(v);
            return;
        }
        // After the section's last line that is not blank, so that the blank lines separating it
        // from the next section keep their place.
        std::size_t at = span->header + 1;
        for (std::size_t i = span->header + 1; i < span->end; ++i) {
            if (!Trim(m_lines[i]).empty())
                at = i + 1;
        }
        if (m_ends[at - 1].empty())
            m_ends[at - 1] = kNewLineEnd;
        m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(at), key + '=' + std::string(v));
        m_ends.insert(m_ends.begin() + static_cast<std::ptrdiff_t>(at), kNewLineEnd);
        return;
    }
    if (!m_ends.empty() && m_ends.back().empty())
        m_ends.back() = kNewLineEnd;
    m_lines.push_back('[' + section + ']');
    m_ends.emplace_back(kNewLineEnd);
    m_lines.push_back(key + '=' + std::string(v));
    m_ends.emplace_back(kNewLineEnd);
}

std::string IniFile::text() const
{
    std::string out;
    std::size_t size = 0;
    for (std::size_t i = 0; i < m_lines.size(); ++i)
        size += m_lines[i].size() + m_ends[i].size();
    out.reserve(size);
    for (std::size_t i = 0; i < m_lines.size(); ++i) {
        out += m_lines[i];
        out += m_ends[i];
    }
    return out;
}

void IniFile::setText(std::string text)
{
    m_lines.clear();
    m_ends.clear();
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string::npos) {
            m_lines.push_back(text.substr(pos));
            m_ends.emplace_back();
            break;
        }
        m_lines.push_back(text.substr(pos, end - pos));
        const bool crlf = text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n';
        const std::size_t endLen = crlf ? 2 : 1;
        m_ends.push_back(text.substr(end, endLen));
        pos = end + endLen;
    }
}

std::string GetPrivateProfileStringA(const std::string &section, const std::string &key,
                                     const std::string &def, const std::string &path)
{
    IniFile ini;
    if (!ini.load(path))
        return def;
    return ini.get(section, key, def);
}

bool WritePrivateProfileStringA(const std::string &section, const std::string &key, const std::string &value,
                                const std::string &path)
{
    IniFile ini;
    if (!ini.load(path))
        return false; // never replace a file we could not read with one that lacks its lines
    ini.set(section, key, value);
    return ini.save(path);
}

} // namespace platform
