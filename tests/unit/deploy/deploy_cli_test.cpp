#include <gtest/gtest.h>

#include <unistd.h>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/logging.hpp"
#include "core/logsetup.hpp"
#include "core/run_outcome.hpp"
#include "deploy/deploy_args.hpp"
#include "deploy/deploy_main.hpp"
#include "deploy/tags.hpp"
#include "unit/cli_parse.hpp"
#include "unit/core/log_capture.hpp"

namespace qvn::deploy {
namespace {

namespace fs = std::filesystem;

using Parsed = test_support::Parsed<DeployArgs>;

Parsed parse(const std::vector<std::string>& arguments) {
  return test_support::parse_with<DeployArgs>(
      [](const auto& a, auto& out, auto& err) { return parseDeployArgs(a, out, err); }, arguments);
}

TEST(DeployArgsTest, DefaultsWhenOnlyTheConfigFilesAreGiven) {
  auto p = parse({"--test_config", "in.json", "--output_test_config", "out.json"});
  ASSERT_TRUE(p.args);
  const DeployArgs& a = *p.args;
  EXPECT_EQ(a.test_config, "in.json");
  EXPECT_EQ(a.output_test_config, "out.json");
  EXPECT_FALSE(a.revert);
  EXPECT_FALSE(a.dry_run);
  EXPECT_EQ(a.instance_type, "t3.micro");
  EXPECT_EQ(a.image, "al2023-ami-2023.3.20240108.0-kernel-6.1-x86_64");
  EXPECT_EQ(a.backup_folder, "./backups");
  for (const auto* field : {&a.account, &a.region, &a.private_subnet_id, &a.key_name, &a.s3_bucket, &a.assume_role,
                            &a.profile, &a.ec2_role, &a.tag_resource, &a.workflow_account_role}) {
    EXPECT_FALSE(field->has_value());
  }
  EXPECT_TRUE(p.err.empty());
}

TEST(DeployArgsTest, EveryOptionLandsInItsFieldUntouched) {
  auto p = parse({"--revert",
                  "--dry_run",
                  "--account",
                  "123",
                  "--region",
                  "eu-west-1",
                  "--private_subnet_id",
                  "subnet-1",
                  "--key_name",
                  "k",
                  "--s3_bucket",
                  "b",
                  "--assume_role",
                  "arn:aws:iam::1:role/r",
                  "--profile",
                  "p",
                  "--ec2_role",
                  "default",
                  "--test_config",
                  "in.json",
                  "--output_test_config",
                  "out.json",
                  "--tag_resource=owner,me",
                  "--instance_type",
                  "t3.small",
                  "--image",
                  "img",
                  "--workflow_account_role",
                  "role,111,us-east-1",
                  "--backup_folder",
                  " spaced "});
  ASSERT_TRUE(p.args) << p.err;
  const DeployArgs& a = *p.args;
  EXPECT_TRUE(a.revert);
  EXPECT_TRUE(a.dry_run);
  EXPECT_EQ(a.account, "123");
  EXPECT_EQ(a.region, "eu-west-1");
  EXPECT_EQ(a.private_subnet_id, "subnet-1");
  EXPECT_EQ(a.key_name, "k");
  EXPECT_EQ(a.s3_bucket, "b");
  EXPECT_EQ(a.assume_role, "arn:aws:iam::1:role/r");
  EXPECT_EQ(a.profile, "p");
  EXPECT_EQ(a.ec2_role, "default");
  EXPECT_EQ(a.output_test_config, "out.json");
  EXPECT_EQ(a.tag_resource, "owner,me");
  EXPECT_EQ(a.instance_type, "t3.small");
  EXPECT_EQ(a.image, "img");
  EXPECT_EQ(a.workflow_account_role, "role,111,us-east-1");
  EXPECT_EQ(a.backup_folder, " spaced ") << "values are not trimmed";

  auto empty = parse({"--test_config", "x", "--output_test_config", "y", "--tag_resource", ""});
  ASSERT_TRUE(empty.args);
  EXPECT_EQ(empty.args->tag_resource, "") << "an empty value is given, not absent";
}

TEST(DeployArgsTest, HelpListsEveryOptionInTableOrder) {
  auto p = parse({"--help"});
  EXPECT_EQ(p.exit_status, 0);
  EXPECT_NE(p.out.find("Deploy test EC2 in test subnets"), std::string::npos);
  EXPECT_EQ(p.out.rfind("usage: probe_deploy [-h] [--revert] [--dry_run] [--account ACCOUNT]", 0), 0u);
  std::size_t last = 0;
  for (const auto& option : deployOptionTable()) {
    std::size_t at = p.out.find("\n  " + option.name, last);
    ASSERT_NE(at, std::string::npos) << option.name << " missing or out of order";
    std::size_t help_at = p.out.find(option.help, at);
    EXPECT_NE(help_at, std::string::npos) << option.name;
    last = at + 1;
  }
  EXPECT_NE(p.out.find("--test_config TEST_CONFIG\n                        specify input test config file"),
            std::string::npos);
  EXPECT_EQ(parse({"-h", "--bogus"}).exit_status, 0) << "help wins over later mistakes";
}

TEST(DeployArgsTest, ParseErrorsPrintUsageAndEndWithStatusTwo) {
  for (const auto& arguments :
       std::vector<std::vector<std::string>>{{},
                                             {"--region", "x"},
                                             {"--test_config", "x", "--output_test_config", "y", "--bogus"},
                                             {"--test_config", "x", "--output_test_config", "y", "--account"},
                                             {"--test_config"},
                                             {"--test_config", "x", "--output_test_config", "y", "stray"},
                                             {"--test_config", "x"},
                                             {"--test_config", "x", "--dry_run"}}) {
    auto p = parse(arguments);
    EXPECT_EQ(p.exit_status, 2);
    EXPECT_EQ(p.err.rfind("usage: probe_deploy [-h]", 0), 0u);
    EXPECT_NE(p.err.find("\nprobe_deploy: error: "), std::string::npos);
    EXPECT_TRUE(p.out.empty());
  }
  EXPECT_NE(parse({}).err.find("--test_config"), std::string::npos);
  EXPECT_NE(parse({"--test_config", "x"}).err.find("required for a deployment: --output_test_config"),
            std::string::npos);
  auto revert = parse({"--test_config", "x", "--revert"});
  ASSERT_TRUE(revert.args) << "a teardown writes no output";
  EXPECT_FALSE(revert.args->output_test_config);
}

TEST(DeployArgsTest, MistypedOptionsAreNamedWithTheClosestOne) {
  auto p = parse({"--test_config", "x", "--output_test_config", "y", "--regoin", "us-east-1"});
  EXPECT_EQ(p.exit_status, 2);
  EXPECT_NE(p.err.find("\nprobe_deploy: error: unknown option '--regoin'; did you mean '--region'?\n"),
            std::string::npos)
      << p.err;
  // The unknown option is the mistake even when it leaves a required one out.
  p = parse({"--test-config", "x", "--output_test_config", "y"});
  EXPECT_EQ(p.exit_status, 2);
  EXPECT_NE(p.err.find("unknown option '--test-config'; did you mean '--test_config'?"), std::string::npos) << p.err;
  p = parse({"--version"});
  EXPECT_EQ(p.exit_status, 0);
  EXPECT_EQ(p.out.rfind("probe_deploy ", 0), 0u);
}

TEST(TagResourceTest, OddPieceCountsAreRefused) {
  EXPECT_EQ(splitTagResource("a,b,"), (std::vector<std::string>{"a", "b", ""}));
  EXPECT_EQ(splitTagResource(""), std::vector<std::string>{""});
  EXPECT_EQ(splitTagResource(" a , b"), (std::vector<std::string>{" a ", " b"}));

  auto sink = std::make_shared<test_support::CaptureHandler>();
  Logger& log = *getLogger("deploytest");
  log.addHandler(sink);
  log.setLevel(DEBUG);
  DeployArgs args;
  for (const char* ok : {"owner,me", "a,b,c,d", ",", "k,"}) {
    args.tag_resource = ok;
    EXPECT_NO_THROW(checkTagResource(args, log)) << ok;
  }
  args.tag_resource.reset();
  EXPECT_NO_THROW(checkTagResource(args, log));
  EXPECT_TRUE(sink->records().empty());

  for (const char* bad : {"owner", "a,b,c", "a,b,", ""}) {
    args.tag_resource = bad;
    try {
      checkTagResource(args, log);
      ADD_FAILURE() << bad << " passed";
    } catch (const ProgramExit& e) {
      EXPECT_EQ(e.status, 1);
    }
  }
  ASSERT_EQ(sink->records().size(), 4u);
  EXPECT_EQ(sink->records()[0].message, "**Error** incomplete tag_resource pair");
  EXPECT_EQ(sink->records()[0].levelno, INFO);

  // EC2's 50 tags: Name, the user's pairs and the Elastic IP's VPC tag.
  const auto pairs = [](int n) {
    std::string value;
    for (int i = 0; i < n; ++i) value += (i ? "," : "") + std::string("k") + std::to_string(i) + ",v";
    return value;
  };
  args.tag_resource = pairs(48);
  EXPECT_NO_THROW(checkTagResource(args, log));
  args.tag_resource = pairs(49);
  EXPECT_THROW(checkTagResource(args, log), ProgramExit);
  ASSERT_EQ(sink->records().size(), 5u);
  EXPECT_EQ(sink->records()[4].message,
            "**Error** tag_resource holds 49 pairs; at most 48 fit beside the tool's own tags");
  log.clearHandlers();
}

class DeployFlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetLoggingForTesting();
    logging_config() = defaultLoggingConfig();
    dir_ = fs::temp_directory_path() / ("qvn_deploy_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
  }
  void TearDown() override {
    resetLoggingForTesting();
    logging_config() = defaultLoggingConfig();
    RunOutcome().setStatus(0);
    Globals.dry_run = false;
    fs::remove_all(dir_);
  }
  fs::path dir_;
};

TEST_F(DeployFlowTest, IncompleteTagPairEndsAfterTheBanner) {
  const std::string backup = dir_.string();
  ::testing::internal::CaptureStderr();
  const std::vector<std::string> arguments{"--test_config", "x.json",          "--output_test_config",
                                           "o.json",        "--tag_resource",  "a,b,c",
                                           "--dry_run",     "--backup_folder", backup};
  int status = -1;
  try {
    beginProbeDeploy(*parse(arguments).args, arguments);
  } catch (const ProgramExit& e) {
    status = e.status;
  }
  std::string console = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(status, 1);
  EXPECT_TRUE(Globals.dry_run) << "dry run is set before the tag check";
  const std::string command =
      "probe_deploy --test_config x.json --output_test_config o.json --tag_resource a,b,c --dry_run "
      "--backup_folder " +
      backup;
  const std::string row(45, '#');
  EXPECT_EQ(console, "\n" + row + "\n\n" + command + "\n\n" + row + "\n\n**Error** incomplete tag_resource pair\n");
  std::ifstream in(dir_ / "log" / "quorvane_testlibs.log");
  std::string line, last;
  int count = 0;
  while (std::getline(in, line)) {
    ++count;
    last = line;
  }
  EXPECT_EQ(count, 8);
  EXPECT_EQ(last.substr(24), "**Error** incomplete tag_resource pair");
}

TEST_F(DeployFlowTest, CompletePairPassesTheOpening) {
  const std::vector<std::string> arguments{"--test_config",  "x.json",   "--output_test_config", "o.json",
                                           "--tag_resource", "owner,me", "--backup_folder",      dir_.string()};
  ::testing::internal::CaptureStderr();
  Logger& log = beginProbeDeploy(*parse(arguments).args, arguments);
  std::string console = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(log.name(), "quorvane_testlibs");
  EXPECT_EQ(console.find("incomplete"), std::string::npos);
  EXPECT_FALSE(Globals.dry_run);
  EXPECT_EQ(RunOutcome().getStatus(), 0);
  EXPECT_EQ(commandText({}), "probe_deploy ");
}

TEST(RevertCommandTest, NamesWhatTheTeardownNeedsAndNothingElse) {
  DeployArgs args;
  args.test_config = "in.json";
  args.output_test_config = "out.json";
  args.instance_type = "t3.small";
  args.tag_resource = "team,qa";
  EXPECT_EQ(revertCommand(args), (std::vector<std::string>{"probe_deploy", "--revert", "--test_config", "in.json"}));

  args.region = "eu-west-1";
  args.profile = "ci";
  args.assume_role = "arn:aws:iam::123456789012:role/deployer";
  args.ec2_role = "default";
  args.backup_folder = "/tmp/my backups";
  EXPECT_EQ(revertCommand(args),
            (std::vector<std::string>{"probe_deploy", "--revert", "--test_config", "in.json", "--region", "eu-west-1",
                                      "--profile", "ci", "--assume_role", "arn:aws:iam::123456789012:role/deployer",
                                      "--ec2_role", "default", "--backup_folder", "/tmp/my backups"}));
  // A named role is the user's own: the teardown leaves IAM alone anyway.
  args.ec2_role = "their-role";
  const auto words = revertCommand(args);
  EXPECT_EQ(std::find(words.begin(), words.end(), "--ec2_role"), words.end());
}

}  // namespace
}  // namespace qvn::deploy
