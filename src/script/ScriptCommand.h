// SPDX-License-Identifier: MIT
// The command line of the program. Without arguments of its own the window starts (as it always
// did: the arguments it does not know are left to the window). "--help" prints what the program
// takes; "--run script.lua [--port COMn] [--log FOLDER] [--timeout S]" runs a script without a
// display, on the port session, receive view and sender the window uses, with the same settings
// file and [PORTS] map. It prints each port.log and a final line on standard output and exits
//   0  the script ended normally
//   1  it failed (port.fail, an error, an assert), or was stopped by a signal
//   2  a usage error, a script file that cannot be read, a port that cannot be opened, a log that
//      cannot be made (the reason on standard error)
//   3  its --timeout passed
#pragma once

#include <optional>

namespace script_command
{

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitTimedOut = 3;

// Nothing when the window is to start; otherwise the exit code of what the command line asked for.
// Makes its own QCoreApplication: no display is needed.
std::optional<int> Run(int argc, char *argv[]);

} // namespace script_command
