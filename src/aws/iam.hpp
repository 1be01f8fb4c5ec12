#pragma once
// The IAM client: one method per API operation, named after it in snake
// case, taking and returning the structures of iam_model.hpp.
//
// The list operations follow every page (IsTruncated / Marker) unless asked
// for one (Pages::One). A refusal by IAM is thrown by the sender as
// ServiceError; a response that cannot be read throws xml::ParseError.
#include <memory>
#include <optional>
#include <string>

#include "aws/iam_model.hpp"
#include "aws/paginator.hpp"
#include "aws/service_client.hpp"
#include "aws/xml.hpp"

namespace qvn::aws {

class IamClient {
 public:
  static ServiceId service_id();

  explicit IamClient(std::shared_ptr<OperationSender> sender);
  // A client that sends through a ServiceClient of the session.
  IamClient(std::shared_ptr<Session> session, std::optional<std::string> region = std::nullopt);

  CreatePolicyResult create_policy(const CreatePolicyRequest& request) const;
  CreateRoleResult create_role(const CreateRoleRequest& request) const;
  void attach_role_policy(const AttachRolePolicyRequest& request) const;
  void detach_role_policy(const DetachRolePolicyRequest& request) const;
  CreateInstanceProfileResult create_instance_profile(const CreateInstanceProfileRequest& request) const;
  void add_role_to_instance_profile(const AddRoleToInstanceProfileRequest& request) const;
  void remove_role_from_instance_profile(const RemoveRoleFromInstanceProfileRequest& request) const;
  void delete_instance_profile(const DeleteInstanceProfileRequest& request) const;
  ListPoliciesResult list_policies(const ListPoliciesRequest& request = {}, Pages pages = Pages::All) const;
  void delete_policy(const DeletePolicyRequest& request) const;
  void delete_role(const DeleteRoleRequest& request) const;
  ListInstanceProfilesForRoleResult list_instance_profiles_for_role(const ListInstanceProfilesForRoleRequest& request,
                                                                    Pages pages = Pages::All) const;
  ListAttachedRolePoliciesResult list_attached_role_policies(const ListAttachedRolePoliciesRequest& request,
                                                             Pages pages = Pages::All) const;

  OperationSender& sender() const { return *sender_; }

 private:
  template <class Result, class Request>
  Result call(const std::string& operation, const Request& request) const;

  std::shared_ptr<OperationSender> sender_;
};

}  // namespace qvn::aws
