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
// Every message goes to the logger quorvane_testlibs at INFO (a program or
// test sees them on standard error after qvn::logToStandardError()); a
// missing or refused object is logged with AWS's text and the object's name
// ("... NoSuchKey ... (s3://<bucket>/<key>)") and fails its subnet, and the
// others are still read. Both objects of a subnet are always asked for; a
// failing subnet ends with "  <subnet> failed: <reason>", the reason being
// the first of: "no result object s3://...", "the result reads \"...\"",
// "no log object s3://..." (or AWS's refusal of either). The two objects
// are also left in scratch_folder as log.txt and result.txt (the last
// subnet's; an empty scratch_folder leaves nothing); those files are
// replaced, never written through a symbolic link (a FIFO or device there is
// refused), and one that cannot be replaced fails the subnet.
// A test configuration that cannot be read, or an entry without a text
// "private_subnet_id" or "gw_name", is thrown (TestConfigError) before
// anything is downloaded.
#include <optional>
#include <string>
#include <vector>

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
  // Where log.txt and result.txt are left; empty: nowhere.
  std::string scratch_folder = "/tmp";
};

// What one subnet's objects said.
struct SubnetResult {
  std::string subnet_id;
  std::string tag;
  std::string result_object;  // s3://<bucket>/result-<tag>.txt
  std::string log_object;     // s3://<bucket>/log-<tag>.txt
  std::optional<std::string> result, log;  // the objects' text, when they could be read
  std::string failure;                     // why the subnet failed; empty when it passed
  bool passed() const { return failure.empty(); }
};

struct TestResultsCount {
  int examined = 0;
  int passed = 0;
  std::vector<SubnetResult> subnets;  // every subnet examined, in order
  bool allPassed() const { return passed == examined; }
  // The subnets that failed, in order, each with its reason.
  std::vector<SubnetResult> failing() const;
};

// gw_name + "-" + args.tag with an entry, "-" + args.tag without one. An
// entry without a text gw_name is refused with std::invalid_argument.
std::string deduceTag(const TestResultsArgs& args, const nlohmann::ordered_json* test_config = nullptr);

// 1 when any examined subnet failed, else 0.
int getS3TestResults(const aws::S3Client& s3_client, const TestResultsArgs& args);

// The same examination, counting the subnets examined and those that
// passed, with what each subnet's objects said.
TestResultsCount collectS3TestResults(const aws::S3Client& s3_client, const TestResultsArgs& args);

}  // namespace qvn
