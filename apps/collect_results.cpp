// qvn-collect-results: an example of the result collection that the
// workflow's own test code calls. Reads the results that the test instances
// left in S3, ends with "N of M subnets passed" and exits 0 when every
// subnet passed, 1 otherwise.
//   qvn-collect-results --s3_bucket B (--test_config FILE | --private_subnet_id S) [--tag T]
//                       [--profile P] [--region R]
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "aws/s3.hpp"
#include "aws/session.hpp"
#include "core/command_line.hpp"
#include "core/logging.hpp"
#include "core/program_main.hpp"
#include "core/run_outcome.hpp"
#include "deploy/test_results.hpp"
#include "quorvane_version.hpp"

namespace {

constexpr const char* kEpilog =
    "Each test instance leaves result-<gw_name>-<tag>.txt and log-<gw_name>-<tag>.txt at\n"
    "the top of the bucket; a subnet passes when its result reads PASS. Credentials and\n"
    "region come from AWS's standard chain (AWS_PROFILE, AWS_REGION, ...).\n"
    "\n"
    "exit status: 0 every subnet passed; 1 a subnet failed or the run failed; 2 usage error.\n";

}  // namespace

int main(int argc, char** argv) {
  qvn::setProgramVersion(QUORVANE_VERSION_TEXT);
  qvn::TestResultsArgs args;
  std::optional<std::string> profile;
  std::optional<std::string> region;
  try {
    qvn::CommandLine line("qvn-collect-results", "Collects the test results that the test instances left in S3",
                          kEpilog);
    line.bind({"--test_config", "test configuration whose subnets are examined"}, args.test_config);
    line.bind({"--private_subnet_id", "the one subnet examined without --test_config"}, args.private_subnet_id);
    line.bind({"--s3_bucket", "bucket holding the result and log objects", false, true}, args.s3_bucket);
    line.bind({"--tag", "workflow tag of the result objects"}, args.tag);
    line.bind({"--profile", "AWS credentials profile name"}, profile);
    line.bind({"--region", "AWS region"}, region);
    line.parse(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
    if (args.test_config.empty() && args.private_subnet_id.empty()) {
      line.fail("give --test_config or --private_subnet_id", std::cerr);
    }
  } catch (const qvn::ProgramExit& exit) {
    return exit.status;
  }
  auto console = std::make_shared<qvn::StreamHandler>(stderr, qvn::INFO);
  qvn::getLogger("quorvane_testlibs")->addHandler(console);
  qvn::getLogger("quorvane_testlibs")->setLevel(qvn::INFO);
  return qvn::exitStatusOf("qvn-collect-results", [&] {
    const qvn::aws::S3Client s3_client(qvn::aws::Session::create(qvn::aws::SessionOptions{profile, region, nullptr}),
                                       region);
    const qvn::TestResultsCount count = qvn::collectS3TestResults(s3_client, args);
    qvn::getLogger("quorvane_testlibs")
        ->info(std::to_string(count.passed) + " of " + std::to_string(count.examined) + " subnets passed");
    return count.allPassed() ? 0 : 1;
  });
}
