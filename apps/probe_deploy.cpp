// probe_deploy: deploys (or, with --revert, removes) test instances in the
// test subnets listed in a test configuration.
#include "deploy/deploy_main.hpp"
#include "frame/program_main.hpp"
#include "quorvane_version.hpp"

int main(int argc, char** argv) {
  return qvn::runProgram({"probe_deploy", QUORVANE_VERSION_TEXT}, argc, argv, qvn::deploy::runProbeDeploy);
}
