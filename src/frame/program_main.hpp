#pragma once
// The frame of every program's main():
//
//   int main(int argc, char** argv) {
//     return qvn::runProgram({"probe_deploy", QUORVANE_VERSION_TEXT}, argc, argv, qvn::deploy::runProbeDeploy);
//   }
//
// The flow parses its arguments with a CommandLine (help, version and usage
// errors end it as a ProgramExit) and returns the run's status.
#include <functional>
#include <string>
#include <vector>

namespace qvn {

// Runs a program's main flow and maps its outcome to the exit status: the
// flow's result; the status of a ProgramExit; 1 with one line
// "<program>: error: <what>" on standard error for any other failure. When
// the log file is open (the package logger has a file handler), that line is
// also written to it at ERROR, once.
int exitStatusOf(const std::string& program, const std::function<int()>& flow);

struct ProgramInfo {
  std::string name;     // as --version and the error lines name it
  std::string version;  // what --version prints after the name
};

using ProgramFlow = std::function<int(const std::vector<std::string>& arguments)>;

// Sets the version that --version prints, runs `flow` with the arguments
// that follow the program's name and returns the exit status as
// exitStatusOf does.
int runProgram(const ProgramInfo& program, int argc, char** argv, const ProgramFlow& flow);

}  // namespace qvn
