#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/logging.hpp"
#include "core/logsetup.hpp"
#include "core/run_outcome.hpp"
#include "survey/password_prompt.hpp"
#include "survey/survey_args.hpp"
#include "survey/survey_main.hpp"
#include "unit/cli_parse.hpp"

namespace qvn::survey {
namespace {

namespace fs = std::filesystem;

using Parsed = test_support::Parsed<SurveyArgs>;

Parsed parse(const std::vector<std::string>& arguments) {
  return test_support::parse_with<SurveyArgs>(
      [](const auto& a, auto& out, auto& err) { return parseSurveyArgs(a, out, err); }, arguments);
}

const std::vector<std::string> kBase{"--vpc", "vpc-1", "--assume_role", "arn:r", "--region", "us-east-1"};

std::vector<std::string> with(std::vector<std::string> tail) {
  std::vector<std::string> all = kBase;
  all.insert(all.end(), tail.begin(), tail.end());
  return all;
}

TEST(SurveyArgsTest, NatgwRunWithDefaults) {
  auto p = parse(with({"natgw"}));
  ASSERT_TRUE(p.args) << p.err;
  const SurveyArgs& a = *p.args;
  EXPECT_EQ(a.vpc, "vpc-1");
  EXPECT_EQ(a.assume_role, "arn:r");
  EXPECT_EQ(a.region, "us-east-1");
  EXPECT_EQ(a.output_test_config, "subnet.config");
  EXPECT_EQ(a.backup_folder, "backups");
  EXPECT_FALSE(a.profile);
  EXPECT_FALSE(a.s3_bucket);
  EXPECT_EQ(a.subparser_name, "natgw");
  EXPECT_FALSE(a.controller_ip);
  EXPECT_FALSE(a.horizontal_scaling);
}

TEST(SurveyArgsTest, SpokeRunTakesItsOwnOptionsAfterTheSubcommand) {
  auto p = parse(with({"--profile", "prof", "--s3_bucket", "bkt", "--output_test_config", "o/a.json", "spoke",
                       "--controller_ip", "10.0.0.1", "--controller_user", "admin", "--controller_password", "",
                       "--spoke_gw_name", "gw1", "--horizontal_scaling"}));
  ASSERT_TRUE(p.args) << p.err;
  const SurveyArgs& a = *p.args;
  EXPECT_EQ(a.subparser_name, "spoke");
  EXPECT_EQ(a.profile, "prof");
  EXPECT_EQ(a.s3_bucket, "bkt");
  EXPECT_EQ(a.output_test_config, "o/a.json");
  EXPECT_EQ(a.controller_ip, "10.0.0.1");
  EXPECT_EQ(a.controller_user, "admin");
  EXPECT_EQ(a.controller_password, "") << "an empty password is given, not absent";
  EXPECT_EQ(a.spoke_gw_name, "gw1");
  EXPECT_TRUE(a.horizontal_scaling);

  auto no_password = parse(with({"spoke", "--controller_ip", "1", "--controller_user", "u", "--spoke_gw_name", "g"}));
  ASSERT_TRUE(no_password.args);
  EXPECT_FALSE(no_password.args->controller_password);
}

TEST(SurveyArgsTest, UsageErrorsEndWithStatusTwo) {
  struct Case {
    std::vector<std::string> arguments;
    std::string usage_start;
  };
  const std::string program_usage = "usage: subnet_survey [-h] --vpc VPC";
  const std::string spoke_usage = "usage: subnet_survey spoke [-h] --controller_ip";
  for (const auto& c :
       std::vector<Case>{{with({}), program_usage},                                  // no sub-command
                         {{"--vpc", "v", "--region", "r", "natgw"}, program_usage},  // --assume_role missing
                         {with({"bogus"}), program_usage},                           // unknown sub-command
                         {with({"--bogus", "natgw"}), program_usage},
                         {with({"natgw", "--vpc", "v"}), program_usage},  // program option after it
                         {with({"spoke", "--controller_user", "u", "--spoke_gw_name", "g"}), spoke_usage},
                         {with({"spoke", "--controller_ip", "1", "--spoke_gw_name", "g"}), spoke_usage},
                         {with({"spoke", "--controller_ip", "1", "--controller_user", "u"}), spoke_usage},
                         {with({"--output_test_config", "", "natgw"}), program_usage},
                         {with({"--region"}), program_usage}}) {
    auto p = parse(c.arguments);
    EXPECT_EQ(p.exit_status, 2) << c.arguments.back();
    EXPECT_EQ(p.err.rfind(c.usage_start, 0), 0u) << p.err;
    EXPECT_NE(p.err.find("\nsubnet_survey: error: "), std::string::npos);
  }
}

TEST(SurveyArgsTest, HelpTextsOfTheProgramAndItsSubcommands) {
  auto p = parse({"-h"});
  EXPECT_EQ(p.exit_status, 0);
  EXPECT_NE(p.out.find("find subnet with spoke gw inside"), std::string::npos);
  EXPECT_NE(p.out.find("{spoke,natgw} ..."), std::string::npos);
  EXPECT_NE(p.out.find("search subnet with spoke"), std::string::npos);
  EXPECT_NE(p.out.find("search subnet with natgw"), std::string::npos);
  std::size_t last = 0;
  for (const auto& option : surveyOptionTable()) {
    std::size_t at = p.out.find("\n  " + option.name, last);
    ASSERT_NE(at, std::string::npos) << option.name << " missing or out of order";
    EXPECT_NE(p.out.find(option.help, at), std::string::npos);
    last = at + 1;
  }

  auto spoke = parse(with({"spoke", "--help"}));
  EXPECT_EQ(spoke.exit_status, 0);
  EXPECT_EQ(spoke.out.rfind("usage: subnet_survey spoke [-h]", 0), 0u);
  for (const auto& option : spokeOptionTable()) {
    EXPECT_NE(spoke.out.find(option.help), std::string::npos) << option.name;
  }
}

TEST(SurveyArgsTest, MistypedSpokeOptionIsNamedWithTheClosestOne) {
  auto p = parse(with({"spoke", "--controller_ip", "1", "--controler_user", "u", "--spoke_gw_name", "g"}));
  EXPECT_EQ(p.exit_status, 2);
  EXPECT_EQ(p.err.rfind("usage: subnet_survey spoke [-h]", 0), 0u) << p.err;
  EXPECT_NE(p.err.find("unknown option '--controler_user'; did you mean '--controller_user'?"), std::string::npos)
      << p.err;
  p = parse(with({"spok"}));
  EXPECT_EQ(p.exit_status, 2);
  EXPECT_NE(p.err.find("unknown sub-command 'spok'; did you mean 'spoke'?"), std::string::npos) << p.err;
}

// Sets or removes one environment variable for the life of the object.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedVariable() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(ControllerPasswordTest, OptionThenVariableThenPrompt) {
  int prompts = 0;
  auto prompt = [&] {
    ++prompts;
    return std::string("typed");
  };
  {
    ScopedVariable variable(kControllerPasswordVariable, "from-env");
    EXPECT_EQ(controllerPassword(std::string("from-option"), prompt), "from-option");
    EXPECT_EQ(controllerPassword(std::nullopt, prompt), "from-env");
    EXPECT_EQ(controllerPassword(std::string(""), prompt), "from-env") << "an empty option is no password";
    EXPECT_EQ(prompts, 0);
  }
  {
    ScopedVariable variable(kControllerPasswordVariable, "");
    EXPECT_EQ(controllerPassword(std::nullopt, prompt), "typed") << "an empty variable is no password";
  }
  {
    ScopedVariable variable(kControllerPasswordVariable, nullptr);
    EXPECT_EQ(controllerPassword(std::string(""), prompt), "typed");
  }
  EXPECT_EQ(prompts, 2);
}

TEST(SurveyCommandTextTest, PasswordIsMaskedInBothForms) {
  EXPECT_EQ(commandText({"--vpc", "v", "spoke", "--controller_password", "s3cret", "--x"}),
            "subnet_survey --vpc v spoke --controller_password **** --x");
  EXPECT_EQ(commandText({"spoke", "--controller_password=s3cret"}), "subnet_survey spoke --controller_password=****");
  EXPECT_EQ(commandText({"spoke", "--controller_password", ""}), "subnet_survey spoke --controller_password ****");
  EXPECT_EQ(commandText({"natgw"}), "subnet_survey natgw");
}

TEST(SurveyFlowTest, BannerGoesToTheLogWithoutThePassword) {
  resetLoggingForTesting();
  logging_config() = defaultLoggingConfig();
  fs::path dir = fs::temp_directory_path() / ("qvn_survey_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  const auto arguments = with({"--backup_folder", dir.string(), "spoke", "--controller_ip", "1.2.3.4",
                               "--controller_user", "u", "--controller_password", "hunter2", "--spoke_gw_name", "gw"});
  ::testing::internal::CaptureStderr();
  Logger& log = beginSubnetSurvey(*parse(arguments).args, arguments);
  std::string console = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(log.name(), "quorvane_testlibs");
  std::ifstream in(dir / "log" / "quorvane_testlibs.log");
  std::string file((std::istreambuf_iterator<char>(in)), {});
  EXPECT_NE(file.find("--controller_password ****"), std::string::npos);
  EXPECT_EQ(file.find("hunter2"), std::string::npos);
  EXPECT_EQ(console.find("hunter2"), std::string::npos);
  resetLoggingForTesting();
  logging_config() = defaultLoggingConfig();
  fs::remove_all(dir);
}

}  // namespace
}  // namespace qvn::survey
