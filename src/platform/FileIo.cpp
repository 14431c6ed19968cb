// SPDX-License-Identifier: MIT
#include "FileIo.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform
{

std::optional<std::string> ReadWholeFile(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            bytes.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            ::close(fd);
            return std::nullopt;
        }
    }
    ::close(fd);
    return bytes;
}

bool FileExists(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool WriteFileAtomic(const std::string &path, const std::string &bytes, std::string *error,
                     Durability durability)
{
    const std::string_view piece(bytes);
    return WriteFileAtomic(path, std::span(&piece, 1), error, durability);
}

bool WriteFileAtomic(const std::string &path, std::span<const std::string_view> pieces, std::string *error,
                     Durability durability)
{
    auto fail = [&](const char *what, const std::string &tmp) {
        const int err = errno;
        if (!tmp.empty())
            ::unlink(tmp.c_str());
        if (error)
            *error = std::string(what) + " " + path + ": " + std::strerror(err);
        return false;
    };

    std::string tmp = path + ".XXXXXX";
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0)
        return fail("cannot create", {});
    // Keep the permissions an existing file had; a new one gets the usual 0644.
    struct stat st;
    ::fchmod(fd, ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644);

    // Small pieces are gathered into a buffer that stays in the cache and go out in large
    // writes: joining megabytes first, or handing the kernel thousands of short pieces, costs more.
    auto writeAll = [fd](const char *p, std::size_t n) {
        while (n > 0) {
            const ssize_t w = ::write(fd, p, n);
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                return false;
            }
            p += w;
            n -= static_cast<std::size_t>(w);
        }
        return true;
    };
    constexpr std::size_t kBufferBytes = std::size_t{64} * 1024;
    std::vector<char> buffer(kBufferBytes);
    std::size_t used = 0;
    bool ok = true;
    for (const std::string_view piece : pieces) {
        if (used + piece.size() > kBufferBytes) {
            ok = writeAll(buffer.data(), used);
            used = 0;
            if (!ok)
                break;
        }
        if (piece.size() > kBufferBytes) {
            if (!(ok = writeAll(piece.data(), piece.size())))
                break;
            continue;
        }
        std::memcpy(buffer.data() + used, piece.data(), piece.size());
        used += piece.size();
    }
    if (ok)
        ok = writeAll(buffer.data(), used);
    if (!ok) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return fail("cannot write", tmp);
    }
    if (durability == Durability::Flushed && ::fsync(fd) != 0) {
        ::close(fd);
        return fail("cannot write", tmp);
    }
    if (::close(fd) != 0)
        return fail("cannot write", tmp);
    if (::rename(tmp.c_str(), path.c_str()) != 0)
        return fail("cannot replace", tmp);
    return true;
}

} // namespace platform
