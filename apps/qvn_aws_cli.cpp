// qvn-aws: sends one AWS request through the toolkit's AWS client and prints
// the answer as JSON (see awscli/cli_runner.hpp).
#include <iostream>
#include <string>
#include <vector>

#include "awscli/cli_runner.hpp"
#include "quorvane_version.hpp"

namespace {

constexpr const char* kHelp =
    "usage: qvn-aws SERVICE OPERATION [--region REGION] [--profile PROFILE] [--input JSON] [--no-paginate]\n"
    "               [--debug]\n"
    "\n"
    "Sends one AWS request through the toolkit's own AWS client and prints the answer\n"
    "as JSON with AWS's member names: what the programs see, for support engineers.\n"
    "\n"
    "positional arguments:\n"
    "  SERVICE               ec2, iam, s3, ssm or sts\n"
    "  OPERATION             the operation in snake case (describe_subnets, get_caller_identity);\n"
    "                        a mistyped one suggests the closest, an unknown one lists them all\n"
    "\n"
    "options:\n"
    "  -h, --help            show this help message and exit\n"
    "  --version             show the program's version and exit\n"
    "  --region REGION       AWS region (default: AWS_REGION, AWS_DEFAULT_REGION, the profile's)\n"
    "  --profile PROFILE     profile of the shared config and credentials files (default:\n"
    "                        AWS_PROFILE, else the default credential chain)\n"
    "  --input JSON          the request as a JSON object with AWS's member names (default: {})\n"
    "  --no-paginate         return the first page only (default: follow every page)\n"
    "  --debug               name the credential source and profile, then show every request\n"
    "                        and answer on standard error, secrets redacted (default: off)\n"
    "\n"
    "examples:\n"
    "  qvn-aws sts get_caller_identity\n"
    "  qvn-aws ec2 describe_subnets --input '{\"SubnetIds\":[\"subnet-1\"]}'\n"
    "  qvn-aws sts decode_authorization_message --input '{\"EncodedMessage\":\"...\"}'\n"
    "\n"
    "environment: credentials, region and endpoints come from AWS's standard chain and\n"
    "variables (AWS_PROFILE, AWS_ACCESS_KEY_ID, AWS_REGION, AWS_ENDPOINT_URL,\n"
    "AWS_CONFIG_FILE, AWS_MAX_ATTEMPTS, ...), as for the programs.\n"
    "\n"
    "exit status: 0 done; 2 usage error; 253 no credentials or bad configuration;\n"
    "254 AWS refused the request (the message and its request id on standard error);\n"
    "255 any other failure; 130 or 143 ended by SIGINT or SIGTERM.\n";

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  // Help and version win wherever they stand, as for the other programs; a
  // value of --input that reads "--help" is a value.
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--input" || args[i] == "--region" || args[i] == "--profile") {
      ++i;
    } else if (args[i] == "-h" || args[i] == "--help") {
      std::cout << kHelp;
      return 0;
    } else if (args[i] == "--version") {
      std::cout << "qvn-aws " << QUORVANE_VERSION_TEXT << "\n";
      return 0;
    }
  }
  return qvn::aws::run_aws_cli(args, std::cout, std::cerr);
}
