#pragma once
// The controller's password: from the command line, the environment or the
// controlling terminal (read without echo).
#include <functional>
#include <optional>
#include <string>

namespace qvn::survey {

inline constexpr const char* kControllerPasswordVariable = "QUORVANE_CONTROLLER_PASSWORD";

// The first of: `option` when given and not empty; the variable
// QUORVANE_CONTROLLER_PASSWORD when set and not empty; what `prompt` returns.
// The variable keeps the password out of the process list, where any user of
// the machine can read a command line.
std::string controllerPassword(const std::optional<std::string>& option, const std::function<std::string()>& prompt);

// Writes `prompt` to the terminal (/dev/tty), reads one line with echo off
// and returns it without its newline. Echo is restored afterwards, also when
// reading fails. Throws std::runtime_error when the process has no terminal.
std::string readPasswordFromTerminal(const std::string& prompt);

}  // namespace qvn::survey
