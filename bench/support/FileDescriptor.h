// SPDX-License-Identifier: MIT
// A file descriptor closed when it goes out of scope, so that a run that ends early through an
// exception does not leave the pseudo-terminal's slave side open for the next run.
#pragma once

#include "SetupError.h"

#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <utility>

namespace bench
{

class FileDescriptor
{
  public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    FileDescriptor(FileDescriptor &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    FileDescriptor &operator=(FileDescriptor &&other) noexcept
    {
        if (this != &other) {
            reset();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    ~FileDescriptor() { reset(); }
    int get() const { return m_fd; }
    void reset()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

  private:
    int m_fd;
};

// Close-on-exec: a child started later must not hold it.
inline FileDescriptor OpenOrThrow(const std::string &path, int flags)
{
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0)
        ThrowSystem("open " + path);
    return FileDescriptor(fd);
}

} // namespace bench
