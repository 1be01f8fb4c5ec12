// The conventions every program of the toolkit keeps: --version, -h/--help
// with status 0, usage errors with status 2 (before anything is set up), and
// the closest option suggested for a mistyped one.
#include <gtest/gtest.h>

#include <regex>

#include "e2e/cli_run.hpp"

namespace qvn::e2e {
namespace {

namespace fs = std::filesystem;

struct Program {
  std::string name;
  std::string path;
  std::vector<std::string> missing_required;  // a command line that lacks a required option
  std::vector<std::string> mistyped;          // one with '--regoin' or a close slip
  std::string suggestion;                     // what the error suggests for it
};

std::vector<Program> programs() {
  const std::string sandbox = std::string(QVN_BINARY_DIR) + "/sandbox/qvn-sandbox";
  return {
      {"probe_deploy",
       programPath("probe_deploy"),
       {"--output_test_config", "o.json"},
       {"--test_config", "x.json", "--output_test_config", "o.json", "--regoin", "eu-west-1"},
       "'--region'"},
      {"subnet_survey",
       programPath("subnet_survey"),
       {"--vpc", "v", "--region", "r", "natgw"},
       {"--vpc", "v", "--assume_role", "a", "--regoin", "r", "natgw"},
       "'--region'"},
      {"qvn-aws", programPath("qvn-aws"), {"ec2"}, {"sts", "get_caller_identity", "--regoin", "r"}, "'--region'"},
      {"qvn-collect-results",
       programPath("qvn-collect-results"),
       {"--test_config", "x.json"},
       {"--s3_bucket", "b", "--test_config", "x.json", "--regoin", "r"},
       "'--region'"},
      {"qvn-sandbox", sandbox, {"--port", "0"}, {"--scenario", "s.json", "--prot", "0"}, "'--port'"},
  };
}

TEST(ProgramConventions, VersionNamesTheProgramTheProjectVersionAndTheCommit) {
  ScratchFolder scratch("conv_version");
  const std::regex shape(R"(([a-z_-]+) (\d+\.\d+\.\d+) \(([0-9a-f]{7,}|unknown)\)\n)");
  std::string first_version;
  for (const auto& program : programs()) {
    auto r = runProgram(program.path, {"--version"}, scratch.path());
    EXPECT_EQ(r.status, 0) << program.name << ": " << r.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(r.out, m, shape)) << program.name << ": '" << r.out << "'";
    EXPECT_EQ(m[1], program.name);
    if (first_version.empty()) first_version = m[2].str() + " " + m[3].str();
    EXPECT_EQ(m[2].str() + " " + m[3].str(), first_version) << "one version for the whole toolkit";
    EXPECT_TRUE(r.err.empty()) << program.name;
  }
}

TEST(ProgramConventions, HelpEndsWithStatusZeroAndExplains) {
  ScratchFolder scratch("conv_help");
  for (const auto& program : programs()) {
    for (const char* flag : {"-h", "--help"}) {
      auto r = runProgram(program.path, {flag}, scratch.path());
      EXPECT_EQ(r.status, 0) << program.name << " " << flag << ": " << r.err;
      EXPECT_EQ(r.out.rfind("usage: " + program.name, 0), 0u) << program.name << ": " << r.out;
      EXPECT_NE(r.out.find("--version"), std::string::npos) << program.name;
      EXPECT_NE(r.out.find("exit status"), std::string::npos) << program.name;
      if (program.name != "qvn-sandbox") {
        EXPECT_NE(r.out.find("130 or 143"), std::string::npos) << program.name << ": " << r.out;
      }
      if (program.name == "probe_deploy" || program.name == "subnet_survey") {
        EXPECT_NE(r.out.find("--summary_json"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("--summary-json"), std::string::npos) << "the alias is not shown";
      }
    }
  }
  // The sub-commands' options are in the program's help.
  auto survey = runProgram(programPath("subnet_survey"), {"--help"}, scratch.path());
  EXPECT_NE(survey.out.find("spoke options (after 'spoke'):\n  --controller_ip CONTROLLER_IP"), std::string::npos)
      << survey.out;
  EXPECT_TRUE(fs::is_empty(scratch.path())) << "help sets nothing up";
}

TEST(ProgramConventions, UsageErrorsEndWithStatusTwoAndNameTheClosestOption) {
  ScratchFolder scratch("conv_usage");
  for (const auto& program : programs()) {
    auto r = runProgram(program.path, program.missing_required, scratch.path());
    EXPECT_EQ(r.status, 2) << program.name << ": " << r.err;
    if (program.name == "subnet_survey") {
      EXPECT_NE(r.err.find("subnet_survey: error: --assume_role is required"), std::string::npos) << r.err;
    }
    EXPECT_NE(r.err.find(program.name + ": error: "), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty()) << program.name;

    r = runProgram(program.path, program.mistyped, scratch.path());
    EXPECT_EQ(r.status, 2) << program.name << ": " << r.err;
    const std::string typed = program.name == "qvn-sandbox" ? "'--prot'" : "'--regoin'";
    EXPECT_NE(r.err.find("unknown option " + typed + "; did you mean " + program.suggestion + "?"), std::string::npos)
        << program.name << ": " << r.err;
  }
  EXPECT_TRUE(fs::is_empty(scratch.path())) << "no log folder, no output";
}

}  // namespace
}  // namespace qvn::e2e
