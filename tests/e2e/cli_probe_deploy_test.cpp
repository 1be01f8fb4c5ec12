#include <gtest/gtest.h>

#include <regex>

#include "e2e/cli_run.hpp"

namespace qvn::e2e {
namespace {

namespace fs = std::filesystem;

const std::string kProgram = programPath("probe_deploy");

TEST(ProbeDeployCli, IncompleteTagPairEndsWithStatusOneAfterTheBanner) {
  ScratchFolder scratch("pd_tags");
  auto r = runProgram(kProgram,
                      {"--test_config", "x.json", "--output_test_config", "o.json", "--tag_resource", "a,b,c",
                       "--backup_folder", "DIR"},
                      scratch.path());
  EXPECT_EQ(r.status, 1) << r.err;
  const std::string row(45, '#');
  const std::string command =
      "probe_deploy --test_config x.json --output_test_config o.json --tag_resource a,b,c --backup_folder DIR";
  EXPECT_EQ(r.err, "\n" + row + "\n\n" + command + "\n\n" + row + "\n\n**Error** incomplete tag_resource pair\n");

  std::string log = slurp(scratch.path() / "DIR" / "log" / "quorvane_testlibs.log");
  std::regex line_shape(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} (.*))");
  std::vector<std::string> messages;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, line_shape)) << line;
    messages.push_back(m[1]);
  }
  EXPECT_EQ(messages,
            (std::vector<std::string>{"", row, "", command, "", row, "", "**Error** incomplete tag_resource pair"}));

  // A second run appends to the same log file.
  r = runProgram(kProgram,
                 {"--test_config", "x.json", "--output_test_config", "o.json", "--tag_resource", "owner",
                  "--backup_folder", "DIR"},
                 scratch.path());
  EXPECT_EQ(r.status, 1);
  std::string again = slurp(scratch.path() / "DIR" / "log" / "quorvane_testlibs.log");
  EXPECT_EQ(again.rfind(log, 0), 0u);
  EXPECT_GT(again.size(), log.size());
}

TEST(ProbeDeployCli, CompleteTagPairPassesTheCheck) {
  ScratchFolder scratch("pd_pair");
  auto r =
      runProgram(kProgram, {"--test_config", "x.json", "--output_test_config", "o.json", "--tag_resource", "owner,me"},
                 scratch.path());
  EXPECT_NE(r.err.find("probe_deploy --test_config x.json --output_test_config o.json --tag_resource owner,me"),
            std::string::npos);
  EXPECT_EQ(r.err.find("incomplete tag_resource pair"), std::string::npos);
  EXPECT_TRUE(fs::is_directory(scratch.path() / "backups" / "log")) << "default backup folder";
}

TEST(ProbeDeployCli, UsageErrorsEndWithStatusTwoAndNoLogFolder) {
  ScratchFolder scratch("pd_usage");
  for (const auto& arguments :
       std::vector<std::vector<std::string>>{{"--backup_folder", "B"},
                                             {"--test_config", "x.json", "--backup_folder", "B", "--unknown"},
                                             {"--backup_folder", "B", "--test_config"},
                                             {"--test_config", "x.json", "--backup_folder", "B", "--dry_run"}}) {
    auto r = runProgram(kProgram, arguments, scratch.path());
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("usage: probe_deploy [-h]", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("\nprobe_deploy: error: "), std::string::npos);
    EXPECT_FALSE(fs::exists(scratch.path() / "B"));
    EXPECT_FALSE(fs::exists(scratch.path() / "backups"));
  }
}

TEST(ProbeDeployCli, HelpPrintsUsageAndExitsZero) {
  ScratchFolder scratch("pd_help");
  auto r = runProgram(kProgram, {"--help"}, scratch.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("usage: probe_deploy [-h]", 0), 0u);
  EXPECT_NE(r.out.find("Deploy test EC2 in test subnets"), std::string::npos);
  EXPECT_FALSE(fs::exists(scratch.path() / "backups"));
}

TEST(ProbeDeployCli, AnUnusableLogFolderIsOneClearErrorLine) {
  ScratchFolder scratch("pd_badlog");
  { std::ofstream(scratch.path() / "blocker") << "a file, not a folder"; }
  auto r =
      runProgram(kProgram, {"--test_config", "x.json", "--output_test_config", "o.json", "--backup_folder", "blocker"},
                 scratch.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("probe_deploy: error: cannot create log folder blocker/log: ", 0), 0u) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
}

}  // namespace
}  // namespace qvn::e2e
