#include <gtest/gtest.h>

#include <fstream>

#include "e2e/cli_run.hpp"

namespace qvn::e2e {
namespace {

namespace fs = std::filesystem;

const std::string kProgram = programPath("subnet_survey");
const std::vector<std::string> kBase{"--vpc", "v", "--assume_role", "r", "--region", "us-east-1"};

std::vector<std::string> with(std::vector<std::string> tail) {
  std::vector<std::string> all = kBase;
  all.insert(all.end(), tail.begin(), tail.end());
  return all;
}

TEST(SubnetSurveyCli, NatgwCommandLineParsesAndSetsUpTheLog) {
  ScratchFolder scratch("ss_natgw");
  auto r = runProgram(kProgram, with({"natgw"}), scratch.path());
  EXPECT_NE(r.status, 2) << r.err;
  EXPECT_NE(r.err.find("subnet_survey --vpc v --assume_role r --region us-east-1 natgw"), std::string::npos);
  EXPECT_TRUE(fs::exists(scratch.path() / "backups" / "log" / "quorvane_testlibs.log"));
}

TEST(SubnetSurveyCli, UsageErrorsEndWithStatusTwoAndNoLogFolder) {
  ScratchFolder scratch("ss_usage");
  for (const auto& arguments : std::vector<std::vector<std::string>>{with({}),
                                                                     with({"spoke"}),
                                                                     with({"--output_test_config", "", "natgw"}),
                                                                     {"--vpc", "v", "--region", "r", "natgw"},
                                                                     with({"natgw", "--region", "x"})}) {
    auto r = runProgram(kProgram, arguments, scratch.path());
    EXPECT_EQ(r.status, 2) << arguments.back();
    EXPECT_EQ(r.err.rfind("usage: subnet_survey", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("\nsubnet_survey: error: "), std::string::npos);
    EXPECT_FALSE(fs::exists(scratch.path() / "backups"));
  }
}

TEST(SubnetSurveyCli, BannerNeverShowsThePassword) {
  ScratchFolder scratch("ss_mask");
  auto r = runProgram(kProgram,
                      with({"--backup_folder", "B", "spoke", "--controller_ip", "10.1.1.1", "--controller_user",
                            "admin", "--controller_password", "Pa55word!", "--spoke_gw_name", "gw"}),
                      scratch.path());
  EXPECT_NE(r.status, 2) << r.err;
  std::string log = slurp(scratch.path() / "B" / "log" / "quorvane_testlibs.log");
  EXPECT_NE(log.find("--controller_password ****"), std::string::npos);
  EXPECT_EQ(log.find("Pa55word!"), std::string::npos);
  EXPECT_EQ(r.err.find("Pa55word!"), std::string::npos);
}

TEST(SubnetSurveyCli, HelpOfTheProgramAndOfASubcommand) {
  ScratchFolder scratch("ss_help");
  auto r = runProgram(kProgram, {"--help"}, scratch.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("find subnet with spoke gw inside"), std::string::npos);
  r = runProgram(kProgram, with({"natgw", "-h"}), scratch.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("usage: subnet_survey natgw [-h]", 0), 0u);
  EXPECT_FALSE(fs::exists(scratch.path() / "backups"));
}

TEST(SubnetSurveyCli, MalformedAwsConfigFileStopsTheRunWithItsFileAndLine) {
  ScratchFolder scratch("ss_bad_config");
  const fs::path config = scratch.path() / "aws-config";
  std::ofstream(config) << "[default]\nregion = us-east-1\n[profile other\nregion = eu-west-1\n";
  auto r = runProgram(kProgram, with({"natgw"}), scratch.path(), {{"AWS_CONFIG_FILE", config.string()}});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("subnet_survey: error: cannot read " + config.string() +
                       ": line 3: section header without its closing ]\n"),
            std::string::npos)
      << r.err;
}

}  // namespace
}  // namespace qvn::e2e
