#include "deploy/failure_report.hpp"

#include <cstdio>

#include "deploy/deploy_args.hpp"

namespace qvn::deploy {

std::string failureText(const std::exception& failure) {
  const std::string text = failure.what();
  return text.empty() ? std::string("unknown failure") : text;
}

void reportFailure(const std::string& where, const std::exception& failure) {
  const std::string line = std::string(kDeployProgram) + ": " + where + ": " + failureText(failure) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace qvn::deploy
