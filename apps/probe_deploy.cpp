// probe_deploy: deploys (or, with --revert, removes) test instances in the
// test subnets listed in a test configuration.
#include "frame/command_line.hpp"
#include "frame/program_main.hpp"
#include "deploy/deploy_main.hpp"
#include "quorvane_version.hpp"

int main(int argc, char** argv) {
  qvn::setProgramVersion(QUORVANE_VERSION_TEXT);
  return qvn::exitStatusOf("probe_deploy", [&] { return qvn::deploy::runProbeDeploy(argc, argv); });
}
