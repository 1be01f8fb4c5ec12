#include "frame/program_main.hpp"

#include <cstdio>
#include <exception>

#include "core/logging.hpp"
#include "core/logsetup.hpp"
#include "core/run_outcome.hpp"
#include "frame/command_line.hpp"

namespace qvn {

namespace {

void reportFailure(const std::string& program, const std::string& what) {
  const std::string line = program + ": error: " + what;
  const std::string text = line + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
  recordInLogFiles(line, ERROR);
}

}  // namespace

int exitStatusOf(const std::string& program, const std::function<int()>& flow) {
  try {
    return flow();
  } catch (const ProgramExit& exit) {
    return exit.status;
  } catch (const std::exception& e) {
    reportFailure(program, e.what());
  } catch (...) {
    reportFailure(program, "unexpected failure");
  }
  return 1;
}

int runProgram(const ProgramInfo& program, int argc, char** argv, const ProgramFlow& flow) {
  setProgramVersion(program.version);
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  return exitStatusOf(program.name, [&] { return flow(arguments); });
}

}  // namespace qvn
