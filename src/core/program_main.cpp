#include "core/program_main.hpp"

#include <cstdio>
#include <exception>

#include "core/run_outcome.hpp"

namespace qvn {

namespace {

void reportFailure(const std::string& program, const std::string& what) {
  std::string line = program + ": error: " + what + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
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

}  // namespace qvn
