// SPDX-License-Identifier: MIT
// The back ends behind CreateFileA (internal to the platform layer).
#pragma once

#include "Serial.h"

namespace platform
{

// Opens a tty device (a serial port or a pseudo-terminal) exclusively; nullptr + last error on
// failure.
HANDLE OpenTty(const std::string &path);

} // namespace platform
