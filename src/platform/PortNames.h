// SPDX-License-Identifier: MIT
// Which device "\\.\COMn" opens on this machine, resolved at every open:
//   1. key COMn in section [PORTS] of the settings file: a device path, or the word "loopback";
//   2. otherwise the n-th present serial device, built-in ports first as on a PC: /dev/ttyS*
//      with a real UART behind them, then /dev/ttyUSB*, then /dev/ttyACM*, each by number; the
//      kernel's console is never in this list;
//   3. otherwise nothing, and the open fails.
#pragma once

#include <string>
#include <vector>

namespace platform
{

struct PortTarget {
    enum class Kind { None, Device, Loopback } kind = Kind::None;
    std::string path;                                                         // Device: the device path
    enum class Source { None, PortsSection, Detected } source = Source::None; // where the entry came from

    // What callers ask of a target is answered here, so that the kinds (and the kinds still to
    // come) are known to this layer only.

    // COMn leads to something that can be opened.
    bool found() const { return kind != Kind::None; }
    // The built-in loopback plug. It has no path; whoever shows it names it in their own words.
    // Any other target that was found is named by `path`.
    bool isLoopback() const { return kind == Kind::Loopback; }
    // A reopen may pin the port to a path: only a device is found under a path.
    bool canPin() const { return kind == Kind::Device; }
    // The value a [PORTS] line has for it ("/dev/ttyUSB0", "loopback"); empty when nothing was found.
    std::string portsValue() const { return isLoopback() ? std::string("loopback") : path; }
};

// n from "\\.\COMn" (also accepts "COMn"); 0 when the name is no such port name.
int ComNumberFromDeviceName(const std::string &deviceName);

PortTarget ResolvePort(int comNumber);

// Until unpinned (an empty path), COMn resolves to `path`. A reopen pins the port so that a
// detected device found under a new name is the one opened, not whatever now comes n-th.
void PinPort(int comNumber, const std::string &path);

// The present serial devices in the default order (step 2 above).
std::vector<std::string> DetectedSerialDevices();

// The INI file that holds [PORTS]; by default (and after an empty path) the settings file beside
// the executable. Tests and the port-mapping tool point it elsewhere.
void SetPortMapFile(const std::string &iniPath);

} // namespace platform
