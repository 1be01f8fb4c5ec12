#pragma once
// The names of every AWS resource that probe_deploy makes, in one place.
// All begin with "quorvane-test-ec2": the teardown and the leftover checks
// find the tool's resources by these names and tags alone.
#include <string>

namespace qvn::deploy::names {

// The tag key that marks a resource as the tool's own (EC2 and IAM alike).
inline constexpr const char* kNameTagKey = "Name";

// Name tag of every test instance.
inline constexpr const char* kInstance = "quorvane-test-ec2";

// The VPC's two security groups (group name and Name tag).
inline constexpr const char* kSshGroup = "quorvane-test-ec2-sg";
inline constexpr const char* kPrivateInterfaceGroup = "quorvane-test-ec2-private-interface-sg";

// The VPC's key pair is kKeyPairPrefix + VPC id, tagged Name = kKeyPairTag.
inline constexpr const char* kKeyPairPrefix = "quorvane-test-ec2-key-pair-";
inline constexpr const char* kKeyPairTag = "quorvane-test-ec2-key-pair";

// Elastic IPs: Name = kEipTag, then the user tags, then kEipVpcTagKey = the
// VPC id, by which the teardown finds an address that no instance holds.
inline constexpr const char* kEipTag = "quorvane-test-ec2-eip";
inline constexpr const char* kEipVpcTagKey = "quorvane-vpc";

// The account's IAM objects of --ec2_role default; the policy and the
// profile carry the tag Name = kIamNameTag.
inline constexpr const char* kPolicy = "quorvane-test-ec2-policy";
inline constexpr const char* kRole = "quorvane-test-ec2-role";
inline constexpr const char* kInstanceProfile = "quorvane-test-ec2-instance-profile";
inline constexpr const char* kIamNameTag = "quorvane-test-ec2";

// Where the workflow account's SSM Parameter Store keeps the workflow's
// private keys: kWorkflowSecretsPath + key name.
inline constexpr const char* kWorkflowSecretsPath = "/quorvane/workflow/secrets/";

inline std::string keyPairName(const std::string& vpc_id) { return kKeyPairPrefix + vpc_id; }

// "arn:<partition>:iam::<account>:policy/quorvane-test-ec2-policy".
inline std::string policyArn(const std::string& partition, const std::string& account) {
  return "arn:" + partition + ":iam::" + account + ":policy/" + kPolicy;
}

// "arn:<partition>:iam::<account>:instance-profile/quorvane-test-ec2-instance-profile".
inline std::string instanceProfileArn(const std::string& partition, const std::string& account) {
  return "arn:" + partition + ":iam::" + account + ":instance-profile/" + kInstanceProfile;
}

}  // namespace qvn::deploy::names
