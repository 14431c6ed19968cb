// SPDX-License-Identifier: MIT
#include "AppendFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace platform
{
namespace
{

// Direct writes start and end on this boundary, in memory and in the file: a page, which is a
// multiple of the block size of the disks and file systems met in practice. One that needs more
// refuses the write, and the file is then written through the page cache.
constexpr std::size_t kBlock = 4096;
// Large enough that a write costs little beside its bytes: in a virtual machine, each request to
// the disk costs a switch to the host. It is made of huge pages where the system has them: the
// kernel pins a direct write's memory page by page, and a huge page is one.
constexpr std::size_t kHugePage = std::size_t(2) << 20;
constexpr std::size_t kBufferSize = 4 * kHugePage;

bool Fail(std::string *error, const char *what, const std::string &path)
{
    if (error)
        *error = std::string(what) + " " + path + ": " + std::strerror(errno);
    return false;
}

// Writes n bytes at `at`; returns how many were written before a failure (n when none failed).
std::size_t PutAt(int fd, const char *p, std::size_t n, off_t at)
{
    std::size_t done = 0;
    while (done < n) {
        const ssize_t w = ::pwrite(fd, p + done, n - done, at + off_t(done));
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return done;
        }
        if (w == 0) {
            errno = ENOSPC;
            return done;
        }
        done += std::size_t(w);
    }
    return done;
}

} // namespace

void AppendFile::FreeBuffer::operator()(char *p) const
{
    std::free(p);
}

AppendFile::AppendFile() = default;

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
        m_fd = other.m_fd;
        m_path = std::move(other.m_path);
        m_direct = other.m_direct;
        m_buffer = std::move(other.m_buffer);
        m_buffered = other.m_buffered;
        m_bufferedInFile = other.m_bufferedInFile;
        m_bufferAt = other.m_bufferAt;
        other.m_fd = -1;
        other.m_buffered = 0;
    }
    return *this;
}

bool AppendFile::create(const std::string &path, std::string *error)
{
    close();
    int fd;
    do
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return Fail(error, "cannot create", path);
    m_fd = fd;
    m_path = path;
    m_buffered = m_bufferedInFile = 0;
    m_bufferAt = 0;
    m_buffer.reset(static_cast<char *>(std::aligned_alloc(kHugePage, kBufferSize)));
    if (m_buffer)
        ::madvise(m_buffer.get(), kBufferSize, MADV_HUGEPAGE); // a hint: without it, small pages
    // A file system without direct I/O refuses the flag here.
    m_direct = m_buffer && setDirect(true);
    if (!m_direct)
        m_buffer.reset();
    return true;
}

bool AppendFile::setDirect(bool on)
{
    const int flags = ::fcntl(m_fd, F_GETFL);
    return flags >= 0 && ::fcntl(m_fd, F_SETFL, on ? flags | O_DIRECT : flags & ~O_DIRECT) == 0;
}

bool AppendFile::putAt(const char *p, std::size_t n, off_t at, std::string *error)
{
    if (PutAt(m_fd, p, n, at) < n)
        return Fail(error, "cannot write", m_path);
    return true;
}

bool AppendFile::write(std::string_view bytes, std::string *error)
{
    std::lock_guard lock(m_mutex);
    if (m_fd < 0) {
        errno = EBADF;
        return Fail(error, "cannot write", m_path);
    }
    if (!m_direct) {
        if (!putAt(bytes.data(), bytes.size(), m_bufferAt, error))
            return false;
        m_bufferAt += off_t(bytes.size());
        return true;
    }
    while (!bytes.empty()) {
        const std::size_t n = std::min(kBufferSize - m_buffered, bytes.size());
        std::memcpy(m_buffer.get() + m_buffered, bytes.data(), n);
        m_buffered += n;
        bytes.remove_prefix(n);
        if (!writeWholeBlocks(error))
            return false;
    }
    return true;
}

bool AppendFile::writeWholeBlocks(std::string *error)
{
    if (!m_direct)
        return true;
    const std::size_t whole = m_buffered / kBlock * kBlock;
    if (whole == 0)
        return true;
    std::size_t done = PutAt(m_fd, m_buffer.get(), whole, m_bufferAt);
    if (done < whole && errno == EINVAL && setDirect(false)) {
        // Refused after all (a block size larger than ours): the page cache from here on.
        m_direct = false;
        done += PutAt(m_fd, m_buffer.get() + done, m_buffered - done, m_bufferAt + off_t(done));
        if (done < m_buffered)
            return Fail(error, "cannot write", m_path);
        m_bufferAt += off_t(m_buffered);
        m_buffered = m_bufferedInFile = 0;
        m_buffer.reset();
        return true;
    }
    if (done < whole)
        return Fail(error, "cannot write", m_path);
    std::memmove(m_buffer.get(), m_buffer.get() + whole, m_buffered - whole);
    m_bufferAt += off_t(whole);
    m_buffered -= whole;
    m_bufferedInFile = m_bufferedInFile > whole ? m_bufferedInFile - whole : 0;
    return true;
}

bool AppendFile::writeWaiting(std::string *error)
{
    if (!writeWholeBlocks(error))
        return false;
    if (!m_direct || m_bufferedInFile == m_buffered)
        return true;
    // The part block goes through the page cache; direct writes are whole blocks only.
    if (!setDirect(false))
        return Fail(error, "cannot write", m_path);
    const bool ok = putAt(m_buffer.get() + m_bufferedInFile, m_buffered - m_bufferedInFile,
                          m_bufferAt + off_t(m_bufferedInFile), error);
    if (ok)
        m_bufferedInFile = m_buffered;
    if (!setDirect(true)) {
        m_direct = false;
        m_bufferAt += off_t(m_bufferedInFile);
        m_buffered = m_bufferedInFile = 0;
        m_buffer.reset();
    }
    return ok;
}

bool AppendFile::sync(std::string *error)
{
    int fd;
    {
        std::lock_guard lock(m_mutex);
        if (m_fd < 0)
            return true;
        if (!writeWaiting(error))
            return false;
        fd = m_fd;
    }
    // Without the lock: the writer goes on while the disk takes its time.
    if (::fdatasync(fd) != 0)
        return Fail(error, "cannot write", m_path);
    return true;
}

bool AppendFile::close(std::string *error)
{
    std::lock_guard lock(m_mutex);
    if (m_fd < 0)
        return true;
    const bool written = writeWaiting(error);
    const int fd = m_fd;
    m_fd = -1;
    m_buffer.reset();
    m_buffered = m_bufferedInFile = 0;
    // Not retried on EINTR: the descriptor is gone either way on Linux.
    if (::close(fd) != 0 && errno != EINTR)
        return written && Fail(error, "cannot write", m_path);
    return written;
}

} // namespace platform
