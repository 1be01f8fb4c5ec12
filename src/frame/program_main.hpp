#pragma once
#include <functional>
#include <string>

namespace qvn {

// Runs a program's main flow and maps its outcome to the exit status: the
// flow's result; the status of a ProgramExit; 1 with one line
// "<program>: error: <what>" on standard error for any other failure. When
// the log file is open (the package logger has a file handler), that line is
// also written to it at ERROR, once.
int exitStatusOf(const std::string& program, const std::function<int()>& flow);

}  // namespace qvn
