// SPDX-License-Identifier: MIT
// Requests to end the program that arrive as signals: SIGTERM (the session ending, `kill`),
// SIGINT (Ctrl+C in the terminal it was started from) and SIGHUP (that terminal closed). Left to
// their default they end the program on the spot and the settings of the run are never written;
// caught, they let the program close its window the way the user would.
#pragma once

namespace platform
{

// Catches the three signals from now on and returns a descriptor that is readable while a request
// is pending, or -1 when they cannot be caught. Each signal is caught once only: a second one
// ends the program at once, should the orderly close hang.
int CatchStopSignals();

// Empties the descriptor; true when a request was pending.
bool TakeStopRequest();

} // namespace platform
