#include "deploy/instance_role.hpp"

#include <functional>
#include <stdexcept>
#include <vector>

#include <nlohmann/json.hpp>

#include "aws/errors.hpp"
#include "aws/protocol_json.hpp"
#include "aws/service_client.hpp"
#include "core/logging.hpp"
#include "deploy/failure_report.hpp"
#include "deploy/resource_names.hpp"
#include "deploy/run_summary.hpp"

namespace qvn::deploy {

namespace {

using Json = nlohmann::ordered_json;

constexpr const char* kPolicyName = names::kPolicy;
constexpr const char* kRoleName = names::kRole;
constexpr const char* kInstanceProfileName = names::kInstanceProfile;

Json statement(const std::string& action) {
  Json s = Json::object();
  s["Effect"] = "Allow";
  s["Action"] = Json::array({action});
  s["Resource"] = Json::array({"arn:aws:s3:::*"});
  return s;
}

bool alreadyExists(const aws::ServiceError& e) { return e.code() == "EntityAlreadyExists"; }

// An object that exists when its creation is retried after an attempt that
// found no answer was made by that attempt: this run created it. Asked right
// after the creation failed, before any other call of this thread.
core::Change existingObjectChange() {
  if (aws::unanswered_attempts_of_last_call() == 0) return core::Change::Adopted;
  packageLogger().info("  made by an earlier attempt whose answer was lost");
  return core::Change::Made;
}

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

std::string createS3Policy(const RunContext& run) {
  Logger& log = packageLogger();
  log.info(std::string("- Create policy ") + kPolicyName);
  aws::CreatePolicyRequest request;
  request.PolicyName = kPolicyName;
  request.PolicyDocument = s3PolicyDocument();
  request.Description = "quorvane test ec2 policy";
  request.Tags = {aws::Tag{names::kNameTagKey, names::kIamNameTag}};
  try {
    const auto created = run.iam.create_policy(request);
    if (!created.Policy || !created.Policy->Arn || created.Policy->Arn->empty())
      throw std::runtime_error(std::string("CreatePolicy answered without the ARN of ") + kPolicyName);
    run.count(core::Change::Made, kinds::kIamObject, "policy " + *created.Policy->Arn);
    return *created.Policy->Arn;
  } catch (const aws::ServiceError& e) {
    if (!alreadyExists(e)) throw;
  } catch (const std::exception& e) {
    logFailure(std::string("create policy ") + kPolicyName, e);
    throw;
  }
  const core::Change change = existingObjectChange();
  const std::string arn = defaultPolicyArn(run);
  run.count(change, kinds::kIamObject, "policy " + arn);
  return arn;
}

bool createEc2Role(const RunContext& run, const std::string& policy_arn) {
  Logger& log = packageLogger();
  const aws::IamClient& iam_client = run.iam;
  log.info(std::string("- Create role ") + kRoleName);
  aws::CreateRoleRequest request;
  request.RoleName = kRoleName;
  request.AssumeRolePolicyDocument = ec2TrustDocument();
  request.Description = "quorvane test ec2 role";
  try {
    iam_client.create_role(request);
    run.count(core::Change::Made, kinds::kIamObject, std::string("role ") + kRoleName);
  } catch (const aws::ServiceError& e) {
    if (alreadyExists(e)) {
      const core::Change change = existingObjectChange();
      run.count(change, kinds::kIamObject, std::string("role ") + kRoleName);
      // A run stopped between creating the role and attaching the policy
      // left it without. The attachment is asked for only then: it needs a
      // permission that a run reusing the role may not have.
      if (change == core::Change::Adopted) {
        log.info("  **Alert** " + failureText(e));
        if (roleHasPolicy(iam_client, policy_arn)) return false;
      }
    } else {
      // A role made beforehand is used as it is, by a run that may not
      // create roles; without one, the attachment fails and says so.
      log.info("  **Alert** " + failureText(e) + "; going on with the role as it is");
    }
  }
  log.info("- Attach policy to role");
  aws::AttachRolePolicyRequest attach;
  attach.RoleName = kRoleName;
  attach.PolicyArn = policy_arn;
  iam_client.attach_role_policy(attach);
  return true;
}

void createInstanceProfile(const RunContext& run) {
  Logger& log = packageLogger();
  const aws::IamClient& iam_client = run.iam;
  log.info(std::string("- Create instance profile ") + kInstanceProfileName);
  aws::CreateInstanceProfileRequest request;
  request.InstanceProfileName = kInstanceProfileName;
  request.Tags = {aws::Tag{names::kNameTagKey, names::kIamNameTag}};
  try {
    iam_client.create_instance_profile(request);
    run.count(core::Change::Made, kinds::kIamObject, std::string("instance profile ") + kInstanceProfileName);
  } catch (const aws::ServiceError& e) {
    if (alreadyExists(e)) {
      const core::Change change = existingObjectChange();
      run.count(change, kinds::kIamObject, std::string("instance profile ") + kInstanceProfileName);
      // A run stopped between creating the profile and adding the role left
      // it empty; a profile holds one role, so it is added only when missing.
      if (change == core::Change::Adopted) {
        log.info("  **Alert** " + failureText(e));
        if (roleIsInProfile(iam_client)) return;
      }
    } else {
      // As for the role: a profile made beforehand is used as it is.
      log.info("  **Alert** " + failureText(e) + "; going on with the instance profile as it is");
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
// gone already (INFO), deleted by an earlier attempt of this request when
// that one found no answer; any other failure is an ERROR and the caller
// goes on.
Step deletionStep(const std::string& what, const std::function<void()>& request) {
  Logger& log = packageLogger();
  try {
    request();
    return Step::Done;
  } catch (const aws::ServiceError& e) {
    if (e.code() == "NoSuchEntity" && aws::unanswered_attempts_of_last_call() > 0) return Step::Done;
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

// The default IAM object `id` as a leftover ("role quorvane-test-ec2-role").
Leftover iamObject(const char* what, const std::string& id) {
  return {kinds::kIamObject, id, std::string(what) + " " + id};
}

// A deleted object is counted as removed; a failed one is left.
void tallyStep(core::RunTally* tally, Step step, const Leftover& object, Leftovers& left) {
  if (step == Step::Done) countChange(tally, core::Change::Removed, object.kind, object.description);
  if (step == Step::Failed) left.push_back(object);
}

}  // namespace

AccountIdentity callerIdentity(const RunContext& run) {
  const DeployArgs& args = run.args;
  try {
    const auto identity = run.sts.get_caller_identity();
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

std::string defaultPolicyArn(const RunContext& run) {
  const AccountIdentity identity = callerIdentity(run);
  return names::policyArn(identity.partition, identity.account);
}

Leftovers existingIamObjects(const aws::IamClient& iam_client) {
  Leftovers found;
  aws::ListInstanceProfilesForRoleRequest profiles;
  profiles.RoleName = kRoleName;
  try {
    for (const auto& profile : iam_client.list_instance_profiles_for_role(profiles).InstanceProfiles)
      if (profile.InstanceProfileName == kInstanceProfileName)
        found.push_back(iamObject("instance profile", kInstanceProfileName));
  } catch (const aws::ServiceError& e) {
    if (e.code() == "NoSuchEntity") return found;
    throw;
  }
  found.push_back(iamObject("role", kRoleName));
  aws::ListAttachedRolePoliciesRequest policies;
  policies.RoleName = kRoleName;
  for (const auto& attached : iam_client.list_attached_role_policies(policies).AttachedPolicies)
    if (attached.PolicyName == kPolicyName) found.push_back(iamObject("policy", attached.PolicyArn.value_or(kPolicyName)));
  return found;
}

Leftovers deleteInstanceProfile(const RunContext& run, const std::optional<std::string>& policy_arn) {
  Logger& log = packageLogger();
  const aws::IamClient& iam_client = run.iam;
  core::RunTally* tally = run.tally;
  const std::string profile = names::kInstanceProfile;
  const std::string role = names::kRole;
  Leftovers left;

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
            iamObject("instance profile", profile), left);

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
            iamObject("role", role), left);

  if (!policy_arn) return left;
  log.info("  Delete policy " + *policy_arn);
  tallyStep(tally,
            deletionStep("policy " + *policy_arn,
                         [&] {
                           aws::DeletePolicyRequest request;
                           request.PolicyArn = *policy_arn;
                           iam_client.delete_policy(request);
                         }),
            iamObject("policy", *policy_arn), left);
  return left;
}

}  // namespace qvn::deploy
