// SPDX-License-Identifier: MIT
// Why a port did not open and what state its device is in, for each cause a bench meets: no
// device mapped, a mapped device missing, a node that is no serial port, no rights, a port held
// by another process, a refused bit rate.
#include "Loopback.h"
#include "PortDevice.h"
#include "PortMapFile.h"
#include "PtyPair.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace pf = platform;
using Kind = pf::OpenProblem::Kind;

namespace
{

pf::OpenProblem FailedOpen(int com)
{
    pf::HANDLE h = pf::CreateFileA("\\\\.\\COM" + std::to_string(com));
    EXPECT_FALSE(h) << "COM" << com << " opened";
    if (h)
        pf::CloseHandle(h);
    return pf::LastOpenProblem();
}

// Runs `body` in a child process as the unprivileged user "nobody"; what it writes comes back.
// Empty optional: this machine cannot drop to another user (not root).
std::optional<std::string> AsNobody(const std::function<std::string()> &body)
{
    if (::geteuid() != 0)
        return std::nullopt;
    int fds[2];
    if (::pipe(fds) != 0)
        return std::nullopt;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(77);
        const std::string out = body();
        const ssize_t n = ::write(fds[1], out.data(), out.size());
        ::_exit(n == static_cast<ssize_t>(out.size()) ? 0 : 1);
    }
    ::close(fds[1]);
    std::string got;
    char buf[256];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;)
        got.append(buf, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 77)
        return std::nullopt;
    return got;
}

TEST(PortDevice, EachCauseOfAFailedOpenIsTold)
{
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    PortMapFile map("COM2=/nonexistent/ttyUSB9\r\nCOM3=/dev/null\r\nCOM4=loopback\r\nCOM5=" +
                    pty.slavePath());
    pf::LoopbackPlug::ResetAll();

    struct Case {
        int com;
        Kind kind;
    };
    for (const Case &c : {Case{19, Kind::NotMapped}, Case{2, Kind::NotPresent}, Case{3, Kind::NotSerial}}) {
        // COM19 is unmapped; it must also not be detected on this machine for the case to hold.
        if (c.kind == Kind::NotMapped && pf::DetectedSerialDevices().size() >= 19)
            continue;
        const pf::OpenProblem p = FailedOpen(c.com);
        EXPECT_EQ(p.kind, c.kind) << "COM" << c.com;
        EXPECT_EQ(p.comNumber, c.com);
    }

    // Held by a second process: the holder is named.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        pf::HANDLE h = pf::CreateFileA("COM5");
        const char ok = h ? '1' : '0';
        (void)!::write(ready[1], &ok, 1);
        ::pause(); // until the parent ends it
        ::_exit(0);
    }
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, '1');
    const pf::OpenProblem held = FailedOpen(5);
    EXPECT_EQ(held.kind, Kind::InUse);
    EXPECT_EQ(pf::ProbeDevice(pty.slavePath()), pf::DeviceState::InUse);
    const std::vector<std::string> holders = pf::DeviceHolders(pty.slavePath());
    ASSERT_EQ(holders.size(), 1u);
    EXPECT_NE(holders[0].find("(PID " + std::to_string(holder) + ")"), std::string::npos) << holders[0];
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    EXPECT_EQ(pf::ProbeDevice(pty.slavePath()), pf::DeviceState::Available);

    // A refused bit rate is a setting, told with the rate; a later successful open forgets it.
    pf::LoopbackPlug::Get(4)->refuseState([](const pf::DCB &dcb) { return dcb.BaudRate == 123456; });
    pf::HANDLE h = pf::CreateFileA("COM4");
    ASSERT_TRUE(h);
    pf::DCB dcb;
    ASSERT_TRUE(pf::GetCommState(h, &dcb));
    dcb.BaudRate = 123456;
    EXPECT_FALSE(pf::SetCommState(h, dcb));
    EXPECT_EQ(pf::LastOpenProblem().kind, Kind::SettingRefused);
    EXPECT_EQ(pf::LastOpenProblem().baudRate, 123456u);
    pf::CloseHandle(h);
    h = pf::CreateFileA("COM5");
    ASSERT_TRUE(h);
    EXPECT_EQ(pf::LastOpenProblem().kind, Kind::None);
    pf::CloseHandle(h);
    pf::LoopbackPlug::ResetAll();
}

TEST(PortDevice, NoRightsNamesTheDevicesGroup)
{
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    PortMapFile map("COM6=" + pty.slavePath());
    ASSERT_EQ(::chmod(pty.slavePath().c_str(), 0), 0);
    EXPECT_FALSE(pf::DeviceGroup(pty.slavePath()).empty());

    const std::optional<std::string> seen = AsNobody([&] {
        const pf::OpenProblem p = FailedOpen(6);
        return std::to_string(static_cast<int>(p.kind)) + " " +
               std::to_string(static_cast<int>(pf::ProbeDevice(pty.slavePath())));
    });
    if (!seen)
        GTEST_SKIP() << "cannot run as an unprivileged user here";
    EXPECT_EQ(*seen, std::to_string(static_cast<int>(Kind::NoAccess)) + " " +
                         std::to_string(static_cast<int>(pf::DeviceState::NoAccess)));
}

TEST(PortDevice, TheSameDeviceIsFoundAgainAtItsPath)
{
    PortMapFile map("");
    map.write("COM7=" + map.dir().file("link"));
    auto pty = std::make_unique<PtyPair>();
    ASSERT_TRUE(pty->ok());
    std::filesystem::create_symlink(pty->slavePath(), map.dir().file("link"));
    const pf::PortIdentity id = pf::IdentifyPort(7);
    EXPECT_EQ(pf::LocatePort(id), map.dir().file("link"));

    // Gone with its far end: the link dangles until a new device stands behind it.
    pty.reset();
    EXPECT_EQ(pf::LocatePort(id), "");
    EXPECT_EQ(pf::ProbeDevice(map.dir().file("link")), pf::DeviceState::Missing);
    pty = std::make_unique<PtyPair>();
    std::filesystem::remove(map.dir().file("link"));
    std::filesystem::create_symlink(pty->slavePath(), map.dir().file("link"));
    EXPECT_EQ(pf::LocatePort(id), map.dir().file("link"));

    // A pin wins over the map until it is taken away.
    pf::PinPort(7, "/dev/pinned");
    EXPECT_EQ(pf::ResolvePort(7).path, "/dev/pinned");
    pf::PinPort(7, "");
    EXPECT_EQ(pf::ResolvePort(7).path, map.dir().file("link"));
}

} // namespace
