// SPDX-License-Identifier: MIT
// Program entry.
#include "Program.h"

int main(int argc, char *argv[])
{
    return RunProgram(argc, argv);
}
