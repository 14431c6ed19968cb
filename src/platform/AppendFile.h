// SPDX-License-Identifier: MIT
// A file that only grows: created new, written at its end, flushed to the disk now and then. A
// crash leaves everything up to the last flush.
//
// A traffic log grows by hundreds of megabytes a minute in a flood, and copying that into the
// page cache costs the kernel more than the rest of the terminal spends on it. Where the file
// system allows it the file is therefore written with direct I/O, straight from a buffer of our
// own to the disk, in whole blocks. The bytes after the last whole block wait in that buffer
// until the block fills or the file is flushed; a flush writes them through the page cache, and
// the block is written again, with those bytes unchanged, once it is full. Where direct I/O is
// refused the file is written through the page cache as usual.
//
// Threads: write and sync may be called from two threads at once (a flush may take long, and a
// writer must not wait for it).
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace platform
{

class AppendFile
{
  public:
    AppendFile();
    ~AppendFile();
    // Moves are for handing a created file over, before any thread writes to it.
    AppendFile(AppendFile &&other) noexcept;
    AppendFile &operator=(AppendFile &&other) noexcept;
    AppendFile(const AppendFile &) = delete;
    AppendFile &operator=(const AppendFile &) = delete;

    // Creates `path`; fails when it already exists (nothing there is touched) or cannot be made.
    // On failure returns false and puts the reason in *error (if given).
    bool create(const std::string &path, std::string *error = nullptr);
    bool isOpen() const { return m_fd >= 0; }

    // Appends the bytes. Up to a block of them may wait in memory until the next write or
    // flush. On failure (a full disk, an I/O error) returns false with the reason; how much of
    // the bytes reached the file is then unknown.
    bool write(std::string_view bytes, std::string *error = nullptr);
    // Everything written so far to the file, and the file to the disk.
    bool sync(std::string *error = nullptr);
    // Writes what waits and closes the file; false when either failed.
    bool close(std::string *error = nullptr);

  private:
    struct FreeBuffer {
        void operator()(char *p) const;
    };

    bool writeWholeBlocks(std::string *error);
    bool writeWaiting(std::string *error);
    bool setDirect(bool on);
    bool putAt(const char *p, std::size_t n, off_t at, std::string *error);

    std::mutex m_mutex; // write, sync and close: the fields below
    int m_fd = -1;
    std::string m_path;
    bool m_direct = false;
    std::unique_ptr<char[], FreeBuffer> m_buffer; // with direct I/O: the bytes not yet in blocks
    std::size_t m_buffered = 0;
    std::size_t m_bufferedInFile = 0; // of those, already written through the page cache
    off_t m_bufferAt = 0;             // the file offset of m_buffer[0], a block boundary
};

} // namespace platform
