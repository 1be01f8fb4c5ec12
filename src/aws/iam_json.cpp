#include "aws/iam_json.hpp"

namespace qvn::aws {

std::vector<JsonOperation> iam_json_operations(const std::shared_ptr<IamClient>& c) {
  using C = IamClient;
  return {
      json_operation("create_policy", "CreatePolicy", c, &C::create_policy),
      json_operation("create_role", "CreateRole", c, &C::create_role),
      json_operation("attach_role_policy", "AttachRolePolicy", c, &C::attach_role_policy),
      json_operation("detach_role_policy", "DetachRolePolicy", c, &C::detach_role_policy),
      json_operation("create_instance_profile", "CreateInstanceProfile", c, &C::create_instance_profile),
      json_operation("add_role_to_instance_profile", "AddRoleToInstanceProfile", c, &C::add_role_to_instance_profile),
      json_operation("remove_role_from_instance_profile", "RemoveRoleFromInstanceProfile", c,
                     &C::remove_role_from_instance_profile),
      json_operation("delete_instance_profile", "DeleteInstanceProfile", c, &C::delete_instance_profile),
      json_operation("list_policies", "ListPolicies", c, &C::list_policies),
      json_operation("delete_policy", "DeletePolicy", c, &C::delete_policy),
      json_operation("delete_role", "DeleteRole", c, &C::delete_role),
      json_operation("list_instance_profiles_for_role", "ListInstanceProfilesForRole", c,
                     &C::list_instance_profiles_for_role),
      json_operation("list_attached_role_policies", "ListAttachedRolePolicies", c, &C::list_attached_role_policies),
  };
}

}  // namespace qvn::aws
