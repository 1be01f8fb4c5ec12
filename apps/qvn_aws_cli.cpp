// qvn-aws: sends one AWS request through the toolkit's AWS client and prints
// the answer as JSON (see aws/cli_runner.hpp).
#include <iostream>
#include <string>
#include <vector>

#include "aws/cli_runner.hpp"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return qvn::aws::run_aws_cli(args, std::cout, std::cerr);
}
