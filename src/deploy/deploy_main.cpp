#include "deploy/deploy_main.hpp"

#include <iostream>

#include "core/run_outcome.hpp"
#include "lib/basekit.hpp"

namespace qvn::deploy {

std::string commandText(const std::vector<std::string>& arguments) {
  std::string text = std::string(kDeployProgram) + " ";
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (i > 0) text += " ";
    text += arguments[i];
  }
  return text;
}

std::vector<std::string> splitTagResource(const std::string& value) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (true) {
    std::size_t comma = value.find(',', start);
    if (comma == std::string::npos) {
      pieces.push_back(value.substr(start));
      return pieces;
    }
    pieces.push_back(value.substr(start, comma - start));
    start = comma + 1;
  }
}

void checkTagResource(const DeployArgs& args, Logger& log) {
  if (!args.tag_resource) return;
  if (splitTagResource(*args.tag_resource).size() % 2 != 0) {
    log.info("**Error** incomplete tag_resource pair");
    throw ProgramExit{1};
  }
}

Logger& beginProbeDeploy(const DeployArgs& args, const std::vector<std::string>& arguments) {
  Common::initLogLocation(args.backup_folder);
  Common::logCommandOptions(commandText(arguments));
  Logger& log = *getLogger("quorvane_testlibs");
  Globals.dry_run = args.dry_run;
  checkTagResource(args, log);
  return log;
}

int runProbeDeploy(const std::vector<std::string>& arguments) {
  const DeployArgs args = parseDeployArgs(arguments, std::cout, std::cerr);
  Logger& log = beginProbeDeploy(args, arguments);
  (void)log;

  // The AWS sessions and the deployment or teardown come here.
  return RunOutcome().getStatus();
}

int runProbeDeploy(int argc, char** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  return runProbeDeploy(arguments);
}

}  // namespace qvn::deploy
