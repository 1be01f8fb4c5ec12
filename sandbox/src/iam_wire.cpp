#include "iam_wire.hpp"

#include <cctype>
#include <string_view>

namespace qvn::sandbox::iam_wire {

namespace {

ApiError no_such_role(const std::string& name) {
  return ApiError(404, "NoSuchEntity", "The role with name " + name + " cannot be found.");
}

ApiError no_such_profile(const std::string& name) {
  return ApiError(404, "NoSuchEntity", "Instance Profile " + name + " cannot be found.");
}

void write_tags(pugi::xml_node parent, const Pairs& tags) {
  if (tags.empty()) return;
  auto list = parent.append_child("Tags");
  for (const auto& [k, v] : tags) {
    auto m = list.append_child("member");
    XmlReply::add(m, "Key", k);
    XmlReply::add(m, "Value", v);
  }
}

}  // namespace

std::string required(const AwsCall& call, const std::string& name, const std::string& member) {
  if (!call.has_param(name))
    throw validation("1 validation error detected: Value null at '" + member +
                     "' failed to satisfy constraint: Member must not be null");
  return call.param(name);
}

// IAM names: [\w+=,.@-]+ within a length limit.
void check_name(const std::string& value, const std::string& member, std::size_t max_length) {
  bool ok = !value.empty() && value.size() <= max_length;
  for (unsigned char c : value)
    if (!(std::isalnum(c) || std::string_view("_+=,.@-").find(static_cast<char>(c)) != std::string_view::npos))
      ok = false;
  if (!ok)
    throw validation("1 validation error detected: Value '" + value + "' at '" + member +
                     "' failed to satisfy constraint: Member must satisfy regular expression pattern: "
                     "[\\w+=,.@-]+ and have length between 1 and " +
                     std::to_string(max_length));
}

std::string path_param(const AwsCall& call) {
  std::string path = call.has_param("Path") ? call.param("Path") : "/";
  if (path.empty() || path.front() != '/' || path.back() != '/' || path.size() > 512)
    throw validation(
        "The specified value for path is invalid. It must begin and end with / and contain "
        "only alphanumeric characters and/or / characters.");
  return path;
}

void check_document(const std::string& document) {
  Json parsed;
  try {
    parsed = Json::parse(document);
  } catch (const std::exception&) {
    throw ApiError(400, "MalformedPolicyDocument", "Syntax errors in policy.");
  }
  if (!parsed.is_object() || !parsed.contains("Statement"))
    throw ApiError(400, "MalformedPolicyDocument", "Syntax errors in policy.");
}

Pairs tags_param(const AwsCall& call) {
  Pairs tags;
  for (int i = 1;; ++i) {
    std::string base = "Tags.member." + std::to_string(i);
    if (!call.has_param(base + ".Key")) break;
    tags.emplace_back(call.param(base + ".Key"), call.param(base + ".Value"));
  }
  if (tags.size() > 50) throw ApiError(409, "LimitExceeded", "Cannot exceed quota for TagsPerResource: 50");
  return tags;
}

// The member list of Policy in CreatePolicy, GetPolicy and ListPolicies.
void write_policy(pugi::xml_node node, const IamPolicy& p, bool with_tags) {
  XmlReply::add(node, "PolicyName", p.name);
  XmlReply::add(node, "PolicyId", p.id);
  XmlReply::add(node, "Arn", p.arn);
  XmlReply::add(node, "Path", p.path);
  XmlReply::add(node, "DefaultVersionId", "v1");
  XmlReply::add(node, "AttachmentCount", std::to_string(p.attachment_count));
  XmlReply::add(node, "PermissionsBoundaryUsageCount", "0");
  XmlReply::add(node, "IsAttachable", "true");
  XmlReply::add(node, "CreateDate", iso8601(p.created));
  XmlReply::add(node, "UpdateDate", iso8601(p.updated));
  if (with_tags) write_tags(node, p.tags);
}

void write_role(pugi::xml_node node, const IamRole& r, bool full) {
  XmlReply::add(node, "Path", r.path);
  XmlReply::add(node, "RoleName", r.name);
  XmlReply::add(node, "RoleId", r.id);
  XmlReply::add(node, "Arn", r.arn);
  XmlReply::add(node, "CreateDate", iso8601(r.created));
  XmlReply::add(node, "AssumeRolePolicyDocument", percent_encode(r.trust_document));
  if (!full) return;
  if (!r.description.empty()) XmlReply::add(node, "Description", r.description);
  XmlReply::add(node, "MaxSessionDuration", std::to_string(r.max_session_duration));
  write_tags(node, r.tags);
}

void write_profile(pugi::xml_node node, const IamInstanceProfile& p, const IamAccount& acct) {
  XmlReply::add(node, "InstanceProfileName", p.name);
  XmlReply::add(node, "InstanceProfileId", p.id);
  XmlReply::add(node, "Arn", p.arn);
  XmlReply::add(node, "Path", p.path);
  XmlReply::add(node, "CreateDate", iso8601(p.created));
  auto roles = node.append_child("Roles");
  for (const auto& name : p.roles) {
    auto it = acct.roles.find(lower(name));
    if (it != acct.roles.end()) write_role(roles.append_child("member"), it->second, false);
  }
  write_tags(node, p.tags);
}

IamPolicy& find_policy(IamAccount& acct, const std::string& arn) {
  auto it = acct.policies.find(arn);
  if (it == acct.policies.end()) throw ApiError(404, "NoSuchEntity", "Policy " + arn + " was not found.");
  return it->second;
}
IamRole& find_role(IamAccount& acct, const std::string& name) {
  auto it = acct.roles.find(lower(name));
  if (it == acct.roles.end()) throw no_such_role(name);
  return it->second;
}
IamInstanceProfile& find_profile(IamAccount& acct, const std::string& name) {
  auto it = acct.profiles.find(lower(name));
  if (it == acct.profiles.end()) throw no_such_profile(name);
  return it->second;
}

void write_paging(pugi::xml_node result, bool truncated, const std::string& marker) {
  XmlReply::add(result, "IsTruncated", truncated ? "true" : "false");
  if (truncated) XmlReply::add(result, "Marker", marker);
}

}  // namespace qvn::sandbox::iam_wire
