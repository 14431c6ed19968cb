// SPDX-License-Identifier: MIT
// Writes a traffic log of numbered received lines as fast as it can, until it is killed: the
// program that tst_trafficlog kills in the middle of a flood. Every line is "#<number>" and CR LF,
// received at kFloodStart + number ms, so that the test can make the text it must find.
//   Usage: log_flood FILE   (its process number goes to FILE.pid once the file is made)
#include "LogFlood.h"
#include "TrafficLog.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    platform::AppendFile file;
    if (!file.create(argv[1]))
        return 1;
    // Whole or not at all: a number read half-written would be another process's.
    const std::string pid = std::string(argv[1]) + ".pid";
    std::ofstream(pid + ".new") << ::getpid() << '\n';
    if (std::rename((pid + ".new").c_str(), pid.c_str()) != 0)
        return 1;
    core::TrafficLog log(core::TrafficLog::FileOutput(std::move(file)));
    core::TrafficRecorder lines;
    for (std::uint64_t i = 0;; ++i) {
        AddFloodLine(lines, i);
        if (lines.size() < (64u << 10))
            continue;
        while (log.backlogFull(lines.size()))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        log.submit(lines.take(log.spare()));
    }
}
