// SPDX-License-Identifier: MIT
// GetTickCount: milliseconds since an arbitrary start, in 32 bits, wrapping after about 49.7 days
// like the Windows tick. Callers compare ticks with unsigned 32-bit subtraction.
#pragma once

#include <cstdint>

namespace platform
{

std::uint32_t GetTickCount();
// Sleep: the calling thread pauses this long.
void SleepMs(int ms);

} // namespace platform
