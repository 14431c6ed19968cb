// SPDX-License-Identifier: MIT
// What /proc says about a process the benchmarks watch: its CPU time, resident memory, bytes
// read and open files.
#pragma once

#include <cmath>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace bench
{

// The fields of /proc/PID/stat after the command name; [0] is field 3 (the state). The name may
// hold spaces and parentheses, so the fields begin after its last ')'.
inline std::vector<std::string> StatFields(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    const auto close = text.rfind(')');
    std::vector<std::string> fields;
    if (close == std::string::npos)
        return fields;
    std::istringstream rest(text.substr(close + 1));
    for (std::string field; rest >> field;)
        fields.push_back(field);
    return fields;
}

// User + system time of all the process's threads; NaN when it cannot be read. Its CPU clock
// counts in nanoseconds; the clock ticks of /proc/PID/stat (10 ms) are too coarse for a reader as
// cheap as cat.
inline double CpuSeconds(pid_t pid)
{
    clockid_t clock;
    timespec t{};
    if (::clock_getcpuclockid(pid, &clock) == 0 && ::clock_gettime(clock, &t) == 0)
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
    const auto fields = StatFields(pid);
    if (fields.size() < 13)
        return std::nan("");
    const double ticks = std::stod(fields[11]) + std::stod(fields[12]); // utime, stime
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

namespace detail
{
// VmRSS of a /proc/.../status file; -1 when it cannot be read.
inline long VmRssKiB(const std::string &statusPath)
{
    std::ifstream status(statusPath);
    std::string key;
    long value = 0;
    while (status >> key) {
        if (key == "VmRSS:") {
            status >> value;
            return status ? value : -1;
        }
        status.ignore(1 << 20, '\n');
    }
    return -1;
}
} // namespace detail

// Resident memory of this process, or of `pid`; -1 when it cannot be read.
inline long ResidentKiB()
{
    return detail::VmRssKiB("/proc/self/status");
}

inline long ResidentKiB(pid_t pid)
{
    return detail::VmRssKiB("/proc/" + std::to_string(pid) + "/status");
}

// Bytes the process has taken in through read calls, terminals included.
inline std::optional<unsigned long long> BytesRead(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/io");
    std::string key;
    unsigned long long value = 0;
    while (in >> key >> value)
        if (key == "rchar:")
            return value;
    return std::nullopt;
}

// Whether one of the process's descriptors is open on `path`.
inline bool HasOpen(pid_t pid, const std::string &path)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        std::error_code ec2;
        if (fs::read_symlink(entry.path(), ec2) == path)
            return true;
    }
    return false;
}

} // namespace bench
