// SPDX-License-Identifier: MIT
// The program as a user runs it at the bench with both of the receive path's extras on: the time
// column shown on every page and the traffic log running into the executable's folder from the
// moment the window is up. bench_window_flood runs it with --logging-exe beside the program itself.
#include "ExePath.h"
#include "Main.h"
#include "Program.h"

#include <QString>

int main(int argc, char *argv[])
{
    return RunProgram(argc, argv, [](TForm1 &window) {
        if (!window.ShowTimes())
            window.mnuRecvTimeClick();
        window.StartTrafficLog(QString::fromStdString(platform::ExeDir()));
    });
}
