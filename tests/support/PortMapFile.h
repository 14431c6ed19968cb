// SPDX-License-Identifier: MIT
// A [PORTS] map of the test's own: written to a temporary folder and made the map the port names
// are resolved from until the object goes away, so that no test ever opens a real device.
#pragma once

#include "PortNames.h"
#include "TempDir.h"

#include <fstream>
#include <string>

class PortMapFile
{
  public:
    // `entries`: lines such as "COM1=loopback", CR LF between them.
    explicit PortMapFile(const std::string &entries) : m_dir("quorvel-ports") { write(entries); }
    ~PortMapFile() { platform::SetPortMapFile(std::string()); }
    PortMapFile(const PortMapFile &) = delete;
    PortMapFile &operator=(const PortMapFile &) = delete;

    void write(const std::string &entries) const
    {
        std::ofstream(path(), std::ios::binary) << "[PORTS]\r\n" << entries << "\r\n";
        platform::SetPortMapFile(path());
    }
    std::string path() const { return m_dir.file("ports.ini"); }
    const TempDir &dir() const { return m_dir; }

  private:
    TempDir m_dir;
};
