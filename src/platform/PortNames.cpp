// SPDX-License-Identifier: MIT
#include "PortNames.h"
#include "PortNamesInternal.h"

#include "Ini.h"
#include "UserFiles.h"

#include <arpa/inet.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <system_error>

namespace platform
{
namespace
{

std::mutex g_mapMutex;
std::string g_mapFile; // empty: the settings file beside the executable
std::map<int, std::string> g_pins;

bool EqualsNoCase(const std::string &a, const std::string &b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto lower = [](char c) {
                   return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
               };
               return lower(x) == lower(y);
           });
}

// "ttyUSB12" with prefix "ttyUSB" gives 12; -1 when the rest is not a plain decimal number.
long NumberAfter(const std::string &name, const std::string &prefix)
{
    if (name.size() <= prefix.size() || name.size() > prefix.size() + 9 ||
        name.compare(0, prefix.size(), prefix) != 0)
        return -1;
    long n = 0;
    for (std::size_t i = prefix.size(); i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9')
            return -1;
        n = n * 10 + (name[i] - '0');
    }
    return n;
}

std::string ReadSmallFile(const std::filesystem::path &path)
{
    std::ifstream in(path);
    if (!in)
        return {};
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A ttyS line exists for every slot the 8250 driver reserves; only those with a UART behind them
// (a known port type) are ports. Reading sysfs answers that without opening the device.
bool HasUart(const std::filesystem::path &sysClassTty, const std::string &name)
{
    std::error_code ec;
    const std::filesystem::path dir = sysClassTty / name;
    if (!std::filesystem::exists(dir / "device", ec))
        return false;
    const std::string type = ReadSmallFile(dir / "type");
    if (type.empty())
        return false;
    try {
        return std::stol(type) != 0; // 0 is PORT_UNKNOWN
    } catch (...) {
        return false;
    }
}

bool StartsWithNoCase(const std::string &s, const std::string &prefix)
{
    return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

bool IsHostNameCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_';
}

// "host:port" after the scheme into the target; what is wrong with it goes to addressProblem.
void ParseHostAndPort(const std::string &rest, PortTarget *target)
{
    std::string host;
    std::size_t colon;
    if (!rest.empty() && rest[0] == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos) {
            target->addressProblem = "no closing bracket after the IPv6 address";
            return;
        }
        host = rest.substr(1, close - 1);
        // A zone ("fe80::1%eth0") is for the resolver; the address before it must be IPv6.
        const std::string address = host.substr(0, host.find('%'));
        in6_addr parsed{};
        if (::inet_pton(AF_INET6, address.c_str(), &parsed) != 1) {
            target->addressProblem = "no IPv6 address in the brackets";
            return;
        }
        if (close + 1 < rest.size() && rest[close + 1] != ':') {
            target->addressProblem = "text between the closing bracket and the port";
            return;
        }
        colon = close + 1 < rest.size() ? close + 1 : std::string::npos;
    } else {
        colon = rest.rfind(':');
        host = rest.substr(0, colon);
        if (host.find(':') != std::string::npos) {
            target->addressProblem = "an IPv6 address needs brackets: [address]:port";
            return;
        }
        if (host.empty()) {
            target->addressProblem = "no host";
            return;
        }
        if (host.size() > 253 || !std::all_of(host.begin(), host.end(), IsHostNameCharacter)) {
            target->addressProblem = "the host name has characters no host name has";
            return;
        }
    }
    if (colon == std::string::npos || colon + 1 == rest.size()) {
        target->addressProblem = "no port";
        return;
    }
    const std::string port = rest.substr(colon + 1);
    if (port.find('?') != std::string::npos) {
        target->addressProblem = "options after the port are not taken";
        return;
    }
    if (port.size() > 5 ||
        !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        target->addressProblem = "the port is not a number from 1 to 65535";
        return;
    }
    const long number = std::stol(port);
    if (number < 1 || number > 65535) {
        target->addressProblem = "the port is not a number from 1 to 65535";
        return;
    }
    target->host = host;
    target->port = static_cast<std::uint16_t>(number);
}

// A [PORTS] value that names a port on another machine, or false.
bool ParseNetworkAddress(const std::string &value, PortTarget *target)
{
    static const struct {
        const char *scheme;
        PortTarget::Protocol protocol;
    } schemes[] = {{"rfc2217://", PortTarget::Protocol::Rfc2217},
                   {"socket://", PortTarget::Protocol::RawTcp}};
    for (const auto &s : schemes) {
        if (!StartsWithNoCase(value, s.scheme))
            continue;
        target->kind = PortTarget::Kind::Network;
        target->protocol = s.protocol;
        target->path = value;
        ParseHostAndPort(value.substr(std::string(s.scheme).size()), target);
        return true;
    }
    return false;
}

} // namespace

int ComNumberFromDeviceName(const std::string &deviceName)
{
    std::string name = deviceName;
    if (name.size() >= 4 && name.compare(0, 4, R"(\\.\)") == 0)
        name.erase(0, 4);
    if (name.size() < 4 || name.size() > 8 || !EqualsNoCase(name.substr(0, 3), "com"))
        return 0;
    if (name[3] == '0') // no leading zeros: one port, one name
        return 0;
    int n = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9')
            return 0;
        n = n * 10 + (name[i] - '0');
    }
    return n;
}

std::vector<std::string> DetectSerialDevices(const std::string &sysClassTty, const std::string &devDir)
{
    namespace fs = std::filesystem;
    std::set<std::string> consoles;
    {
        std::istringstream active(ReadSmallFile(fs::path(sysClassTty) / "console" / "active"));
        std::string name;
        while (active >> name)
            consoles.insert(name);
    }

    struct Found {
        int group;
        long number;
        std::string name;
    };
    static const char *const prefixes[] = {"ttyS", "ttyUSB", "ttyACM"};
    std::vector<Found> found;
    std::error_code ec;
    for (fs::directory_iterator it(devDir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        for (int group = 0; group < 3; ++group) {
            const long number = NumberAfter(name, prefixes[group]);
            if (number < 0 || consoles.count(name))
                continue;
            if (group == 0 && !HasUart(sysClassTty, name))
                continue;
            found.push_back({group, number, name});
        }
    }
    std::sort(found.begin(), found.end(), [](const Found &a, const Found &b) {
        return a.group != b.group ? a.group < b.group : a.number < b.number;
    });
    std::vector<std::string> paths;
    paths.reserve(found.size());
    for (const Found &f : found)
        paths.push_back((fs::path(devDir) / f.name).string());
    return paths;
}

std::vector<std::string> DetectedSerialDevices()
{
    return DetectSerialDevices("/sys/class/tty", "/dev");
}

PortTarget ResolvePort(int comNumber)
{
    PortTarget target;
    if (comNumber <= 0)
        return target;
    std::string iniPath;
    {
        std::lock_guard lock(g_mapMutex);
        if (const auto pin = g_pins.find(comNumber); pin != g_pins.end()) {
            target.kind = PortTarget::Kind::Device;
            target.path = pin->second;
            target.source = PortTarget::Source::Detected;
            return target;
        }
        iniPath = g_mapFile;
    }
    if (iniPath.empty())
        iniPath = UserFileToRead(SettingsFileName());
    const std::string value =
        GetPrivateProfileStringA("PORTS", "COM" + std::to_string(comNumber), "", iniPath);
    if (!value.empty()) {
        target.source = PortTarget::Source::PortsSection;
        if (ParseNetworkAddress(value, &target))
            return target;
        if (EqualsNoCase(value, "loopback")) {
            target.kind = PortTarget::Kind::Loopback;
        } else {
            target.kind = PortTarget::Kind::Device;
            target.path = value;
        }
        return target;
    }
    const std::vector<std::string> devices = DetectedSerialDevices();
    if (static_cast<std::size_t>(comNumber) <= devices.size()) {
        target.kind = PortTarget::Kind::Device;
        target.path = devices[static_cast<std::size_t>(comNumber) - 1];
        target.source = PortTarget::Source::Detected;
    }
    return target;
}

void PinPort(int comNumber, const std::string &path)
{
    std::lock_guard lock(g_mapMutex);
    if (path.empty())
        g_pins.erase(comNumber);
    else
        g_pins[comNumber] = path;
}

void SetPortMapFile(const std::string &iniPath)
{
    std::lock_guard lock(g_mapMutex);
    g_mapFile = iniPath;
}

} // namespace platform
