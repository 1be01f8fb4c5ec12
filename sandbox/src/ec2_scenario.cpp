// The EC2 part of a scenario: loading it and dumping the state for the
// control API.
#include <algorithm>
#include <stdexcept>

#include "core/clock.hpp"
#include "ec2_keys.hpp"
#include "ec2_service.hpp"

namespace qvn::sandbox {

using namespace ec2;

namespace {

std::runtime_error bad_scenario(const std::string& where, const std::string& what) {
  return std::runtime_error("scenario: " + where + ": " + what);
}

std::string text(const Json& j, const char* key, const std::string& where, bool needed = true) {
  if (!j.contains(key) || j[key].is_null()) {
    if (needed) throw bad_scenario(where, std::string("missing \"") + key + "\"");
    return {};
  }
  if (!j[key].is_string()) throw bad_scenario(where, std::string("\"") + key + "\" must be text");
  return j[key].get<std::string>();
}

Tags tags_of(const Json& j) {
  Tags out;
  if (j.contains("tags") && j["tags"].is_object())
    for (const auto& [k, v] : j["tags"].items()) out.emplace_back(k, v.get<std::string>());
  return out;
}

Json tags_json(const Tags& tags) {
  Json out = Json::object();
  for (const auto& [k, v] : tags) out[k] = v;
  return out;
}

double number(const Json& j, const char* key, double fallback) {
  if (!j.is_object() || !j.contains(key)) return fallback;
  if (!j[key].is_number()) throw bad_scenario("timings", std::string("\"") + key + "\" must be a number");
  return j[key].get<double>();
}

}  // namespace

void Ec2Service::load(const Json& scenario, World& world) {
  std::lock_guard lock(mutex_);
  world_ = &world;
  regions_.clear();
  images_.clear();
  public_ip_counter_ = 0;
  const Json timings = scenario.value("timings", Json::object());
  timings_ = Timings{};
  timings_.instance_pending = number(timings, "instance_pending_seconds", timings_.instance_pending);
  timings_.status_initializing = number(timings, "status_initializing_seconds", timings_.status_initializing);
  timings_.instance_shutting_down = number(timings, "instance_shutting_down_seconds", timings_.instance_shutting_down);
  timings_.terminated_visible = number(timings, "terminated_instance_visible_seconds", timings_.terminated_visible);
  timings_.instance_profile_propagation =
      number(timings, "instance_profile_propagation_seconds", timings_.instance_profile_propagation);

  const std::string account = scenario.value("account_id", std::string("123456789012"));
  const std::string region = scenario.value("region", std::string("us-east-1"));
  const Json ec2 = scenario.value("ec2", Json::object());
  auto& images = images_[region];
  int n = 0;
  for (const auto& j : ec2.value("images", Json::array())) {
    const std::string where = "ec2.images[" + std::to_string(n++) + "]";
    Image im;
    im.id = text(j, "id", where);
    im.name = text(j, "name", where);
    im.owner_id = text(j, "owner_id", where);
    im.owner_alias = text(j, "owner_alias", where, false);
    im.is_public = j.value("public", true);
    im.state = j.value("state", std::string("available"));
    im.architecture = j.value("architecture", std::string("x86_64"));
    im.description = j.value("description", std::string());
    im.creation_date = j.value("creation_date", std::string("2024-01-08T19:24:50.000Z"));
    if (j.contains("deprecation_time")) {
      im.deprecation_time = parse_iso_time(text(j, "deprecation_time", where));
      if (!im.deprecation_time) throw bad_scenario(where, "bad deprecation_time");
    }
    im.root_snapshot_id = j.value("root_snapshot_id", ids_.make("snap"));
    im.root_volume_size = j.value("root_volume_size", 8);
    if (im.root_volume_size < 1) throw bad_scenario(where, "root_volume_size is at least 1");
    images.push_back(std::move(im));
  }
  load_offerings(ec2, region_state(account, region));
  load_region(ec2, region_state(account, region));
}

namespace {

// Calls fn(item, "ec2.<member>[i]") for each item of the list ec2.<member>.
template <class Fn>
void each(const Json& ec2, const char* member, Fn&& fn) {
  int i = 0;
  for (const auto& j : ec2.value(member, Json::array()))
    fn(j, std::string("ec2.") + member + "[" + std::to_string(i++) + "]");
}

const Subnet& need_subnet(const RegionState& st, const std::string& id, const std::string& where) {
  for (const auto& s : st.subnets)
    if (s.id == id) return s;
  throw bad_scenario(where, "unknown subnet " + id);
}

Route load_route(const Json& rj, const RegionState& st, const std::string& where) {
  Route route;
  route.destination = text(rj, "destination", where);
  route.gateway_id = rj.value("gateway", std::string());
  route.nat_gateway_id = rj.value("nat_gateway", std::string());
  route.network_interface_id = rj.value("network_interface", std::string());
  route.instance_id = rj.value("instance", std::string());
  if (!route.network_interface_id.empty() && route.instance_id.empty()) {
    for (const auto& e : st.interfaces)
      if (e.id == route.network_interface_id) route.instance_id = e.instance_id;
  }
  if (route.gateway_id.empty() && route.nat_gateway_id.empty() && route.network_interface_id.empty() &&
      route.instance_id.empty())
    throw bad_scenario(where, "a route needs a target");
  return route;
}

}  // namespace

// Each list in the order in which its items may name those of the lists
// before it; every VPC ends with a main route table.
void Ec2Service::load_region(const Json& ec2, RegionState& st) {
  const TimePoint now = core::now();
  each(ec2, "vpcs", [&](const Json& j, const std::string& where) { load_vpc(j, where, st); });
  each(ec2, "subnets", [&](const Json& j, const std::string& where) { load_subnet(j, where, st); });
  each(ec2, "security_groups", [&](const Json& j, const std::string& where) { load_security_group(j, where, st); });
  each(ec2, "network_interfaces", [&](const Json& j, const std::string& where) { load_interface(j, where, st); });
  each(ec2, "nat_gateways", [&](const Json& j, const std::string& where) { load_nat_gateway(j, where, st, now); });
  each(ec2, "instances", [&](const Json& j, const std::string& where) { load_instance(j, where, st, now); });
  each(ec2, "route_tables", [&](const Json& j, const std::string& where) { load_route_table(j, where, st); });
  // A subnet's stated available count already leaves out the scenario's own interfaces.
  for (auto& s : st.subnets) {
    const auto used = std::count_if(st.interfaces.begin(), st.interfaces.end(),
                                    [&](const NetworkInterface& e) { return e.subnet_id == s.id; });
    s.hidden_in_use = std::max(0, s.hidden_in_use - static_cast<int>(used));
  }
  add_missing_main_route_tables(st);
  each(ec2, "key_pairs", [&](const Json& j, const std::string& where) { load_key_pair(j, where, st, now); });
}

// A VPC with its default security group, which admits its own members.
void Ec2Service::load_vpc(const Json& j, const std::string& where, RegionState& st) {
  Vpc v;
  v.id = j.value("id", ids_.make("vpc"));
  v.cidr = text(j, "cidr", where);
  if (!parse_cidr(v.cidr)) throw bad_scenario(where, "bad cidr " + v.cidr);
  v.is_default = j.value("default", false);
  v.tags = tags_of(j);
  SecurityGroup& g = add_group(st, v.id, "default", "default VPC security group", {});
  if (j.contains("default_security_group_id")) g.id = text(j, "default_security_group_id", where);
  Permission self;
  self.protocol = "-1";
  self.group_ids.push_back(g.id);
  self.rule_id = ids_.make("sgr");
  g.ingress.push_back(self);
  v.default_group_id = g.id;
  st.vpcs.push_back(std::move(v));
}

void Ec2Service::load_subnet(const Json& j, const std::string& where, RegionState& st) {
  Subnet s;
  s.id = j.value("id", ids_.make("subnet"));
  s.vpc_id = text(j, "vpc", where);
  if (!find_vpc(st, s.vpc_id)) throw bad_scenario(where, "unknown vpc " + s.vpc_id);
  s.az = text(j, "az", where);
  s.az_id = j.contains("az_id") ? text(j, "az_id", where) : zone_id_of(s.az);
  s.cidr = text(j, "cidr", where);
  if (!parse_cidr(s.cidr)) throw bad_scenario(where, "bad cidr " + s.cidr);
  s.map_public_ip_on_launch = j.value("map_public_ip_on_launch", false);
  s.default_for_az = j.value("default_for_az", false);
  if (j.contains("available_ip_address_count")) {
    const int capacity = static_cast<int>(parse_cidr(s.cidr)->size()) - 5;
    if (!j["available_ip_address_count"].is_number_integer()) throw bad_scenario(where, "bad available_ip_address_count");
    const int available = j["available_ip_address_count"].get<int>();
    if (available < 0 || available > capacity)
      throw bad_scenario(where, "available_ip_address_count is 0 to " + std::to_string(capacity) + " for " + s.cidr);
    s.hidden_in_use = capacity - available;
  }
  s.tags = tags_of(j);
  st.subnets.push_back(std::move(s));
}

void Ec2Service::load_security_group(const Json& j, const std::string& where, RegionState& st) {
  const std::string vpc = text(j, "vpc", where);
  if (!find_vpc(st, vpc)) throw bad_scenario(where, "unknown vpc " + vpc);
  SecurityGroup& g = add_group(st, vpc, text(j, "name", where), j.value("description", std::string("")), tags_of(j));
  if (j.contains("id")) g.id = text(j, "id", where);
  for (const auto& p : j.value("ingress", Json::array())) {
    Permission perm;
    perm.protocol = p.value("protocol", std::string("-1"));
    if (p.contains("from_port")) perm.from_port = p["from_port"].get<int>();
    if (p.contains("to_port")) perm.to_port = p["to_port"].get<int>();
    for (const auto& c : p.value("cidrs", Json::array())) perm.ranges.push_back({c.get<std::string>(), ""});
    perm.rule_id = ids_.make("sgr");
    g.ingress.push_back(perm);
  }
}

// An interface of its own, or one that an instance of the scenario describes
// in place; without "groups" it is in its VPC's default group.
NetworkInterface& Ec2Service::load_interface(const Json& j, const std::string& where, RegionState& st) {
  const Subnet& s = need_subnet(st, text(j, "subnet", where), where);
  const std::string ip = j.value("private_ip", std::string());
  if (!ip.empty()) {
    auto a = parse_ipv4(ip);
    auto net = parse_cidr(s.cidr);
    if (!a || !net->contains(*a)) throw bad_scenario(where, ip + " is not in " + s.cidr);
  }
  NetworkInterface& e = add_interface(st, s, ip);
  if (j.contains("id")) e.id = text(j, "id", where);
  e.description = j.value("description", std::string());
  if (j.contains("groups")) {
    e.group_ids = j["groups"].get<std::vector<std::string>>();
  } else {
    const Vpc* v = find_vpc(st, s.vpc_id);
    e.group_ids = v ? std::vector<std::string>{v->default_group_id} : std::vector<std::string>{};
  }
  e.tags = tags_of(j);
  e.delete_on_termination = j.value("delete_on_termination", false);
  if (j.contains("public_ip")) e.association = PublicAssociation{text(j, "public_ip", where), "", "", "amazon"};
  return e;
}

void Ec2Service::load_nat_gateway(const Json& j, const std::string& where, RegionState& st, TimePoint now) {
  NatGateway n;
  n.id = j.value("id", ids_.make("nat"));
  const Subnet& s = need_subnet(st, text(j, "subnet", where), where);
  n.subnet_id = s.id;
  n.vpc_id = s.vpc_id;
  n.connectivity = j.value("connectivity", std::string("public"));
  if (n.connectivity != "public" && n.connectivity != "private")
    throw bad_scenario(where, "connectivity is public or private");
  n.state = j.value("state", std::string("available"));
  n.create_time = now - std::chrono::hours(24);
  n.tags = tags_of(j);
  if (n.state != "deleted" && n.state != "failed") {
    add_nat_interface(j, where, st, s, n);
  } else {
    n.private_ip = j.value("private_ip", std::string());
    n.public_ip = j.value("public_ip", std::string());
    if (n.state == "deleted") {
      // A deleted gateway's interface and address are gone, but EC2 still
      // names them in its description.
      n.network_interface_id = j.value("network_interface_id", ids_.make("eni"));
      if (n.connectivity == "public") n.allocation_id = j.value("allocation_id", ids_.make("eipalloc"));
    }
  }
  st.nat_gateways.push_back(std::move(n));
}

// A live gateway's requester-managed interface and, when public, its
// Elastic IP.
void Ec2Service::add_nat_interface(const Json& j, const std::string& where, RegionState& st, const Subnet& s,
                                   NatGateway& n) {
  NetworkInterface& e = add_interface(st, s, j.value("private_ip", std::string()));
  e.interface_type = "nat_gateway";
  e.requester_managed = true;
  e.description = "Interface for NAT Gateway " + n.id;
  e.group_ids.clear();
  n.network_interface_id = e.id;
  n.private_ip = e.private_ip;
  if (n.connectivity != "public") return;
  n.public_ip = j.contains("public_ip") ? text(j, "public_ip", where) : next_public_ip();
  n.allocation_id = j.value("allocation_id", ids_.make("eipalloc"));
  Address a;
  a.allocation_id = n.allocation_id;
  a.public_ip = n.public_ip;
  a.network_interface_id = e.id;
  a.association_id = ids_.make("eipassoc");
  a.private_ip = e.private_ip;
  e.association = PublicAssociation{a.public_ip, a.allocation_id, a.association_id, st.account_id};
  st.addresses.push_back(a);
}

// An instance in a fixed state, attached to its interfaces in order (the
// first decides its subnet, VPC and zone).
void Ec2Service::load_instance(const Json& j, const std::string& where, RegionState& st, TimePoint now) {
  Instance in;
  in.id = j.value("id", ids_.make("i"));
  in.root_volume_id = j.value("root_volume_id", ids_.make("vol"));
  in.reservation_id = j.value("reservation_id", ids_.make("r"));
  in.image_id = j.value("image", std::string("ami-0005e0cfe09cc9050"));
  in.instance_type = j.value("type", std::string("t3.small"));
  in.key_name = j.value("key_name", std::string());
  in.profile_arn = j.value("instance_profile", std::string());
  in.tags = tags_of(j);
  in.launch_time = now - std::chrono::hours(24);
  const std::string state = j.value("state", std::string("running"));
  if (state != "running" && state != "stopped") throw bad_scenario(where, "state is running or stopped");
  in.fixed_state = state;
  int device = 0;
  for (const auto& ej : j.value("network_interfaces", Json::array())) {
    NetworkInterface& e =
        ej.is_string() ? scenario_interface(st, ej.get<std::string>(), where) : load_interface(ej, where, st);
    e.instance_id = in.id;
    e.attachment_id = ids_.make("eni-attach");
    e.device_index = device++;
    in.interface_ids.push_back(e.id);
    if (device == 1) {
      const Subnet& s = need_subnet(st, e.subnet_id, where);
      in.subnet_id = s.id;
      in.vpc_id = s.vpc_id;
      in.az = s.az;
      in.private_ip = e.private_ip;
    }
  }
  if (in.interface_ids.empty()) throw bad_scenario(where, "an instance needs an interface");
  st.instances.push_back(std::move(in));
}

// An interface that an earlier list of the scenario made (the last of that id).
NetworkInterface& Ec2Service::scenario_interface(RegionState& st, const std::string& id, const std::string& where) {
  NetworkInterface* found = nullptr;
  for (auto& cand : st.interfaces)
    if (cand.id == id) found = &cand;
  if (!found) throw bad_scenario(where, "unknown network interface " + id);
  return *found;
}

void Ec2Service::load_route_table(const Json& j, const std::string& where, RegionState& st) {
  RouteTable t;
  t.id = j.value("id", ids_.make("rtb"));
  t.vpc_id = text(j, "vpc", where);
  if (!find_vpc(st, t.vpc_id)) throw bad_scenario(where, "unknown vpc " + t.vpc_id);
  t.tags = tags_of(j);
  if (j.value("main", false)) t.associations.push_back({ids_.make("rtbassoc"), "", true});
  for (const auto& sj : j.value("subnets", Json::array())) {
    const Subnet& s = need_subnet(st, sj.get<std::string>(), where);
    t.associations.push_back({ids_.make("rtbassoc"), s.id, false});
  }
  for (const auto& rj : j.value("routes", Json::array())) t.routes.push_back(load_route(rj, st, where));
  st.route_tables.push_back(std::move(t));
}

void Ec2Service::add_missing_main_route_tables(RegionState& st) {
  for (const auto& v : st.vpcs) {
    bool has_main = false;
    for (const auto& t : st.route_tables)
      for (const auto& a : t.associations) has_main = has_main || (t.vpc_id == v.id && a.main);
    if (!has_main) add_main_route_table(st, v);
  }
}

void Ec2Service::load_key_pair(const Json& j, const std::string& where, RegionState& st, TimePoint now) {
  KeyPair k;
  k.name = text(j, "name", where);
  k.id = j.value("id", ids_.make("key"));
  k.type = j.value("type", std::string("rsa"));
  const KeyMaterial m = make_key_material(k.type);
  k.fingerprint = m.fingerprint;
  k.public_key = m.public_key + " " + k.name;
  k.create_time = now - std::chrono::hours(24);
  k.tags = tags_of(j);
  st.key_pairs.push_back(std::move(k));
}

Json Ec2Service::dump() const {
  std::lock_guard lock(mutex_);
  const TimePoint now = core::now();
  Json out = Json::object();
  for (const auto& [key, st] : regions_) {
    Json r = Json::object();
    r["account_id"] = st.account_id;
    r["region"] = st.region;
    r["vpcs"] = Json::array();
    for (const auto& v : st.vpcs) r["vpcs"].push_back({{"id", v.id}, {"cidr", v.cidr}, {"tags", tags_json(v.tags)}});
    r["subnets"] = Json::array();
    for (const auto& s : st.subnets)
      r["subnets"].push_back({{"id", s.id},
                              {"vpc", s.vpc_id},
                              {"az", s.az},
                              {"az_id", s.az_id},
                              {"cidr", s.cidr},
                              {"tags", tags_json(s.tags)}});
    r["route_tables"] = Json::array();
    for (const auto& t : st.route_tables) {
      Json routes = Json::array();
      for (const auto& rt : t.routes)
        routes.push_back({{"destination", rt.destination},
                          {"target", !rt.nat_gateway_id.empty()         ? rt.nat_gateway_id
                                     : !rt.network_interface_id.empty() ? rt.network_interface_id
                                     : !rt.instance_id.empty()          ? rt.instance_id
                                                                        : rt.gateway_id}});
      Json assocs = Json::array();
      for (const auto& a : t.associations) assocs.push_back(a.main ? std::string("main") : a.subnet_id);
      r["route_tables"].push_back({{"id", t.id}, {"vpc", t.vpc_id}, {"routes", routes}, {"associations", assocs}});
    }
    r["nat_gateways"] = Json::array();
    for (const auto& n : st.nat_gateways)
      r["nat_gateways"].push_back({{"id", n.id},
                                   {"subnet", n.subnet_id},
                                   {"state", n.state},
                                   {"connectivity", n.connectivity},
                                   {"public_ip", n.public_ip},
                                   {"private_ip", n.private_ip}});
    r["network_interfaces"] = Json::array();
    for (const auto& e : st.interfaces)
      r["network_interfaces"].push_back({{"id", e.id},
                                         {"subnet", e.subnet_id},
                                         {"private_ip", e.private_ip},
                                         {"public_ip", e.association ? e.association->public_ip : ""},
                                         {"instance", e.instance_id},
                                         {"groups", e.group_ids}});
    r["instances"] = Json::array();
    for (const auto& in : st.instances)
      r["instances"].push_back({{"id", in.id},
                                {"state", instance_state(in, now)},
                                {"status", status_check(in, now)},
                                {"type", in.instance_type},
                                {"image", in.image_id},
                                {"subnet", in.subnet_id},
                                {"key_name", in.key_name},
                                {"instance_profile", in.profile_arn},
                                {"network_interfaces", in.interface_ids},
                                {"public_ip", public_ip_of(st, in, now)},
                                {"tags", tags_json(in.tags)}});
    r["key_pairs"] = Json::array();
    for (const auto& k : st.key_pairs)
      r["key_pairs"].push_back({{"id", k.id}, {"name", k.name}, {"tags", tags_json(k.tags)}});
    r["security_groups"] = Json::array();
    for (const auto& g : st.groups) {
      Json rules = Json::array();
      for (const auto& p : g.ingress) {
        Json cidrs = Json::array();
        for (const auto& range : p.ranges) cidrs.push_back(range.cidr);
        rules.push_back({{"protocol", p.protocol},
                         {"from_port", p.from_port ? Json(*p.from_port) : Json()},
                         {"to_port", p.to_port ? Json(*p.to_port) : Json()},
                         {"cidrs", cidrs}});
      }
      r["security_groups"].push_back(
          {{"id", g.id}, {"name", g.name}, {"vpc", g.vpc_id}, {"ingress", rules}, {"tags", tags_json(g.tags)}});
    }
    r["addresses"] = Json::array();
    for (const auto& a : st.addresses)
      r["addresses"].push_back({{"allocation_id", a.allocation_id},
                                {"public_ip", a.public_ip},
                                {"network_interface", a.network_interface_id},
                                {"tags", tags_json(a.tags)}});
    out[key] = r;
  }
  return out;
}

}  // namespace qvn::sandbox
