// SPDX-License-Identifier: MIT
#include "PortDevice.h"

#include "Loopback.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <system_error>

namespace platform
{
namespace
{

namespace fs = std::filesystem;
constexpr const char *kById = "/dev/serial/by-id";

std::mutex g_problemMutex;
OpenProblem g_problem;

std::mutex g_sysfsMutex;
std::string g_sysfsRoot = "/sys";

fs::path SysfsRoot()
{
    std::lock_guard lock(g_sysfsMutex);
    return g_sysfsRoot;
}

std::string Canonical(const std::string &path)
{
    std::error_code ec;
    const fs::path c = fs::canonical(path, ec);
    return ec ? std::string() : c.string();
}

std::string FirstLine(const fs::path &file)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
        line.pop_back();
    return line;
}

std::string ByIdNameOf(const std::string &canonicalPath)
{
    if (canonicalPath.empty())
        return {};
    std::error_code ec;
    for (fs::directory_iterator it(kById, ec), end; !ec && it != end; it.increment(ec)) {
        if (Canonical(it->path().string()) == canonicalPath)
            return it->path().filename().string();
    }
    return {};
}

// The USB device a tty node belongs to, as sysfs shows it: the tty's device is a port or an
// interface of the USB device, whose attributes sit a level or two up.
struct UsbDevice {
    fs::path dir;    // empty: not a USB device
    fs::path ttyDev; // the tty's own device, below `dir`
};

UsbDevice FindUsbDevice(const std::string &canonicalPath)
{
    UsbDevice usb;
    if (canonicalPath.empty())
        return usb;
    std::error_code ec;
    usb.ttyDev = fs::canonical(SysfsRoot() / "class/tty" / fs::path(canonicalPath).filename() / "device", ec);
    fs::path dir = usb.ttyDev;
    for (int up = 0; !ec && up < 4 && dir.has_relative_path(); ++up, dir = dir.parent_path()) {
        if (fs::exists(dir / "idVendor", ec)) {
            usb.dir = dir;
            break;
        }
    }
    return usb;
}

std::string UsbIdentityOf(const std::string &canonicalPath)
{
    const UsbDevice usb = FindUsbDevice(canonicalPath);
    if (usb.dir.empty())
        return {};
    std::string id = FirstLine(usb.dir / "idVendor") + ":" + FirstLine(usb.dir / "idProduct");
    const std::string serial = FirstLine(usb.dir / "serial");
    // Twins without a serial number are told apart by the socket they are plugged into.
    id += serial.empty() ? " at " + usb.dir.filename().string() : " S/N " + serial;
    // A chip with several ports has one serial number for all of them; the interface
    // ("1-1.2:1.0") and the port on it tell them apart, as by-id's "-if00-port0" does.
    const fs::path below = usb.ttyDev.lexically_relative(usb.dir);
    if (!below.empty() && below != ".") {
        const std::string interfaceDir = below.begin()->string();
        if (const auto colon = interfaceDir.find(':'); colon != std::string::npos)
            id += " if " + interfaceDir.substr(colon + 1);
    }
    if (const std::string port = FirstLine(usb.ttyDev / "port_number"); !port.empty())
        id += " port " + port;
    return id;
}

// A pseudo-terminal mapped by its own name rather than through a link: its number goes to
// whatever terminal is made next once it is gone.
bool NumberReused(const std::string &path)
{
    std::error_code ec;
    if (path.empty() || fs::is_symlink(path, ec))
        return false;
    const std::string real = Canonical(path);
    const fs::path node = real.empty() ? fs::absolute(path, ec).lexically_normal() : fs::path(real);
    return node.parent_path() == "/dev/pts";
}

// The name the device is found by: its by-id link, else its path.
std::string NameOf(const PortIdentity &identity)
{
    return identity.byId.empty() ? identity.target.path : std::string(kById) + "/" + identity.byId;
}

bool IsNumber(const char *s)
{
    if (!*s)
        return false;
    for (; *s; ++s)
        if (*s < '0' || *s > '9')
            return false;
    return true;
}

} // namespace

PortIdentity IdentifyPort(int comNumber)
{
    PortIdentity id;
    id.comNumber = comNumber;
    id.target = ResolvePort(comNumber);
    // A path the user mapped names the device; a detected one is known by its by-id name when
    // it has one. Either way a USB device is also known by what sysfs says of it.
    if (id.target.kind != PortTarget::Kind::Device)
        return id;
    const std::string real = Canonical(id.target.path);
    if (id.target.source == PortTarget::Source::Detected)
        id.byId = ByIdNameOf(real);
    id.usb = UsbIdentityOf(real);
    id.numberReused = NumberReused(id.target.path);
    return id;
}

std::string LocatePort(const PortIdentity &identity)
{
    switch (identity.target.kind) {
    case PortTarget::Kind::Loopback:
        return LoopbackPlug::Get(identity.comNumber)->isMissing() ? std::string() : std::string("loopback");
    case PortTarget::Kind::Device: {
        if (!identity.canComeBack())
            return {};
        std::string real = Canonical(NameOf(identity));
        if (real.empty())
            return {};
        if (!identity.usb.empty()) {
            if (UsbIdentityOf(real) != identity.usb)
                return {};
            // The node just checked, not a name that might lead to another one by the time it
            // is opened.
            return real;
        }
        return identity.byId.empty() ? identity.target.path : real;
    }
    case PortTarget::Kind::Network:
        return identity.target.path;
    case PortTarget::Kind::None:
        break;
    }
    return {};
}

bool PortNamePresent(const PortIdentity &identity)
{
    // A loopback plug pulled out hangs its port up; it has no name to lose.
    return identity.target.kind != PortTarget::Kind::Device || !Canonical(NameOf(identity)).empty();
}

void SetSysfsRootForTesting(const std::string &root)
{
    std::lock_guard lock(g_sysfsMutex);
    g_sysfsRoot = root.empty() ? std::string("/sys") : root;
}

DeviceState ProbeDevice(const std::string &path)
{
    struct stat st {
    };
    if (path.empty() || ::stat(path.c_str(), &st) != 0)
        return DeviceState::Missing;
    if (::access(path.c_str(), R_OK | W_OK) != 0 && errno == EACCES)
        return DeviceState::NoAccess;
    if (!DeviceHolders(path).empty())
        return DeviceState::InUse;
    return DeviceState::Available;
}

DeviceInfo DescribeDevice(const std::string &path)
{
    DeviceInfo info;
    const std::string real = Canonical(path);
    info.byIdName = ByIdNameOf(real);
    const fs::path dir = FindUsbDevice(real).dir;
    if (dir.empty())
        return info;
    info.vendorId = FirstLine(dir / "idVendor");
    info.productId = FirstLine(dir / "idProduct");
    info.manufacturer = FirstLine(dir / "manufacturer");
    info.product = FirstLine(dir / "product");
    info.serial = FirstLine(dir / "serial");
    return info;
}

std::string DeviceGroup(const std::string &path)
{
    struct stat st {
    };
    if (::stat(path.c_str(), &st) != 0)
        return {};
    if (const group *g = ::getgrgid(st.st_gid))
        return g->gr_name;
    return std::to_string(st.st_gid);
}

DeviceRights DeviceAccess(const std::string &path)
{
    DeviceRights rights;
    struct stat st {
    };
    if (::stat(path.c_str(), &st) != 0)
        return rights;
    const passwd *owner = ::getpwuid(st.st_uid);
    rights.owner = owner ? owner->pw_name : std::to_string(st.st_uid);
    if (st.st_gid != 0 && (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP))
        rights.groupToJoin = DeviceGroup(path);
    return rights;
}

std::vector<std::string> DeviceHolders(const std::string &path)
{
    std::vector<std::string> holders;
    const std::string real = Canonical(path);
    if (real.empty())
        return holders;
    const std::string self = std::to_string(::getpid());
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return holders;
    while (const dirent *p = ::readdir(proc)) {
        if (!IsNumber(p->d_name) || self == p->d_name)
            continue;
        const std::string fdDir = std::string("/proc/") + p->d_name + "/fd";
        DIR *fds = ::opendir(fdDir.c_str()); // another user's process: not ours to see
        if (!fds)
            continue;
        bool holds = false;
        while (const dirent *f = ::readdir(fds)) {
            if (!IsNumber(f->d_name))
                continue;
            char target[4096];
            const ssize_t n = ::readlink((fdDir + "/" + f->d_name).c_str(), target, sizeof target - 1);
            if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == real) {
                holds = true;
                break;
            }
        }
        ::closedir(fds);
        if (holds)
            holders.push_back(FirstLine(std::string("/proc/") + p->d_name + "/comm") + " (PID " + p->d_name +
                              ")");
    }
    ::closedir(proc);
    return holders;
}

OpenProblem LastOpenProblem()
{
    std::lock_guard lock(g_problemMutex);
    return g_problem;
}

void NoteOpenStart(int comNumber, const PortTarget &target)
{
    std::lock_guard lock(g_problemMutex);
    g_problem = OpenProblem{};
    g_problem.comNumber = comNumber;
    g_problem.target = target;
}

void NoteOpenFailure(DWORD error)
{
    std::lock_guard lock(g_problemMutex);
    using Kind = OpenProblem::Kind;
    g_problem.error = error;
    const PortTarget &t = g_problem.target;
    if (t.kind == PortTarget::Kind::None) {
        g_problem.kind = Kind::NotMapped;
        return;
    }
    if (t.isNetwork()) {
        switch (error) {
        case ERROR_INVALID_NETNAME:
            g_problem.kind = Kind::BadAddress;
            break;
        case ERROR_BAD_NET_NAME:
            g_problem.kind = Kind::HostNotFound;
            break;
        case ERROR_CONNECTION_REFUSED:
            g_problem.kind = Kind::Refused;
            break;
        case ERROR_NETWORK_UNREACHABLE:
        case ERROR_HOST_UNREACHABLE:
            g_problem.kind = Kind::Unreachable;
            break;
        case ERROR_TIMEOUT:
            g_problem.kind = Kind::TimedOut;
            break;
        case ERROR_BAD_NET_RESP:
            g_problem.kind = Kind::NotRfc2217;
            break;
        default:
            g_problem.kind = Kind::Other;
            break;
        }
        return;
    }
    switch (error) {
    case ERROR_ACCESS_DENIED:
        g_problem.kind = Kind::NoAccess;
        break;
    case ERROR_SHARING_VIOLATION:
        g_problem.kind = Kind::InUse;
        break;
    case ERROR_FILE_NOT_FOUND: {
        struct stat st {
        };
        // A node that exists but would not act as a serial port is not a missing device.
        g_problem.kind = t.kind == PortTarget::Kind::Device && ::stat(t.path.c_str(), &st) == 0
                             ? Kind::NotSerial
                             : Kind::NotPresent;
        break;
    }
    default:
        g_problem.kind = Kind::Other;
        break;
    }
}

void NoteOpenDetail(const std::string &detail)
{
    std::lock_guard lock(g_problemMutex);
    g_problem.detail = detail;
}

void NoteSettingRefused(const DCB &dcb)
{
    std::lock_guard lock(g_problemMutex);
    g_problem.kind = OpenProblem::Kind::SettingRefused;
    g_problem.error = ERROR_INVALID_PARAMETER;
    g_problem.baudRate = dcb.BaudRate;
}

} // namespace platform
