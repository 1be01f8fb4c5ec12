#pragma once
// IAM request and result structures, with AWS's member names (see shape.hpp).
// Members are in the order the SDKs send them. Timestamps are kept as the
// text AWS sent.
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "aws/shape.hpp"
#include "aws/tag.hpp"

#define F QVN_FIELD

namespace qvn::aws {

struct Policy {
  std::optional<std::string> PolicyName{};
  std::optional<std::string> PolicyId{};
  std::optional<std::string> Arn{};
  std::optional<std::string> Path{};
  std::optional<std::string> DefaultVersionId{};
  std::optional<int> AttachmentCount{};
  std::optional<int> PermissionsBoundaryUsageCount{};
  std::optional<bool> IsAttachable{};
  std::optional<std::string> Description{};
  std::optional<std::string> CreateDate{};
  std::optional<std::string> UpdateDate{};
  std::vector<Tag> Tags{};
  static constexpr auto fields() {
    using T = Policy;
    return std::tuple{F(T, PolicyName),
                      F(T, PolicyId),
                      F(T, Arn),
                      F(T, Path),
                      F(T, DefaultVersionId),
                      F(T, AttachmentCount),
                      F(T, PermissionsBoundaryUsageCount),
                      F(T, IsAttachable),
                      F(T, Description),
                      F(T, CreateDate),
                      F(T, UpdateDate),
                      F(T, Tags)};
  }
};

struct Role {
  std::optional<std::string> Path{};
  std::optional<std::string> RoleName{};
  std::optional<std::string> RoleId{};
  std::optional<std::string> Arn{};
  std::optional<std::string> CreateDate{};
  // The trust policy as JSON text (IAM sends it URL-encoded; it is decoded).
  std::optional<std::string> AssumeRolePolicyDocument{};
  std::optional<std::string> Description{};
  std::optional<int> MaxSessionDuration{};
  std::vector<Tag> Tags{};
  static constexpr auto fields() {
    using T = Role;
    return std::tuple{F(T, Path),        F(T, RoleName),           F(T, RoleId),
                      F(T, Arn),         F(T, CreateDate),         F(T, AssumeRolePolicyDocument),
                      F(T, Description), F(T, MaxSessionDuration), F(T, Tags)};
  }
};

struct InstanceProfile {
  std::optional<std::string> Path{};
  std::optional<std::string> InstanceProfileName{};
  std::optional<std::string> InstanceProfileId{};
  std::optional<std::string> Arn{};
  std::optional<std::string> CreateDate{};
  std::vector<Role> Roles{};
  std::vector<Tag> Tags{};
  static constexpr auto fields() {
    using T = InstanceProfile;
    return std::tuple{F(T, Path), F(T, InstanceProfileName), F(T, InstanceProfileId),
                      F(T, Arn),  F(T, CreateDate),          F(T, Roles),
                      F(T, Tags)};
  }
};

struct CreatePolicyRequest {
  std::string PolicyName{};
  std::string PolicyDocument{};
  std::optional<std::string> Description{};
  std::optional<std::string> Path{};
  std::vector<Tag> Tags{};
  static constexpr auto fields() {
    using T = CreatePolicyRequest;
    return std::tuple{F(T, PolicyName), F(T, PolicyDocument), F(T, Description), F(T, Path), F(T, Tags)};
  }
};

struct CreatePolicyResult {
  std::optional<aws::Policy> Policy{};
  static constexpr auto fields() { return std::tuple{F(CreatePolicyResult, Policy)}; }
};

struct CreateRoleRequest {
  std::string RoleName{};
  std::string AssumeRolePolicyDocument{};
  std::optional<std::string> Description{};
  std::optional<std::string> Path{};
  std::optional<int> MaxSessionDuration{};
  std::optional<std::string> PermissionsBoundary{};
  std::vector<Tag> Tags{};
  static constexpr auto fields() {
    using T = CreateRoleRequest;
    return std::tuple{F(T, RoleName),           F(T, AssumeRolePolicyDocument), F(T, Description), F(T, Path),
                      F(T, MaxSessionDuration), F(T, PermissionsBoundary),      F(T, Tags)};
  }
};

struct CreateRoleResult {
  std::optional<aws::Role> Role{};
  static constexpr auto fields() { return std::tuple{F(CreateRoleResult, Role)}; }
};

struct RolePolicyRequest {
  std::string RoleName{};
  std::string PolicyArn{};
  static constexpr auto fields() { return std::tuple{F(RolePolicyRequest, RoleName), F(RolePolicyRequest, PolicyArn)}; }
};
using AttachRolePolicyRequest = RolePolicyRequest;
using DetachRolePolicyRequest = RolePolicyRequest;

struct CreateInstanceProfileRequest {
  std::string InstanceProfileName{};
  std::optional<std::string> Path{};
  std::vector<Tag> Tags{};
  static constexpr auto fields() {
    using T = CreateInstanceProfileRequest;
    return std::tuple{F(T, InstanceProfileName), F(T, Path), F(T, Tags)};
  }
};

struct CreateInstanceProfileResult {
  std::optional<aws::InstanceProfile> InstanceProfile{};
  static constexpr auto fields() { return std::tuple{F(CreateInstanceProfileResult, InstanceProfile)}; }
};

struct InstanceProfileRoleRequest {
  std::string InstanceProfileName{};
  std::string RoleName{};
  static constexpr auto fields() {
    return std::tuple{F(InstanceProfileRoleRequest, InstanceProfileName), F(InstanceProfileRoleRequest, RoleName)};
  }
};
using AddRoleToInstanceProfileRequest = InstanceProfileRoleRequest;
using RemoveRoleFromInstanceProfileRequest = InstanceProfileRoleRequest;

struct DeleteInstanceProfileRequest {
  std::string InstanceProfileName{};
  static constexpr auto fields() { return std::tuple{F(DeleteInstanceProfileRequest, InstanceProfileName)}; }
};

struct ListPoliciesRequest {
  std::optional<std::string> Scope{};
  std::optional<bool> OnlyAttached{};
  std::optional<std::string> PathPrefix{};
  std::optional<std::string> PolicyUsageFilter{};
  std::optional<std::string> Marker{};
  std::optional<int> MaxItems{};
  static constexpr auto fields() {
    using T = ListPoliciesRequest;
    return std::tuple{F(T, Scope),  F(T, OnlyAttached), F(T, PathPrefix), F(T, PolicyUsageFilter),
                      F(T, Marker), F(T, MaxItems)};
  }
};

struct ListPoliciesResult {
  std::vector<Policy> Policies{};
  std::optional<bool> IsTruncated{};
  std::optional<std::string> Marker{};
  static constexpr auto fields() {
    return std::tuple{F(ListPoliciesResult, Policies), F(ListPoliciesResult, IsTruncated),
                      F(ListPoliciesResult, Marker)};
  }
};

struct DeletePolicyRequest {
  std::string PolicyArn{};
  static constexpr auto fields() { return std::tuple{F(DeletePolicyRequest, PolicyArn)}; }
};

struct DeleteRoleRequest {
  std::string RoleName{};
  static constexpr auto fields() { return std::tuple{F(DeleteRoleRequest, RoleName)}; }
};

struct ListInstanceProfilesForRoleRequest {
  std::string RoleName{};
  std::optional<std::string> Marker{};
  std::optional<int> MaxItems{};
  static constexpr auto fields() {
    using T = ListInstanceProfilesForRoleRequest;
    return std::tuple{F(T, RoleName), F(T, Marker), F(T, MaxItems)};
  }
};

struct ListInstanceProfilesForRoleResult {
  std::vector<InstanceProfile> InstanceProfiles{};
  std::optional<bool> IsTruncated{};
  std::optional<std::string> Marker{};
  static constexpr auto fields() {
    using T = ListInstanceProfilesForRoleResult;
    return std::tuple{F(T, InstanceProfiles), F(T, IsTruncated), F(T, Marker)};
  }
};

struct ListAttachedRolePoliciesRequest {
  std::string RoleName{};
  std::optional<std::string> PathPrefix{};
  std::optional<std::string> Marker{};
  std::optional<int> MaxItems{};
  static constexpr auto fields() {
    using T = ListAttachedRolePoliciesRequest;
    return std::tuple{F(T, RoleName), F(T, PathPrefix), F(T, Marker), F(T, MaxItems)};
  }
};

struct AttachedPolicy {
  std::optional<std::string> PolicyName{};
  std::optional<std::string> PolicyArn{};
  static constexpr auto fields() { return std::tuple{F(AttachedPolicy, PolicyName), F(AttachedPolicy, PolicyArn)}; }
};

struct ListAttachedRolePoliciesResult {
  std::vector<AttachedPolicy> AttachedPolicies{};
  std::optional<bool> IsTruncated{};
  std::optional<std::string> Marker{};
  static constexpr auto fields() {
    using T = ListAttachedRolePoliciesResult;
    return std::tuple{F(T, AttachedPolicies), F(T, IsTruncated), F(T, Marker)};
  }
};

}  // namespace qvn::aws

#undef F
