// SPDX-License-Identifier: MIT
#include "CommSettingsForm.h"

#include "Int32Text.h"

namespace core
{

CommSettingsOutcome SettingsFromDialog(const CommSettings &current, const CommSettingsInput &input)
{
    CommSettingsOutcome out;
    out.settings = current;
    const std::int32_t speed = ParseInt32Or(input.speed, -1);
    if (speed <= 0) {
        out.error = CommSettingsError::Speed;
        return out;
    }
    const std::int32_t wait = ParseInt32Or(input.lineWait, -1);
    if (wait <= 0 || wait > 5000) {
        out.error = CommSettingsError::LineWait;
        return out;
    }
    CommSettings &s = out.settings;
    s.RecvLineWait = wait;
    s.Speed = speed;
    s.ComNo = input.port + 1;
    s.WordSize = input.word == 0 ? 7 : 8;
    static const char *const kParity[] = {"NONE", "EVEN", "ODD"};
    static const char *const kStopBits[] = {"1", "1.5", "2"};
    static const char *const kFlow[] = {"NONE", "RTS/CTS"};
    if (input.parity >= 0 && input.parity < 3)
        s.Parity = kParity[input.parity];
    if (input.stopBits >= 0 && input.stopBits < 3)
        s.StopBits = kStopBits[input.stopBits];
    if (input.flow >= 0 && input.flow < 2)
        s.Flow = kFlow[input.flow];
    s.CtrlCheck = input.ctrlCheck ? 1 : 0;
    return out;
}

} // namespace core
