// SPDX-License-Identifier: MIT
// The far end of a port on another machine, for tests of the network back end: a TCP server on
// 127.0.0.1 with a port of its own. It accepts one connection on a thread of its own and runs the
// test's greeting there (what a server does while the open waits for it); then the test takes
// the connection and plays the server itself. Every wait is bounded; the destructor closes
// everything and joins the thread.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

// One accepted connection, seen from the server's side.
class Peer
{
  public:
    explicit Peer(int fd) : m_fd(fd) {}
    ~Peer() { close(); }
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;

    bool ok() const { return m_fd >= 0; }
    void send(const std::string &bytes) const
    {
        std::size_t at = 0;
        while (m_fd >= 0 && at < bytes.size()) {
            const ssize_t n = ::send(m_fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return;
            at += static_cast<std::size_t>(n);
        }
    }
    // The next `n` bytes the client sent; fewer when they did not come within `limit`.
    std::string read(std::size_t n, std::chrono::milliseconds limit = std::chrono::seconds(3))
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (m_pending.size() < n && receive(deadline)) {
        }
        const std::string got = m_pending.substr(0, n);
        m_pending.erase(0, got.size());
        return got;
    }
    // Everything the client sends until it has been quiet for `quiet`.
    std::string drain(std::chrono::milliseconds quiet = std::chrono::milliseconds(150))
    {
        while (receive(std::chrono::steady_clock::now() + quiet)) {
        }
        std::string got;
        got.swap(m_pending);
        return got;
    }
    // True once the client closed its end (within `limit`).
    bool closedByClient(std::chrono::milliseconds limit = std::chrono::seconds(3))
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!m_eof && receive(deadline)) {
        }
        return m_eof;
    }
    // Everything received on this connection so far.
    const std::string &all() const { return m_all; }
    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

  private:
    bool receive(std::chrono::steady_clock::time_point deadline)
    {
        if (m_fd < 0 || m_eof)
            return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{m_fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return false;
        char buffer[65536];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            m_eof = true;
            return false;
        }
        m_pending.append(buffer, static_cast<std::size_t>(n));
        m_all.append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    int m_fd;
    bool m_eof = false;
    std::string m_pending;
    std::string m_all;
};

class ScriptedServer
{
  public:
    using Script = std::function<void(Peer &)>;

    // `backlog`: how many connections the kernel completes before anybody accepts them; a server
    // that never accepts (`accept` false) with its backlog full makes a connect time out.
    explicit ScriptedServer(Script greeting = {}, bool accept = true, int backlog = 1)
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            ::listen(m_listen, backlog) != 0 ||
            ::getsockname(m_listen, reinterpret_cast<sockaddr *>(&a), &length) != 0)
            return;
        m_port = ntohs(a.sin_port);
        if (accept)
            m_thread = std::thread([this, greeting = std::move(greeting)] {
                pollfd p{m_listen, POLLIN, 0};
                if (::poll(&p, 1, 5000) <= 0)
                    return;
                m_peer = std::make_unique<Peer>(::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC));
                if (greeting && m_peer->ok())
                    greeting(*m_peer);
            });
    }
    ~ScriptedServer()
    {
        if (m_thread.joinable())
            m_thread.join();
        m_peer.reset();
        if (m_listen >= 0)
            ::close(m_listen);
    }
    ScriptedServer(const ScriptedServer &) = delete;
    ScriptedServer &operator=(const ScriptedServer &) = delete;

    std::uint16_t port() const { return m_port; }
    std::string address(const std::string &scheme = "rfc2217") const
    {
        return scheme + "://127.0.0.1:" + std::to_string(m_port);
    }
    // The connection, once the greeting has run; a closed one when nobody connected in time.
    Peer &peer()
    {
        if (m_thread.joinable())
            m_thread.join();
        if (!m_peer)
            m_peer = std::make_unique<Peer>(-1);
        return *m_peer;
    }

  private:
    int m_listen = -1;
    std::uint16_t m_port = 0;
    std::thread m_thread;
    std::unique_ptr<Peer> m_peer;
};

// Bytes written as a string literal, NUL bytes included.
template <std::size_t N> std::string Wire(const char (&literal)[N])
{
    return std::string(literal, N - 1);
}

// What an RFC 2217 server does as a client connects: it waits for the client's offers and takes
// them all, binary and no go-ahead both ways and COM-PORT-OPTION, and waits for the two masks the
// client then sets. The bytes are written out here as RFC 854 and RFC 2217 give them.
inline std::string ClientOffers()
{
    return Wire("\xff\xfb\x00\xff\xfd\x00\xff\xfb\x03\xff\xfd\x03\xff\xfb\x2c");
}
inline std::string ClientMasks()
{
    // SET-LINESTATE-MASK: overrun, parity, framing, break; SET-MODEMSTATE-MASK: everything (the
    // 0xFF doubled).
    return Wire("\xff\xfa\x2c\x0a\x1e\xff\xf0"
                "\xff\xfa\x2c\x0b\xff\xff\xff\xf0");
}
inline void Rfc2217Greeting(Peer &peer)
{
    if (peer.read(ClientOffers().size()) != ClientOffers())
        return; // the test sees it in peer.all()
    peer.send(Wire("\xff\xfd\x00\xff\xfb\x00\xff\xfd\x03\xff\xfb\x03\xff\xfd\x2c"));
    peer.read(ClientMasks().size());
}

// A port of 127.0.0.1 that nothing listens on (bound for a moment and let go).
inline std::uint16_t UnusedLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    std::uint16_t port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length) == 0)
        port = ntohs(a.sin_port);
    if (fd >= 0)
        ::close(fd);
    return port;
}
