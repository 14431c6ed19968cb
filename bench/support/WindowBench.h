// SPDX-License-Identifier: MIT
// What the in-process window benchmarks share: a temporary folder that stands in for the
// executable's, with COM1 mapped to a fresh pseudo-terminal whose master side the benchmark
// plays, and a thread that drains what the window sends.
#pragma once

#include "ExePath.h"
#include "PtyPair.h"
#include "TempDir.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include <poll.h>
#include <unistd.h>

class PtyFolder
{
  public:
    // `settings`: more of the settings file after the port map (CR LF lines).
    explicit PtyFolder(const QByteArray &settings = {}) : m_dir("quorvel-bench")
    {
        if (!m_pty.ok())
            return;
        platform::SetExePathForTesting(m_dir.file("Quorvel"));
        QFile ini(filePath(QStringLiteral("Quorvel.ini")));
        m_ok = ini.open(QIODevice::WriteOnly) &&
               ini.write("[PORTS]\r\nCOM1=" + QByteArray::fromStdString(m_pty.slavePath()) + "\r\n" +
                         settings) > 0;
    }
    ~PtyFolder() { platform::SetExePathForTesting(std::string()); }
    PtyFolder(const PtyFolder &) = delete;
    PtyFolder &operator=(const PtyFolder &) = delete;

    bool ok() const { return m_ok; }
    int master() const { return m_pty.master(); }
    QString filePath(const QString &name) const
    {
        return QString::fromStdString(m_dir.file(name.toStdString()));
    }

  private:
    TempDir m_dir;
    PtyPair m_pty;
    bool m_ok = false;
};

// Reads the master side as fast as it can from construction until destruction and counts the
// bytes: what the window sent.
class MasterDrain
{
  public:
    explicit MasterDrain(int master)
        : m_thread([this, master] {
              char buf[65536];
              while (!m_stop.load()) {
                  pollfd p{master, POLLIN, 0};
                  if (::poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) {
                      const ssize_t n = ::read(master, buf, sizeof buf);
                      if (n > 0)
                          m_bytes += static_cast<std::uint64_t>(n);
                  }
              }
          })
    {
    }
    ~MasterDrain()
    {
        m_stop = true;
        m_thread.join();
    }
    MasterDrain(const MasterDrain &) = delete;
    MasterDrain &operator=(const MasterDrain &) = delete;

    std::uint64_t bytes() const { return m_bytes.load(); }

  private:
    std::atomic<bool> m_stop{false};
    std::atomic<std::uint64_t> m_bytes{0};
    std::thread m_thread;
};
