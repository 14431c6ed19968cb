// SPDX-License-Identifier: MIT
// Port names: parsing "\\.\COMn", [PORTS] look-ups, and the default order of present devices,
// the last one on a made-up /sys and /dev so that no device of this machine is ever touched.
#include "PortDevice.h"
#include "PortNames.h"
#include "PortNamesInternal.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

using namespace platform;
namespace fs = std::filesystem;

namespace
{

class TempDir
{
  public:
    TempDir()
    {
        std::random_device rd;
        m_path = fs::temp_directory_path() / ("quorvel-ports-" + std::to_string(rd()) + std::to_string(rd()));
        fs::create_directories(m_path);
    }
    ~TempDir()
    {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    const fs::path &path() const { return m_path; }
    void write(const fs::path &relative, const std::string &text) const
    {
        fs::create_directories((m_path / relative).parent_path());
        std::ofstream(m_path / relative, std::ios::binary) << text;
    }

  private:
    fs::path m_path;
};

TEST(PortNames, ComNumberFromDeviceName)
{
    const struct {
        const char *name;
        int number;
    } cases[] = {
        {"\\\\.\\COM3", 3},
        {"\\\\.\\COM12", 12},
        {"COM1", 1},
        {"com7", 7},
        {"\\\\.\\cOm99999", 99999},
        {"\\\\.\\COM100000", 0},
        {"\\\\.\\COM0", 0},
        {"\\\\.\\COM03", 0},
        {"\\\\.\\COM", 0},
        {"COM", 0},
        {"\\\\.\\COM-1", 0},
        {"\\\\.\\COM1 ", 0},
        {"\\\\.\\COM1x", 0},
        {"\\\\.\\LPT1", 0},
        {"\\\\COM1", 0},
        {"/dev/ttyS0", 0},
        {"", 0},
        {"\\\\.\\COM4294967297", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ComNumberFromDeviceName(c.name), c.number) << '"' << c.name << '"';
}

class ResolvePortTest : public ::testing::Test
{
  protected:
    void TearDown() override { SetPortMapFile(""); }
    TempDir m_dir;
};

TEST_F(ResolvePortTest, PortsSectionDecides)
{
    m_dir.write("a.ini", "[Settings]\r\nCOM2=/dev/not-this\r\n"
                         "[ports]\r\n"
                         "com2 = /dev/ttyUSB4\r\n"
                         "COM3=LOOPBACK\r\n"
                         "Com4=\"/dev/serial/by-id/usb-x\"\r\n"
                         "COM5=loopbackx\r\n"
                         "COM6=\r\n");
    SetPortMapFile((m_dir.path() / "a.ini").string());

    const struct {
        int n;
        PortTarget::Kind kind;
        const char *path;
    } cases[] = {
        {2, PortTarget::Kind::Device, "/dev/ttyUSB4"},
        {3, PortTarget::Kind::Loopback, ""},
        {4, PortTarget::Kind::Device, "/dev/serial/by-id/usb-x"},
        {5, PortTarget::Kind::Device, "loopbackx"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.n);
        const PortTarget t = ResolvePort(c.n);
        EXPECT_EQ(t.kind, c.kind);
        EXPECT_EQ(t.path, c.path);
        EXPECT_EQ(t.source, PortTarget::Source::PortsSection);
    }
    // An empty value maps nothing; what follows depends on the machine, but never the INI.
    EXPECT_NE(ResolvePort(6).source, PortTarget::Source::PortsSection);
}

TEST_F(ResolvePortTest, NetworkAddresses)
{
    using P = PortTarget::Protocol;
    const struct {
        const char *value;
        P protocol;
        const char *host; // nullptr: the address is bad
        unsigned port;
    } cases[] = {
        {"rfc2217://127.0.0.1:2000", P::Rfc2217, "127.0.0.1", 2000},
        {"RFC2217://bench-7.lab_a:65535", P::Rfc2217, "bench-7.lab_a", 65535},
        {"socket://localhost:1", P::RawTcp, "localhost", 1},
        {"rfc2217://[::1]:2000", P::Rfc2217, "::1", 2000},
        {"socket://[fe80::1%eth0]:4001", P::RawTcp, "fe80::1%eth0", 4001},
        {"rfc2217://host", P::Rfc2217, nullptr, 0},
        {"rfc2217://host:", P::Rfc2217, nullptr, 0},
        {"rfc2217://:2000", P::Rfc2217, nullptr, 0},
        {"rfc2217://host:0", P::Rfc2217, nullptr, 0},
        {"rfc2217://host:65536", P::Rfc2217, nullptr, 0},
        {"rfc2217://host:99999999999999999999", P::Rfc2217, nullptr, 0},
        {"rfc2217://host:-1", P::Rfc2217, nullptr, 0},
        {"rfc2217://host:20a", P::Rfc2217, nullptr, 0},
        {"rfc2217://host:2000?logging=debug", P::Rfc2217, nullptr, 0},
        {"rfc2217://host:2000/", P::Rfc2217, nullptr, 0},
        {"rfc2217://[::1:2000", P::Rfc2217, nullptr, 0},
        {"rfc2217://[::1]", P::Rfc2217, nullptr, 0},
        {"rfc2217://[::1]2000", P::Rfc2217, nullptr, 0},
        {"rfc2217://[bench]:2000", P::Rfc2217, nullptr, 0},
        {"rfc2217://::1:2000", P::Rfc2217, nullptr, 0},
        {"socket://ho st:2000", P::RawTcp, nullptr, 0},
        {"socket://user@host:2000", P::RawTcp, nullptr, 0},
        {"socket://", P::RawTcp, nullptr, 0},
    };
    std::string ini = "[PORTS]\r\n";
    for (std::size_t i = 0; i < std::size(cases); ++i)
        ini += "COM" + std::to_string(i + 1) + "=" + cases[i].value + "\r\n";
    m_dir.write("net.ini", ini);
    SetPortMapFile((m_dir.path() / "net.ini").string());
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto &c = cases[i];
        SCOPED_TRACE(c.value);
        const PortTarget t = ResolvePort(static_cast<int>(i + 1));
        ASSERT_EQ(t.kind, PortTarget::Kind::Network);
        EXPECT_TRUE(t.isNetwork() && t.found());
        EXPECT_FALSE(t.canPin() || t.isLoopback());
        EXPECT_EQ(t.portsValue(), c.value);
        EXPECT_EQ(t.protocol, c.protocol);
        // Its address stays: it can come back there, whatever the server does meanwhile.
        const PortIdentity id = IdentifyPort(static_cast<int>(i + 1));
        EXPECT_TRUE(id.canComeBack());
        EXPECT_EQ(LocatePort(id), c.value);
        if (c.host) {
            EXPECT_EQ(t.addressProblem, "");
            EXPECT_EQ(t.host, c.host);
            EXPECT_EQ(t.port, c.port);
        } else {
            EXPECT_NE(t.addressProblem, "");
        }
    }
}

TEST_F(ResolvePortTest, UnmappedPortWithoutSuchADeviceResolvesToNothing)
{
    SetPortMapFile((m_dir.path() / "missing.ini").string());
    for (int n : {99999, 0, -3}) {
        SCOPED_TRACE(n);
        const PortTarget t = ResolvePort(n);
        EXPECT_EQ(t.kind, PortTarget::Kind::None);
        EXPECT_TRUE(t.path.empty());
    }
    // A present device resolves in the detected order.
    const std::vector<std::string> devices = DetectedSerialDevices();
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const PortTarget t = ResolvePort(static_cast<int>(i + 1));
        EXPECT_EQ(t.kind, PortTarget::Kind::Device);
        EXPECT_EQ(t.path, devices[i]);
        EXPECT_EQ(t.source, PortTarget::Source::Detected);
    }
}

TEST(DetectSerialDevices, BuiltInPortsFirstThenUsbThenAcmEachByNumber)
{
    TempDir root;
    const fs::path sys = root.path() / "sys";
    const fs::path dev = root.path() / "dev";
    for (const char *name : {"ttyS0", "ttyS1", "ttyS2", "ttyS10", "ttyS4", "ttyUSB10", "ttyUSB2", "ttyACM1",
                             "ttyACM0", "ttyS", "ttySx", "ttyUSB", "ttyUSB1a", "tty1", "console", "ttyAMA0"})
        root.write(fs::path("dev") / name, "");
    root.write("sys/console/active", "tty0 ttyS0\n");
    const struct {
        const char *name;
        const char *type; // nullptr: no type attribute
        bool device;
    } uarts[] = {
        {"ttyS0", "4\n", true},   // a UART, but the kernel's console
        {"ttyS1", "0\n", true},   // a reserved slot without a UART
        {"ttyS2", "4\n", true},   // a 16550A
        {"ttyS10", "17\n", true}, // another type, two digits: sorts after ttyS2
        {"ttyS4", "4\n", false},  // no device behind the line
        {"ttyS7", "4\n", true},   // in sysfs but not in /dev
    };
    for (const auto &u : uarts) {
        if (u.type)
            root.write(fs::path("sys") / u.name / "type", u.type);
        if (u.device)
            fs::create_directories(sys / u.name / "device");
    }

    const std::vector<std::string> expected = {
        (dev / "ttyS2").string(),    (dev / "ttyS10").string(),  (dev / "ttyUSB2").string(),
        (dev / "ttyUSB10").string(), (dev / "ttyACM0").string(), (dev / "ttyACM1").string(),
    };
    EXPECT_EQ(DetectSerialDevices(sys.string(), dev.string()), expected);

    // A console on a USB adapter is excluded too; no console file excludes nothing.
    root.write("sys/console/active", "ttyUSB2");
    EXPECT_EQ(DetectSerialDevices(sys.string(), dev.string()).size(), expected.size());
    EXPECT_EQ(DetectSerialDevices(sys.string(), dev.string())[0], (dev / "ttyS0").string());
    EXPECT_EQ(DetectSerialDevices(sys.string(), dev.string())[3], (dev / "ttyUSB10").string());
    fs::remove(sys / "console" / "active");
    EXPECT_EQ(DetectSerialDevices(sys.string(), dev.string()).size(), expected.size() + 1);

    // Nothing there at all.
    EXPECT_TRUE(
        DetectSerialDevices((root.path() / "nosys").string(), (root.path() / "nodev").string()).empty());
}

} // namespace
