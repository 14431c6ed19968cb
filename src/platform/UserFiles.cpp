// SPDX-License-Identifier: MIT
#include "UserFiles.h"

#include "ExePath.h"
#include "FileIo.h"

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <pwd.h>
#include <unistd.h>

namespace platform
{
namespace
{

struct Place {
    std::string exeDir;    // the executable's folder this was decided for
    std::string configDir; // the user's folder (the executable's when no home folder is known)
    bool besideExe = false;
};

std::mutex g_mutex;
Place g_place; // under g_mutex

bool StartsWith(const std::string &s, const char *prefix)
{
    return s.rfind(prefix, 0) == 0;
}

// An installed program, unlike a portable copy, never keeps its files beside itself, however
// writable its folder is: run as root (with sudo, as serial tools often are) every folder is.
// Installed means in a system prefix, in the prefix it was built for, or anywhere with its data
// folder beside it as an installation lays it out.
bool InstalledCopy(const std::string &exeDir)
{
    if (StartsWith(exeDir, "/usr/") || StartsWith(exeDir, "/opt/") || exeDir == QUORVEL_INSTALL_BINDIR "/")
        return true;
    std::error_code ec;
    return std::filesystem::is_directory(exeDir + QUORVEL_INSTALLED_DATA_DIR, ec);
}

// Decided for the executable's folder as it is now; a test that moves the executable elsewhere
// gets a new decision, the program itself keeps the first one.
Place CurrentPlace()
{
    const std::string exeDir = ExeDir();
    std::lock_guard lock(g_mutex);
    if (g_place.exeDir != exeDir) {
        g_place.exeDir = exeDir;
        g_place.besideExe = !InstalledCopy(exeDir) && ::access(exeDir.c_str(), W_OK) == 0;
        // Without a home folder there is nowhere better: the writes fail as they did before.
        const std::string config = ConfigFileDir();
        g_place.configDir = config.empty() ? exeDir : config;
    }
    return g_place;
}

bool Writable(const std::string &path)
{
    return !FileExists(path) || ::access(path.c_str(), W_OK) == 0;
}

} // namespace

std::string UserFileDir()
{
    const Place place = CurrentPlace();
    return place.besideExe ? place.exeDir : place.configDir;
}

std::string MakeUserFileDir()
{
    std::string dir = UserFileDir();
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    return dir;
}

std::string UserFileToRead(const std::string &name)
{
    const Place place = CurrentPlace();
    std::string besideExe = place.exeDir + name;
    if (place.besideExe && Writable(besideExe))
        return besideExe;
    const std::string user = place.configDir + name;
    return FileExists(user) ? user : besideExe;
}

std::string UserFileToWrite(const std::string &name)
{
    std::string path = UserFilePath(name);
    const std::string dir = path.substr(0, path.rfind('/') + 1);
    if (dir != CurrentPlace().exeDir) {
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
    }
    return path;
}

std::string UserFilePath(const std::string &name)
{
    const Place place = CurrentPlace();
    std::string besideExe = place.exeDir + name;
    if (place.besideExe && Writable(besideExe))
        return besideExe;
    return place.configDir + name;
}

std::string SettingsFileName()
{
    const std::string path = ExeIniPath();
    return path.substr(path.rfind('/') + 1);
}

std::string ConfigFileDir()
{
    const char *xdg = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    // The XDG base directories must be absolute: a relative one is ignored.
    if (xdg && xdg[0] == '/') {
        base = xdg;
    } else {
        const char *home = std::getenv("HOME");
        if (home && home[0] != '\0') {
            base = home;
        } else if (const passwd *pw = ::getpwuid(::getuid()); pw && pw->pw_dir && pw->pw_dir[0] != '\0') {
            base = pw->pw_dir;
        } else {
            return {};
        }
        base += "/.config";
    }
    if (base.back() != '/')
        base += '/';
    return base + "Quorvel/";
}

} // namespace platform
