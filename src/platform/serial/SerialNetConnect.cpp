// SPDX-License-Identifier: MIT
// The network back end's connection: the host name looked up and every address it has tried in
// turn, all within one time-out, and the socket set up to notice a dead link.
#include "SerialInternal.h"
#include "SerialNetDevice.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace platform::net
{
namespace
{

struct AddrInfoDeleter {
    void operator()(addrinfo *ai) const { ::freeaddrinfo(ai); }
};
using AddrInfo = std::unique_ptr<addrinfo, AddrInfoDeleter>;

// A look-up that may outlive its caller: getaddrinfo cannot be interrupted, so a caller that runs
// out of time leaves, and the look-up's thread frees what it finds once it is done.
struct Lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool abandoned = false;
    int result = 0;
    int error = 0; // errno, for EAI_SYSTEM
    addrinfo *found = nullptr;
};

addrinfo Hints(int flags)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags | AI_NUMERICSERV;
    return hints;
}

// Looks the host up, within the time left; *why says why nothing was found.
AddrInfo Resolve(const std::string &host, std::uint16_t port, std::int64_t deadlineMs, Connected *why)
{
    const std::string service = std::to_string(port);
    // An address needs no look-up (and no thread).
    addrinfo hints = Hints(AI_NUMERICHOST);
    addrinfo *found = nullptr;
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) == 0)
        return AddrInfo(found);

    auto lookup = std::make_shared<Lookup>();
    try {
        std::thread([lookup, host, service] {
            const addrinfo nameHints = Hints(0);
            addrinfo *result = nullptr;
            const int r = ::getaddrinfo(host.c_str(), service.c_str(), &nameHints, &result);
            const int err = errno;
            const std::lock_guard lock(lookup->mutex);
            if (lookup->abandoned) {
                if (result)
                    ::freeaddrinfo(result);
                return;
            }
            lookup->result = r;
            lookup->error = err;
            lookup->found = result;
            lookup->finished = true;
            lookup->done.notify_all();
        }).detach();
    } catch (...) {
        why->error = ERROR_NOT_ENOUGH_MEMORY;
        why->detail = "no thread for the name look-up";
        return nullptr;
    }
    std::unique_lock lock(lookup->mutex);
    const auto deadline = std::chrono::steady_clock::time_point(std::chrono::milliseconds(deadlineMs));
    if (!lookup->done.wait_until(lock, deadline, [&] { return lookup->finished; })) {
        lookup->abandoned = true;
        why->error = ERROR_TIMEOUT;
        why->detail =
            "looking up " + host + ": no answer within " + std::to_string(kConnectTimeoutMs) + " ms";
        return nullptr;
    }
    if (lookup->result == 0)
        return AddrInfo(lookup->found);
    switch (lookup->result) {
    case EAI_NONAME:
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
    case EAI_FAIL:
    case EAI_AGAIN:
        why->error = ERROR_BAD_NET_NAME;
        break;
    case EAI_MEMORY:
        why->error = ERROR_NOT_ENOUGH_MEMORY;
        break;
    default:
        why->error = ERROR_GEN_FAILURE;
        break;
    }
    why->detail =
        "getaddrinfo " + host + ": " +
        (lookup->result == EAI_SYSTEM ? std::strerror(lookup->error) : ::gai_strerror(lookup->result));
    return nullptr;
}

std::string AddressText(const addrinfo *ai, std::uint16_t port)
{
    char text[INET6_ADDRSTRLEN] = "?";
    if (ai->ai_family == AF_INET6) {
        const auto *a = reinterpret_cast<const sockaddr_in6 *>(ai->ai_addr);
        ::inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
        return "[" + std::string(text) + "]:" + std::to_string(port);
    }
    const auto *a = reinterpret_cast<const sockaddr_in *>(ai->ai_addr);
    ::inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(port);
}

DWORD ErrorFromConnect(int err)
{
    switch (err) {
    case ECONNREFUSED:
        return ERROR_CONNECTION_REFUSED;
    case ENETUNREACH:
    case ENETDOWN:
    case EAFNOSUPPORT: // no IPv6 on this machine
    case EADDRNOTAVAIL:
        return ERROR_NETWORK_UNREACHABLE;
    case EHOSTUNREACH:
    case EHOSTDOWN:
        return ERROR_HOST_UNREACHABLE;
    case ETIMEDOUT:
        return ERROR_TIMEOUT;
    default:
        return ErrorFromErrno(err);
    }
}

// Of several addresses' failures the one that tells the user most: a server that said no, then
// one that did not answer, then a network out of reach.
int Rank(DWORD error)
{
    switch (error) {
    case ERROR_CONNECTION_REFUSED:
        return 3;
    case ERROR_TIMEOUT:
        return 2;
    case ERROR_NETWORK_UNREACHABLE:
    case ERROR_HOST_UNREACHABLE:
        return 1;
    default:
        return 0;
    }
}

// Connects to one address within `timeoutMs`: the socket, or -1 with errno set.
int ConnectOne(const addrinfo *ai, int timeoutMs)
{
    const int fd = ::socket(ai->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int err = 0;
    if (::connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
        err = errno;
        if (err == EINPROGRESS || err == EINTR) {
            pollfd p{fd, POLLOUT, 0};
            const std::int64_t deadline = DeadlineMs(static_cast<std::uint64_t>(timeoutMs));
            int r;
            do
                r = ::poll(&p, 1, RemainingMs(deadline));
            while (r < 0 && errno == EINTR);
            socklen_t length = sizeof err;
            if (r == 0)
                err = ETIMEDOUT;
            else if (r < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &length) != 0)
                err = errno;
        }
    }
    if (err != 0) {
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

void SetOption(int fd, int level, int name, int value)
{
    // Each is a refinement: a kernel without one still makes a working connection.
    ::setsockopt(fd, level, name, &value, sizeof value);
}

} // namespace

Connected Connect(const std::string &host, std::uint16_t port, int timeoutMs)
{
    const std::int64_t deadline = DeadlineMs(static_cast<std::uint64_t>(timeoutMs));
    Connected result;
    const AddrInfo addresses = Resolve(host, port, deadline, &result);
    if (!addresses)
        return result;
    int left = 0;
    for (const addrinfo *ai = addresses.get(); ai; ai = ai->ai_next)
        ++left;
    result.error = ERROR_TIMEOUT;
    result.detail = "connect " + host + ": no answer within " + std::to_string(timeoutMs) + " ms";
    for (const addrinfo *ai = addresses.get(); ai; ai = ai->ai_next, --left) {
        const int remaining = RemainingMs(deadline);
        if (remaining == 0)
            break; // the time-out set above stands
        const int fd = ConnectOne(ai, std::max(remaining / left, 1));
        if (fd >= 0) {
            SetOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
            SetOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
            SetOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, kKeepIdleSeconds);
            SetOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, kKeepIntervalSeconds);
            SetOption(fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepCount);
            SetOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, static_cast<int>(kUnacknowledgedMs));
            return Connected{fd, ERROR_SUCCESS, {}};
        }
        const int err = errno;
        const DWORD error = ErrorFromConnect(err);
        if (ai == addresses.get() || Rank(error) > Rank(result.error)) {
            result.error = error;
            result.detail = "connect " + AddressText(ai, port) + ": " + std::strerror(err);
        }
    }
    return result;
}

} // namespace platform::net
