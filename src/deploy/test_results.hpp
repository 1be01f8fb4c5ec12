#pragma once
// Collection of the test results that the test instances leave in S3, for
// the workflow's own test code.
//
//   qvn::TestResultsArgs args;
//   args.test_config = "deployed.config";     // or: args.private_subnet_id = "subnet-1"
//   args.s3_bucket = "my-test-bucket";
//   args.tag = "run42";
//   const int failed = qvn::getS3TestResults(s3_client, args);   // 0: every subnet passed
//
// Each test subnet leaves "result-<tag>.txt" and "log-<tag>.txt" at the top of
// the bucket, with <tag> = gw_name + "-" + args.tag (deduceTag). A subnet
// passes when its result, without surrounding white space, is exactly "PASS".
// Every message goes to the logger quorvane_testlibs at INFO; a missing or
// refused object is logged with AWS's text and the object's name
// ("... NoSuchKey ... (s3://<bucket>/<key>)") and fails its subnet, and the
// others are still read. The two objects are also left in scratch_folder as
// log.txt and result.txt (the last subnet's); those files are replaced, never
// written through a symbolic link (a FIFO or device there is refused), and
// one that cannot be replaced fails the subnet.
// A test configuration that cannot be read, or an entry without a text
// "private_subnet_id" or "gw_name", is thrown (TestConfigError) before
// anything is downloaded.
#include <string>

#include <nlohmann/json.hpp>

#include "aws/s3.hpp"

namespace qvn {

struct TestResultsArgs {
  // Path of a test configuration: each entry's subnet is examined. Empty:
  // the one subnet private_subnet_id.
  std::string test_config;
  std::string s3_bucket;
  std::string private_subnet_id;
  // The workflow tag; may be empty.
  std::string tag;
  // Where log.txt and result.txt are left.
  std::string scratch_folder = "/tmp";
};

struct TestResultsCount {
  int examined = 0;
  int passed = 0;
  bool allPassed() const { return passed == examined; }
};

// gw_name + "-" + args.tag with an entry, "-" + args.tag without one. An
// entry without a text gw_name is refused with std::invalid_argument.
std::string deduceTag(const TestResultsArgs& args, const nlohmann::ordered_json* test_config = nullptr);

// 1 when any examined subnet failed, else 0.
int getS3TestResults(const aws::S3Client& s3_client, const TestResultsArgs& args);

// The same examination, counting the subnets examined and those that passed.
TestResultsCount collectS3TestResults(const aws::S3Client& s3_client, const TestResultsArgs& args);

}  // namespace qvn
