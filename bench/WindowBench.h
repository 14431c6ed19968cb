// SPDX-License-Identifier: MIT
// What the in-process window benchmarks share: a temporary folder that stands in for the
// executable's, with COM1 mapped to a fresh pseudo-terminal whose master side the benchmark
// plays, a thread that drains what the window sends, and the process's resident memory.
#pragma once

#include "ExePath.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <atomic>
#include <cstdint>
#include <fstream>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

class PtyFolder
{
  public:
    // `settings`: more of the settings file after the port map (CR LF lines).
    explicit PtyFolder(const QByteArray &settings = {})
    {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
            return;
        platform::SetExePathForTesting(QDir(m_dir.path()).filePath(QStringLiteral("Quorvel")).toStdString());
        QFile ini(m_dir.filePath(QStringLiteral("Quorvel.ini")));
        m_ok = ini.open(QIODevice::WriteOnly) &&
               ini.write("[PORTS]\r\nCOM1=" + QByteArray(::ptsname(m_master)) + "\r\n" + settings) > 0;
    }
    ~PtyFolder()
    {
        if (m_master >= 0)
            ::close(m_master);
        platform::SetExePathForTesting(std::string());
    }
    PtyFolder(const PtyFolder &) = delete;
    PtyFolder &operator=(const PtyFolder &) = delete;

    bool ok() const { return m_ok; }
    int master() const { return m_master; }
    QString filePath(const QString &name) const { return m_dir.filePath(name); }

  private:
    QTemporaryDir m_dir;
    int m_master = -1;
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

inline long ResidentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    long value = 0;
    while (status >> key) {
        if (key == "VmRSS:") {
            status >> value;
            return value;
        }
        status.ignore(1 << 20, '\n');
    }
    return -1;
}
