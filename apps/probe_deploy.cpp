// probe_deploy: deploys (or, with --revert, removes) test instances in the
// test subnets listed in a test configuration.
#include "core/program_main.hpp"
#include "deploy/deploy_main.hpp"

int main(int argc, char** argv) {
  return qvn::exitStatusOf("probe_deploy", [&] { return qvn::deploy::runProbeDeploy(argc, argv); });
}
