// The sandbox's STS in-process: role assumption with the scenario's trust
// rules, the temporary keys it registers, caller identity.
#include <gtest/gtest.h>

#include "core/clock.hpp"
#include "iam_fixture_calls.hpp"
#include "modules.hpp"
#include "query_xml.hpp"

namespace qvn::sandbox {
namespace {

using namespace testing;

const std::string kWorkflowRole = "arn:aws:iam::123456789012:role/quorvane-workflow-role";

class StsServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    load(Json{{"account_id", kAccount}, {"sts", {{"roles", Json::array({{{"arn", kWorkflowRole}}})}}}});
  }
  void load(const Json& scenario) { sts->load(scenario, world); }
  AwsCall assume(const std::string& arn, const std::string& session = "Quorvane_Workflow") {
    return query_call("sts", "AssumeRole", {{"RoleArn", arn}, {"RoleSessionName", session}});
  }

  World world;
  std::unique_ptr<Service> sts = make_sts_service();
};

TEST_F(StsServiceTest, AssumeRoleIssuesTemporaryKeysTheSandboxAccepts) {
  Xml xml(sts->handle(fixture_call("sts-assume-role")).body);
  const std::string r = "/AssumeRoleResponse/AssumeRoleResult/";
  std::string key = xml.at(r + "Credentials/AccessKeyId");
  EXPECT_EQ(key.substr(0, 4), "ASIA");
  EXPECT_EQ(key.size(), 20u);
  EXPECT_EQ(xml.at(r + "Credentials/SecretAccessKey").size(), 40u);
  EXPECT_FALSE(xml.at(r + "Credentials/SessionToken").empty());
  EXPECT_EQ(xml.at(r + "AssumedRoleUser/Arn"),
            "arn:aws:sts::123456789012:assumed-role/quorvane-workflow-role/Quorvane_Workflow");
  EXPECT_EQ(xml.at(r + "AssumedRoleUser/AssumedRoleId").substr(0, 4), "AROA");
  EXPECT_EQ(xml.at("/AssumeRoleResponse/ResponseMetadata/RequestId"), "req-sts-assume-role");

  auto expires = parse_iso8601(xml.at(r + "Credentials/Expiration"));
  auto left = std::chrono::duration_cast<std::chrono::seconds>(expires - core::now()).count();
  EXPECT_GT(left, 3500);
  EXPECT_LE(left, 3600);

  auto identity = world.keys.find(key);
  ASSERT_TRUE(identity.has_value());
  EXPECT_EQ(identity->secret_key, xml.at(r + "Credentials/SecretAccessKey"));
  EXPECT_EQ(identity->session_token, xml.at(r + "Credentials/SessionToken"));
  EXPECT_EQ(identity->account_id, kAccount);
  EXPECT_EQ(identity->arn, xml.at(r + "AssumedRoleUser/Arn"));
  ASSERT_TRUE(identity->expires.has_value());
  EXPECT_EQ(*identity->expires, expires);
}

TEST_F(StsServiceTest, EachAssumptionGetsFreshKeys) {
  Xml a(sts->handle(assume(kWorkflowRole)).body);
  Xml b(sts->handle(assume(kWorkflowRole)).body);
  EXPECT_NE(a.at("//AccessKeyId"), b.at("//AccessKeyId"));
  EXPECT_TRUE(world.keys.find(a.at("//AccessKeyId")).has_value());
}

TEST_F(StsServiceTest, RolesOutsideTheScenarioOrItsTrustAreAccessDenied) {
  try {
    sts->handle(assume("arn:aws:iam::123456789012:role/unknown"));
    FAIL() << "no error";
  } catch (const ApiError& e) {
    EXPECT_EQ(e.status, 403);
    EXPECT_EQ(e.code, "AccessDenied");
    EXPECT_NE(std::string(e.what()).find(kCallerArn), std::string::npos);
  }
  load(Json::parse(R"({"sts": {"roles": [
      {"arn": "arn:aws:iam::555555555555:role/by-account", "trusted": ["123456789012"]},
      {"arn": "arn:aws:iam::555555555555:role/by-user", "trusted": ["arn:aws:iam::123456789012:user/someone-else"]},
      {"arn": "arn:aws:iam::555555555555:role/by-role", "trusted": ["arn:aws:iam::123456789012:role/hop"]}]}})"));
  EXPECT_EQ(error_code(*sts, assume("arn:aws:iam::555555555555:role/by-account")), "");
  EXPECT_EQ(error_code(*sts, assume("arn:aws:iam::555555555555:role/by-user")), "AccessDenied");
  EXPECT_EQ(error_code(*sts, assume("arn:aws:iam::555555555555:role/by-role")), "AccessDenied");
  AwsCall chained = assume("arn:aws:iam::555555555555:role/by-role");
  chained.caller_arn = "arn:aws:sts::123456789012:assumed-role/hop/s1";
  EXPECT_EQ(error_code(*sts, chained), "");
  EXPECT_EQ(error_code(*sts, fixture_call("sts-assume-role")), "AccessDenied");  // no longer listed
}

TEST_F(StsServiceTest, CredentialsBelongToTheRolesAccount) {
  load(Json::parse(R"({"sts": {"roles": [{"arn": "arn:aws:iam::555555555555:role/x"}]}})"));
  Xml xml(sts->handle(assume("arn:aws:iam::555555555555:role/x")).body);
  EXPECT_EQ(world.keys.find(xml.at("//AccessKeyId"))->account_id, "555555555555");
}

TEST_F(StsServiceTest, LifetimeOverrideMakesShortLivedCredentials) {
  load(Json::parse(R"({"sts": {"credential_lifetime_seconds": 2,
                               "roles": [{"arn": "arn:aws:iam::123456789012:role/quorvane-workflow-role"}]}})"));
  Xml xml(sts->handle(assume(kWorkflowRole)).body);
  auto left = parse_iso8601(xml.at("//Expiration")) - core::now();
  EXPECT_LE(std::chrono::duration_cast<std::chrono::seconds>(left).count(), 2);
}

TEST_F(StsServiceTest, RequestedDurationIsHonouredWithinTheRolesLimit) {
  AwsCall call = assume(kWorkflowRole);
  call.form.emplace_back("DurationSeconds", "900");
  Xml xml(sts->handle(call).body);
  auto left = std::chrono::duration_cast<std::chrono::seconds>(parse_iso8601(xml.at("//Expiration")) - core::now());
  EXPECT_LE(left.count(), 900);
  EXPECT_GT(left.count(), 890);
  for (std::string bad : {"899", "43201", "soon"}) {
    AwsCall c = assume(kWorkflowRole);
    c.form.emplace_back("DurationSeconds", bad);
    EXPECT_EQ(error_code(*sts, c), "ValidationError") << bad;
  }
  AwsCall too_long = assume(kWorkflowRole);
  too_long.form.emplace_back("DurationSeconds", "7200");  // beyond the role's 3600
  EXPECT_EQ(error_code(*sts, too_long), "ValidationError");
}

TEST_F(StsServiceTest, MalformedRequestsAreValidationErrors) {
  EXPECT_EQ(error_code(*sts, assume(kWorkflowRole, "x")), "ValidationError");
  EXPECT_EQ(error_code(*sts, assume(kWorkflowRole, "has space")), "ValidationError");
  EXPECT_EQ(error_code(*sts, assume("not-an-arn")), "ValidationError");
  EXPECT_EQ(error_code(*sts, query_call("sts", "AssumeRole", {{"RoleArn", kWorkflowRole}})), "ValidationError");
  EXPECT_EQ(error_code(*sts, query_call("sts", "GetSessionTokenX")), "InvalidAction");
}

TEST_F(StsServiceTest, CallerIdentityOfUsersAndAssumedRoles) {
  Xml user(sts->handle(query_call("sts", "GetCallerIdentity")).body);
  EXPECT_EQ(user.at("//GetCallerIdentityResult/Account"), kAccount);
  EXPECT_EQ(user.at("//GetCallerIdentityResult/Arn"), kCallerArn);
  EXPECT_EQ(user.at("//GetCallerIdentityResult/UserId").substr(0, 4), "AIDA");

  Xml assumed(sts->handle(assume(kWorkflowRole)).body);
  AwsCall as_role = query_call("sts", "GetCallerIdentity");
  as_role.caller_arn = assumed.at("//AssumedRoleUser/Arn");
  Xml who(sts->handle(as_role).body);
  EXPECT_EQ(who.at("//Arn"), as_role.caller_arn);
  EXPECT_EQ(who.at("//UserId"), assumed.at("//AssumedRoleUser/AssumedRoleId"));
}

TEST_F(StsServiceTest, WebIdentityOnlyForRolesThatAllowIt) {
  load(Json::parse(R"({"sts": {"roles": [
      {"arn": "arn:aws:iam::123456789012:role/ci", "web_identity": true, "web_identity_token": "tok-123"},
      {"arn": "arn:aws:iam::123456789012:role/plain"}]}})"));
  auto web = [&](const std::string& arn, const std::string& token) {
    return query_call("sts", "AssumeRoleWithWebIdentity",
                      {{"RoleArn", arn}, {"RoleSessionName", "gha"}, {"WebIdentityToken", token}});
  };
  Xml xml(sts->handle(web("arn:aws:iam::123456789012:role/ci", "tok-123")).body);
  EXPECT_EQ(xml.at("//AssumeRoleWithWebIdentityResult/AssumedRoleUser/Arn"),
            "arn:aws:sts::123456789012:assumed-role/ci/gha");
  EXPECT_TRUE(world.keys.find(xml.at("//AccessKeyId")).has_value());
  EXPECT_EQ(error_code(*sts, web("arn:aws:iam::123456789012:role/ci", "tok-999")), "InvalidIdentityToken");
  EXPECT_EQ(error_code(*sts, web("arn:aws:iam::123456789012:role/plain", "tok-123")), "AccessDenied");
}

}  // namespace
}  // namespace qvn::sandbox
