#include "deploy/failure_report.hpp"

#include <cstdio>

#include "core/logging.hpp"
#include "core/program_main.hpp"
#include "deploy/deploy_args.hpp"

namespace qvn::deploy {

std::string failureText(const std::exception& failure) {
  const std::string text = failure.what();
  return text.empty() ? std::string("unknown failure") : text;
}

void reportFailure(const std::string& where, const std::exception& failure) {
  const std::string line = std::string(kDeployProgram) + ": " + where + ": " + failureText(failure);
  const std::string text = line + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
  // The archived log says why a step failed, as the console does.
  recordInLogFiles(line, ERROR);
}

}  // namespace qvn::deploy
