// The fatal line of a program: on standard error always, and in the log file
// once the log is set up.
#include "frame/program_main.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/logging.hpp"
#include "core/run_outcome.hpp"
#include "frame/command_line.hpp"
#include "unit/core/log_capture.hpp"

namespace qvn {
namespace {

namespace fs = std::filesystem;

class FatalLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logFile = fs::temp_directory_path() / ("qvn-fatal-" + std::to_string(::getpid()) + ".log");
    fs::remove(logFile);
  }
  void TearDown() override {
    resetLoggingForTesting();
    RunOutcome().setStatus(0);
    fs::remove(logFile);
  }
  std::string logText() const {
    std::ifstream in(logFile);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  fs::path logFile;
};

TEST_F(FatalLineTest, TheErrorLineReachesTheLogFileOnceAtErrorAndNothingElse) {
  Logger* package = getLogger("quorvane_testlibs");
  package->setLevel(DEBUG);
  package->setPropagate(false);
  auto file = std::make_shared<FileHandler>(logFile.string(), "a", DETAIL);
  file->setFormatter(std::make_shared<Formatter>("%(levelname)s %(message)s"));
  auto console = std::make_shared<test_support::CaptureHandler>(DETAIL);
  package->addHandler(console);
  package->addHandler(file);

  ::testing::internal::CaptureStderr();
  const int status = exitStatusOf("probe_deploy", []() -> int {
    throw std::runtime_error("in.json: entry 2: member \"gw_private_ip\" is missing");
  });
  const std::string err = ::testing::internal::GetCapturedStderr();

  EXPECT_EQ(status, 1);
  EXPECT_EQ(err, "probe_deploy: error: in.json: entry 2: member \"gw_private_ip\" is missing\n");
  EXPECT_EQ(logText(), "ERROR probe_deploy: error: in.json: entry 2: member \"gw_private_ip\" is missing\n");
  EXPECT_TRUE(console->records().empty()) << "the console would show the line twice";

  // An ended run (ProgramExit) has said its reason already: nothing is added.
  EXPECT_EQ(exitStatusOf("probe_deploy", []() -> int { throw ProgramExit{1}; }), 1);
  ::testing::internal::CaptureStderr();
  exitStatusOf("subnet_survey", []() -> int { throw 7; });
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(logText(),
            "ERROR probe_deploy: error: in.json: entry 2: member \"gw_private_ip\" is missing\n"
            "ERROR subnet_survey: error: unexpected failure\n");
}

TEST_F(FatalLineTest, WithoutALogFileTheLineGoesToStandardErrorOnly) {
  // Before the log is set up, or in a tool that logs to the console only.
  auto console = std::make_shared<test_support::CaptureHandler>(NOTSET);
  getLogger("quorvane_testlibs")->addHandler(console);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(exitStatusOf("subnet_survey", []() -> int { throw std::runtime_error("no credentials"); }), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "subnet_survey: error: no credentials\n");
  EXPECT_TRUE(console->records().empty());
}

// The frame of every main: the version --version prints, the arguments after
// the program's name, and the status of each way a flow ends.
TEST_F(FatalLineTest, RunProgramHandsTheArgumentsToTheFlowAndMapsHowItEnds) {
  char name[] = "prog", first[] = "--vpc", second[] = "v 1";
  char* argv[] = {name, first, second, nullptr};
  std::vector<std::string> seen;
  EXPECT_EQ(runProgram({"prog", "1.2.3 (abcdef0)"}, 3, argv,
                       [&seen](const std::vector<std::string>& arguments) {
                         seen = arguments;
                         return 4;
                       }),
            4);
  EXPECT_EQ(seen, (std::vector<std::string>{"--vpc", "v 1"}));
  EXPECT_EQ(programVersion(), "1.2.3 (abcdef0)");

  std::ostringstream out, err;
  const auto parsing = [&](const std::vector<std::string>& arguments) {
    CommandLine line("prog", "does things");
    std::string vpc;
    line.bind({"--vpc", "the VPC", false, true}, vpc);
    line.parse(arguments, out, err);
    return 0;
  };
  char version[] = "--version", stray[] = "--vcp";
  char* asks_version[] = {name, version, nullptr};
  EXPECT_EQ(runProgram({"prog", "1.2.3 (abcdef0)"}, 2, asks_version, parsing), 0);
  EXPECT_EQ(out.str(), "prog 1.2.3 (abcdef0)\n");
  char* mistyped[] = {name, stray, second, nullptr};
  EXPECT_EQ(runProgram({"prog", "1.2.3 (abcdef0)"}, 3, mistyped, parsing), 2);
  EXPECT_NE(err.str().find("prog: error: unknown option '--vcp'; did you mean '--vpc'?"), std::string::npos)
      << err.str();

  ::testing::internal::CaptureStderr();
  EXPECT_EQ(runProgram({"prog", "1.2.3"}, 1, argv,
                       [](const std::vector<std::string>&) -> int { throw std::runtime_error("cannot read x.json"); }),
            1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "prog: error: cannot read x.json\n");
}

}  // namespace
}  // namespace qvn
