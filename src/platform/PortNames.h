// SPDX-License-Identifier: MIT
// Which device "\\.\COMn" opens on this machine, resolved at every open:
//   1. key COMn in section [PORTS] of the settings file: a device path, the word "loopback", or
//      the address of a port on another machine: "rfc2217://host:port" (Telnet with COM-PORT-
//      OPTION, RFC 2217) or "socket://host:port" (the bytes alone over TCP); the host is a name,
//      an IPv4 address or an IPv6 address in brackets ("rfc2217://[::1]:2000");
//   2. otherwise the n-th present serial device, built-in ports first as on a PC: /dev/ttyS*
//      with a real UART behind them, then /dev/ttyUSB*, then /dev/ttyACM*, each by number; the
//      kernel's console is never in this list;
//   3. otherwise nothing, and the open fails.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform
{

struct PortTarget {
    enum class Kind { None, Device, Loopback, Network } kind = Kind::None;
    std::string path; // Device: the device path; Network: the address as written in [PORTS]
    enum class Source { None, PortsSection, Detected } source = Source::None; // where the entry came from

    // Network: how the port is reached. `host` has no brackets; `addressProblem` says what is
    // wrong with an address that cannot be used (no port, a port out of range, bad brackets),
    // and is empty for one that can. A bad address is still a target, so that opening it fails
    // with the reason.
    enum class Protocol { Rfc2217, RawTcp } protocol = Protocol::Rfc2217;
    // (Each has an initialiser, so that a target written as {kind, path, source} stays complete.)
    std::string host{};
    std::uint16_t port = 0;
    std::string addressProblem{};

    // What callers ask of a target is answered here, so that the kinds (and the kinds still to
    // come) are known to this layer only.

    // COMn leads to something that can be opened.
    bool found() const { return kind != Kind::None; }
    // The built-in loopback plug. It has no path; whoever shows it names it in their own words.
    // Any other target that was found is named by `path`.
    bool isLoopback() const { return kind == Kind::Loopback; }
    // A port on another machine; it is named by its address, `path`.
    bool isNetwork() const { return kind == Kind::Network; }
    // A reopen may pin the port to a path: only a device is found under a path.
    bool canPin() const { return kind == Kind::Device; }
    // The value a [PORTS] line has for it ("/dev/ttyUSB0", "loopback", "rfc2217://host:2000" as
    // written); empty when nothing was found.
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
