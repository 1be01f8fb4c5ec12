#pragma once
// The collected test results as a CI system reads them: a JUnit XML report
// (one testcase per subnet, a failure with its reason, the result and log
// objects as system-out) and a JSON document, and the closing lines that
// name each failing subnet.
//
//   const TestResultsCount count = collectS3TestResults(s3_client, args);
//   writeFile("results.xml", junitReport(count, args.s3_bucket), WriteRules::document());
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "deploy/test_results.hpp"

namespace qvn {

// <testsuites> holding one <testsuite> named `suite` (the bucket), with a
// <testcase> per subnet in the order examined: name = the subnet id,
// classname = "quorvane.results." + the tag; a failing subnet carries
// <failure message="reason" type="...">, every subnet a <system-out> with
// the result and the log objects (or a note that they could not be read).
std::string junitReport(const TestResultsCount& count, const std::string& suite);

// {"examined": N, "passed": P, "failed": F, "subnets": [{"subnet_id",
// "tag", "passed", "failure" (null when passed), "result_object",
// "log_object", "result" (null when not read)}]}.
nlohmann::ordered_json resultsJson(const TestResultsCount& count);

// "N of M subnets passed", then one "  FAILED <subnet>: <reason>" line per failing subnet.
std::vector<std::string> resultLines(const TestResultsCount& count);

// The options of qvn-collect-results.
struct CollectResultsArgs {
  TestResultsArgs results;                   // its scratch_folder is not used:
  std::optional<std::string> scratch_folder;  // no scratch files unless given
  std::optional<std::string> junit;
  std::optional<std::string> summary_json;
  std::optional<std::string> profile;
  std::optional<std::string> region;
};

// qvn-collect-results: logs to standard error, checks that the report files
// can be written before anything is downloaded, collects, logs resultLines
// and writes the reports. 0 when every subnet passed, else 1.
int collectResults(const CollectResultsArgs& args);

}  // namespace qvn
