// SPDX-License-Identifier: MIT
// Another program run by a benchmark (this program's executable, cat): started so that a failed
// exec is told apart from a program that ends at once, and never left behind when the benchmark
// ends early.
#pragma once

#include "SetupError.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace bench
{

// A child process; ended (SIGTERM, then SIGKILL) and reaped at the latest when it goes out of scope.
class Child
{
  public:
    explicit Child(pid_t pid) : m_pid(pid) {}
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    ~Child() { terminate(); }

    pid_t pid() const { return m_pid; }

    bool running()
    {
        if (!m_reaped && ::waitpid(m_pid, &m_status, WNOHANG) == m_pid)
            m_reaped = true;
        return !m_reaped;
    }

    void terminate()
    {
        using namespace std::chrono_literals;
        if (!running())
            return;
        ::kill(m_pid, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (running() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        if (running()) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, &m_status, 0);
            m_reaped = true;
        }
    }

    std::string ending() const
    {
        if (!m_reaped)
            return "still running";
        if (WIFEXITED(m_status))
            return "exit status " + std::to_string(WEXITSTATUS(m_status));
        return "signal " + std::to_string(WTERMSIG(m_status)) + " (" + ::strsignal(WTERMSIG(m_status)) + ")";
    }

  private:
    pid_t m_pid;
    int m_status = 0;
    bool m_reaped = false;
};

// Forks and runs `path` after `setUp` has arranged the child's descriptors and environment, and
// returns once the child runs it: until then the child still holds the benchmark's descriptors
// (some of them on the pseudo-terminal). Call it while the benchmark has no other thread, so that
// the child may do more than async-signal-safe calls.
inline std::unique_ptr<Child> Spawn(const std::string &path, const std::function<void()> &setUp)
{
    int execed[2];
    if (::pipe2(execed, O_CLOEXEC) != 0)
        ThrowSystem("pipe2");
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int error = errno;
        ::close(execed[0]);
        ::close(execed[1]);
        errno = error;
        ThrowSystem("fork");
    }
    if (pid == 0) {
        ::close(execed[0]);
        setUp();
        ::execl(path.c_str(), path.c_str(), static_cast<char *>(nullptr));
        const int error = errno;
        [[maybe_unused]] const ssize_t told = ::write(execed[1], &error, sizeof error);
        ::_exit(127);
    }
    ::close(execed[1]);
    auto child = std::make_unique<Child>(pid);
    // The pipe closes on exec; an errno comes through it when exec failed.
    int error = 0;
    ssize_t n;
    while ((n = ::read(execed[0], &error, sizeof error)) < 0 && errno == EINTR) {
    }
    ::close(execed[0]);
    if (n > 0)
        throw SetupError("cannot run " + path + ": " + std::strerror(error));
    return child;
}

} // namespace bench
