// SPDX-License-Identifier: MIT
// Reading a file line by line for the continuous output. A line is what one read into a 5000-byte
// line buffer gives: at most 4999 bytes, up to and including the next line feed, which is then
// cut off. A longer line thus arrives as several lines (6000 bytes: 4999, then 1001). A CR before
// the line feed is kept: the mixed send trims it with the item. Bytes are passed on as they are,
// zero bytes included.
#pragma once

#include <cstddef>
#include <fstream>
#include <istream>
#include <memory>
#include <string>

namespace core
{

constexpr std::size_t kLineBufferSize = 5000;
constexpr std::size_t kLineReadMax = kLineBufferSize - 1;

class LineReader
{
  public:
    // Reads from `in`, which must outlive the reader.
    explicit LineReader(std::istream &in);
    // Opens `path` for reading; check isOpen().
    explicit LineReader(const std::string &path);

    bool isOpen() const { return m_in != nullptr; }

    // The next line without its line feed. Returns false at the end of the input or on a read
    // error, which ends the play-out the same way.
    bool next(std::string &line);

  private:
    bool fill();

    std::unique_ptr<std::ifstream> m_file;
    std::istream *m_in = nullptr;
    std::unique_ptr<char[]> m_buf;
    std::size_t m_pos = 0;
    std::size_t m_end = 0;
    bool m_eof = false;
};

} // namespace core
