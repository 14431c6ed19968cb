// SPDX-License-Identifier: MIT
// What a script asks of its port. The script's thread calls these; the answers come from the
// session's thread (ScriptRunner hands each call over and waits for it). Every call waits for its
// answer, or returns nothing at once when the script is being stopped: then the call may still be
// carried out, but nobody looks at its answer.
#pragma once

#include "CommSettings.h"

#include <optional>
#include <string>

class ScriptHost
{
  public:
    virtual ~ScriptHost() = default;

    // The bytes of a mixed-send text of the normal form (raw: the bytes as they are) sent through
    // the sender and echoed. An empty text: sent; otherwise why not.
    virtual std::optional<std::string> send(const std::string &text, bool raw) = 0;
    // Switches the output lines given (DTR, RTS, the break condition).
    virtual std::optional<std::string> setLines(std::optional<bool> dtr, std::optional<bool> rts,
                                                std::optional<bool> brk) = 0;
    struct Lines {
        bool cts = false;
        bool dsr = false;
        std::string error;
    };
    virtual std::optional<Lines> lines() = 0;
    struct Settings {
        core::CommSettings comm;
        std::string error;
    };
    // The line settings now, after `change` when one is given.
    virtual std::optional<Settings> settings(const std::optional<core::CommSettings> &change) = 0;
    // A line of the script's log. False: the script is being stopped.
    virtual bool log(const std::string &text) = 0;
};
