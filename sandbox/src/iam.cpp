// The IAM service's front: the operation table, the accounts (each with
// AWS's managed policies), scenario loading and the state dump. The
// operations live in iam_policies.cpp and iam_profiles.cpp.
#include "iam.hpp"

#include "core/clock.hpp"
#include "iam_wire.hpp"
#include "modules.hpp"

namespace qvn::sandbox {

using namespace iam_wire;

namespace {

Pairs tags_json(const Json& j) {
  Pairs tags;
  if (j.is_array())
    for (const auto& t : j) tags.emplace_back(t.value("Key", ""), t.value("Value", ""));
  else if (j.is_object())
    for (const auto& [k, v] : j.items()) tags.emplace_back(k, v.is_string() ? v.get<std::string>() : v.dump());
  return tags;
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
      if (!arn.starts_with("arn:")) arn = "arn:aws:iam::" + account_id + ":policy/" + arn;
      auto it = acct.policies.find(arn);
      if (it == acct.policies.end())
        throw std::invalid_argument("iam: role " + r.name + " names unknown policy " + arn);
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
    if (p.roles.size() > 1)
      throw std::invalid_argument("iam: instance profile " + p.name + " holds more than one role");
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
