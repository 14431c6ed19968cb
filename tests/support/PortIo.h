// SPDX-License-Identifier: MIT
// Sending and receiving through an open port the way the component does (overlapped calls), in
// one call each, bounded in time.
#pragma once

#include "Serial.h"

#include <algorithm>
#include <chrono>
#include <string>

// All of `bytes`, or false.
inline bool SendAll(const platform::HANDLE &h, const std::string &bytes)
{
    platform::OVERLAPPED ov;
    platform::DWORD n = 0;
    const auto size = static_cast<platform::DWORD>(bytes.size());
    if (platform::WriteFile(h, bytes.data(), size, &n, &ov))
        return n == size;
    if (platform::GetLastError() != platform::ERROR_IO_PENDING)
        return false;
    return platform::GetOverlappedResult(h, &ov, &n, true) && n == size;
}

// Up to `n` bytes: what came before `limit` ran out or the port failed.
inline std::string ReceiveUpTo(const platform::HANDLE &h, std::size_t n,
                               std::chrono::milliseconds limit = std::chrono::seconds(5))
{
    platform::COMMTIMEOUTS t;
    t.ReadIntervalTimeout = platform::MAXDWORD;
    t.ReadTotalTimeoutConstant = 50;
    platform::SetCommTimeouts(h, t);
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    static thread_local char buffer[65536];
    while (got.size() < n && std::chrono::steady_clock::now() < deadline) {
        platform::OVERLAPPED ov;
        platform::DWORD r = 0;
        const auto want = static_cast<platform::DWORD>(std::min(sizeof buffer, n - got.size()));
        if (!platform::ReadFile(h, buffer, want, &r, &ov)) {
            if (platform::GetLastError() != platform::ERROR_IO_PENDING ||
                !platform::GetOverlappedResult(h, &ov, &r, true))
                break;
        }
        got.append(buffer, r);
    }
    return got;
}
