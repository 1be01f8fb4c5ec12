#pragma once
// The IAM objects of --ec2_role default, shared by every deployment into the
// account: the managed policy "quorvane-test-ec2-policy" (list, read and
// write of S3 objects), the role "quorvane-test-ec2-role" that EC2 instances
// may assume, with the policy attached, and the instance profile
// "quorvane-test-ec2-instance-profile" holding the role. Existing objects
// are reused as they are. None of these steps consults the dry-run setting.
#include <optional>
#include <string>
#include <vector>

#include "aws/iam.hpp"
#include "aws/sts.hpp"
#include "deploy/deploy_args.hpp"
#include "deploy/run_context.hpp"
#include "deploy/run_summary.hpp"

namespace qvn::deploy {

// The documents as sent: compact JSON with ", " and ": ", members in order.
std::string s3PolicyDocument();
std::string ec2TrustDocument();

// Creates the policy and returns its ARN. When it already exists, the ARN is
// defaultPolicyArn's (the session's partition and account). Other refusals are
// raised; any other failure is logged at ERROR, written to standard error
// and raised.
std::string createS3Policy(const RunContext& run);

// Creates the role and attaches `policy_arn`; true when attached. A role
// that already exists logs "  **Alert** <error>"; the policy is attached
// only when the role lacks it (ListAttachedRolePolicies), so a role left
// without it by a stopped run is completed. A role that exists on a retry
// after an unanswered attempt was made by that attempt: counted as made and
// its policy attached. Other refusals of the creation are told as an alert
// and passed over (a role made beforehand is used; without one, the
// attachment fails and is raised).
// The run's tally counts the role as created or adopted.
bool createEc2Role(const RunContext& run, const std::string& policy_arn);

// Creates the instance profile and adds the role. A profile that already
// exists logs "  **Alert** <error>"; the role is added only when the profile
// does not hold it yet (ListInstanceProfilesForRole); a "LimitExceeded"
// of that addition with the role in the profile (a retry after a lost
// answer) is done. A profile that exists on a retry after an unanswered
// attempt is counted as made; other refusals of the creation, as for the role.
// The run's tally counts the profile as created or adopted.
void createInstanceProfile(const RunContext& run);

// The partition and account of the deployment session (the run's STS
// client, GetCallerIdentity); when STS cannot tell, --account in the "aws"
// partition. Raises when neither is known.
struct AccountIdentity {
  std::string partition;
  std::string account;
};
AccountIdentity callerIdentity(const RunContext& run);

// The ARN of the default policy, "arn:<partition>:iam::<account>:policy/
// quorvane-test-ec2-policy", of callerIdentity. Deployment and teardown
// both build it here.
std::string defaultPolicyArn(const RunContext& run);

// The default IAM objects that exist, as leftovers are named ("instance
// profile ...", "role ...", "policy <arn>"), found through the role (its
// profiles and attached policies): nothing when the role is gone. Refusals
// other than "NoSuchEntity" are raised.
Leftovers existingIamObjects(const aws::IamClient& iam_client);

// Deletes the default IAM objects by their names and `policy_arn`, one step
// after the other, each tried whatever the earlier ones gave: remove the
// role from the profile, delete the profile, detach the policy, delete the
// role, delete the policy. An object already gone ("NoSuchEntity") is
// reported as not found at INFO; any other failure is logged at ERROR and
// written to standard error. Without `policy_arn` the policy steps are left
// out. Answers the objects that are left ("role quorvane-test-ec2-role").
// The run's tally counts each object deleted here.
Leftovers deleteInstanceProfile(const RunContext& run, const std::optional<std::string>& policy_arn);

}  // namespace qvn::deploy
