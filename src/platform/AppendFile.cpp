// SPDX-License-Identifier: MIT
#include "AppendFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace platform
{
namespace
{

// Direct writes start and end on this boundary, in memory and in the file: a page, which is a
// multiple of the block size of the disks and file systems met in practice. One that needs more
// refuses the write, and the file is then written through the page cache.
constexpr std::size_t kBlock = 4096;
// Direct writes are made only when the buffer is full (or written out), so it is large enough that
// a write costs little beside its bytes: each request to the disk costs the kernel tens of
// microseconds, and a switch to the host in a virtual machine. Writing 1 GB in pieces of 256 KiB
// costs twice the system time of pieces of 2 MiB or more. It is made of huge pages where the
// system has them: the kernel pins a direct write's memory page by page, and a huge page is one.
constexpr std::size_t kBufferSize = 4 * kHugePage;
// After room is made, less than a block is left in the buffer.
static_assert(AppendFile::kMaxRoom + kBlock <= kBufferSize);

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
        m_fd = std::exchange(other.m_fd, -1);
        m_path = std::move(other.m_path);
        m_direct = other.m_direct;
        m_buffer = std::move(other.m_buffer);
        m_bufferAt = other.m_bufferAt;
        m_committed = std::exchange(other.m_committed, 0);
        m_blocksInFile = std::exchange(other.m_blocksInFile, 0);
        m_inFile = std::exchange(other.m_inFile, 0);
        m_failure = std::move(other.m_failure);
    }
    return *this;
}

bool AppendFile::create(const std::string &path, std::string *error)
{
    close();
    m_path = path;
    m_failure.clear();
    m_bufferAt = 0;
    m_committed = m_blocksInFile = m_inFile = 0;
    m_buffer = AllocateHugePages(kBufferSize);
    if (!m_buffer) {
        errno = ENOMEM;
        fail("cannot create");
        return reportFailure(error);
    }
    // Its pages are taken now, when the log starts, not while the traffic it records is shown.
    std::memset(m_buffer.get(), 0, kBufferSize);
    int fd;
    do
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        fail("cannot create");
        m_buffer.reset();
        return reportFailure(error);
    }
    m_fd = fd;
    // A file system without direct I/O refuses the flag here.
    m_direct = setDirect(true);
    return true;
}

bool AppendFile::setDirect(bool on)
{
    const int flags = ::fcntl(m_fd, F_GETFL);
    return flags >= 0 && ::fcntl(m_fd, F_SETFL, on ? flags | O_DIRECT : flags & ~O_DIRECT) == 0;
}

bool AppendFile::fail(const char *what)
{
    if (m_failure.empty())
        m_failure = std::string(what) + " " + m_path + ": " + std::strerror(errno);
    return false;
}

bool AppendFile::reportFailure(std::string *error) const
{
    if (m_failure.empty())
        return true;
    if (error)
        *error = m_failure;
    return false;
}

bool AppendFile::failed(std::string *error) const
{
    return !reportFailure(error);
}

bool AppendFile::put(const char *p, std::size_t n, off_t at)
{
    return PutAt(m_fd, p, n, at) == n || fail("cannot write");
}

char *AppendFile::room(std::size_t n)
{
    if (kBufferSize - m_committed < n) {
        if (m_failure.empty() && m_direct)
            putWholeBlocks();
        else if (m_failure.empty())
            putRest();
        // What is in the file leaves the buffer, but for the part block that direct writes will
        // write again; after a failure, everything goes.
        std::size_t gone = m_direct ? m_blocksInFile : m_inFile;
        if (!m_failure.empty())
            gone = m_committed;
        std::memmove(m_buffer.get(), m_buffer.get() + gone, m_committed - gone);
        m_bufferAt += off_t(gone);
        m_committed -= gone;
        m_inFile = m_inFile > gone ? m_inFile - gone : 0;
        m_blocksInFile = 0;
    }
    return m_buffer.get() + m_committed;
}

void AppendFile::commit(std::size_t n)
{
    m_committed += n;
}

bool AppendFile::write(std::string_view bytes, std::string *error)
{
    if (m_fd < 0) {
        if (error)
            *error = "cannot write " + m_path + ": " + std::strerror(EBADF);
        return false;
    }
    while (!bytes.empty() && m_failure.empty()) {
        const std::size_t n = std::min(kMaxRoom, bytes.size());
        std::memcpy(room(n), bytes.data(), n);
        commit(n);
        bytes.remove_prefix(n);
    }
    return reportFailure(error);
}

bool AppendFile::putWholeBlocks()
{
    const std::size_t whole = m_committed / kBlock * kBlock;
    if (whole <= m_blocksInFile)
        return true;
    const std::size_t n = whole - m_blocksInFile;
    const std::size_t done =
        PutAt(m_fd, m_buffer.get() + m_blocksInFile, n, m_bufferAt + off_t(m_blocksInFile));
    if (done < n && errno == EINVAL && setDirect(false)) {
        // Refused after all (a block size larger than ours): the page cache from here on.
        m_direct = false;
        m_inFile = std::max(m_inFile, m_blocksInFile + done);
        return putRest();
    }
    if (done < n)
        return fail("cannot write");
    m_blocksInFile = whole;
    m_inFile = std::max(m_inFile, whole);
    return true;
}

bool AppendFile::putRest()
{
    if (m_inFile >= m_committed)
        return true;
    // Direct writes are whole blocks only: the part block goes through the page cache.
    if (m_direct && !setDirect(false))
        return fail("cannot write");
    const bool ok = put(m_buffer.get() + m_inFile, m_committed - m_inFile, m_bufferAt + off_t(m_inFile));
    if (ok)
        m_inFile = m_committed;
    if (m_direct && !setDirect(true))
        m_direct = false;
    return ok;
}

bool AppendFile::writeOut(std::string *error)
{
    if (m_fd < 0)
        return reportFailure(error);
    if (m_failure.empty() && m_direct)
        putWholeBlocks();
    if (m_failure.empty())
        putRest();
    return reportFailure(error);
}

bool AppendFile::syncData(std::string *error) const
{
    if (m_fd < 0 || ::fdatasync(m_fd) == 0)
        return true;
    if (error)
        *error = "cannot write " + m_path + ": " + std::strerror(errno);
    return false;
}

bool AppendFile::sync(std::string *error)
{
    return writeOut(error) && syncData(error);
}

bool AppendFile::close(std::string *error)
{
    if (m_fd < 0)
        return true;
    const bool written = writeOut(error);
    const int fd = std::exchange(m_fd, -1);
    m_buffer.reset();
    m_committed = m_blocksInFile = m_inFile = 0;
    // Not retried on EINTR: the descriptor is gone either way on Linux.
    if (::close(fd) != 0 && errno != EINTR && written) {
        fail("cannot write");
        return reportFailure(error);
    }
    return written;
}

} // namespace platform
