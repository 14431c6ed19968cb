// SPDX-License-Identifier: MIT
// Port names from the command line, for run.sh and for people setting up [PORTS]:
//   quorvel-ports resolve N [INI]      the device COMN opens ("loopback" for the plug); exit 1 if none.
//                                      For a port on another machine: its address as written, then
//                                      "protocol: rfc2217|socket", "host: H" and "port: P" lines;
//                                      exit 1 with the reason on stderr if the address is bad
//   quorvel-ports ensure-loopback INI  maps COM1 to the loopback plug when INI does not map COM1
//                                      and the machine has no serial device
#include "Ini.h"
#include "PortNames.h"

#include <cstdio>
#include <string>

namespace
{

int Usage()
{
    std::fputs("usage: quorvel-ports resolve N [INI]\n"
               "       quorvel-ports ensure-loopback INI\n",
               stderr);
    return 2;
}

int Resolve(const std::string &number, const char *ini)
{
    const int n = platform::ComNumberFromDeviceName("COM" + number);
    if (n <= 0)
        return Usage();
    if (ini)
        platform::SetPortMapFile(ini);
    const platform::PortTarget target = platform::ResolvePort(n);
    const std::string value = target.portsValue();
    if (value.empty())
        return 1;
    std::printf("%s\n", value.c_str());
    if (!target.isNetwork())
        return 0;
    if (!target.addressProblem.empty()) {
        std::fprintf(stderr, "quorvel-ports: %s: %s\n", value.c_str(), target.addressProblem.c_str());
        return 1;
    }
    const bool rfc2217 = target.protocol == platform::PortTarget::Protocol::Rfc2217;
    std::printf("protocol: %s\nhost: %s\nport: %u\n", rfc2217 ? "rfc2217" : "socket", target.host.c_str(),
                static_cast<unsigned>(target.port));
    return 0;
}

int EnsureLoopback(const std::string &ini)
{
    // An empty value is "not mapped" for the resolver too, so it is treated the same here.
    if (!platform::GetPrivateProfileStringA("PORTS", "COM1", "", ini).empty())
        return 0;
    if (!platform::DetectedSerialDevices().empty())
        return 0;
    if (!platform::WritePrivateProfileStringA("PORTS", "COM1", "loopback", ini)) {
        std::fprintf(stderr, "quorvel-ports: cannot write %s\n", ini.c_str());
        return 1;
    }
    std::printf("No serial device found: COM1 is mapped to the built-in loopback plug in %s ([PORTS] "
                "COM1=loopback).\n",
                ini.c_str());
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return Usage();
    const std::string command = argv[1];
    if (command == "resolve" && (argc == 3 || argc == 4))
        return Resolve(argv[2], argc == 4 ? argv[3] : nullptr);
    if (command == "ensure-loopback" && argc == 3)
        return EnsureLoopback(argv[2]);
    return Usage();
}
