// SPDX-License-Identifier: MIT
// A file that only grows: created new, written at its end, flushed to the disk now and then. A
// crash leaves everything up to the last flush.
//
// A traffic log grows by hundreds of megabytes a minute in a flood, and copying that into the
// page cache costs the kernel more than the rest of the terminal spends on it. The bytes are
// therefore made in a buffer of the file's own (room, commit), and where the file system allows
// it that buffer is written with direct I/O, straight to the disk, in whole blocks, when it is
// full or the file is written out. Writing out puts the bytes after the last whole block through
// the page cache, and that block is written again, with those bytes unchanged, once it is full.
// Where direct I/O is refused the buffer is written through the page cache as usual.
//
// The first failure (a full disk, an I/O error) is kept: nothing is written after it.
//
// Threads: one thread writes; syncData alone may run beside it, on another (a flush to the disk
// may take long, and the writer must not wait for it).
#pragma once

#include "ByteBuffer.h"

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace platform
{

class AppendFile
{
  public:
    // The most room() gives at once.
    static constexpr std::size_t kMaxRoom = std::size_t(1) << 20;

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

    // Where the next n bytes (n <= kMaxRoom) go: put them there and hand them in with commit.
    // Making room may write the full buffer to the file; when that fails (see failed), the room
    // is still there but what is put in it is dropped.
    char *room(std::size_t n);
    void commit(std::size_t n);
    // Appends the bytes (room and commit). Up to 8 MiB of them may wait in memory until the next
    // writeOut.
    bool write(std::string_view bytes, std::string *error = nullptr);
    // Everything committed so far into the file (not yet to the disk).
    bool writeOut(std::string *error = nullptr);
    // What is in the file to the disk. May run on another thread while one writes.
    bool syncData(std::string *error = nullptr) const;
    // writeOut, then syncData.
    bool sync(std::string *error = nullptr);
    // Writes out and closes the file; false when either failed.
    bool close(std::string *error = nullptr);
    // True, with the reason, once a write failed.
    bool failed(std::string *error = nullptr) const;

  private:
    bool putWholeBlocks();
    bool putRest();
    bool setDirect(bool on);
    bool put(const char *p, std::size_t n, off_t at);
    bool fail(const char *what);
    bool reportFailure(std::string *error) const;

    int m_fd = -1;
    std::string m_path;
    bool m_direct = false;
    BytesPtr m_buffer;
    off_t m_bufferAt = 0;           // the file offset of m_buffer[0]: a block boundary when direct
    std::size_t m_committed = 0;    // bytes of the buffer that are to be in the file
    std::size_t m_blocksInFile = 0; // of those, the whole blocks written directly
    std::size_t m_inFile = 0;       // and all of those in the file, the last part block too
    std::string m_failure;
};

} // namespace platform
