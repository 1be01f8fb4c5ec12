// The sandbox's IAM driven in-process with the golden request bodies and
// hand-made calls: answers, AWS's error codes, paging.
#include <set>

#include <gtest/gtest.h>

#include "core/clock.hpp"
#include "iam_fixture_calls.hpp"
#include "modules.hpp"
#include "query_xml.hpp"

namespace qvn::sandbox {
namespace {

using namespace testing;

const std::string kPolicyArn = "arn:aws:iam::123456789012:policy/quorvane-test-ec2-policy";

class IamServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { load(Json{{"account_id", kAccount}}); }
  void load(const Json& scenario) { iam->load(scenario, world); }
  AwsReply run(const std::string& fixture) { return iam->handle(fixture_call(fixture)); }
  AwsReply call(const std::string& action, Pairs fields = {}) {
    return iam->handle(query_call("iam", action, std::move(fields)));
  }
  std::string code(const std::string& action, Pairs fields = {}) {
    return error_code(*iam, query_call("iam", action, std::move(fields)));
  }
  void deploy() {
    for (auto id : {"iam-create-policy", "iam-create-role", "iam-attach-role-policy", "iam-create-instance-profile",
                    "iam-add-role-to-instance-profile"})
      run(id);
  }

  World world;
  std::unique_ptr<Service> iam = make_iam_service();
};

TEST_F(IamServiceTest, CreatePolicyAnswersWithTheDocumentedShape) {
  Xml xml(run("iam-create-policy").body);
  const std::string p = "/CreatePolicyResponse/CreatePolicyResult/Policy/";
  EXPECT_EQ(xml.at(p + "Arn"), kPolicyArn);
  EXPECT_EQ(xml.at(p + "PolicyName"), "quorvane-test-ec2-policy");
  EXPECT_EQ(xml.at(p + "PolicyId").substr(0, 4), "ANPA");
  EXPECT_EQ(xml.at(p + "PolicyId").size(), 21u);
  EXPECT_EQ(xml.at(p + "AttachmentCount"), "0");
  EXPECT_EQ(xml.at(p + "DefaultVersionId"), "v1");
  EXPECT_EQ(xml.at(p + "Tags/member/Key"), "Name");
  EXPECT_EQ(xml.at(p + "Tags/member/Value"), "quorvane-test-ec2");
  EXPECT_EQ(xml.at("/CreatePolicyResponse/ResponseMetadata/RequestId"), "req-iam-create-policy");
}

TEST_F(IamServiceTest, CreateRoleReturnsTheTrustDocumentPercentEncoded) {
  Xml xml(run("iam-create-role").body);
  const std::string r = "/CreateRoleResponse/CreateRoleResult/Role/";
  EXPECT_EQ(xml.at(r + "Arn"), "arn:aws:iam::123456789012:role/quorvane-test-ec2-role");
  std::string sent = fixture_call("iam-create-role").param("AssumeRolePolicyDocument");
  std::string encoded = xml.at(r + "AssumeRolePolicyDocument");
  EXPECT_EQ(encoded.find('{'), std::string::npos);
  EXPECT_EQ(percent_decode(encoded), sent);
  EXPECT_EQ(xml.at(r + "Description"), fixture_call("iam-create-role").param("Description"));
}

TEST_F(IamServiceTest, DeployAndTeardownSequenceOfTheToolSucceeds) {
  deploy();
  Xml listed(run("iam-list-policies").body);
  EXPECT_EQ(listed.count("//Policies/member"), 1u);
  EXPECT_EQ(listed.at("//Policies/member/Arn"), kPolicyArn);
  EXPECT_EQ(listed.at("//Policies/member/AttachmentCount"), "1");
  EXPECT_EQ(listed.at("//IsTruncated"), "false");

  Xml profiles(run("iam-list-instance-profiles-for-role").body);
  EXPECT_EQ(profiles.at("//InstanceProfiles/member/InstanceProfileName"), "quorvane-test-ec2-instance-profile");
  EXPECT_EQ(profiles.at("//InstanceProfiles/member/Roles/member/RoleName"), "quorvane-test-ec2-role");

  for (auto id : {"iam-remove-role-from-instance-profile", "iam-delete-instance-profile", "iam-detach-role-policy",
                  "iam-delete-policy", "iam-delete-role"})
    EXPECT_NO_THROW(run(id)) << id;
  Json state = iam->dump()["accounts"][kAccount];
  EXPECT_TRUE(state["roles"].empty());
  EXPECT_TRUE(state["instance_profiles"].empty());
  EXPECT_TRUE(state["policies"].empty());
}

TEST_F(IamServiceTest, SecondCreationIsEntityAlreadyExistsWhateverTheCase) {
  deploy();
  EXPECT_EQ(error_code(*iam, fixture_call("iam-create-policy")), "EntityAlreadyExists");
  EXPECT_EQ(error_code(*iam, fixture_call("iam-create-role")), "EntityAlreadyExists");
  EXPECT_EQ(error_code(*iam, fixture_call("iam-create-instance-profile")), "EntityAlreadyExists");
  EXPECT_EQ(
      code("CreateRole", {{"RoleName", "QUORVANE-TEST-EC2-ROLE"}, {"AssumeRolePolicyDocument", "{\"Statement\": []}"}}),
      "EntityAlreadyExists");
}

TEST_F(IamServiceTest, MissingEntitiesAreNoSuchEntityWith404) {
  try {
    run("iam-delete-instance-profile");
    FAIL() << "no error";
  } catch (const ApiError& e) {
    EXPECT_EQ(e.code, "NoSuchEntity");
    EXPECT_EQ(e.status, 404);
    EXPECT_STREQ(e.what(), "Instance Profile quorvane-test-ec2-instance-profile cannot be found.");
  }
  EXPECT_EQ(error_code(*iam, fixture_call("iam-attach-role-policy")), "NoSuchEntity");  // no role
  EXPECT_EQ(error_code(*iam, fixture_call("iam-remove-role-from-instance-profile")), "NoSuchEntity");
  EXPECT_EQ(error_code(*iam, fixture_call("iam-delete-role")), "NoSuchEntity");
  EXPECT_EQ(error_code(*iam, fixture_call("iam-delete-policy")), "NoSuchEntity");
  EXPECT_EQ(error_code(*iam, fixture_call("iam-list-instance-profiles-for-role")), "NoSuchEntity");
  run("iam-create-role");
  EXPECT_EQ(error_code(*iam, fixture_call("iam-attach-role-policy")), "NoSuchEntity");  // no policy
  EXPECT_EQ(error_code(*iam, fixture_call("iam-detach-role-policy")), "NoSuchEntity");  // not attached
}

TEST_F(IamServiceTest, DeletionsInTheWrongOrderAreDeleteConflicts) {
  deploy();
  EXPECT_EQ(error_code(*iam, fixture_call("iam-delete-instance-profile")), "DeleteConflict");
  EXPECT_EQ(error_code(*iam, fixture_call("iam-delete-policy")), "DeleteConflict");
  try {
    run("iam-delete-role");
    FAIL() << "no error";
  } catch (const ApiError& e) {
    EXPECT_EQ(e.code, "DeleteConflict");
    EXPECT_EQ(e.status, 409);
  }
  run("iam-remove-role-from-instance-profile");
  EXPECT_EQ(error_code(*iam, fixture_call("iam-delete-role")), "DeleteConflict");  // policy still attached
  run("iam-detach-role-policy");
  EXPECT_EQ(error_code(*iam, fixture_call("iam-delete-role")), "");
}

TEST_F(IamServiceTest, AProfileHoldsOneRoleOnly) {
  deploy();
  EXPECT_EQ(error_code(*iam, fixture_call("iam-add-role-to-instance-profile")), "LimitExceeded");
  call("CreateRole", {{"RoleName", "other"}, {"AssumeRolePolicyDocument", "{\"Statement\": []}"}});
  EXPECT_EQ(code("AddRoleToInstanceProfile",
                 {{"InstanceProfileName", "quorvane-test-ec2-instance-profile"}, {"RoleName", "other"}}),
            "LimitExceeded");
}

TEST_F(IamServiceTest, AttachingTwiceCountsOnce) {
  deploy();
  run("iam-attach-role-policy");
  Xml xml(call("GetPolicy", {{"PolicyArn", kPolicyArn}}).body);
  EXPECT_EQ(xml.at("//Policy/AttachmentCount"), "1");
  run("iam-detach-role-policy");
  EXPECT_EQ(error_code(*iam, fixture_call("iam-delete-policy")), "");
}

TEST_F(IamServiceTest, BadInputIsRefusedBeforeAnythingIsStored) {
  EXPECT_EQ(code("CreatePolicy", {{"PolicyName", "bad name"}, {"PolicyDocument", "{\"Statement\": []}"}}),
            "ValidationError");
  EXPECT_EQ(code("CreatePolicy", {{"PolicyName", "p"}, {"PolicyDocument", "{not json"}}), "MalformedPolicyDocument");
  EXPECT_EQ(
      code("CreateRole", {{"RoleName", std::string(65, 'r')}, {"AssumeRolePolicyDocument", "{\"Statement\": []}"}}),
      "ValidationError");
  EXPECT_EQ(code("CreateRole", {{"RoleName", "r"}}), "ValidationError");
  EXPECT_EQ(code("CreateInstanceProfile", {{"InstanceProfileName", "p"}, {"Path", "nopath"}}), "ValidationError");
  EXPECT_EQ(code("NoSuchAction"), "InvalidAction");
  EXPECT_TRUE(iam->dump()["accounts"][kAccount]["policies"].empty());
  EXPECT_TRUE(iam->dump()["accounts"][kAccount]["roles"].empty());
}

TEST_F(IamServiceTest, ListPoliciesFiltersByScopeAttachmentAndPath) {
  deploy();
  call("CreatePolicy", {{"PolicyName", "spare"}, {"Path", "/team/"}, {"PolicyDocument", "{\"Statement\": []}"}});
  auto names = [&](Pairs fields) {
    std::set<std::string> out;
    Xml xml(call("ListPolicies", std::move(fields)).body);
    for (auto n : xml.doc.select_nodes("//Policies/member/PolicyName")) out.insert(n.node().text().get());
    return out;
  };
  EXPECT_EQ(names({{"Scope", "Local"}}), (std::set<std::string>{"quorvane-test-ec2-policy", "spare"}));
  EXPECT_EQ(names({{"Scope", "Local"}, {"OnlyAttached", "true"}}), (std::set<std::string>{"quorvane-test-ec2-policy"}));
  EXPECT_EQ(names({{"Scope", "Local"}, {"PathPrefix", "/team/"}}), (std::set<std::string>{"spare"}));
  EXPECT_EQ(names({{"Scope", "Local"}, {"PolicyUsageFilter", "PermissionsBoundary"}}), std::set<std::string>{});
  auto aws = names({{"Scope", "AWS"}});
  EXPECT_FALSE(aws.empty());
  EXPECT_EQ(aws.count("spare"), 0u);
  EXPECT_EQ(names({}).size(), aws.size() + 2);
  EXPECT_EQ(code("ListPolicies", {{"Scope", "Mine"}}), "ValidationError");
}

TEST_F(IamServiceTest, ListPoliciesPagesWithMarkerUntilNotTruncated) {
  for (int i = 0; i < 5; ++i)
    call("CreatePolicy", {{"PolicyName", "p" + std::to_string(i)}, {"PolicyDocument", "{\"Statement\": []}"}});
  std::vector<std::string> seen;
  std::string marker;
  int pages = 0;
  for (;;) {
    Pairs fields = {{"Scope", "Local"}, {"MaxItems", "2"}};
    if (!marker.empty()) fields.emplace_back("Marker", marker);
    Xml xml(call("ListPolicies", fields).body);
    ++pages;
    for (auto n : xml.doc.select_nodes("//Policies/member/PolicyName")) seen.push_back(n.node().text().get());
    if (xml.at("//IsTruncated") != "true") {
      EXPECT_EQ(xml.count("//ListPoliciesResult/Marker"), 0u);
      break;
    }
    marker = xml.at("//ListPoliciesResult/Marker");
    ASSERT_FALSE(marker.empty());
    ASSERT_LT(pages, 10);
  }
  EXPECT_EQ(pages, 3);
  EXPECT_EQ(seen, (std::vector<std::string>{"p0", "p1", "p2", "p3", "p4"}));
  EXPECT_EQ(code("ListPolicies", {{"MaxItems", "0"}}), "ValidationError");
  EXPECT_EQ(code("ListPolicies", {{"Marker", "not-a-marker"}}), "ValidationError");
}

TEST_F(IamServiceTest, ErrorsRenderAsQueryErrorResponses) {
  ApiError err(409, "DeleteConflict", "Cannot delete a policy attached to entities.");
  AwsReply reply = iam->render_error(err, "rid-7");
  EXPECT_EQ(reply.status, 409);
  Xml xml(reply.body);
  EXPECT_EQ(xml.at("/ErrorResponse/Error/Type"), "Sender");
  EXPECT_EQ(xml.at("/ErrorResponse/Error/Code"), "DeleteConflict");
  EXPECT_EQ(xml.at("/ErrorResponse/Error/Message"), "Cannot delete a policy attached to entities.");
  EXPECT_EQ(xml.at("/ErrorResponse/RequestId"), "rid-7");
  EXPECT_EQ(Xml(iam->render_error(ApiError(500, "ServiceFailure", "x"), "r").body).at("//Type"), "Receiver");
}

TEST_F(IamServiceTest, ScenarioObjectsAndProfileCreationTimes) {
  load(Json::parse(R"({
    "account_id": "123456789012",
    "iam": {
      "policies": [{"name": "quorvane-test-ec2-policy", "document": {"Statement": []}}],
      "roles": [{"name": "quorvane-test-ec2-role", "attached_policies": ["quorvane-test-ec2-policy"]},
                {"name": "other", "account_id": "210987654321"}],
      "instance_profiles": [{"name": "quorvane-test-ec2-instance-profile", "roles": ["quorvane-test-ec2-role"],
                             "created_seconds_ago": 5},
                            {"name": "old", "created": "2024-01-15T12:00:01Z"}]
    }})"));
  ASSERT_EQ(world.profiles, dynamic_cast<InstanceProfileDirectory*>(iam.get()));
  auto fresh = world.profiles->instance_profile_created(kAccount, "quorvane-test-ec2-instance-profile");
  ASSERT_TRUE(fresh.has_value());
  auto age = std::chrono::duration_cast<std::chrono::seconds>(core::now() - *fresh).count();
  EXPECT_GE(age, 4);
  EXPECT_LE(age, 60);
  EXPECT_EQ(iso8601(*world.profiles->instance_profile_created(kAccount, "old")), "2024-01-15T12:00:01Z");
  EXPECT_FALSE(world.profiles->instance_profile_created(kAccount, "missing").has_value());
  EXPECT_FALSE(world.profiles->instance_profile_created("210987654321", "old").has_value());
  // The scenario's attachment holds the role: deleting it now conflicts.
  EXPECT_EQ(error_code(*iam, fixture_call("iam-delete-policy")), "DeleteConflict");

  // A profile made through the API is dated now.
  AwsCall create = fixture_call("iam-create-instance-profile");
  for (auto& [k, v] : create.form)
    if (k == "InstanceProfileName") v = "made-now";
  iam->handle(create);
  auto made = world.profiles->instance_profile_created(kAccount, "made-now");
  ASSERT_TRUE(made.has_value());
  EXPECT_LE(std::chrono::duration_cast<std::chrono::seconds>(core::now() - *made).count(), 5);
}

TEST_F(IamServiceTest, AccountsAreSeparate) {
  deploy();
  AwsCall other = fixture_call("iam-create-policy");
  other.account_id = "210987654321";
  Xml xml(iam->handle(other).body);
  EXPECT_EQ(xml.at("//Policy/Arn"), "arn:aws:iam::210987654321:policy/quorvane-test-ec2-policy");
}

}  // namespace
}  // namespace qvn::sandbox
