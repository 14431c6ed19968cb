// SPDX-License-Identifier: MIT
// The real program started as a portable copy in a folder of its own: its settings file there,
// its standard error in that folder's stderr.log, and the start awaited until its port is open.
#pragma once

#include "ChildProcess.h"
#include "FileDescriptor.h"
#include "ProcFs.h"
#include "SetupError.h"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>

namespace bench
{

// `ini`: the whole settings file. `stats`: the program logs its receive statistics. `opener`:
// the process whose opening of `slave` says that the program is connected (ser2net for a port on
// another machine); the program itself by default.
inline std::unique_ptr<Child> StartPortable(const std::string &build, const std::filesystem::path &dir,
                                            const std::string &ini, const std::string &slave, bool stats,
                                            pid_t opener = 0)
{
    namespace fs = std::filesystem;
    using namespace std::chrono_literals;
    const fs::path exe = dir / "Quorvel";
    fs::copy_file(build, exe);
    fs::permissions(exe, fs::perms::owner_all);
    std::ofstream(dir / "Quorvel.ini", std::ios::binary) << ini;
    const fs::path log = dir / "stderr.log";
    // Keep the slave side from hanging up between the program's opens.
    FileDescriptor keep = OpenOrThrow(slave, O_RDWR | O_NOCTTY);
    auto program = Spawn(exe.string(), [&] {
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, 2);
        if (stats)
            ::setenv("QT_LOGGING_RULES", "quorvel.stats.debug=true", 1);
    });
    // Its start-up opens the port.
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!HasOpen(opener ? opener : program->pid(), slave)) {
        if (!program->running() || std::chrono::steady_clock::now() > deadline)
            throw SetupError("the program did not open " + slave + " (" + program->ending() + ")");
        std::this_thread::sleep_for(20ms);
    }
    return program;
}

} // namespace bench
