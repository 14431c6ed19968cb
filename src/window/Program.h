// SPDX-License-Identifier: MIT
// The program's run: the application object, the main window and then the settings dialog, the
// message loop. The window reads no arguments; "--help" and "--run" (a script without a window)
// are the command line's (ScriptCommand.h). Where its files lie is decided in UserFiles.h. A
// request to end from outside (a signal) closes the window as the user would.
#pragma once

#include <functional>

class TForm1;

// Returns the exit code (0 for the window; a script's run says its own). `shown` runs once the
// main window is shown (the port open): the benchmarks use it to switch on what the user would
// switch on by hand.
int RunProgram(int argc, char *argv[], const std::function<void(TForm1 &)> &shown = {});
