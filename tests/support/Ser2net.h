// SPDX-License-Identifier: MIT
// The real ser2net for tests: run in the foreground on a configuration of the test's own, one
// connection listening on 127.0.0.1 only, its serial side a device the test gives (a
// pseudo-terminal), stopped when the object goes.
#pragma once

#include "TempDir.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

inline std::string Ser2netPath()
{
    for (const char *p : {"/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net"})
        if (::access(p, X_OK) == 0)
            return p;
    return {};
}

// Whether something listens on 127.0.0.1:port, as the kernel's table says (a test connection
// would take ser2net's one connection).
inline bool Listening(std::uint16_t port)
{
    std::ifstream table("/proc/net/tcp");
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local == wanted && state == "0A")
            return true;
    }
    return false;
}

// ser2net on one connection: `accepter` is "telnet(rfc2217),tcp" or "tcp"; `options`, the
// connection's options ("name: value" each), none by default.
class Ser2net
{
  public:
    Ser2net(const TempDir &dir, const std::string &accepter, std::uint16_t port, const std::string &device,
            const std::vector<std::string> &options = {})
        : m_config(dir.file("ser2net.yaml")), m_log(dir.file("ser2net.log")), m_port(port)
    {
        std::ofstream config(m_config);
        config << "connection: &bench\n"
               << "  accepter: " << accepter << ",127.0.0.1," << port << "\n"
               << "  connector: serialdev," << device << ",9600n81,local\n";
        if (!options.empty())
            config << "  options:\n";
        for (const std::string &option : options)
            config << "    " << option << "\n";
        config.close();
        start();
    }
    ~Ser2net() { stop(); }
    Ser2net(const Ser2net &) = delete;
    Ser2net &operator=(const Ser2net &) = delete;

    // Runs it in the foreground (-n), logging to a file (-d), without UUCP lock files (-u).
    bool start()
    {
        // Everything the child needs is made before the fork: it may only call what is safe there.
        const std::string path = Ser2netPath();
        m_pid = ::fork();
        if (m_pid == 0) {
            const int log = ::open(m_log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            ::dup2(log, 1);
            ::dup2(log, 2);
            ::execl(path.c_str(), "ser2net", "-n", "-d", "-u", "-c", m_config.c_str(), nullptr);
            ::_exit(127);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!Listening(m_port) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return Listening(m_port);
    }
    void stop()
    {
        if (m_pid <= 0)
            return;
        ::kill(m_pid, SIGTERM);
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (::waitpid(m_pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                ::kill(m_pid, SIGKILL);
                ::waitpid(m_pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        m_pid = -1;
    }
    pid_t pid() const { return m_pid; }
    std::string log() const
    {
        std::ifstream in(m_log);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

  private:
    std::string m_config, m_log;
    std::uint16_t m_port;
    pid_t m_pid = -1;
};
