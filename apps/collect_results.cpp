// qvn-collect-results: an example of the result collection that the
// workflow's own test code calls. Reads the results that the test instances
// left in S3 and exits 0 when every subnet passed, 1 otherwise.
//   qvn-collect-results --s3_bucket B (--test_config FILE | --private_subnet_id S) [--tag T]
//                       [--profile P] [--region R]
#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "aws/s3.hpp"
#include "aws/session.hpp"
#include "core/logging.hpp"
#include "core/program_main.hpp"
#include "deploy/test_results.hpp"

int main(int argc, char** argv) {
  CLI::App app{"Collects the test results that the test instances left in S3"};
  qvn::TestResultsArgs args;
  std::optional<std::string> profile;
  std::optional<std::string> region;
  app.add_option("--test_config", args.test_config, "test configuration whose subnets are examined");
  app.add_option("--private_subnet_id", args.private_subnet_id, "the one subnet examined without --test_config");
  app.add_option("--s3_bucket", args.s3_bucket, "bucket holding the result and log objects")->required();
  app.add_option("--tag", args.tag, "workflow tag of the result objects");
  app.add_option("--profile", profile, "AWS credentials profile name");
  app.add_option("--region", region, "AWS region");
  CLI11_PARSE(app, argc, argv);
  if (args.test_config.empty() && args.private_subnet_id.empty()) {
    std::fprintf(stderr, "qvn-collect-results: error: give --test_config or --private_subnet_id\n");
    return 2;
  }
  auto console = std::make_shared<qvn::StreamHandler>(stderr, qvn::INFO);
  qvn::getLogger("quorvane_testlibs")->addHandler(console);
  qvn::getLogger("quorvane_testlibs")->setLevel(qvn::INFO);
  return qvn::exitStatusOf("qvn-collect-results", [&] {
    const qvn::aws::S3Client s3_client(qvn::aws::Session::create(qvn::aws::SessionOptions{profile, region, nullptr}),
                                       region);
    return qvn::getS3TestResults(s3_client, args);
  });
}
