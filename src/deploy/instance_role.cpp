#include "deploy/instance_role.hpp"

#include <vector>

#include <nlohmann/json.hpp>

#include "aws/errors.hpp"
#include "aws/ssm.hpp"
#include "core/logging.hpp"
#include "deploy/failure_report.hpp"

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
  document["Statement"] = Json::array({statement("s3:ListBucket"), statement("s3:GetObject"), statement("s3:PutObject")});
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
  Logger& log = *getLogger("quorvane_testlibs");
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
    return *created.Policy->Arn;
  } catch (const aws::ServiceError& e) {
    if (!alreadyExists(e)) throw;
  } catch (const std::exception& e) {
    log.error("  **Error** " + failureText(e));
    reportFailure(std::string("create policy ") + kPolicyName, e);
    throw;
  }
  const std::string account =
      args.account && !args.account->empty() ? *args.account : sts.get_caller_identity().Account;
  return "arn:aws:iam::" + account + ":policy/" + kPolicyName;
}

bool createEc2Role(const aws::IamClient& iam_client, const std::string& policy_arn) {
  Logger& log = *getLogger("quorvane_testlibs");
  log.info(std::string("- Create role ") + kRoleName);
  aws::CreateRoleRequest request;
  request.RoleName = kRoleName;
  request.AssumeRolePolicyDocument = ec2TrustDocument();
  request.Description = "quorvane test ec2 role";
  try {
    iam_client.create_role(request);
  } catch (const aws::ServiceError& e) {
    if (alreadyExists(e)) {
      // A run stopped between creating the role and attaching the policy
      // left it without; attaching a policy that is attached already
      // changes nothing.
      log.info("  **Alert** " + failureText(e));
    }
  }
  log.info("- Attach policy to role");
  aws::AttachRolePolicyRequest attach;
  attach.RoleName = kRoleName;
  attach.PolicyArn = policy_arn;
  iam_client.attach_role_policy(attach);
  return true;
}

void createInstanceProfile(const aws::IamClient& iam_client) {
  Logger& log = *getLogger("quorvane_testlibs");
  log.info(std::string("- Create instance profile ") + kInstanceProfileName);
  aws::CreateInstanceProfileRequest request;
  request.InstanceProfileName = kInstanceProfileName;
  request.Tags = {aws::Tag{"Name", kIamNameTag}};
  try {
    iam_client.create_instance_profile(request);
  } catch (const aws::ServiceError& e) {
    if (alreadyExists(e)) {
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
  iam_client.add_role_to_instance_profile(add);
}

void deleteInstanceProfile(const aws::IamClient& iam_client) {
  Logger& log = *getLogger("quorvane_testlibs");
  const std::string profile = kInstanceProfileName;
  log.info("  Remove role from instance profile " + profile);
  try {
    aws::RemoveRoleFromInstanceProfileRequest remove;
    remove.InstanceProfileName = profile;
    remove.RoleName = kRoleName;
    iam_client.remove_role_from_instance_profile(remove);
  } catch (const std::exception& e) {
    log.error("  **Error** " + failureText(e));
    reportFailure("remove role from instance profile " + profile, e);
  }
  log.info("  Delete instance profile " + profile);
  try {
    aws::DeleteInstanceProfileRequest remove;
    remove.InstanceProfileName = profile;
    iam_client.delete_instance_profile(remove);
  } catch (const std::exception& e) {
    log.error("  **Error** " + failureText(e));
    reportFailure("delete instance profile " + profile, e);
  }

  aws::ListPoliciesRequest search;
  search.Scope = "Local";
  search.OnlyAttached = true;
  search.PolicyUsageFilter = "PermissionsPolicy";
  std::vector<std::string> arns;
  for (const auto& policy : iam_client.list_policies(search, aws::Pages::All).Policies)
    if (policy.PolicyName == kPolicyName && policy.Arn) arns.push_back(*policy.Arn);
  if (arns.size() != 1) return;
  const std::string& arn = arns.front();

  log.info(std::string("  Detach ") + kRoleName + " from " + kPolicyName + " " + arn + " ");
  aws::DetachRolePolicyRequest detach;
  detach.RoleName = kRoleName;
  detach.PolicyArn = arn;
  iam_client.detach_role_policy(detach);
  log.info("  Delete policy " + arn);
  aws::DeletePolicyRequest deletePolicy;
  deletePolicy.PolicyArn = arn;
  iam_client.delete_policy(deletePolicy);
  log.info(std::string("  Delete ") + kRoleName);
  aws::DeleteRoleRequest deleteRole;
  deleteRole.RoleName = kRoleName;
  iam_client.delete_role(deleteRole);
}

}  // namespace qvn::deploy
