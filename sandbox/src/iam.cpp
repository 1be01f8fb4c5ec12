#include "iam.hpp"

#include <algorithm>
#include <cctype>

#include "core/clock.hpp"
#include "modules.hpp"

namespace qvn::sandbox {

namespace {

const char* kXmlns = "https://iam.amazonaws.com/doc/2010-05-08/";

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

ApiError validation(const std::string& message) { return ApiError(400, "ValidationError", message); }

ApiError no_such_role(const std::string& name) {
  return ApiError(404, "NoSuchEntity", "The role with name " + name + " cannot be found.");
}

ApiError no_such_profile(const std::string& name) {
  return ApiError(404, "NoSuchEntity", "Instance Profile " + name + " cannot be found.");
}

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
                     "[\\w+=,.@-]+ and have length between 1 and " + std::to_string(max_length));
}

std::string path_param(const AwsCall& call) {
  std::string path = call.has_param("Path") ? call.param("Path") : "/";
  if (path.empty() || path.front() != '/' || path.back() != '/' || path.size() > 512)
    throw validation("The specified value for path is invalid. It must begin and end with / and contain "
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

Pairs tags_json(const Json& j) {
  Pairs tags;
  if (j.is_array())
    for (const auto& t : j) tags.emplace_back(t.value("Key", ""), t.value("Value", ""));
  else if (j.is_object())
    for (const auto& [k, v] : j.items()) tags.emplace_back(k, v.is_string() ? v.get<std::string>() : v.dump());
  return tags;
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

// Marker paging over items already in their listing order: the marker is
// the opaque encoding of the last key handed out.
template <typename T>
struct Page {
  std::vector<const T*> items;
  bool truncated = false;
  std::string marker;
};

template <typename T, typename KeyFn>
Page<T> page_of(const std::vector<const T*>& all, const AwsCall& call, KeyFn key) {
  int max_items = 100;
  if (call.has_param("MaxItems")) {
    try {
      max_items = std::stoi(call.param("MaxItems"));
    } catch (const std::exception&) {
      max_items = 0;
    }
    if (max_items < 1 || max_items > 1000)
      throw validation("1 validation error detected: Value '" + call.param("MaxItems") +
                       "' at 'maxItems' failed to satisfy constraint: Member must have value between 1 and 1000");
  }
  std::size_t start = 0;
  if (call.has_param("Marker")) {
    std::string after;
    try {
      after = base64_decode(call.param("Marker"));
    } catch (const std::exception&) {
      throw validation("Invalid Marker.");
    }
    if (after.rfind("iam:", 0) != 0) throw validation("Invalid Marker.");
    after = after.substr(4);
    while (start < all.size() && key(*all[start]) <= after) ++start;
  }
  Page<T> page;
  for (std::size_t i = start; i < all.size(); ++i) {
    if (page.items.size() == static_cast<std::size_t>(max_items)) {
      page.truncated = true;
      page.marker = base64_encode("iam:" + key(*page.items.back()));
      break;
    }
    page.items.push_back(all[i]);
  }
  return page;
}

void write_paging(pugi::xml_node result, bool truncated, const std::string& marker) {
  XmlReply::add(result, "IsTruncated", truncated ? "true" : "false");
  if (truncated) XmlReply::add(result, "Marker", marker);
}

Clock::time_point scenario_time(const Json& entry, const char* member, Clock::time_point fallback) {
  if (entry.contains(member) && entry[member].is_string()) return parse_iso8601(entry[member].get<std::string>());
  return fallback;
}

std::string document_text(const Json& j) {
  if (j.is_string()) return j.get<std::string>();
  if (j.is_null()) return "{\"Version\": \"2012-10-17\", \"Statement\": []}";
  return j.dump();
}


}  // namespace

IamAccount& IamService::account(const std::string& account_id) {
  auto [it, inserted] = accounts_.try_emplace(account_id);
  if (inserted) {
    // Every account sees AWS's managed policies.
    Clock::time_point published = parse_iso8601("2015-02-06T18:40:00Z");
    for (const auto& [name, path] : aws_policies_) {
      IamPolicy p;
      p.name = name;
      p.path = path;
      p.arn = "arn:aws:iam::aws:policy" + path + name;
      p.id = "ANPA" + std::string(17, 'A');
      std::string h = sha256_hex(p.arn);
      for (std::size_t i = 0; i < 17; ++i) p.id[4 + i] = kUpperAlnum[static_cast<unsigned char>(h[i]) % 36];
      p.document = "{\"Version\": \"2012-10-17\", \"Statement\": []}";
      p.created = p.updated = published;
      p.aws_managed = true;
      it->second.policies.emplace(p.arn, p);
    }
  }
  return it->second;
}

AwsReply IamService::render_error(const ApiError& error, const std::string& request_id) const {
  return render_query_error(error, request_id, kXmlns);
}

AwsReply IamService::handle(const AwsCall& call) {
  static const std::map<std::string, Handler> handlers = {
      {"CreatePolicy", &IamService::create_policy},
      {"GetPolicy", &IamService::get_policy},
      {"DeletePolicy", &IamService::delete_policy},
      {"ListPolicies", &IamService::list_policies},
      {"CreateRole", &IamService::create_role},
      {"GetRole", &IamService::get_role},
      {"DeleteRole", &IamService::delete_role},
      {"AttachRolePolicy", &IamService::attach_role_policy},
      {"DetachRolePolicy", &IamService::detach_role_policy},
      {"ListAttachedRolePolicies", &IamService::list_attached_role_policies},
      {"CreateInstanceProfile", &IamService::create_instance_profile},
      {"GetInstanceProfile", &IamService::get_instance_profile},
      {"DeleteInstanceProfile", &IamService::delete_instance_profile},
      {"AddRoleToInstanceProfile", &IamService::add_role_to_instance_profile},
      {"RemoveRoleFromInstanceProfile", &IamService::remove_role_from_instance_profile},
      {"ListInstanceProfilesForRole", &IamService::list_instance_profiles_for_role},
  };
  std::string action = call.operation.empty() ? call.param("Action") : call.operation;
  auto it = handlers.find(action);
  if (it == handlers.end())
    throw ApiError(400, "InvalidAction", "Could not find operation " + action + " for version 2010-05-08");
  std::lock_guard lock(mutex_);
  return (this->*(it->second))(call, account(call.account_id));
}

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

namespace {
IamPolicy& find_policy(IamAccount& acct, const std::string& arn) {
  auto it = acct.policies.find(arn);
  if (it == acct.policies.end())
    throw ApiError(404, "NoSuchEntity", "Policy " + arn + " was not found.");
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
}  // namespace

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
    throw ApiError(403, "AccessDenied", "User: " + call.caller_arn +
                                            " is not authorized to perform: iam:DeletePolicy on resource: policy " + arn);
  if (p.attachment_count > 0) throw ApiError(409, "DeleteConflict", "Cannot delete a policy attached to entities.");
  acct.policies.erase(arn);
  return QueryReply("DeletePolicy", kXmlns, false).finish(call.request_id);
}

AwsReply IamService::list_policies(const AwsCall& call, IamAccount& acct) {
  std::string scope = call.has_param("Scope") ? call.param("Scope") : "All";
  if (scope != "All" && scope != "AWS" && scope != "Local")
    throw validation("1 validation error detected: Value '" + scope +
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
    if (p.path.rfind(prefix, 0) != 0) continue;
    matching.push_back(&p);
  }
  auto page = page_of<IamPolicy>(matching, call, [](const IamPolicy& p) { return p.arn; });
  QueryReply reply("ListPolicies", kXmlns);
  write_paging(reply.result(), page.truncated, page.marker);
  auto list = reply.result().append_child("Policies");
  for (const IamPolicy* p : page.items) write_policy(list.append_child("member"), *p, false);
  return reply.finish(call.request_id);
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
  auto page = page_of<IamPolicy>(attached, call, [](const IamPolicy& p) { return p.arn; });
  QueryReply reply("ListAttachedRolePolicies", kXmlns);
  write_paging(reply.result(), page.truncated, page.marker);
  auto list = reply.result().append_child("AttachedPolicies");
  for (const IamPolicy* p : page.items) {
    auto m = list.append_child("member");
    XmlReply::add(m, "PolicyName", p->name);
    XmlReply::add(m, "PolicyArn", p->arn);
  }
  return reply.finish(call.request_id);
}

// ---- instance profiles ----------------------------------------------------------

AwsReply IamService::create_instance_profile(const AwsCall& call, IamAccount& acct) {
  std::string name = required(call, "InstanceProfileName", "instanceProfileName");
  check_name(name, "instanceProfileName", 128);
  std::string path = path_param(call);
  Pairs tags = tags_param(call);
  if (acct.profiles.count(lower(name)))
    throw ApiError(409, "EntityAlreadyExists", "Instance Profile " + name + " already exists.");
  IamInstanceProfile p;
  p.name = name;
  p.path = path;
  p.arn = "arn:aws:iam::" + call.account_id + ":instance-profile" + path + name;
  p.id = iam_unique_id("AIPA");
  p.tags = tags;
  p.created = core::now();
  const IamInstanceProfile& stored = acct.profiles.emplace(lower(name), p).first->second;
  QueryReply reply("CreateInstanceProfile", kXmlns);
  write_profile(reply.result().append_child("InstanceProfile"), stored, acct);
  return reply.finish(call.request_id);
}

AwsReply IamService::get_instance_profile(const AwsCall& call, IamAccount& acct) {
  const auto& p = find_profile(acct, required(call, "InstanceProfileName", "instanceProfileName"));
  QueryReply reply("GetInstanceProfile", kXmlns);
  write_profile(reply.result().append_child("InstanceProfile"), p, acct);
  return reply.finish(call.request_id);
}

AwsReply IamService::delete_instance_profile(const AwsCall& call, IamAccount& acct) {
  std::string name = required(call, "InstanceProfileName", "instanceProfileName");
  auto& p = find_profile(acct, name);
  if (!p.roles.empty())
    throw ApiError(409, "DeleteConflict", "Cannot delete entity, must remove roles from instance profile first.");
  acct.profiles.erase(lower(name));
  return QueryReply("DeleteInstanceProfile", kXmlns, false).finish(call.request_id);
}

AwsReply IamService::add_role_to_instance_profile(const AwsCall& call, IamAccount& acct) {
  std::string profile_name = required(call, "InstanceProfileName", "instanceProfileName");
  std::string role_name = required(call, "RoleName", "roleName");
  auto& p = find_profile(acct, profile_name);
  const IamRole& r = find_role(acct, role_name);
  if (!p.roles.empty())
    throw ApiError(409, "LimitExceeded", "Cannot exceed quota for InstanceSessionsPerInstanceProfile: 1");
  p.roles.push_back(r.name);
  return QueryReply("AddRoleToInstanceProfile", kXmlns, false).finish(call.request_id);
}

AwsReply IamService::remove_role_from_instance_profile(const AwsCall& call, IamAccount& acct) {
  std::string profile_name = required(call, "InstanceProfileName", "instanceProfileName");
  std::string role_name = required(call, "RoleName", "roleName");
  auto& p = find_profile(acct, profile_name);
  find_role(acct, role_name);
  auto pos = std::find_if(p.roles.begin(), p.roles.end(),
                          [&](const std::string& n) { return lower(n) == lower(role_name); });
  if (pos == p.roles.end())
    throw ApiError(404, "NoSuchEntity",
                   "The role with name " + role_name + " cannot be found in instance profile " + profile_name + ".");
  p.roles.erase(pos);
  return QueryReply("RemoveRoleFromInstanceProfile", kXmlns, false).finish(call.request_id);
}

AwsReply IamService::list_instance_profiles_for_role(const AwsCall& call, IamAccount& acct) {
  std::string role_name = required(call, "RoleName", "roleName");
  find_role(acct, role_name);
  std::vector<const IamInstanceProfile*> holding;
  for (const auto& [key, p] : acct.profiles)
    for (const auto& member : p.roles)
      if (lower(member) == lower(role_name)) holding.push_back(&p);
  auto page = page_of<IamInstanceProfile>(holding, call, [](const IamInstanceProfile& p) { return lower(p.name); });
  QueryReply reply("ListInstanceProfilesForRole", kXmlns);
  write_paging(reply.result(), page.truncated, page.marker);
  auto list = reply.result().append_child("InstanceProfiles");
  for (const auto* p : page.items) write_profile(list.append_child("member"), *p, acct);
  return reply.finish(call.request_id);
}

// ---- scenario, state -----------------------------------------------------------

std::optional<Clock::time_point> IamService::instance_profile_created(const std::string& account_id,
                                                                      const std::string& name) const {
  std::lock_guard lock(mutex_);
  auto acct = accounts_.find(account_id);
  if (acct == accounts_.end()) return std::nullopt;
  auto it = acct->second.profiles.find(lower(name));
  if (it == acct->second.profiles.end()) return std::nullopt;
  return it->second.created;
}

void IamService::load(const Json& scenario, World& world) {
  std::lock_guard lock(mutex_);
  accounts_.clear();
  aws_policies_.clear();
  const Json iam = scenario.contains("iam") ? scenario["iam"] : Json::object();
  if (iam.contains("aws_managed_policies")) {
    for (const auto& p : iam["aws_managed_policies"])
      aws_policies_.emplace_back(p.value("name", ""), p.value("path", "/"));
  } else {
    aws_policies_ = {{"AmazonS3ReadOnlyAccess", "/"},
                     {"AmazonSSMManagedInstanceCore", "/"},
                     {"AmazonEC2RoleforSSM", "/service-role/"}};
  }
  load_account_objects(iam, scenario.value("account_id", "123456789012"));
  world.profiles = this;
}

void IamService::load_account_objects(const Json& iam, const std::string& default_account) {
  // Objects of the scenario predate the run unless they say otherwise.
  const Clock::time_point old = core::now() - std::chrono::hours(24);
  for (const auto& e : iam.value("policies", Json::array())) {
    IamAccount& acct = account(e.value("account_id", default_account));
    IamPolicy p;
    p.name = e.at("name").get<std::string>();
    p.path = e.value("path", "/");
    p.arn = "arn:aws:iam::" + e.value("account_id", default_account) + ":policy" + p.path + p.name;
    p.id = iam_unique_id("ANPA");
    p.document = document_text(e.contains("document") ? e["document"] : Json());
    p.description = e.value("description", "");
    p.tags = tags_json(e.value("tags", Json::array()));
    p.created = p.updated = scenario_time(e, "created", old);
    acct.policies[p.arn] = p;
  }
  for (const auto& e : iam.value("roles", Json::array())) {
    std::string account_id = e.value("account_id", default_account);
    IamAccount& acct = account(account_id);
    IamRole r;
    r.name = e.at("name").get<std::string>();
    r.path = e.value("path", "/");
    r.arn = "arn:aws:iam::" + account_id + ":role" + r.path + r.name;
    r.id = iam_unique_id("AROA");
    r.trust_document = document_text(e.contains("assume_role_policy") ? e["assume_role_policy"] : Json());
    r.description = e.value("description", "");
    r.max_session_duration = e.value("max_session_duration", 3600);
    r.tags = tags_json(e.value("tags", Json::array()));
    r.created = scenario_time(e, "created", old);
    for (const auto& ref : e.value("attached_policies", Json::array())) {
      std::string arn = ref.get<std::string>();
      if (arn.rfind("arn:", 0) != 0) arn = "arn:aws:iam::" + account_id + ":policy/" + arn;
      auto it = acct.policies.find(arn);
      if (it == acct.policies.end()) throw std::invalid_argument("iam: role " + r.name + " names unknown policy " + arn);
      r.attached.push_back(arn);
      ++it->second.attachment_count;
    }
    acct.roles[lower(r.name)] = r;
  }
  for (const auto& e : iam.value("instance_profiles", Json::array())) {
    std::string account_id = e.value("account_id", default_account);
    IamAccount& acct = account(account_id);
    IamInstanceProfile p;
    p.name = e.at("name").get<std::string>();
    p.path = e.value("path", "/");
    p.arn = "arn:aws:iam::" + account_id + ":instance-profile" + p.path + p.name;
    p.id = iam_unique_id("AIPA");
    p.tags = tags_json(e.value("tags", Json::array()));
    p.created = scenario_time(e, "created", old);
    if (e.contains("created_seconds_ago"))
      p.created = core::now() - std::chrono::seconds(e["created_seconds_ago"].get<long long>());
    for (const auto& role : e.value("roles", Json::array())) {
      std::string role_name = role.get<std::string>();
      if (!acct.roles.count(lower(role_name)))
        throw std::invalid_argument("iam: instance profile " + p.name + " names unknown role " + role_name);
      p.roles.push_back(acct.roles[lower(role_name)].name);
    }
    if (p.roles.size() > 1) throw std::invalid_argument("iam: instance profile " + p.name + " holds more than one role");
    acct.profiles[lower(p.name)] = p;
  }
}

Json IamService::dump() const {
  std::lock_guard lock(mutex_);
  Json out = Json::object();
  for (const auto& [account_id, acct] : accounts_) {
    Json a = {{"policies", Json::array()}, {"roles", Json::array()}, {"instance_profiles", Json::array()}};
    for (const auto& [arn, p] : acct.policies) {
      if (p.aws_managed && p.attachment_count == 0) continue;
      a["policies"].push_back({{"name", p.name},
                               {"arn", p.arn},
                               {"path", p.path},
                               {"attachment_count", p.attachment_count},
                               {"document", p.document},
                               {"created", iso8601(p.created)}});
    }
    for (const auto& [key, r] : acct.roles) {
      Json tags = Json::array();
      for (const auto& [k, v] : r.tags) tags.push_back({{"Key", k}, {"Value", v}});
      a["roles"].push_back({{"name", r.name},
                            {"arn", r.arn},
                            {"assume_role_policy", r.trust_document},
                            {"attached_policies", r.attached},
                            {"tags", tags},
                            {"created", iso8601(r.created)}});
    }
    for (const auto& [key, p] : acct.profiles)
      a["instance_profiles"].push_back(
          {{"name", p.name}, {"arn", p.arn}, {"roles", p.roles}, {"created", iso8601(p.created)}});
    out[account_id] = a;
  }
  return Json{{"accounts", out}};
}

std::unique_ptr<Service> make_iam_service() { return std::make_unique<IamService>(); }

}  // namespace qvn::sandbox
