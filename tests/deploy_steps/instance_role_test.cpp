// The IAM objects of --ec2_role default, against the sandbox: the exact
// documents, reuse, and their removal step by step by name and ARN.
#include "deploy_steps/steps_sandbox.hpp"

#include <algorithm>

#include "deploy/instance_role.hpp"
#include "deploy/resource_names.hpp"
#include "deploy/run_summary.hpp"

namespace qvn::deploy::testing {
namespace {

const std::string kPolicyArn = "arn:aws:iam::" + kAccount + ":policy/quorvane-test-ec2-policy";
const std::string kPermissions = R"({"Version": "2012-10-17", "Statement": [)"
                                 R"({"Effect": "Allow", "Action": ["s3:ListBucket"], "Resource": ["arn:aws:s3:::*"]}, )"
                                 R"({"Effect": "Allow", "Action": ["s3:GetObject"], "Resource": ["arn:aws:s3:::*"]}, )"
                                 R"({"Effect": "Allow", "Action": ["s3:PutObject"], "Resource": ["arn:aws:s3:::*"]}]})";
const std::string kTrust =
    R"({"Version": "2012-10-17", "Statement": [{"Effect": "Allow", "Principal": {"Service": "ec2.amazonaws.com"}, )"
    R"("Action": "sts:AssumeRole"}]})";

class InstanceRole : public StepsAgainstSandbox {
 protected:
  void createAll() {
    const std::string arn = createS3Policy(context());
    createEc2Role(context(), arn);
    createInstanceProfile(context());
  }
  // The role holds the policy and is the profile's one role.
  bool roleHasItsPolicyAndProfile() {
    aws::ListAttachedRolePoliciesRequest attached;
    attached.RoleName = "quorvane-test-ec2-role";
    aws::ListInstanceProfilesForRoleRequest of_role;
    of_role.RoleName = "quorvane-test-ec2-role";
    try {
      const auto policies = iam().list_attached_role_policies(attached).AttachedPolicies;
      const auto profiles = iam().list_instance_profiles_for_role(of_role).InstanceProfiles;
      return policies.size() == 1 && policies[0].PolicyArn == kPolicyArn && profiles.size() == 1 &&
             profiles[0].InstanceProfileName == "quorvane-test-ec2-instance-profile";
    } catch (const aws::ServiceError&) {
      return false;
    }
  }
  // Names of the tool's IAM objects that IAM still holds.
  std::vector<std::string> leftovers() {
    std::vector<std::string> out;
    const Json iam_state = state("iam");
    const std::string text = iam_state.dump();
    for (const std::string& name : std::vector<std::string>{"quorvane-test-ec2-policy", "quorvane-test-ec2-role",
                                                            "quorvane-test-ec2-instance-profile"})
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
  // No --account: the deployment session's own account.
  EXPECT_EQ(createS3Policy(context()), kPolicyArn);
  args_.account = "";
  EXPECT_EQ(createS3Policy(context()), kPolicyArn);
  EXPECT_EQ(requests("sts", "GetCallerIdentity").size(), 2u);
  // The session's account and partition win over --account, as in the teardown.
  args_.account = "111122223333";
  EXPECT_EQ(createS3Policy(context()), kPolicyArn);
  EXPECT_EQ(requests("sts", "GetCallerIdentity").size(), 3u);

  // The role has its policy: nothing is attached (a reuser may lack the
  // permission); the profile that holds the role is left alone.
  EXPECT_FALSE(createEc2Role(context(), kPolicyArn));
  createInstanceProfile(context());
  EXPECT_TRUE(requests("iam", "AttachRolePolicy").empty());
  EXPECT_EQ(requests("iam", "ListAttachedRolePolicies").size(), 1u);
  EXPECT_TRUE(requests("iam", "AddRoleToInstanceProfile").empty());
  int alerts = 0;
  for (const auto& m : messagesAt(INFO))
    if (m.rfind("  **Alert** ", 0) == 0 && m.find("EntityAlreadyExists") != std::string::npos) ++alerts;
  EXPECT_EQ(alerts, 2);
  EXPECT_TRUE(messagesAt(ERROR).empty());
}

TEST_F(InstanceRole, ARoleWithoutItsPolicyAndAProfileWithoutItsRoleAreCompleted) {
  // A run stopped after CreateRole and after CreateInstanceProfile.
  const std::string arn = createS3Policy(context());
  aws::CreateRoleRequest role;
  role.RoleName = "quorvane-test-ec2-role";
  role.AssumeRolePolicyDocument = kTrust;
  iam().create_role(role);
  aws::CreateInstanceProfileRequest profile;
  profile.InstanceProfileName = "quorvane-test-ec2-instance-profile";
  iam().create_instance_profile(profile);
  server().log().clear();

  createEc2Role(context(), arn);
  createInstanceProfile(context());
  EXPECT_EQ(operations("iam"), (std::vector<std::string>{"CreateRole", "ListAttachedRolePolicies", "AttachRolePolicy",
                                                         "CreateInstanceProfile", "ListInstanceProfilesForRole",
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

TEST_F(InstanceRole, ARoleAddedToItsProfileWhoseAnswerWasLostIsDone) {
  setenv("AWS_MAX_ATTEMPTS", "3", 1);  // the client retries a lost answer as the SDKs do
  createEc2Role(context(), createS3Policy(context()));
  fault({{"service", "iam"}, {"operation", "AddRoleToInstanceProfile"}, {"drop_answer", true}, {"count", 1}});
  EXPECT_NO_THROW(createInstanceProfile(context()));
  const auto attempts = requests("iam", "AddRoleToInstanceProfile");
  ASSERT_EQ(attempts.size(), 2u);
  EXPECT_TRUE(attempts[0].value("answer_dropped", false));
  EXPECT_EQ(attempts[1].value("error_code", ""), "LimitExceeded");
  aws::ListInstanceProfilesForRoleRequest of_role;
  of_role.RoleName = "quorvane-test-ec2-role";
  EXPECT_EQ(iam().list_instance_profiles_for_role(of_role).InstanceProfiles.size(), 1u);
  EXPECT_TRUE(messagesAt(ERROR).empty());
}

// Each creation whose answer is lost meets what its first attempt made:
// the three objects exist once, complete, and are counted as made by this
// run, not as found.
TEST_F(InstanceRole, EveryCreationWhoseAnswerWasLostConvergesAndCountsWhatItMade) {
  for (const char* call : {"CreatePolicy", "CreateRole", "AttachRolePolicy", "CreateInstanceProfile"}) {
    SCOPED_TRACE(call);
    load(scenarioFile("spoke.json"));
    setenv("AWS_MAX_ATTEMPTS", "3", 1);  // the client retries a lost answer as the SDKs do
    fault({{"service", "iam"}, {"operation", call}, {"drop_answer", true}, {"count", 1}});
    core::RunTally tally;
    RunContext run = context();
    run.tally = &tally;
    const std::string arn = createS3Policy(run);
    EXPECT_EQ(arn, kPolicyArn);
    createEc2Role(run, arn);
    createInstanceProfile(run);

    const auto attempts = requests("iam", call);
    ASSERT_EQ(attempts.size(), 2u);
    EXPECT_TRUE(attempts[0].value("answer_dropped", false));
    EXPECT_EQ(tally.count(core::Change::Made, kinds::kIamObject), 3);
    EXPECT_EQ(tally.count(core::Change::Adopted, kinds::kIamObject), 0);
    EXPECT_TRUE(roleHasItsPolicyAndProfile());
    EXPECT_TRUE(messagesAt(ERROR).empty());
  }
}

// Each deletion whose answer is lost meets "NoSuchEntity" on its retry:
// gone, counted as removed, and nothing is named as left.
TEST_F(InstanceRole, EveryDeletionWhoseAnswerWasLostIsGone) {
  for (const char* call :
       {"RemoveRoleFromInstanceProfile", "DeleteInstanceProfile", "DetachRolePolicy", "DeleteRole", "DeletePolicy"}) {
    SCOPED_TRACE(call);
    load(scenarioFile("spoke.json"));
    createAll();
    setenv("AWS_MAX_ATTEMPTS", "3", 1);
    fault({{"service", "iam"}, {"operation", call}, {"drop_answer", true}, {"count", 1}});
    core::RunTally tally;
    RunContext run = context();
    run.tally = &tally;
    EXPECT_TRUE(deleteInstanceProfile(run, kPolicyArn).empty());
    const auto attempts = requests("iam", call);
    ASSERT_EQ(attempts.size(), 2u);
    EXPECT_TRUE(attempts[0].value("answer_dropped", false));
    EXPECT_EQ(attempts[1].value("error_code", ""), "NoSuchEntity");
    EXPECT_EQ(tally.count(core::Change::Removed, kinds::kIamObject), 3);
    EXPECT_TRUE(leftovers().empty()) << state("iam").dump();
    EXPECT_TRUE(messagesAt(ERROR).empty());
    setenv("AWS_MAX_ATTEMPTS", "1", 1);
  }
}

// A creation refused for another reason goes on with what exists: a role
// or profile made beforehand is used (a run that may not create them), and
// without one the next step fails and is raised, never passed over.
TEST_F(InstanceRole, ACreationRefusedOtherwiseUsesWhatExistsOrFailsOnTheNextStep) {
  const std::string arn = createS3Policy(context());
  const Json denied = {{"code", "AccessDenied"}, {"status", 403}};
  fault({{"service", "iam"}, {"operation", "CreateRole"}, {"error", denied}, {"count", 1}});
  EXPECT_THROW(createEc2Role(context(), arn), aws::ServiceError);
  fault({{"service", "iam"}, {"operation", "CreateInstanceProfile"}, {"error", denied}, {"count", 1}});
  EXPECT_THROW(createInstanceProfile(context()), aws::ServiceError);
  EXPECT_FALSE(roleHasItsPolicyAndProfile());

  createEc2Role(context(), arn);
  createInstanceProfile(context());
  const std::size_t mark = messages().size();
  core::RunTally tally;
  RunContext run = context();
  run.tally = &tally;
  fault({{"service", "iam"}, {"operation", "CreateRole"}, {"error", denied}, {"count", 1}});
  fault({{"service", "iam"}, {"operation", "CreateInstanceProfile"}, {"error", denied}, {"count", 1}});
  EXPECT_NO_THROW(createEc2Role(run, arn));
  EXPECT_NO_THROW(createInstanceProfile(run));
  EXPECT_TRUE(roleHasItsPolicyAndProfile());
  EXPECT_EQ(tally.count(core::Change::Made, kinds::kIamObject), 0);
  int alerts = 0;
  for (const auto& m : messagesSince(mark)) alerts += m.rfind("  **Alert** ", 0) == 0 && m.find("AccessDenied") != std::string::npos;
  EXPECT_EQ(alerts, 2);
}

TEST_F(InstanceRole, OtherPolicyRefusalsAreRaised) {
  fault({{"service", "iam"},
         {"operation", "CreatePolicy"},
         {"error", {{"code", "LimitExceeded"}, {"status", 409}}},
         {"count", 1}});
  EXPECT_THROW(createS3Policy(context()), aws::ServiceError);
  EXPECT_TRUE(messagesAt(ERROR).empty());
}

TEST_F(InstanceRole, DeletionRemovesAllThreeStepByStepByTheirNamesAndArn) {
  createAll();
  server().log().clear();
  const std::size_t mark = messages().size();
  const std::string arn = defaultPolicyArn(context());
  EXPECT_EQ(arn, kPolicyArn);
  EXPECT_TRUE(deleteInstanceProfile(context(), arn).empty());
  // No listing: the policy is known by its ARN.
  EXPECT_EQ(operations("iam"), (std::vector<std::string>{"RemoveRoleFromInstanceProfile", "DeleteInstanceProfile",
                                                         "DetachRolePolicy", "DeleteRole", "DeletePolicy"}));
  EXPECT_EQ(parameters(requests("iam", "DeletePolicy").at(0)), (std::vector<std::string>{"PolicyArn=" + kPolicyArn}));
  EXPECT_EQ(
      messagesSince(mark),
      (std::vector<std::string>{"  Remove role from instance profile quorvane-test-ec2-instance-profile",
                                "  Delete instance profile quorvane-test-ec2-instance-profile",
                                "  Detach quorvane-test-ec2-role from quorvane-test-ec2-policy " + kPolicyArn + " ",
                                "  Delete quorvane-test-ec2-role", "  Delete policy " + kPolicyArn}));
  EXPECT_TRUE(leftovers().empty()) << state("iam").dump();
}

TEST_F(InstanceRole, APolicyNeverAttachedGoesWithItsRoleAndMissingObjectsAreOnlyNotFound) {
  // A deployment stopped between CreatePolicy and AttachRolePolicy.
  createS3Policy(context());
  iam().create_role([] {
    aws::CreateRoleRequest role;
    role.RoleName = "quorvane-test-ec2-role";
    role.AssumeRolePolicyDocument = ec2TrustDocument();
    return role;
  }());
  ::testing::internal::CaptureStderr();
  EXPECT_TRUE(deleteInstanceProfile(context(), defaultPolicyArn(context())).empty());
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(messagesAt(ERROR).empty());
  EXPECT_TRUE(err.empty()) << err;
  EXPECT_TRUE(leftovers().empty()) << state("iam").dump();
  const auto info = messagesAt(INFO);
  EXPECT_NE(std::find(info.begin(), info.end(), "  not found: instance profile quorvane-test-ec2-instance-profile"),
            info.end());

  // Nothing there at all: every step is a not-found line at INFO.
  const std::size_t mark = messages().size();
  EXPECT_TRUE(deleteInstanceProfile(context(), kPolicyArn).empty());
  EXPECT_TRUE(messagesAt(ERROR).empty());
  std::size_t not_found = 0;
  for (const auto& m : messagesSince(mark)) not_found += m.rfind("  not found: ", 0) == 0;
  EXPECT_EQ(not_found, 5u);
}

TEST_F(InstanceRole, ARefusalIsAnErrorAndNamesWhatIsLeft) {
  createAll();
  fault({{"service", "iam"},
         {"operation", "DeleteRole"},
         {"error", {{"code", "AccessDenied"}, {"status", 403}}},
         {"count", 1}});
  const auto left = deleteInstanceProfile(context(), kPolicyArn);
  EXPECT_EQ(descriptionsOf(left), std::vector<std::string>{"role quorvane-test-ec2-role"});
  EXPECT_EQ(std::string(left.at(0).kind), kinds::kIamObject);
  EXPECT_EQ(left.at(0).id, "quorvane-test-ec2-role");
  // One ERROR record names the object and the refusal.
  ASSERT_EQ(messagesAt(ERROR).size(), 1u);
  EXPECT_NE(messagesAt(ERROR).front().find("AccessDenied"), std::string::npos);
  EXPECT_NE(messagesAt(ERROR).front().find("  **Error** role quorvane-test-ec2-role: "), std::string::npos)
      << messagesAt(ERROR).front();
  // The steps after the refusal were still tried: the policy is gone.
  EXPECT_EQ(leftovers(), std::vector<std::string>{"quorvane-test-ec2-role"});
}

TEST_F(InstanceRole, ThePolicyArnFollowsTheCallersPartitionAndFallsBackToTheAccountOption) {
  fault({{"service", "sts"},
         {"operation", "GetCallerIdentity"},
         {"error", {{"code", "AccessDenied"}, {"status", 403}}},
         {"count", 2}});
  args_.account = "111122223333";
  EXPECT_EQ(defaultPolicyArn(context()), "arn:aws:iam::111122223333:policy/quorvane-test-ec2-policy");
  args_.account.reset();
  EXPECT_THROW(defaultPolicyArn(context()), std::exception);
  EXPECT_EQ(names::policyArn("aws-cn", "123"), "arn:aws-cn:iam::123:policy/quorvane-test-ec2-policy");
}

}  // namespace
}  // namespace qvn::deploy::testing
