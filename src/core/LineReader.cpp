// SPDX-License-Identifier: MIT
#include "LineReader.h"

#include <algorithm>
#include <cstring>

namespace core
{
namespace
{
constexpr std::size_t kChunk = std::size_t{64} * 1024;
}

LineReader::LineReader(std::istream &in) : m_in(&in), m_buf(new char[kChunk]) {}

LineReader::LineReader(const std::string &path)
    : m_file(std::make_unique<std::ifstream>(path, std::ios::in | std::ios::binary)), m_buf(new char[kChunk])
{
    if (m_file->is_open())
        m_in = m_file.get();
}

bool LineReader::fill()
{
    if (m_eof || !m_in)
        return false;
    m_in->read(m_buf.get(), static_cast<std::streamsize>(kChunk));
    m_pos = 0;
    m_end = static_cast<std::size_t>(m_in->gcount());
    if (!*m_in)
        m_eof = true; // end of file or read error: what was read still counts
    return m_end > 0;
}

bool LineReader::next(std::string &line)
{
    line.clear();
    bool any = false;
    while (line.size() < kLineReadMax) {
        if (m_pos == m_end && !fill())
            break;
        any = true;
        const std::size_t want = std::min(m_end - m_pos, kLineReadMax - line.size());
        const char *start = m_buf.get() + m_pos;
        if (const void *lf = std::memchr(start, '\n', want)) {
            const auto n = static_cast<std::size_t>(static_cast<const char *>(lf) - start);
            line.append(start, n);
            m_pos += n + 1;
            return true;
        }
        line.append(start, want);
        m_pos += want;
    }
    return any;
}

} // namespace core
