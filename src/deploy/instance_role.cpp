#include "deploy/instance_role.hpp"

#include <functional>
#include <stdexcept>
#include <vector>

#include <nlohmann/json.hpp>

#include "aws/errors.hpp"
#include "aws/protocol_json.hpp"
#include "core/logging.hpp"
#include "deploy/failure_report.hpp"
#include "deploy/resource_names.hpp"
#include "deploy/run_summary.hpp"

namespace qvn::deploy {

namespace {

using Json = nlohmann::ordered_json;

constexpr const char* kIamNameTag = "quorvane-test-ec2";

Json statement(const std::string& action) {
  Json s = Json::object();
  s["Effect"] = "Allow";
  s["Action"] = Json::array({action});
  s["Resource"] = Json::array({"arn:aws:s3:::*"});
  return s;
}

bool alreadyExists(const aws::ServiceError& e) { return e.code() == "EntityAlreadyExists"; }

bool roleHasPolicy(const aws::IamClient& iam_client, const std::string& policy_arn) {
  aws::ListAttachedRolePoliciesRequest request;
  request.RoleName = kRoleName;
  for (const auto& attached : iam_client.list_attached_role_policies(request).AttachedPolicies)
    if (attached.PolicyArn == policy_arn) return true;
  return false;
}

bool roleIsInProfile(const aws::IamClient& iam_client) {
  aws::ListInstanceProfilesForRoleRequest request;
  request.RoleName = kRoleName;
  try {
    for (const auto& profile : iam_client.list_instance_profiles_for_role(request).InstanceProfiles)
      if (profile.InstanceProfileName == kInstanceProfileName) return true;
  } catch (const aws::ServiceError& e) {
    if (e.code() != "NoSuchEntity") throw;
  }
  return false;
}

}  // namespace

std::string s3PolicyDocument() {
  Json document = Json::object();
  document["Version"] = "2012-10-17";
  document["Statement"] =
      Json::array({statement("s3:ListBucket"), statement("s3:GetObject"), statement("s3:PutObject")});
  return aws::sdk_json_text(document);
}

std::string ec2TrustDocument() {
  Json s = Json::object();
  s["Effect"] = "Allow";
  s["Principal"] = Json{{"Service", "ec2.amazonaws.com"}};
  s["Action"] = "sts:AssumeRole";
  Json document = Json::object();
  document["Version"] = "2012-10-17";
  document["Statement"] = Json::array({s});
  return aws::sdk_json_text(document);
}

std::string createS3Policy(const aws::IamClient& iam_client, const DeployArgs& args, aws::StsClient& sts) {
  Logger& log = packageLogger();
  log.info(std::string("- Create policy ") + kPolicyName);
  aws::CreatePolicyRequest request;
  request.PolicyName = kPolicyName;
  request.PolicyDocument = s3PolicyDocument();
  request.Description = "quorvane test ec2 policy";
  request.Tags = {aws::Tag{"Name", kIamNameTag}};
  try {
    const auto created = iam_client.create_policy(request);
    if (!created.Policy || !created.Policy->Arn || created.Policy->Arn->empty())
      throw std::runtime_error(std::string("CreatePolicy answered without the ARN of ") + kPolicyName);
    countChange(args, core::Change::Made, kinds::kIamObject, "policy " + *created.Policy->Arn);
    return *created.Policy->Arn;
  } catch (const aws::ServiceError& e) {
    if (!alreadyExists(e)) throw;
  } catch (const std::exception& e) {
    logFailure(std::string("create policy ") + kPolicyName, e);
    throw;
  }
  const std::string arn = defaultPolicyArn(sts, args);
  countChange(args, core::Change::Adopted, kinds::kIamObject, "policy " + arn);
  return arn;
}

bool createEc2Role(const aws::IamClient& iam_client, const std::string& policy_arn, core::RunTally* tally) {
  Logger& log = packageLogger();
  log.info(std::string("- Create role ") + kRoleName);
  aws::CreateRoleRequest request;
  request.RoleName = kRoleName;
  request.AssumeRolePolicyDocument = ec2TrustDocument();
  request.Description = "quorvane test ec2 role";
  try {
    iam_client.create_role(request);
    countChange(tally, core::Change::Made, kinds::kIamObject, std::string("role ") + kRoleName);
  } catch (const aws::ServiceError& e) {
    if (alreadyExists(e)) {
      countChange(tally, core::Change::Adopted, kinds::kIamObject, std::string("role ") + kRoleName);
      log.info("  **Alert** " + failureText(e));
      // A run stopped between creating the role and attaching the policy
      // left it without. The attachment is asked for only then: it needs a
      // permission that a run reusing the role may not have.
      if (roleHasPolicy(iam_client, policy_arn)) return false;
    }
  }
  log.info("- Attach policy to role");
  aws::AttachRolePolicyRequest attach;
  attach.RoleName = kRoleName;
  attach.PolicyArn = policy_arn;
  iam_client.attach_role_policy(attach);
  return true;
}

void createInstanceProfile(const aws::IamClient& iam_client, core::RunTally* tally) {
  Logger& log = packageLogger();
  log.info(std::string("- Create instance profile ") + kInstanceProfileName);
  aws::CreateInstanceProfileRequest request;
  request.InstanceProfileName = kInstanceProfileName;
  request.Tags = {aws::Tag{"Name", kIamNameTag}};
  try {
    iam_client.create_instance_profile(request);
    countChange(tally, core::Change::Made, kinds::kIamObject, std::string("instance profile ") + kInstanceProfileName);
  } catch (const aws::ServiceError& e) {
    if (alreadyExists(e)) {
      countChange(tally, core::Change::Adopted, kinds::kIamObject, std::string("instance profile ") + kInstanceProfileName);
      log.info("  **Alert** " + failureText(e));
      // A run stopped between creating the profile and adding the role left
      // it empty; a profile holds one role, so it is added only when missing.
      if (roleIsInProfile(iam_client)) return;
    }
  }
  log.info("- Add role to instance profile");
  aws::AddRoleToInstanceProfileRequest add;
  add.InstanceProfileName = kInstanceProfileName;
  add.RoleName = kRoleName;
  try {
    iam_client.add_role_to_instance_profile(add);
  } catch (const aws::ServiceError& e) {
    // A profile holds one role: a retry whose first attempt was carried out
    // and its answer lost meets "LimitExceeded" with the role in place.
    if (e.code() != "LimitExceeded" || !roleIsInProfile(iam_client)) throw;
  }
}

namespace {

enum class Step { Done, NotFound, Failed };

// One deletion request of the teardown: "NoSuchEntity" means the object is
// gone already (INFO); any other failure is an ERROR and the caller goes on.
Step deletionStep(const std::string& what, const std::function<void()>& request) {
  Logger& log = packageLogger();
  try {
    request();
    return Step::Done;
  } catch (const aws::ServiceError& e) {
    if (e.code() == "NoSuchEntity") {
      log.info("  not found: " + what);
      return Step::NotFound;
    }
    logFailure(what, e);
  } catch (const std::exception& e) {
    logFailure(what, e);
  }
  return Step::Failed;
}

// A deleted object is counted as removed; a failed one is left.
void tallyStep(core::RunTally* tally, Step step, const std::string& what, std::vector<std::string>& left) {
  if (step == Step::Done) countChange(tally, core::Change::Removed, kinds::kIamObject, what);
  if (step == Step::Failed) left.push_back(what);
}

}  // namespace

AccountIdentity callerIdentity(aws::StsClient& sts, const DeployArgs& args) {
  try {
    const auto identity = sts.get_caller_identity();
    const std::size_t start = identity.Arn.find(':');
    const std::size_t end = start == std::string::npos ? start : identity.Arn.find(':', start + 1);
    if (identity.Account.empty() || end == std::string::npos || end == start + 1)
      throw std::runtime_error("GetCallerIdentity answered without an account or ARN");
    return {identity.Arn.substr(start + 1, end - start - 1), identity.Account};
  } catch (const std::exception&) {
    if (args.account && !args.account->empty()) return {"aws", *args.account};
    throw;
  }
}

std::string defaultPolicyArn(aws::StsClient& sts, const DeployArgs& args) {
  const AccountIdentity identity = callerIdentity(sts, args);
  return names::policyArn(identity.partition, identity.account);
}

std::vector<std::string> existingIamObjects(const aws::IamClient& iam_client) {
  std::vector<std::string> found;
  aws::ListInstanceProfilesForRoleRequest profiles;
  profiles.RoleName = kRoleName;
  try {
    for (const auto& profile : iam_client.list_instance_profiles_for_role(profiles).InstanceProfiles)
      if (profile.InstanceProfileName == kInstanceProfileName)
        found.push_back(std::string("instance profile ") + kInstanceProfileName);
  } catch (const aws::ServiceError& e) {
    if (e.code() == "NoSuchEntity") return found;
    throw;
  }
  found.push_back(std::string("role ") + kRoleName);
  aws::ListAttachedRolePoliciesRequest policies;
  policies.RoleName = kRoleName;
  for (const auto& attached : iam_client.list_attached_role_policies(policies).AttachedPolicies)
    if (attached.PolicyName == kPolicyName) found.push_back("policy " + attached.PolicyArn.value_or(kPolicyName));
  return found;
}

std::vector<std::string> deleteInstanceProfile(const aws::IamClient& iam_client,
                                               const std::optional<std::string>& policy_arn, core::RunTally* tally) {
  Logger& log = packageLogger();
  const std::string profile = names::kInstanceProfile;
  const std::string role = names::kRole;
  std::vector<std::string> left;

  log.info("  Remove role from instance profile " + profile);
  deletionStep("role " + role + " in instance profile " + profile, [&] {
    aws::RemoveRoleFromInstanceProfileRequest request;
    request.InstanceProfileName = profile;
    request.RoleName = role;
    iam_client.remove_role_from_instance_profile(request);
  });
  log.info("  Delete instance profile " + profile);
  tallyStep(tally,
            deletionStep("instance profile " + profile,
                         [&] {
                           aws::DeleteInstanceProfileRequest request;
                           request.InstanceProfileName = profile;
                           iam_client.delete_instance_profile(request);
                         }),
            "instance profile " + profile, left);

  if (policy_arn) {
    log.info("  Detach " + role + " from " + names::kPolicy + " " + *policy_arn + " ");
    deletionStep("policy " + *policy_arn + " on role " + role, [&] {
      aws::DetachRolePolicyRequest request;
      request.RoleName = role;
      request.PolicyArn = *policy_arn;
      iam_client.detach_role_policy(request);
    });
  }
  log.info("  Delete " + role);
  tallyStep(tally,
            deletionStep("role " + role,
                         [&] {
                           aws::DeleteRoleRequest request;
                           request.RoleName = role;
                           iam_client.delete_role(request);
                         }),
            "role " + role, left);

  if (!policy_arn) return left;
  log.info("  Delete policy " + *policy_arn);
  tallyStep(tally,
            deletionStep("policy " + *policy_arn,
                         [&] {
                           aws::DeletePolicyRequest request;
                           request.PolicyArn = *policy_arn;
                           iam_client.delete_policy(request);
                         }),
            "policy " + *policy_arn, left);
  return left;
}

}  // namespace qvn::deploy
