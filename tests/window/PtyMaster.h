// SPDX-License-Identifier: MIT
// The master side of a pseudo-terminal for window tests: the window opens the slave as a port.
#pragma once

#include <QByteArray>
#include <QCoreApplication>

#include "PtyPair.h"

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

// The master side of a pseudo-terminal; the window opens the slave as its COM1.
class PtyMaster
{
  public:
    bool ok() const { return m_pty.ok(); }
    QByteArray slavePath() const { return QByteArray::fromStdString(m_pty.slavePath()); }
    bool write(const QByteArray &bytes) const
    {
        return ::write(m_fd, bytes.constData(), static_cast<size_t>(bytes.size())) == bytes.size();
    }

    // What arrives within `ms` milliseconds; stops early once `want` bytes are in. The window
    // keeps processing its events meanwhile (the bytes are written by its transmit thread).
    QByteArray read(qsizetype want, int ms) const
    {
        QByteArray got;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (got.size() < want && std::chrono::steady_clock::now() < deadline) {
            QCoreApplication::processEvents();
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 10) > 0 && (p.revents & POLLIN)) {
                char buf[4096];
                const ssize_t n = ::read(m_fd, buf, sizeof buf);
                if (n > 0)
                    got.append(buf, n);
            }
        }
        return got;
    }
    // What the window sent: up to `want` bytes, then whatever comes in a short quiet time (the
    // caller compares, so a byte too many shows).
    QByteArray readSent(qsizetype want) const
    {
        QByteArray got = read(want, 3000);
        got += read(1 << 20, want ? 100 : 200);
        return got;
    }

  private:
    PtyPair m_pty;
    const int m_fd = m_pty.master();
};
