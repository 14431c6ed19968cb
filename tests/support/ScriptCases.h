// SPDX-License-Identifier: MIT
// What the script tests share, with a window and without one: one script per call of the API, run
// against a device that echoes what it gets (the loopback plug does so by itself; on a
// pseudo-terminal a thread plays the device), and that thread.
#pragma once

#include "PtyPair.h"
#include "TempDir.h"

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <unistd.h>

struct ScriptCase {
    const char *name;
    const char *script;
    bool loopbackOnly; // a pseudo-terminal has no modem lines
    bool failed;       // it ends failed (port.fail) rather than normally
    const char *logs;  // its port.log lines, each ended by "\n"
};

inline const std::vector<ScriptCase> &ScriptCases()
{
    static const std::vector<ScriptCase> cases = {
        {"send", "port.send('\"AT\",13,10')\nassert(port.expect('AT\\r\\n', 3000))\nport.log('echoed')\n",
         false, false, "echoed\n"},
        {"send checksum",
         "port.send('1,3,0,0,0,2,{CRC16MODBUS}')\nport.log((assert(port.read(8, 3000))):byte(7, 8))\n", false,
         false, "196\t11\n"},
        {"write NUL 0xFF",
         "port.write('\\0\\255\\0x')\nlocal m = assert(port.expect('\\0\\255\\0x', 3000))\nport.log(#m)\n",
         false, false, "4\n"},
        {"expect hex captures",
         "port.write('\\1\\3\\170\\187')\nlocal m, a, b = assert(port.expect(port.hex'01 03 ?\? ?\?', "
         "3000))\n"
         "port.log(string.format('%02X %02X %d', a, b, #m))\n",
         false, false, "AA BB 4\n"},
        {"expect pattern captures",
         "port.write('T=23.5 C\\r\\n')\nlocal m, v, u = assert(port.expect('T=([%d.]+) (%a)\\r\\n', 3000))\n"
         "port.log(v, u)\n",
         false, false, "23.5\tC\n"},
        {"expect time-out", "local m, e = port.expect('never', 50)\nport.log(tostring(m), e)\n", false, false,
         "nil\ttimeout\n"},
        {"read", "port.write('abcdef')\nport.log(port.read(4, 3000), port.read(2, 3000))\n", false, false,
         "abcd\tef\n"},
        {"readline", "port.write('one\\r\\ntwo\\n')\nport.log(port.readline(3000), port.readline(3000))\n",
         false, false, "one\ttwo\n"},
        {"sleep now",
         "local t = port.now()\nport.sleep(120)\nlocal d = port.now() - t\n"
         "port.log(d >= 120 and d < 3000)\n",
         false, false, "true\n"},
        {"set lines",
         "port.set{dtr = false, rts = true}\nport.sleep(30)\nlocal cts, dsr = port.lines()\n"
         "port.set{dtr = true, brk = true}\nport.sleep(30)\nport.set{brk = false}\nlocal cts2, dsr2 = "
         "port.lines()\n"
         "port.log(cts, dsr, dsr2)\n",
         true, false, "true\tfalse\ttrue\n"},
        {"lines", "local cts, dsr = port.lines()\nport.log(type(cts), type(dsr))\n", false, false,
         "boolean\tboolean\n"},
        {"settings",
         "local s = port.settings{baud = 19200, parity = 'even'}\n"
         "port.log(s.baud, s.parity, s.bits, s.stop, s.flow, port.settings().baud)\n",
         false, false, "19200\teven\t8\t1\tnone\t19200\n"},
        {"fail", "port.log('before')\nport.fail('no banner')\nport.log('after')\n", false, true, "before\n"},
    };
    return cases;
}

// Writes a script into `dir` and gives its path.
inline std::string WriteScript(const TempDir &dir, const std::string &name, const std::string &text)
{
    const std::string path = dir.file(name);
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

// The device on a pseudo-terminal's master side: every byte it gets goes back.
class EchoPeer
{
  public:
    explicit EchoPeer(int master) : m_master(master)
    {
        m_thread = std::thread([this] {
            char buf[4096];
            while (!m_stop) {
                pollfd p{m_master, POLLIN, 0};
                if (::poll(&p, 1, 20) <= 0)
                    continue;
                const ssize_t n = ::read(m_master, buf, sizeof buf);
                for (ssize_t done = 0; n > 0 && done < n;) {
                    const ssize_t w = ::write(m_master, buf + done, static_cast<std::size_t>(n - done));
                    if (w <= 0)
                        break;
                    done += w;
                }
            }
        });
    }
    ~EchoPeer()
    {
        m_stop = true;
        m_thread.join();
    }
    EchoPeer(const EchoPeer &) = delete;
    EchoPeer &operator=(const EchoPeer &) = delete;

  private:
    int m_master;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
