// SPDX-License-Identifier: MIT
#include "SerialTermios2.h"

#include <asm/termbits.h>
#include <cerrno>
#include <sys/ioctl.h>

namespace platform::termios2
{
namespace
{

int Ioctl(int fd, unsigned long request, struct termios2 *t)
{
    int r;
    do
        r = ::ioctl(fd, request, t);
    while (r < 0 && errno == EINTR);
    return r;
}

} // namespace

int SetCustomRate(int fd, unsigned rate)
{
    struct termios2 t {
    };
    if (Ioctl(fd, TCGETS2, &t) < 0)
        return errno;
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = rate;
    t.c_ospeed = rate;
    if (Ioctl(fd, TCSETS2, &t) < 0)
        return errno;
    return 0;
}

bool GetRates(int fd, unsigned *inputRate, unsigned *outputRate)
{
    struct termios2 t {
    };
    if (Ioctl(fd, TCGETS2, &t) < 0)
        return false;
    // The kernel fills both speed fields from the Bnnn code too, so this works for every rate.
    if (inputRate)
        *inputRate = t.c_ispeed;
    if (outputRate)
        *outputRate = t.c_ospeed;
    return true;
}

} // namespace platform::termios2
