// SPDX-License-Identifier: MIT
// A file that only grows: created new, opened for appending, so that every write goes after what
// is already there and nothing written is ever written again. A crash leaves everything up to
// the last write (and a crash of the machine, everything up to the last flush).
//
// Threads: one thread writes; syncData alone may run beside it, on another (a flush to the disk
// may take long, and the writer must not wait for it).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform
{

class AppendFile
{
  public:
    AppendFile() = default;
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

    // Appends all the bytes (a write cut short by the system goes on where it stopped).
    bool write(std::string_view bytes, std::string *error = nullptr);
    // What is in the file to the disk; what that covers then leaves the page cache, since a log
    // is not read back while it is written. May run on another thread while one writes.
    bool syncData(std::string *error = nullptr);
    // Closes the file; false when that failed.
    bool close(std::string *error = nullptr);

  private:
    bool report(const char *what, int err, std::string *error) const;

    int m_fd = -1;
    std::string m_path;
    std::atomic<std::uint64_t> m_written{0}; // bytes appended by this object
    std::uint64_t m_advised = 0;             // the flushing thread's: what left the page cache
};

} // namespace platform
