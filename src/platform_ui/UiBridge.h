// SPDX-License-Identifier: MIT
// The user-interface thread seen from a worker: what the Windows version reached through a hidden
// notification window (SendMessageA) and one pass of the message loop.
#pragma once

#include <functional>

class QObject;

namespace platform
{

// Runs `fn` later on the thread that `context` lives on (the user-interface thread). Callable
// from any thread; returns at once. Calls for one context run in the order they were posted.
void PostToUi(QObject *context, std::function<void()> fn);

// One pass of pending-message processing on the calling (user-interface) thread.
void ProcessMessages();
// The same without the user's input: the window goes on painting and running its timers while a
// call it is in the middle of waits, but no click starts another one.
void ProcessMessagesWithoutInput();

} // namespace platform
