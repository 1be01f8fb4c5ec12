// subnet_survey: finds the test subnets of one VPC behind spoke gateways or
// NAT gateways and writes them as a test configuration.
#include "frame/program_main.hpp"
#include "quorvane_version.hpp"
#include "survey/survey_main.hpp"

int main(int argc, char** argv) {
  return qvn::runProgram({"subnet_survey", QUORVANE_VERSION_TEXT}, argc, argv, qvn::survey::runSubnetSurvey);
}
