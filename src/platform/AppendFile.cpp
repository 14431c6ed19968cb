// SPDX-License-Identifier: MIT
#include "AppendFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace platform
{

AppendFile::~AppendFile()
{
    close();
}

AppendFile::AppendFile(AppendFile &&other) noexcept
{
    *this = std::move(other);
}

AppendFile &AppendFile::operator=(AppendFile &&other) noexcept
{
    if (this != &other) {
        close();
        m_fd = std::exchange(other.m_fd, -1);
        m_path = std::move(other.m_path);
        m_written = other.m_written.exchange(0);
        m_advised = std::exchange(other.m_advised, 0);
    }
    return *this;
}

bool AppendFile::report(const char *what, int err, std::string *error) const
{
    if (error)
        *error = std::string(what) + " " + m_path + ": " + std::strerror(err);
    return false;
}

bool AppendFile::create(const std::string &path, std::string *error)
{
    close();
    m_path = path;
    m_written = 0;
    m_advised = 0;
    int fd;
    do
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0644);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return report("cannot create", errno, error);
    m_fd = fd;
    return true;
}

bool AppendFile::write(std::string_view bytes, std::string *error)
{
    if (m_fd < 0)
        return report("cannot write", EBADF, error);
    while (!bytes.empty()) {
        const ssize_t n = ::write(m_fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return report("cannot write", n == 0 ? ENOSPC : errno, error);
        bytes.remove_prefix(static_cast<std::size_t>(n));
        m_written += static_cast<std::uint64_t>(n);
    }
    return true;
}

bool AppendFile::syncData(std::string *error)
{
    if (m_fd < 0)
        return true;
    const std::uint64_t written = m_written;
    if (::fdatasync(m_fd) != 0)
        return report("cannot write", errno, error);
    // Advice only: a failure changes nothing that was written.
    if (written > m_advised)
        ::posix_fadvise(m_fd, static_cast<off_t>(m_advised), static_cast<off_t>(written - m_advised),
                        POSIX_FADV_DONTNEED);
    m_advised = written;
    return true;
}

bool AppendFile::close(std::string *error)
{
    if (m_fd < 0)
        return true;
    const int fd = std::exchange(m_fd, -1);
    // Not retried on EINTR: the descriptor is gone either way on Linux.
    if (::close(fd) != 0 && errno != EINTR)
        return report("cannot write", errno, error);
    return true;
}

} // namespace platform
