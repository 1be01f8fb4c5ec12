// A step's failure line reaches the log file as well as standard error,
// once in each.
#include "deploy/failure_report.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "aws/errors.hpp"
#include "core/logging.hpp"
#include "core/run_summary.hpp"

namespace qvn::deploy {
namespace {

int occurrences(const std::string& text, const std::string& needle) {
  int count = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
  return count;
}

TEST(FailureReport, LineGoesToStandardErrorAndTheLogFileOnce) {
  resetLoggingForTesting();
  const auto path = std::filesystem::temp_directory_path() / "qvn_failure_report_test.log";
  std::filesystem::remove(path);
  auto file = std::make_shared<FileHandler>(path.string(), "w");
  getLogger("quorvane_testlibs")->addHandler(file);

  testing::internal::CaptureStderr();
  reportFailure("subnet subnet-1", std::runtime_error("RunInstances: Unsupported"));
  const std::string console = testing::internal::GetCapturedStderr();
  resetLoggingForTesting();
  file.reset();

  std::ifstream in(path);
  std::stringstream logged;
  logged << in.rdbuf();
  const std::string line = "probe_deploy: subnet subnet-1: RunInstances: Unsupported";
  EXPECT_EQ(occurrences(console, line), 1) << console;
  EXPECT_EQ(occurrences(logged.str(), line), 1) << logged.str();
  std::filesystem::remove(path);
}

TEST(FailureReport, FailuresAreNotedWithTheWorkersSubnetAndTheAwsCodeWhileRecorded) {
  resetLoggingForTesting();
  core::RunTally tally;
  const aws::ServiceError refused({403, "UnauthorizedOperation", "not allowed", "req-1", "", ""}, "ec2", "RunInstances");
  testing::internal::CaptureStderr();
  {
    const FailureRecording recording(&tally);
    logFailure("look up key pair k", std::runtime_error("no answer"));
    const WorkerSubnet worker("subnet-7");
    logFailure("launch in subnet-7", refused);
    reportFailure("release of the unassociated EIP", refused);
  }
  reportFailure("after the run", refused);  // no longer recorded
  testing::internal::GetCapturedStderr();
  resetLoggingForTesting();
  const std::vector<core::RunFailure> noted = tally.failures();
  ASSERT_EQ(noted.size(), 3u);
  EXPECT_EQ(noted[0].subnet, "");
  EXPECT_EQ(noted[0].code, "");
  EXPECT_EQ(noted[0].message, "no answer");
  EXPECT_EQ(noted[1].subnet, "subnet-7");
  EXPECT_EQ(noted[1].step, "launch in subnet-7");
  EXPECT_EQ(noted[1].code, "UnauthorizedOperation");
  EXPECT_EQ(noted[2].step, "release of the unassociated EIP");
  EXPECT_TRUE(tally.failedIn("subnet-7"));
  EXPECT_FALSE(tally.failedIn("subnet-8"));
  EXPECT_EQ(workerSubnet(), "") << "given back when the worker's scope ends";
}

}  // namespace
}  // namespace qvn::deploy
