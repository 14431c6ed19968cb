// SPDX-License-Identifier: MIT
// Bit rates outside the fixed Bnnn table (termios2 with BOTHER). Kept apart from the rest of the tty
// back end because the kernel's <asm/termbits.h> and glibc's <termios.h> define the same names
// differently and cannot meet in one file; this header therefore uses plain types only.
#pragma once

namespace platform::termios2
{

// Switches the descriptor's input and output rate to `rate` bit/s, leaving every other setting as
// it is. Returns 0, or the errno of the failing ioctl.
int SetCustomRate(int fd, unsigned rate);

// The rates the driver reports now (after its own rounding); false with errno set on failure.
bool GetRates(int fd, unsigned *inputRate, unsigned *outputRate);

} // namespace platform::termios2
