// SPDX-License-Identifier: MIT
#include "FileIo.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ::close(fd);
            return fail("cannot write", tmp);
        }
        done += static_cast<std::size_t>(n);
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
