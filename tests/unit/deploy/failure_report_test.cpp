// A step's failure line reaches the log file as well as standard error,
// once in each.
#include "deploy/failure_report.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "core/logging.hpp"

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

}  // namespace
}  // namespace qvn::deploy
