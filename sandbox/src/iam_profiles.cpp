// The IAM service's instance profiles and the role each one holds.
#include <algorithm>

#include "core/clock.hpp"
#include "iam.hpp"
#include "iam_wire.hpp"

namespace qvn::sandbox {

using namespace iam_wire;

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
  auto pos =
      std::find_if(p.roles.begin(), p.roles.end(), [&](const std::string& n) { return lower(n) == lower(role_name); });
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
  return paged_list_reply<IamInstanceProfile>(
      "ListInstanceProfilesForRole", "InstanceProfiles", holding, call,
      [](const IamInstanceProfile& p) { return lower(p.name); },
      [&acct](pugi::xml_node member, const IamInstanceProfile& p) { write_profile(member, p, acct); });
}

}  // namespace qvn::sandbox
