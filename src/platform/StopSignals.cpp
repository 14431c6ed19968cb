// SPDX-License-Identifier: MIT
#include "StopSignals.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <initializer_list>
#include <unistd.h>

namespace platform
{
namespace
{

int g_pipe[2] = {-1, -1};

extern "C" void OnStopSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    // A full pipe already holds a request: nothing is lost by a write that fails.
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}

} // namespace

int CatchStopSignals()
{
    if (g_pipe[0] >= 0)
        return g_pipe[0];
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        g_pipe[0] = g_pipe[1] = -1;
        return -1;
    }
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
    return g_pipe[0];
}

bool TakeStopRequest()
{
    if (g_pipe[0] < 0)
        return false;
    bool pending = false;
    char buffer[16];
    while (::read(g_pipe[0], buffer, sizeof buffer) > 0)
        pending = true;
    return pending;
}

} // namespace platform
