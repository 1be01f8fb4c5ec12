// qvn-aws: sends one AWS request through the toolkit's AWS client and prints
// the answer as JSON (see awscli/cli_runner.hpp).
#include <iostream>

#include "awscli/cli_runner.hpp"
#include "frame/program_main.hpp"
#include "quorvane_version.hpp"

int main(int argc, char** argv) {
  return qvn::runProgram({"qvn-aws", QUORVANE_VERSION_TEXT}, argc, argv, [](const std::vector<std::string>& arguments) {
    return qvn::awscli::run_aws_cli(arguments, std::cout, std::cerr);
  });
}
