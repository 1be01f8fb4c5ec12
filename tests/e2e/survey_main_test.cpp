// The main flow of subnet_survey against the sandbox: the output guard, the
// controller login and its trust, the sessions (the password prompt: cli_password_test).
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

#include "core/clock.hpp"
#include "e2e/survey_support.hpp"
#include "survey/survey_session.hpp"

namespace qvn::e2e {
namespace {

namespace fs = std::filesystem;

class SurveyMainFlow : public SurveyAgainstSandbox {
 protected:
  SurveyMainFlow() : SurveyAgainstSandbox("spoke.json") {}
};

TEST_F(SurveyMainFlow, ExistingOutputStopsTheRunAfterTheRoleAssumption) {
  { std::ofstream(cwd() / "out.json") << "earlier result\n"; }
  auto r = survey(kSpokeVpc, spoke("spoke1"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(logged("- Found out.json"));
  EXPECT_EQ(written(), "earlier result\n");
  EXPECT_EQ(sandbox().requests("sts", "AssumeRole").size(), 1u);
  EXPECT_TRUE(sandbox().requests("ec2").empty());
  EXPECT_TRUE(sandbox().controllerRequests().empty());
}

// A kept output that will not serve this run is named; --force searches again.
TEST_F(SurveyMainFlow, AKeptOutputThatCannotServeThisVpcIsWarnedAboutAndForceReplacesIt) {
  sandbox().load(readScenario("pipeline.json"));  // the spoke VPC and the NAT VPC
  const std::string again = "; run with --force to search again";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"[]\n", "out.json holds no entries, so nothing is tested from it" + again},
      {R"([{"nat_gw_id": "nat-0c5b0c0d0e0f00001", "gw_subnet_id": "subnet-0c5b0c0d0e0f00001",
           "private_subnet_id": "subnet-0c5b0c0d0e0f00011"}])",
       "out.json names subnets of " + kNatVpc + ", not of " + kSpokeVpc + again},
      {R"([{"gw_name": "spoke1", "private_subnet_id": "subnet-0a5b0c0d0e0f00021"}])", ""},
  };
  for (const auto& [kept, warning] : cases) {
    SCOPED_TRACE(kept);
    { std::ofstream(cwd() / "out.json") << kept; }
    auto r = survey(kSpokeVpc, spoke("spoke1"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(written(), kept) << "kept as it was";
    if (warning.empty()) {
      EXPECT_EQ(r.err.find("**Warning**"), std::string::npos) << r.err;
    } else {
      EXPECT_NE(r.err.find("  **Warning** " + warning), std::string::npos) << r.err;
    }
  }
  EXPECT_TRUE(sandbox().controllerRequests().empty()) << "no search ran";

  std::vector<std::string> forced{"--force"};
  for (const auto& word : spoke("spoke1")) forced.push_back(word);
  auto r = survey(kSpokeVpc, forced);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(entries().size(), 2u) << written();
  EXPECT_TRUE(logged("- Searching again (--force): out.json is replaced"));
}

// One sandbox for a whole pipeline: both searches find their subnets.
TEST_F(SurveyMainFlow, ThePipelineScenarioServesTheSpokeAndTheNatSearch) {
  sandbox().load(readScenario("pipeline.json"));
  auto r = survey(kSpokeVpc, spoke("spoke1"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(entries().size(), 2u);
  fs::remove(cwd() / "out.json");
  r = survey(kNatVpc, {"natgw"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(entries().size(), 3u);
  EXPECT_EQ(entries()[0]["nat_gw_id"], "nat-0c5b0c0d0e0f00001");
}

TEST_F(SurveyMainFlow, MissingParentFoldersOfTheOutputAreMade) {
  Environment env = sandbox().environment();
  auto r =
      runProgram(programPath("subnet_survey"),
                 {"--vpc", kSpokeVpc, "--region", "us-east-1", "--assume_role", kSurveyRole, "--output_test_config",
                  "deep/a/b.json", "spoke", "--controller_ip", sandbox().controller(), "--controller_user", "admin",
                  "--controller_password", kControllerPassword, "--spoke_gw_name", "spoke1"},
                 cwd(), env);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(nlohmann::json::parse(slurp(cwd() / "deep" / "a" / "b.json")).size(), 2u);
}

TEST_F(SurveyMainFlow, ProfileSignsTheRoleAssumption) {
  auto r = runProgram(programPath("subnet_survey"),
                      {"--vpc", kSpokeVpc, "--region", "us-east-1", "--assume_role", kSurveyRole, "--profile",
                       "workflow", "spoke", "--controller_ip", sandbox().controller(), "--controller_user", "admin",
                       "--controller_password", kControllerPassword, "--spoke_gw_name", "spoke1"},
                      cwd(), sandbox().environment());
  EXPECT_EQ(r.status, 0) << r.err;
  auto assumed = sandbox().requests("sts", "AssumeRole");
  ASSERT_EQ(assumed.size(), 1u);
  EXPECT_EQ(assumed[0]["access_key"], "AKIAQVNSANDBOX0WF001");
  for (const auto& call : sandbox().requests("ec2")) EXPECT_NE(call["access_key"], "AKIAQVNSANDBOX0WF001");
}

TEST_F(SurveyMainFlow, ControllerCertificateMustBeTrusted) {
  // Without the sandbox's CA the login is not sent; the line says what to do.
  auto r = survey(kSpokeVpc, spoke("spoke1"), {{"QUORVANE_CONTROLLER_CA_BUNDLE", ""}});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("subnet_survey: error: the controller at " + sandbox().controller() + " was not trusted"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("QUORVANE_CONTROLLER_CA_BUNDLE"), std::string::npos);
  EXPECT_FALSE(wrote());
  EXPECT_TRUE(sandbox().controllerRequests().empty());  // the password was not sent

  // The insecure switch skips the check, with a warning.
  r = survey(kSpokeVpc, spoke("spoke1"),
             {{"QUORVANE_CONTROLLER_CA_BUNDLE", ""}, {"QUORVANE_CONTROLLER_INSECURE", "1"}});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("the controller's certificate is not checked"), std::string::npos);
  EXPECT_EQ(entries().size(), 2u);
}

TEST_F(SurveyMainFlow, RefusedLoginEndsTheRunWithTheControllersReason) {
  auto r = survey(kSpokeVpc, {"--summary_json", "summary.json", "spoke", "--controller_ip", sandbox().controller(),
                              "--controller_user", "admin", "--controller_password", "Wr0ng-Secret", "--spoke_gw_name",
                              "spoke1"});
  EXPECT_EQ(r.status, 1);
  // The summary names the failure that ended the run, and no entry.
  const nlohmann::json summary = nlohmann::json::parse(slurp(cwd() / "summary.json"));
  ASSERT_EQ(summary.at("errors").size(), 1u) << summary.dump(2);
  EXPECT_TRUE(summary.at("errors").at(0).at("subnet").is_null());
  EXPECT_NE(summary.at("errors").at(0).at("message").get<std::string>().find("refused the login of admin"),
            std::string::npos)
      << summary.dump(2);
  EXPECT_TRUE(summary.at("entries").empty());
  EXPECT_TRUE(summary.at("next_command").is_null());
  EXPECT_NE(r.err.find("refused the login of admin: Invalid username or password."), std::string::npos) << r.err;
  EXPECT_FALSE(wrote());
  EXPECT_EQ(r.err.find("Wr0ng-Secret"), std::string::npos);
  EXPECT_EQ(log().find("Wr0ng-Secret"), std::string::npos);
  EXPECT_TRUE(sandbox().requests("ec2").empty());
}

// The role session cache, in this process against the sandbox.
class SurveySessionCache : public SurveyAgainstSandbox {
 protected:
  SurveySessionCache() : SurveyAgainstSandbox("spoke.json") {
    for (const auto& [name, value] : sandbox().environment()) {
      saved_.emplace_back(
          name, std::getenv(name.c_str()) ? std::optional<std::string>(std::getenv(name.c_str())) : std::nullopt);
      if (value.empty())
        ::unsetenv(name.c_str());
      else
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    survey::clearAwsSessionCache();
    core::set_clock([this] { return now_; });
  }
  ~SurveySessionCache() override {
    core::set_clock({});
    survey::clearAwsSessionCache();
    for (const auto& [name, value] : saved_) {
      if (value)
        ::setenv(name.c_str(), value->c_str(), 1);
      else
        ::unsetenv(name.c_str());
    }
  }

  std::size_t assumptions() { return sandbox().requests("sts", "AssumeRole").size(); }

  core::TimePoint now_ = std::chrono::system_clock::now();

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(SurveySessionCache, SameArgumentsWithinTwentyMinutesAssumeTheRoleOnce) {
  auto first = survey::start_aws_session(kSurveyRole);
  auto again = survey::start_aws_session(kSurveyRole, std::nullopt);
  EXPECT_EQ(assumptions(), 1u);
  ASSERT_TRUE(std::holds_alternative<survey::AwsSession>(first));
  EXPECT_EQ(std::get<survey::AwsSession>(first).session, std::get<survey::AwsSession>(again).session);

  survey::start_aws_session(kSurveyRole, "workflow");  // other arguments replace the one entry
  EXPECT_EQ(assumptions(), 2u);
  survey::start_aws_session(kSurveyRole);
  EXPECT_EQ(assumptions(), 3u);

  now_ += std::chrono::seconds(1199);
  survey::start_aws_session(kSurveyRole);
  EXPECT_EQ(assumptions(), 3u);
  // 1201 s after it was made the entry is gone and the role is asked for
  // again (the sandbox refuses a request signed 20 minutes ahead of its
  // clock, but it has seen it).
  now_ += std::chrono::seconds(2);
  EXPECT_THROW(survey::start_aws_session(kSurveyRole), std::exception);
  EXPECT_EQ(assumptions(), 4u);
}

TEST_F(SurveySessionCache, RefusedRoleIsThrownAndNotCached) {
  const std::string foreign = "arn:aws:iam::999999999999:role/not-ours";
  EXPECT_THROW(survey::start_aws_session(foreign), std::exception);
  EXPECT_THROW(survey::start_aws_session(foreign), std::exception);
  EXPECT_EQ(assumptions(), 2u);
}

}  // namespace
}  // namespace qvn::e2e
