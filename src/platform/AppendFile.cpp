// SPDX-License-Identifier: MIT
#include "AppendFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace platform
{
namespace
{

bool Fail(std::string *error, const char *what, const std::string &path)
{
    if (error)
        *error = std::string(what) + " " + path + ": " + std::strerror(errno);
    return false;
}

} // namespace

AppendFile::~AppendFile()
{
    close();
}

AppendFile::AppendFile(AppendFile &&other) noexcept : m_fd(other.m_fd), m_path(std::move(other.m_path))
{
    other.m_fd = -1;
}

AppendFile &AppendFile::operator=(AppendFile &&other) noexcept
{
    if (this != &other) {
        close();
        m_fd = other.m_fd;
        m_path = std::move(other.m_path);
        other.m_fd = -1;
    }
    return *this;
}

bool AppendFile::create(const std::string &path, std::string *error)
{
    close();
    int fd;
    do
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0644);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return Fail(error, "cannot create", path);
    m_fd = fd;
    m_path = path;
    return true;
}

bool AppendFile::write(std::string_view bytes, std::string *error)
{
    if (m_fd < 0) {
        errno = EBADF;
        return Fail(error, "cannot write", m_path);
    }
    while (!bytes.empty()) {
        const ssize_t n = ::write(m_fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return Fail(error, "cannot write", m_path);
        }
        if (n == 0) {
            errno = ENOSPC;
            return Fail(error, "cannot write", m_path);
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool AppendFile::sync(std::string *error)
{
    if (m_fd >= 0 && ::fdatasync(m_fd) != 0)
        return Fail(error, "cannot write", m_path);
    return true;
}

bool AppendFile::close(std::string *error)
{
    if (m_fd < 0)
        return true;
    const int fd = m_fd;
    m_fd = -1;
    // Not retried on EINTR: the descriptor is gone either way on Linux.
    if (::close(fd) != 0 && errno != EINTR)
        return Fail(error, "cannot write", m_path);
    return true;
}

} // namespace platform
