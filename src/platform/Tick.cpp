// SPDX-License-Identifier: MIT
#include "Tick.h"

#include <chrono>
#include <thread>

namespace platform
{

std::uint32_t GetTickCount()
{
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return static_cast<std::uint32_t>(ms); // wraps like the Windows 32-bit counter
}

void SleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace platform
