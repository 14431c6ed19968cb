// SPDX-License-Identifier: MIT
// A benchmark that cannot set its run up (no pseudo-terminal, a program that will not start)
// has measured nothing: it says why and ends with its own exit status instead of a FAIL.
#pragma once

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace bench
{

struct SetupError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// `what` and the reason errno gives.
[[noreturn]] inline void ThrowSystem(const std::string &what)
{
    throw SetupError(what + ": " + std::strerror(errno));
}

} // namespace bench
