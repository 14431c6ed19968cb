// SPDX-License-Identifier: MIT
// The settings dialog's OK as plain data: what its controls hold goes in, the new settings (or
// the reason they are refused) come out. The dialog only reads its controls and shows the
// message; the window takes the settings.
#pragma once

#include "CommSettings.h"

#include <string>

namespace core
{

// The controls at the moment OK is pressed. Indexes are the selected items, -1 when none is.
struct CommSettingsInput {
    std::string speed;    // the bit-rate box's text
    std::string lineWait; // the receive line-wait box's text
    int port = -1;        // COM1 is item 0
    int word = -1;        // 7 bits, 8 bits
    int parity = -1;      // NONE, EVEN, ODD
    int stopBits = -1;    // 1, 1.5, 2
    int flow = -1;        // NONE, RTS/CTS
    bool ctrlCheck = true;
};

enum class CommSettingsError { None, Speed, LineWait };

struct CommSettingsOutcome {
    CommSettingsError error = CommSettingsError::None;
    CommSettings settings; // the new settings; the current ones when refused
};

// A bit rate that is no positive number, or a line wait outside 1 to 5000 ms, refuses the whole
// OK. The parity, stop-bit and flow choices left empty keep their setting as it was.
CommSettingsOutcome SettingsFromDialog(const CommSettings &current, const CommSettingsInput &input);

} // namespace core
