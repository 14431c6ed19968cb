// SPDX-License-Identifier: MIT
// The communication settings the main window holds and the settings dialog edits in place.
#pragma once

#include <cstdint>
#include <string>

namespace core
{

struct CommSettings {
    std::int32_t ComNo = 1;
    std::int32_t Speed = 9600;
    std::int32_t WordSize = 8;
    std::string Parity = "NONE";     // "NONE", "EVEN", "ODD" (any other text is kept as it is)
    std::string StopBits = "1";      // "1", "1.5", "2"
    std::string Flow = "NONE";       // "NONE", "RTS/CTS"
    std::int32_t RecvLineWait = 500; // ms, 1 to 5000
    std::int32_t CtrlCheck = 1;      // non-zero: CTS and DSR are read and shown
};

} // namespace core
