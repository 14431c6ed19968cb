// SPDX-License-Identifier: MIT
#include "AppendFile.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

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

bool AppendFile::write(const std::string_view *pieces, std::size_t count, std::string *error)
{
    if (m_fd < 0) {
        errno = EBADF;
        return Fail(error, "cannot write", m_path);
    }
    // Gathered writes: the pieces are never copied into one buffer first.
    std::vector<iovec> iov;
    iov.reserve(std::min<std::size_t>(count, IOV_MAX));
    std::size_t next = 0;
    while (next < count || !iov.empty()) {
        while (next < count && iov.size() < IOV_MAX) {
            if (!pieces[next].empty())
                iov.push_back({const_cast<char *>(pieces[next].data()), pieces[next].size()});
            ++next;
        }
        if (iov.empty())
            break;
        const ssize_t n = ::writev(m_fd, iov.data(), static_cast<int>(iov.size()));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return Fail(error, "cannot write", m_path);
        }
        if (n == 0) {
            errno = ENOSPC;
            return Fail(error, "cannot write", m_path);
        }
        // Drop what was written, keep the rest (a partial write ends inside some piece).
        auto done = static_cast<std::size_t>(n);
        std::size_t k = 0;
        while (k < iov.size() && done >= iov[k].iov_len)
            done -= iov[k++].iov_len;
        iov.erase(iov.begin(), iov.begin() + static_cast<std::ptrdiff_t>(k));
        if (!iov.empty()) {
            iov.front().iov_base = static_cast<char *>(iov.front().iov_base) + done;
            iov.front().iov_len -= done;
        }
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
