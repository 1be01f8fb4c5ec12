// The IAM service's managed policies and roles, and the attachments between them.
#include <algorithm>

#include "core/clock.hpp"
#include "iam.hpp"
#include "iam_wire.hpp"

namespace qvn::sandbox {

using namespace iam_wire;

// ---- policies -------------------------------------------------------------

AwsReply IamService::create_policy(const AwsCall& call, IamAccount& acct) {
  std::string name = required(call, "PolicyName", "policyName");
  std::string document = required(call, "PolicyDocument", "policyDocument");
  check_name(name, "policyName", 128);
  std::string path = path_param(call);
  Pairs tags = tags_param(call);
  check_document(document);
  std::string arn = "arn:aws:iam::" + call.account_id + ":policy" + path + name;
  for (const auto& [key, p] : acct.policies)
    if (!p.aws_managed && lower(p.name) == lower(name))
      throw ApiError(409, "EntityAlreadyExists",
                     "A policy called " + name + " already exists. Duplicate names are not allowed.");
  IamPolicy p;
  p.name = name;
  p.path = path;
  p.arn = arn;
  p.id = iam_unique_id("ANPA");
  p.document = document;
  p.description = call.param("Description");
  p.tags = tags;
  p.created = p.updated = core::now();
  const IamPolicy& stored = acct.policies.emplace(arn, p).first->second;
  QueryReply reply("CreatePolicy", kXmlns);
  write_policy(reply.result().append_child("Policy"), stored, true);
  return reply.finish(call.request_id);
}

AwsReply IamService::get_policy(const AwsCall& call, IamAccount& acct) {
  const IamPolicy& p = find_policy(acct, required(call, "PolicyArn", "policyArn"));
  QueryReply reply("GetPolicy", kXmlns);
  auto node = reply.result().append_child("Policy");
  write_policy(node, p, true);
  if (!p.description.empty()) XmlReply::add(node, "Description", p.description);
  return reply.finish(call.request_id);
}

AwsReply IamService::delete_policy(const AwsCall& call, IamAccount& acct) {
  std::string arn = required(call, "PolicyArn", "policyArn");
  IamPolicy& p = find_policy(acct, arn);
  if (p.aws_managed)
    throw ApiError(
        403, "AccessDenied",
        "User: " + call.caller_arn + " is not authorized to perform: iam:DeletePolicy on resource: policy " + arn);
  if (p.attachment_count > 0) throw ApiError(409, "DeleteConflict", "Cannot delete a policy attached to entities.");
  acct.policies.erase(arn);
  return QueryReply("DeletePolicy", kXmlns, false).finish(call.request_id);
}

AwsReply IamService::list_policies(const AwsCall& call, IamAccount& acct) {
  std::string scope = call.has_param("Scope") ? call.param("Scope") : "All";
  if (scope != "All" && scope != "AWS" && scope != "Local")
    throw validation(
        "1 validation error detected: Value '" + scope +
        "' at 'scope' failed to satisfy constraint: Member must satisfy enum value set: [All, AWS, Local]");
  std::string usage = call.param("PolicyUsageFilter");
  if (!usage.empty() && usage != "PermissionsPolicy" && usage != "PermissionsBoundary")
    throw validation("1 validation error detected: Value '" + usage +
                     "' at 'policyUsageFilter' failed to satisfy constraint: Member must satisfy enum value set: "
                     "[PermissionsPolicy, PermissionsBoundary]");
  std::string only_attached = call.param("OnlyAttached");
  std::string prefix = call.has_param("PathPrefix") ? call.param("PathPrefix") : "/";
  if (prefix.empty() || prefix.front() != '/')
    throw validation("The specified value for pathPrefix is invalid. It must begin with /.");
  std::vector<const IamPolicy*> matching;
  for (const auto& [arn, p] : acct.policies) {  // ordered by ARN
    if (scope == "AWS" && !p.aws_managed) continue;
    if (scope == "Local" && p.aws_managed) continue;
    if (only_attached == "true" && p.attachment_count == 0) continue;
    // Attachments to roles are permissions policies; no boundaries are modelled.
    if (usage == "PermissionsBoundary") continue;
    if (!p.path.starts_with(prefix)) continue;
    matching.push_back(&p);
  }
  return paged_list_reply<IamPolicy>(
      "ListPolicies", "Policies", matching, call, [](const IamPolicy& p) { return p.arn; },
      [](pugi::xml_node member, const IamPolicy& p) { write_policy(member, p, false); });
}

// ---- roles ------------------------------------------------------------------

AwsReply IamService::create_role(const AwsCall& call, IamAccount& acct) {
  std::string name = required(call, "RoleName", "roleName");
  std::string document = required(call, "AssumeRolePolicyDocument", "assumeRolePolicyDocument");
  check_name(name, "roleName", 64);
  std::string path = path_param(call);
  Pairs tags = tags_param(call);
  int max_session = 3600;
  if (call.has_param("MaxSessionDuration")) {
    try {
      max_session = std::stoi(call.param("MaxSessionDuration"));
    } catch (const std::exception&) {
      max_session = 0;
    }
    if (max_session < 3600 || max_session > 43200)
      throw validation("1 validation error detected: Value '" + call.param("MaxSessionDuration") +
                       "' at 'maxSessionDuration' failed to satisfy constraint: Member must have value "
                       "between 3600 and 43200");
  }
  check_document(document);
  if (acct.roles.count(lower(name)))
    throw ApiError(409, "EntityAlreadyExists", "Role with name " + name + " already exists.");
  IamRole r;
  r.name = name;
  r.path = path;
  r.arn = "arn:aws:iam::" + call.account_id + ":role" + path + name;
  r.id = iam_unique_id("AROA");
  r.trust_document = document;
  r.description = call.param("Description");
  r.max_session_duration = max_session;
  r.tags = tags;
  r.created = core::now();
  const IamRole& stored = acct.roles.emplace(lower(name), r).first->second;
  QueryReply reply("CreateRole", kXmlns);
  write_role(reply.result().append_child("Role"), stored, true);
  return reply.finish(call.request_id);
}

AwsReply IamService::get_role(const AwsCall& call, IamAccount& acct) {
  const IamRole& r = find_role(acct, required(call, "RoleName", "roleName"));
  QueryReply reply("GetRole", kXmlns);
  write_role(reply.result().append_child("Role"), r, true);
  return reply.finish(call.request_id);
}

AwsReply IamService::delete_role(const AwsCall& call, IamAccount& acct) {
  std::string name = required(call, "RoleName", "roleName");
  IamRole& r = find_role(acct, name);
  for (const auto& [key, p] : acct.profiles)
    for (const auto& member : p.roles)
      if (lower(member) == lower(name))
        throw ApiError(409, "DeleteConflict", "Cannot delete entity, must remove roles from instance profile first.");
  if (!r.attached.empty())
    throw ApiError(409, "DeleteConflict", "Cannot delete entity, must detach all policies first.");
  acct.roles.erase(lower(name));
  return QueryReply("DeleteRole", kXmlns, false).finish(call.request_id);
}

AwsReply IamService::attach_role_policy(const AwsCall& call, IamAccount& acct) {
  std::string name = required(call, "RoleName", "roleName");
  std::string arn = required(call, "PolicyArn", "policyArn");
  IamRole& r = find_role(acct, name);
  auto it = acct.policies.find(arn);
  if (it == acct.policies.end())
    throw ApiError(404, "NoSuchEntity", "Policy " + arn + " does not exist or is not attachable.");
  if (std::find(r.attached.begin(), r.attached.end(), arn) == r.attached.end()) {
    r.attached.push_back(arn);
    ++it->second.attachment_count;
  }
  return QueryReply("AttachRolePolicy", kXmlns, false).finish(call.request_id);
}

AwsReply IamService::detach_role_policy(const AwsCall& call, IamAccount& acct) {
  std::string name = required(call, "RoleName", "roleName");
  std::string arn = required(call, "PolicyArn", "policyArn");
  IamRole& r = find_role(acct, name);
  auto pos = std::find(r.attached.begin(), r.attached.end(), arn);
  if (pos == r.attached.end()) throw ApiError(404, "NoSuchEntity", "Policy " + arn + " was not found.");
  r.attached.erase(pos);
  auto it = acct.policies.find(arn);
  if (it != acct.policies.end() && it->second.attachment_count > 0) --it->second.attachment_count;
  return QueryReply("DetachRolePolicy", kXmlns, false).finish(call.request_id);
}

AwsReply IamService::list_attached_role_policies(const AwsCall& call, IamAccount& acct) {
  const IamRole& r = find_role(acct, required(call, "RoleName", "roleName"));
  std::vector<const IamPolicy*> attached;
  for (const auto& arn : r.attached) {
    auto it = acct.policies.find(arn);
    if (it != acct.policies.end()) attached.push_back(&it->second);
  }
  return paged_list_reply<IamPolicy>(
      "ListAttachedRolePolicies", "AttachedPolicies", attached, call, [](const IamPolicy& p) { return p.arn; },
      [](pugi::xml_node member, const IamPolicy& p) {
        XmlReply::add(member, "PolicyName", p.name);
        XmlReply::add(member, "PolicyArn", p.arn);
      });
}

}  // namespace qvn::sandbox
