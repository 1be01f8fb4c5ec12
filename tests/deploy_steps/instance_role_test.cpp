// The IAM objects of --ec2_role default, against the sandbox: the exact
// documents, reuse, and their removal step by step by name and ARN.
#include "deploy_steps/steps_sandbox.hpp"

#include <algorithm>

#include "deploy/instance_role.hpp"
#include "deploy/resource_names.hpp"

namespace qvn::deploy::testing {
namespace {

const std::string kPolicyArn = "arn:aws:iam::" + kAccount + ":policy/quorvane-test-ec2-policy";
const std::string kPermissions =
    R"({"Version": "2012-10-17", "Statement": [)"
    R"({"Effect": "Allow", "Action": ["s3:ListBucket"], "Resource": ["arn:aws:s3:::*"]}, )"
    R"({"Effect": "Allow", "Action": ["s3:GetObject"], "Resource": ["arn:aws:s3:::*"]}, )"
    R"({"Effect": "Allow", "Action": ["s3:PutObject"], "Resource": ["arn:aws:s3:::*"]}]})";
const std::string kTrust =
    R"({"Version": "2012-10-17", "Statement": [{"Effect": "Allow", "Principal": {"Service": "ec2.amazonaws.com"}, )"
    R"("Action": "sts:AssumeRole"}]})";

class InstanceRole : public StepsAgainstSandbox {
 protected:
  void createAll() {
    auto sts_client = sts();
    const std::string arn = createS3Policy(iam(), args_, sts_client);
    createEc2Role(iam(), arn);
    createInstanceProfile(iam());
  }
  // Names of the tool's IAM objects that IAM still holds.
  std::vector<std::string> leftovers() {
    std::vector<std::string> out;
    const Json iam_state = state("iam");
    const std::string text = iam_state.dump();
    for (const std::string name : std::vector<std::string>{"quorvane-test-ec2-policy", "quorvane-test-ec2-role", "quorvane-test-ec2-instance-profile"})
      if (text.find("\"" + name + "\"") != std::string::npos || text.find("/" + name + "\"") != std::string::npos)
        out.push_back(name);
    return out;
  }
};

TEST_F(InstanceRole, CreationSendsTheExactDocumentsInOrder) {
  createAll();
  EXPECT_EQ(operations("iam"), (std::vector<std::string>{"CreatePolicy", "CreateRole", "AttachRolePolicy",
                                                         "CreateInstanceProfile", "AddRoleToInstanceProfile"}));
  EXPECT_EQ(parameters(requests("iam", "CreatePolicy").at(0)),
            (std::vector<std::string>{"PolicyName=quorvane-test-ec2-policy", "PolicyDocument=" + kPermissions,
                                      "Description=quorvane test ec2 policy", "Tags.member.1.Key=Name",
                                      "Tags.member.1.Value=quorvane-test-ec2"}));
  EXPECT_EQ(parameters(requests("iam", "CreateRole").at(0)),
            (std::vector<std::string>{"RoleName=quorvane-test-ec2-role", "AssumeRolePolicyDocument=" + kTrust,
                                      "Description=quorvane test ec2 role"}));
  EXPECT_EQ(parameters(requests("iam", "AttachRolePolicy").at(0)),
            (std::vector<std::string>{"RoleName=quorvane-test-ec2-role", "PolicyArn=" + kPolicyArn}));
  EXPECT_EQ(parameters(requests("iam", "CreateInstanceProfile").at(0)),
            (std::vector<std::string>{"InstanceProfileName=quorvane-test-ec2-instance-profile",
                                      "Tags.member.1.Key=Name", "Tags.member.1.Value=quorvane-test-ec2"}));
  EXPECT_EQ(parameters(requests("iam", "AddRoleToInstanceProfile").at(0)),
            (std::vector<std::string>{"InstanceProfileName=quorvane-test-ec2-instance-profile",
                                      "RoleName=quorvane-test-ec2-role"}));
  EXPECT_EQ(messages(), (std::vector<std::string>{"- Create policy quorvane-test-ec2-policy",
                                                  "- Create role quorvane-test-ec2-role", "- Attach policy to role",
                                                  "- Create instance profile quorvane-test-ec2-instance-profile",
                                                  "- Add role to instance profile"}));
}

TEST_F(InstanceRole, ExistingObjectsAreReusedWithAlertsAndTheArnOfTheRightAccount) {
  createAll();
  server().log().clear();
  auto sts_client = sts();
  // No --account: the deployment session's own account.
  EXPECT_EQ(createS3Policy(iam(), args_, sts_client), kPolicyArn);
  args_.account = "";
  EXPECT_EQ(createS3Policy(iam(), args_, sts_client), kPolicyArn);
  EXPECT_EQ(requests("sts", "GetCallerIdentity").size(), 2u);
  args_.account = "111122223333";
  EXPECT_EQ(createS3Policy(iam(), args_, sts_client), "arn:aws:iam::111122223333:policy/quorvane-test-ec2-policy");
  EXPECT_EQ(requests("sts", "GetCallerIdentity").size(), 2u);

  // The role keeps its policy (attaching it again changes nothing); the
  // profile that holds the role is left alone.
  EXPECT_TRUE(createEc2Role(iam(), kPolicyArn));
  createInstanceProfile(iam());
  EXPECT_EQ(requests("iam", "AttachRolePolicy").size(), 1u);
  EXPECT_TRUE(requests("iam", "AddRoleToInstanceProfile").empty());
  int alerts = 0;
  for (const auto& m : messagesAt(INFO))
    if (m.rfind("  **Alert** ", 0) == 0 && m.find("EntityAlreadyExists") != std::string::npos) ++alerts;
  EXPECT_EQ(alerts, 2);
  EXPECT_TRUE(messagesAt(ERROR).empty());
}

TEST_F(InstanceRole, ARoleWithoutItsPolicyAndAProfileWithoutItsRoleAreCompleted) {
  // A run stopped after CreateRole and after CreateInstanceProfile.
  auto sts_client = sts();
  const std::string arn = createS3Policy(iam(), args_, sts_client);
  aws::CreateRoleRequest role;
  role.RoleName = "quorvane-test-ec2-role";
  role.AssumeRolePolicyDocument = kTrust;
  iam().create_role(role);
  aws::CreateInstanceProfileRequest profile;
  profile.InstanceProfileName = "quorvane-test-ec2-instance-profile";
  iam().create_instance_profile(profile);
  server().log().clear();

  createEc2Role(iam(), arn);
  createInstanceProfile(iam());
  EXPECT_EQ(operations("iam"), (std::vector<std::string>{"CreateRole", "AttachRolePolicy", "CreateInstanceProfile",
                                                         "ListInstanceProfilesForRole",
                                                         "AddRoleToInstanceProfile"}));
  aws::ListPoliciesRequest attached;
  attached.Scope = "Local";
  attached.OnlyAttached = true;
  const auto policies = iam().list_policies(attached).Policies;
  ASSERT_EQ(policies.size(), 1u);
  EXPECT_EQ(policies[0].Arn, arn);
  aws::ListInstanceProfilesForRoleRequest of_role;
  of_role.RoleName = "quorvane-test-ec2-role";
  const auto profiles = iam().list_instance_profiles_for_role(of_role).InstanceProfiles;
  ASSERT_EQ(profiles.size(), 1u);
  EXPECT_EQ(profiles[0].InstanceProfileName, "quorvane-test-ec2-instance-profile");
  EXPECT_TRUE(messagesAt(ERROR).empty());
}

TEST_F(InstanceRole, OtherPolicyRefusalsAreRaised) {
  fault({{"service", "iam"}, {"operation", "CreatePolicy"},
         {"error", {{"code", "LimitExceeded"}, {"status", 409}}}, {"count", 1}});
  auto sts_client = sts();
  EXPECT_THROW(createS3Policy(iam(), args_, sts_client), aws::ServiceError);
  EXPECT_TRUE(messagesAt(ERROR).empty());
}

TEST_F(InstanceRole, DeletionRemovesAllThreeInOrder) {
  createAll();
  server().log().clear();
  const std::size_t mark = messages().size();
  deleteInstanceProfile(iam());
  EXPECT_EQ(operations("iam"), (std::vector<std::string>{"RemoveRoleFromInstanceProfile", "DeleteInstanceProfile",
                                                         "ListPolicies", "DetachRolePolicy", "DeletePolicy",
                                                         "DeleteRole"}));
  EXPECT_EQ(parameters(requests("iam", "ListPolicies").at(0)),
            (std::vector<std::string>{"Scope=Local", "OnlyAttached=true", "PolicyUsageFilter=PermissionsPolicy"}));
  EXPECT_EQ(messagesSince(mark), (std::vector<std::string>{
                            "  Remove role from instance profile quorvane-test-ec2-instance-profile",
                            "  Delete instance profile quorvane-test-ec2-instance-profile",
                            "  Detach quorvane-test-ec2-role from quorvane-test-ec2-policy " + kPolicyArn + " ",
                            "  Delete policy " + kPolicyArn, "  Delete quorvane-test-ec2-role"}));
  EXPECT_TRUE(leftovers().empty()) << state("iam").dump();
}

TEST_F(InstanceRole, DeletionWithoutProfileReportsTwoErrorsAndStillRemovesPolicyAndRole) {
  auto sts_client = sts();
  createEc2Role(iam(), createS3Policy(iam(), args_, sts_client));
  ::testing::internal::CaptureStderr();
  deleteInstanceProfile(iam());
  const std::string err = ::testing::internal::GetCapturedStderr();
  const auto errors = messagesAt(ERROR);
  ASSERT_EQ(errors.size(), 2u);
  for (const auto& e : errors) EXPECT_NE(e.find("NoSuchEntity"), std::string::npos) << e;
  EXPECT_NE(err.find("NoSuchEntity"), std::string::npos) << err;
  EXPECT_TRUE(leftovers().empty()) << state("iam").dump();
}

TEST_F(InstanceRole, DeletionFindsThePolicyBeyondTheFirstPage) {
  // 120 attached local policies whose ARNs sort before the tool's one.
  Json scenario = scenarioFile("spoke.json");
  for (int r = 0; r < 12; ++r) {
    Json attached = Json::array();
    for (int p = 0; p < 10; ++p) {
      const std::string name = "busy-" + std::to_string(r * 10 + p + 100);
      scenario["iam"]["policies"].push_back(
          {{"name", name}, {"path", "/"}, {"document", {{"Version", "2012-10-17"}, {"Statement", Json::array()}}}});
      attached.push_back(name);
    }
    scenario["iam"]["roles"].push_back(
        {{"name", "busy-role-" + std::to_string(r)},
         {"assume_role_policy", {{"Version", "2012-10-17"}, {"Statement", Json::array()}}},
         {"attached_policies", attached}});
  }
  load(scenario);
  createAll();
  server().log().clear();
  deleteInstanceProfile(iam());
  EXPECT_GE(requests("iam", "ListPolicies").size(), 2u);
  EXPECT_EQ(requests("iam", "DeletePolicy").size(), 1u);
  EXPECT_TRUE(leftovers().empty()) << state("iam").dump();
}

TEST_F(InstanceRole, AnUnattachedPolicyIsNotFoundAndNothingFollowsTheSearch) {
  auto sts_client = sts();
  createS3Policy(iam(), args_, sts_client);
  server().log().clear();
  const std::size_t mark = messages().size();
  ::testing::internal::CaptureStderr();
  deleteInstanceProfile(iam());
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(operations("iam"),
            (std::vector<std::string>{"RemoveRoleFromInstanceProfile", "DeleteInstanceProfile", "ListPolicies"}));
  EXPECT_EQ(messagesSince(mark).size(), 4u);  // two steps, two errors; nothing after the search
}

}  // namespace
}  // namespace qvn::deploy::testing
