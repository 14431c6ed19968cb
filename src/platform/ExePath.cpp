// SPDX-License-Identifier: MIT
#include "ExePath.h"

#include <mutex>
#include <unistd.h>

namespace platform
{
namespace
{

std::mutex g_mutex;
std::string g_override;

std::string RealExePath()
{
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string("./Quorvel");
}

} // namespace

std::string ExePath()
{
    {
        std::lock_guard lock(g_mutex);
        if (!g_override.empty())
            return g_override;
    }
    static const std::string real = RealExePath();
    return real;
}

std::string ExeDir()
{
    const std::string path = ExePath();
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

std::string ExeIniPath()
{
    const std::string path = ExePath();
    const auto slash = path.rfind('/');
    const auto dot = path.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1))
        return path.substr(0, dot) + ".ini";
    return path + ".ini";
}

void SetExePathForTesting(const std::string &path)
{
    std::lock_guard lock(g_mutex);
    g_override = path;
}

} // namespace platform
