// SPDX-License-Identifier: MIT
// A pseudo-terminal for tests: the test holds the master side and plays the device; the program
// under test opens the slave as its port.
#pragma once

#include <cerrno>
#include <fcntl.h>
#include <stdlib.h>
#include <string>
#include <unistd.h>

class PtyPair
{
  public:
    // `nonBlocking`: the master's reads and writes return at once instead of waiting.
    explicit PtyPair(bool nonBlocking = false)
    {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_master >= 0 &&
            (::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0 ||
             (nonBlocking && ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK) != 0)))
            closeMaster();
        if (m_master >= 0)
            m_slave = ::ptsname(m_master);
    }
    ~PtyPair() { closeMaster(); }
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool ok() const { return m_master >= 0; }
    int master() const { return m_master; }
    const std::string &slavePath() const { return m_slave; }
    // Hangs the device up, as a pulled adapter does.
    void closeMaster()
    {
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }

  private:
    int m_master = -1;
    std::string m_slave;
};
