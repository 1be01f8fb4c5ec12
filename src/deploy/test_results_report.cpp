#include "deploy/test_results_report.hpp"

#include <sstream>

#include <pugixml.hpp>

#include "aws/session.hpp"
#include "core/clock.hpp"
#include "core/logging.hpp"
#include "lib/call_log.hpp"
#include "lib/file_writer.hpp"

namespace qvn {

namespace {

// The kind of a failure, for the failure element's type.
std::string failureType(const SubnetResult& subnet) {
  if (!subnet.result) return "NoResult";
  if (subnet.failure.starts_with("the result reads")) return "NotPassed";
  if (!subnet.log) return "NoLog";
  return "ScratchFile";
}

std::string objectText(const std::string& object, const std::optional<std::string>& content) {
  if (!content) return "--- " + object + " (not read)\n";
  std::string text = "--- " + object + "\n" + *content;
  if (!text.empty() && text.back() != '\n') text += '\n';
  return text;
}

}  // namespace

std::string junitReport(const TestResultsCount& count, const std::string& suite) {
  const std::string tests = std::to_string(count.examined);
  const std::string failures = std::to_string(count.examined - count.passed);
  pugi::xml_document document;
  auto declaration = document.append_child(pugi::node_declaration);
  declaration.append_attribute("version") = "1.0";
  declaration.append_attribute("encoding") = "UTF-8";
  auto suites = document.append_child("testsuites");
  suites.append_attribute("name") = "qvn-collect-results";
  suites.append_attribute("tests") = tests.c_str();
  suites.append_attribute("failures") = failures.c_str();
  suites.append_attribute("errors") = "0";
  auto testsuite = suites.append_child("testsuite");
  testsuite.append_attribute("name") = suite.c_str();
  testsuite.append_attribute("tests") = tests.c_str();
  testsuite.append_attribute("failures") = failures.c_str();
  testsuite.append_attribute("errors") = "0";
  testsuite.append_attribute("skipped") = "0";
  for (const auto& subnet : count.subnets) {
    auto testcase = testsuite.append_child("testcase");
    testcase.append_attribute("name") = subnet.subnet_id.c_str();
    testcase.append_attribute("classname") = ("quorvane.results." + subnet.tag).c_str();
    if (!subnet.passed()) {
      auto failure = testcase.append_child("failure");
      failure.append_attribute("message") = subnet.failure.c_str();
      failure.append_attribute("type") = failureType(subnet).c_str();
      failure.text() = subnet.failure.c_str();
    }
    const std::string out =
        objectText(subnet.result_object, subnet.result) + objectText(subnet.log_object, subnet.log);
    testcase.append_child("system-out").text() = out.c_str();
  }
  std::ostringstream text;
  document.save(text, "  ", pugi::format_default | pugi::format_no_declaration, pugi::encoding_utf8);
  return text.str();
}

nlohmann::ordered_json resultsJson(const TestResultsCount& count) {
  nlohmann::ordered_json subnets = nlohmann::ordered_json::array();
  for (const auto& subnet : count.subnets) {
    nlohmann::ordered_json entry;
    entry["subnet_id"] = subnet.subnet_id;
    entry["tag"] = subnet.tag;
    entry["passed"] = subnet.passed();
    entry["failure"] = subnet.passed() ? nlohmann::ordered_json() : nlohmann::ordered_json(subnet.failure);
    entry["result_object"] = subnet.result_object;
    entry["log_object"] = subnet.log_object;
    entry["result"] = subnet.result ? nlohmann::ordered_json(*subnet.result) : nlohmann::ordered_json();
    subnets.push_back(entry);
  }
  nlohmann::ordered_json document;
  document["examined"] = count.examined;
  document["passed"] = count.passed;
  document["failed"] = count.examined - count.passed;
  document["subnets"] = subnets;
  return document;
}

std::vector<std::string> resultLines(const TestResultsCount& count) {
  std::vector<std::string> lines{std::to_string(count.passed) + " of " + std::to_string(count.examined) +
                                 " subnets passed"};
  for (const auto& subnet : count.failing()) lines.push_back("  FAILED " + subnet.subnet_id + ": " + subnet.failure);
  return lines;
}

int collectResults(const CollectResultsArgs& args) {
  logToStandardError();
  TestResultsArgs results = args.results;
  results.scratch_folder = args.scratch_folder.value_or("");
  for (const auto& path : {args.junit, args.summary_json})
    if (path) checkWritable(*path, WriteRules::document());
  const core::TimePoint started = core::now();
  const aws::S3Client s3_client(
      aws::Session::create(aws::SessionOptions{args.profile, args.region, nullptr, makeCallLog()}), args.region);
  const TestResultsCount count = collectS3TestResults(s3_client, results);
  for (const auto& line : resultLines(count)) packageLogger().info(line);
  const int status = count.allPassed() ? 0 : 1;
  if (args.junit) writeFile(*args.junit, junitReport(count, results.s3_bucket), WriteRules::document());
  if (args.summary_json) {
    nlohmann::ordered_json summary;
    summary["program"] = "qvn-collect-results";
    summary["exit_status"] = status;
    summary["wall_time_seconds"] = std::chrono::duration<double>(core::now() - started).count();
    summary["s3_bucket"] = results.s3_bucket;
    summary.update(resultsJson(count));
    writeFile(*args.summary_json, summary.dump(2) + "\n", WriteRules::document());
  }
  return status;
}

}  // namespace qvn
