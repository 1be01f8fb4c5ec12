#pragma once
// Reading a secret from the controlling terminal without echo.
#include <string>

namespace qvn::survey {

// Writes `prompt` to the terminal (/dev/tty), reads one line with echo off
// and returns it without its newline. Echo is restored afterwards, also when
// reading fails. Throws std::runtime_error when the process has no terminal.
std::string readPasswordFromTerminal(const std::string& prompt);

}  // namespace qvn::survey
