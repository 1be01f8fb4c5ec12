// qvn-collect-results: an example of the result collection that the
// workflow's own test code calls. Reads the results that the test instances
// left in S3, ends with "N of M subnets passed" and a line per failing
// subnet, and exits 0 when every subnet passed, 1 otherwise.
//   qvn-collect-results --s3_bucket B (--test_config FILE | --private_subnet_id S) [--tag T]
//                       [--scratch_folder DIR] [--junit FILE] [--summary_json FILE]
//                       [--profile P] [--region R]
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "deploy/test_results_report.hpp"
#include "frame/command_line.hpp"
#include "frame/program_main.hpp"
#include "quorvane_version.hpp"

namespace {

constexpr const char* kEpilog =
    "Each test instance leaves result-<gw_name>-<tag>.txt and log-<gw_name>-<tag>.txt at\n"
    "the top of the bucket; a subnet passes when its result reads PASS. Both objects of\n"
    "every subnet are read; a failing subnet is named with its reason (no result object,\n"
    "the result's text, no log object).\n"
    "\n"
    "environment: credentials and region come from AWS's standard chain and variables\n"
    "(AWS_PROFILE, AWS_ACCESS_KEY_ID, AWS_REGION, AWS_ENDPOINT_URL, ...).\n"
    "\n"
    "exit status: 0 every subnet passed; 1 a subnet failed or the run failed; 2 usage error;\n"
    "130 or 143 ended by SIGINT or SIGTERM.\n"
    "\n"
    "example:\n"
    "  qvn-collect-results --s3_bucket my-test-bucket --test_config deployed.config \\\n"
    "    --tag nightly --scratch_folder \"$RUNNER_TEMP\" --junit results.xml\n";

// The command line, then the collection.
int collect(const std::vector<std::string>& arguments) {
  qvn::CollectResultsArgs args;
  qvn::CommandLine line("qvn-collect-results", "Collects the test results that the test instances left in S3", kEpilog);
  line.bind({"--test_config", "test configuration (JSON) whose entries' subnets are examined, in file order (this or "
             "--private_subnet_id)"},
            args.results.test_config);
  line.bind({"--private_subnet_id", "the one subnet examined when no --test_config is given"},
            args.results.private_subnet_id);
  line.bind({"--s3_bucket", "bucket holding the result and log objects (required)", false, true}, args.results.s3_bucket);
  line.bind({"--tag", "workflow tag of the result objects (default: none, objects result-<gw_name>-.txt)"},
            args.results.tag);
  line.bind({"--scratch_folder",
             "folder where the last subnet's objects are left as log.txt and result.txt (default: none left)"},
            args.scratch_folder);
  line.bind({"--junit", "write a JUnit XML report, one testcase per subnet, to this file (default: none)"}, args.junit);
  line.bind({"--summary_json", "write the outcome of every subnet as JSON to this file (default: none)"},
            args.summary_json);
  line.bind({"--profile", "AWS credentials profile (default: AWS_PROFILE, else the default chain)"}, args.profile);
  line.bind({"--region", "AWS region of the bucket (default: AWS_REGION, AWS_DEFAULT_REGION, the profile's)"},
            args.region);
  line.parse(arguments, std::cout, std::cerr);
  if (args.results.test_config.empty() && args.results.private_subnet_id.empty()) {
    line.fail("give --test_config or --private_subnet_id", std::cerr);
  }
  return qvn::collectResults(args);
}

}  // namespace

int main(int argc, char** argv) {
  return qvn::runProgram({"qvn-collect-results", QUORVANE_VERSION_TEXT}, argc, argv, collect);
}
