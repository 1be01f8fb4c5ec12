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

// Turns echo off on the terminal (/dev/tty), writes `prompt`, reads one line
// and returns it without its newline. The terminal's settings come back on
// every way out: a return, a failed read, and SIGINT, SIGTERM, SIGHUP or
// SIGQUIT while waiting (the signal then takes its earlier course). Throws
// std::runtime_error when the process has no terminal.
std::string readPasswordFromTerminal(const std::string& prompt);

}  // namespace qvn::survey
