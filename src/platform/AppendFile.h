// SPDX-License-Identifier: MIT
// A file that only grows: created new, written at its end, flushed to the disk now and then. What
// was written is never written again, so a crash leaves everything up to the last flush.
#pragma once

#include <string>
#include <string_view>

namespace platform
{

class AppendFile
{
  public:
    AppendFile() = default;
    ~AppendFile();
    AppendFile(AppendFile &&other) noexcept;
    AppendFile &operator=(AppendFile &&other) noexcept;
    AppendFile(const AppendFile &) = delete;
    AppendFile &operator=(const AppendFile &) = delete;

    // Creates `path`; fails when it already exists (nothing there is touched) or cannot be made.
    // On failure returns false and puts the reason in *error (if given).
    bool create(const std::string &path, std::string *error = nullptr);
    bool isOpen() const { return m_fd >= 0; }

    // Writes the bytes whole at the file's end (partial writes and interruptions are taken up
    // again). On failure (a full disk, an I/O error) returns false with the reason; how much of
    // the bytes reached the file is then unknown.
    bool write(std::string_view bytes, std::string *error = nullptr);
    // Flushes what was written to the disk.
    bool sync(std::string *error = nullptr);
    // Closes the file; false when the close reported a write error.
    bool close(std::string *error = nullptr);

  private:
    int m_fd = -1;
    std::string m_path;
};

} // namespace platform
