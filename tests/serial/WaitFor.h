// SPDX-License-Identifier: MIT
// Waiting in serial tests: the component's notices reach its handlers through the event loop.
#pragma once

#include <QCoreApplication>

#include <chrono>
#include <functional>
#include <thread>

// Runs the event loop until `done` holds or the time is up.
inline bool WaitFor(const std::function<bool()> &done,
                    std::chrono::milliseconds limit = std::chrono::milliseconds(3000))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
