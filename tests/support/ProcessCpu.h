// SPDX-License-Identifier: MIT
// CPU time this process has spent, user and system together: tests that a waiting thread does
// not spin compare it over a quiet interval.
#pragma once

#include <sys/resource.h>

inline double ProcessCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval &tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}
