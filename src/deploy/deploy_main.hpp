#pragma once
// The main flow of probe_deploy.
#include <string>
#include <vector>

#include "core/logging.hpp"
#include "deploy/deploy_args.hpp"

namespace qvn::deploy {

// "probe_deploy " followed by the arguments joined by single blanks.
std::string commandText(const std::vector<std::string>& arguments);

// The pieces of a --tag_resource value, split at every ',' (kept untrimmed;
// "" is one empty piece).
std::vector<std::string> splitTagResource(const std::string& value);

// With --tag_resource given, an odd number of pieces logs
// "**Error** incomplete tag_resource pair" and ends the program with status 1.
void checkTagResource(const DeployArgs& args, Logger& log);

// The opening of every run, once the command line is parsed: log set-up,
// command banner, the dry-run setting and the tag pair check. Returns the
// package logger for the rest of the flow.
Logger& beginProbeDeploy(const DeployArgs& args, const std::vector<std::string>& arguments);

// The whole flow for the arguments after the program name; returns the exit
// status or throws ProgramExit.
int runProbeDeploy(const std::vector<std::string>& arguments);
int runProbeDeploy(int argc, char** argv);

}  // namespace qvn::deploy
