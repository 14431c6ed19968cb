// SPDX-License-Identifier: MIT
// The detection behind DetectedSerialDevices, with the two trees it reads as parameters so that
// tests can hand it a made-up machine instead of touching the devices of the real one.
#pragma once

#include <string>
#include <vector>

namespace platform
{

// sysClassTty stands for /sys/class/tty (the console list and the UART types), devDir for /dev
// (which devices are present); the result holds paths under devDir.
std::vector<std::string> DetectSerialDevices(const std::string &sysClassTty, const std::string &devDir);

} // namespace platform
