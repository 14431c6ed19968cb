// SPDX-License-Identifier: MIT
// The running executable's own path: the program keeps all its files beside it.
#pragma once

#include <string>

namespace platform
{

// Full path of the executable (/proc/self/exe), or the path set for a test.
std::string ExePath();
// Folder of the executable, ending in '/'.
std::string ExeDir();
// The executable's path with its extension replaced by ".ini" (or ".ini" appended when it has
// none): the settings file.
std::string ExeIniPath();

// Tests run the window in a folder of their own: every later call answers as if the executable
// were `path`. An empty path restores the real one.
void SetExePathForTesting(const std::string &path);

} // namespace platform
