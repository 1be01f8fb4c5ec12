// subnet_survey: finds the test subnets of one VPC behind spoke gateways or
// NAT gateways and writes them as a test configuration.
#include "frame/command_line.hpp"
#include "frame/program_main.hpp"
#include "quorvane_version.hpp"
#include "survey/survey_main.hpp"

int main(int argc, char** argv) {
  qvn::setProgramVersion(QUORVANE_VERSION_TEXT);
  return qvn::exitStatusOf("subnet_survey", [&] { return qvn::survey::runSubnetSurvey(argc, argv); });
}
