#include "aws/iam.hpp"

#include <utility>

#include "aws/shape_form.hpp"
#include "aws/shape_xml.hpp"
#include "aws/text_codec.hpp"

namespace qvn::aws {
namespace {

// IAM sends policy documents percent-encoded; callers get the JSON text.
void decode_policy_document(Role& role) {
  if (role.AssumeRolePolicyDocument) {
    role.AssumeRolePolicyDocument = text::percent_decode(*role.AssumeRolePolicyDocument);
  }
}

void decode_policy_documents(InstanceProfile& profile) {
  for (auto& role : profile.Roles) decode_policy_document(role);
}

bool truncated(const auto& page) { return page.IsTruncated.value_or(false); }

}  // namespace

ServiceId IamClient::service_id() { return ServiceId{"iam", Protocol::Query, "2010-05-08", ""}; }

IamClient::IamClient(std::shared_ptr<OperationSender> sender) : sender_(std::move(sender)) {}

template <class Result, class Request>
Result IamClient::call(const std::string& operation, const Request& request) const {
  OperationRequest op;
  op.operation = operation;
  shape::write_form(op.form, request, shape::FormDialect::Query);
  const OperationResponse response = sender_->send(op);
  Result result{};
  if constexpr (std::tuple_size_v < decltype(Result::fields()) >> 0) {
    pugi::xml_document document;
    const pugi::xml_node root = xml::load(document, response.body, operation + "Response", operation);
    shape::read_xml(xml::child(root, operation + "Result"), result, shape::XmlDialect::Query);
  }
  return result;
}

CreatePolicyResult IamClient::create_policy(const CreatePolicyRequest& request) const {
  return call<CreatePolicyResult>("CreatePolicy", request);
}

CreateRoleResult IamClient::create_role(const CreateRoleRequest& request) const {
  auto result = call<CreateRoleResult>("CreateRole", request);
  if (result.Role) decode_policy_document(*result.Role);
  return result;
}

void IamClient::attach_role_policy(const AttachRolePolicyRequest& request) const {
  call<shape::Empty>("AttachRolePolicy", request);
}

void IamClient::detach_role_policy(const DetachRolePolicyRequest& request) const {
  call<shape::Empty>("DetachRolePolicy", request);
}

CreateInstanceProfileResult IamClient::create_instance_profile(const CreateInstanceProfileRequest& request) const {
  auto result = call<CreateInstanceProfileResult>("CreateInstanceProfile", request);
  if (result.InstanceProfile) decode_policy_documents(*result.InstanceProfile);
  return result;
}

void IamClient::add_role_to_instance_profile(const AddRoleToInstanceProfileRequest& request) const {
  call<shape::Empty>("AddRoleToInstanceProfile", request);
}

void IamClient::remove_role_from_instance_profile(const RemoveRoleFromInstanceProfileRequest& request) const {
  call<shape::Empty>("RemoveRoleFromInstanceProfile", request);
}

void IamClient::delete_instance_profile(const DeleteInstanceProfileRequest& request) const {
  call<shape::Empty>("DeleteInstanceProfile", request);
}

ListPoliciesResult IamClient::list_policies(const ListPoliciesRequest& request, Pages pages) const {
  auto result = collect_pages(
      request, pages, "ListPolicies", &ListPoliciesRequest::Marker, &ListPoliciesResult::Marker,
      &ListPoliciesResult::Policies,
      [&](const ListPoliciesRequest& r) { return call<ListPoliciesResult>("ListPolicies", r); },
      [](const ListPoliciesResult& page) { return truncated(page); });
  if (pages == Pages::All) result.IsTruncated.reset();
  return result;
}

void IamClient::delete_policy(const DeletePolicyRequest& request) const { call<shape::Empty>("DeletePolicy", request); }

void IamClient::delete_role(const DeleteRoleRequest& request) const { call<shape::Empty>("DeleteRole", request); }

ListInstanceProfilesForRoleResult IamClient::list_instance_profiles_for_role(
    const ListInstanceProfilesForRoleRequest& request, Pages pages) const {
  auto result = collect_pages(
      request, pages, "ListInstanceProfilesForRole", &ListInstanceProfilesForRoleRequest::Marker,
      &ListInstanceProfilesForRoleResult::Marker, &ListInstanceProfilesForRoleResult::InstanceProfiles,
      [&](const ListInstanceProfilesForRoleRequest& r) {
        return call<ListInstanceProfilesForRoleResult>("ListInstanceProfilesForRole", r);
      },
      [](const ListInstanceProfilesForRoleResult& page) { return truncated(page); });
  if (pages == Pages::All) result.IsTruncated.reset();
  for (auto& profile : result.InstanceProfiles) decode_policy_documents(profile);
  return result;
}

ListAttachedRolePoliciesResult IamClient::list_attached_role_policies(const ListAttachedRolePoliciesRequest& request,
                                                                      Pages pages) const {
  auto result = collect_pages(
      request, pages, "ListAttachedRolePolicies", &ListAttachedRolePoliciesRequest::Marker,
      &ListAttachedRolePoliciesResult::Marker, &ListAttachedRolePoliciesResult::AttachedPolicies,
      [&](const ListAttachedRolePoliciesRequest& r) {
        return call<ListAttachedRolePoliciesResult>("ListAttachedRolePolicies", r);
      },
      [](const ListAttachedRolePoliciesResult& page) { return truncated(page); });
  if (pages == Pages::All) result.IsTruncated.reset();
  return result;
}

}  // namespace qvn::aws
