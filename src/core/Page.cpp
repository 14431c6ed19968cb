// SPDX-License-Identifier: MIT
#include "Page.h"

#include <algorithm>
#include <iterator>

namespace core
{
namespace
{
const std::string kEmpty;
}

const std::string &Page::line(int i) const
{
    return i >= 0 && i < count() ? m_lines[static_cast<std::size_t>(i)] : kEmpty;
}

std::int64_t Page::time(int i) const
{
    return i >= 0 && i < count() ? m_times[static_cast<std::size_t>(i)] : 0;
}

void Page::setTime(int i, std::int64_t time)
{
    if (i < 0 || i >= count() || m_times[static_cast<std::size_t>(i)] == time)
        return;
    m_times[static_cast<std::size_t>(i)] = time;
    ++m_revision;
    if (i != count() - 1)
        structureChanged(i);
}

void Page::replace(int i, std::string text)
{
    if (i == 0 && m_lines.empty()) {
        add(std::move(text));
        return;
    }
    if (i < 0 || i >= count())
        return;
    auto &slot = m_lines[static_cast<std::size_t>(i)];
    if (text.size() < slot.size() && static_cast<int>(slot.size()) >= m_maxLength)
        m_maxLengthExact = false;
    m_maxLength = std::max(m_maxLength, static_cast<int>(text.size()));
    slot = std::move(text);
    ++m_revision;
    if (i != count() - 1)
        structureChanged(i);
}

std::string Page::takeLast()
{
    if (m_lines.empty())
        return {};
    auto &slot = m_lines.back();
    if (!slot.empty() && static_cast<int>(slot.size()) >= m_maxLength)
        m_maxLengthExact = false;
    std::string text = std::move(slot);
    slot.clear();
    ++m_revision;
    return text;
}

void Page::add(std::string text, std::int64_t time)
{
    m_maxLength = std::max(m_maxLength, static_cast<int>(text.size()));
    m_lines.push_back(std::move(text));
    m_times.push_back(time);
    ++m_revision;
}

void Page::remove(int i)
{
    if (i < 0 || i >= count())
        return;
    if (static_cast<int>(m_lines[static_cast<std::size_t>(i)].size()) >= m_maxLength)
        m_maxLengthExact = false;
    m_lines.erase(m_lines.begin() + i);
    m_times.erase(m_times.begin() + i);
    ++m_revision;
    structureChanged(i);
}

void Page::clear()
{
    m_lines.clear();
    m_times.clear();
    m_maxLength = 0;
    m_maxLengthExact = true;
    ++m_revision;
    structureChanged(0);
}

std::string Page::fileText() const
{
    return FileText(m_lines);
}

std::vector<std::string> Page::takeLines()
{
    std::vector<std::string> lines;
    lines.swap(m_lines);
    m_times.clear();
    m_maxLength = 0;
    m_maxLengthExact = true;
    ++m_revision;
    structureChanged(0);
    return lines;
}

void Page::structureChanged(int line)
{
    ++m_structureRevision;
    m_changes[m_structureRevision % m_changes.size()] = {m_structureRevision, line};
}

int Page::firstChangedSince(std::uint64_t since) const
{
    if (since > m_structureRevision || m_structureRevision - since > m_changes.size())
        return 0;
    int first = count();
    for (std::uint64_t r = since + 1; r <= m_structureRevision; ++r) {
        const Change &c = m_changes[r % m_changes.size()];
        if (c.revision != r)
            return 0;
        first = std::min(first, c.line);
    }
    return first;
}

std::string FileText(const std::vector<std::string> &lines)
{
    std::size_t size = 0;
    for (const auto &l : lines)
        size += l.size() + 2;
    std::string out;
    out.reserve(size);
    for (const auto &l : lines) {
        out += l;
        out += "\r\n";
    }
    return out;
}

int Page::maxLineLength() const
{
    if (!m_maxLengthExact) {
        m_maxLength = 0;
        for (const auto &l : m_lines)
            m_maxLength = std::max(m_maxLength, static_cast<int>(l.size()));
        m_maxLengthExact = true;
    }
    return m_maxLength;
}

} // namespace core
