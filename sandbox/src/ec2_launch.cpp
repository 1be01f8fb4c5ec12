// RunInstances: every parameter checked before anything is made, then as
// many instances as the subnets have addresses for.
#include <algorithm>
#include <tuple>

#include "ec2_service.hpp"

namespace qvn::sandbox {

using namespace ec2;

// One interface a RunInstances call asks for (named: the launch plan, a
// member type of the service, holds them).
struct InterfaceRequest {
  int device_index = 0;
  std::string subnet_id;
  std::vector<std::string> group_ids;
  std::optional<bool> public_ip;
  std::string private_ip;
  bool delete_on_termination = true;
};

namespace {

// Everything but the token decides whether a repeated token is the same request.
std::string fingerprint(const AwsCall& call) {
  std::vector<std::string> parts;
  for (const auto& [k, v] : call.form)
    if (k != "ClientToken" && k != "Action" && k != "Version" && k != "DryRun") parts.push_back(k + "=" + v);
  std::sort(parts.begin(), parts.end());
  std::string out;
  for (const auto& p : parts) out += p + "&";
  return out;
}

std::pair<int, int> checked_counts(const AwsCall& call) {
  const int min_count = int_param(call, "MinCount").value_or(0);
  const int max_count = int_param(call, "MaxCount").value_or(0);
  if (!call.has_param("MinCount")) required(call, "MinCount");
  if (!call.has_param("MaxCount")) required(call, "MaxCount");
  if (min_count < 1 || max_count < min_count)
    throw bad_request("InvalidParameterValue", "Invalid value '" + std::to_string(min_count) + "' for MinCount.");
  return {min_count, max_count};
}

std::string checked_key_name(const AwsCall& call, const RegionState& st) {
  const std::string key_name = call.param("KeyName");
  if (!key_name.empty() &&
      std::none_of(st.key_pairs.begin(), st.key_pairs.end(), [&](const KeyPair& k) { return k.name == key_name; }))
    throw bad_request("InvalidKeyPair.NotFound", "The key pair '" + key_name + "' does not exist");
  return key_name;
}

// NetworkInterface.N.*, in the order of their device indexes.
std::vector<InterfaceRequest> listed_interfaces(const AwsCall& call) {
  std::vector<InterfaceRequest> wanted;
  for (int n : indexes(call, "NetworkInterface")) {
    const std::string base = "NetworkInterface." + std::to_string(n);
    InterfaceRequest w;
    w.device_index = int_param(call, base + ".DeviceIndex").value_or(n - 1);
    w.subnet_id = call.param(base + ".SubnetId");
    w.group_ids = list_param(call, base + ".SecurityGroupId");
    w.public_ip = bool_param(call, base + ".AssociatePublicIpAddress");
    w.private_ip = call.param(base + ".PrivateIpAddress");
    w.delete_on_termination = bool_param(call, base + ".DeleteOnTermination").value_or(true);
    if (call.has_param(base + ".NetworkInterfaceId"))
      throw bad_request("UnsupportedOperation",
                        "Attaching existing network interfaces at launch is not supported here");
    if (w.subnet_id.empty())
      throw bad_request("MissingParameter", "The request must contain the parameter " + base + ".SubnetId");
    wanted.push_back(std::move(w));
  }
  return wanted;
}

// The one interface of the instance-level SubnetId (or of a default subnet).
InterfaceRequest instance_level_interface(const AwsCall& call, const RegionState& st) {
  InterfaceRequest w;
  w.subnet_id = call.param("SubnetId");
  w.group_ids = list_param(call, "SecurityGroupId");
  w.private_ip = call.param("PrivateIpAddress");
  if (w.subnet_id.empty()) {
    for (const auto& s : st.subnets)
      if (s.default_for_az && w.subnet_id.empty()) w.subnet_id = s.id;
    if (w.subnet_id.empty()) throw bad_request("VPCIdNotSpecified", "No default VPC for this user");
  }
  return w;
}

void check_device_indexes(const std::vector<InterfaceRequest>& wanted) {
  if (wanted.front().device_index != 0)
    throw bad_request("InvalidParameterValue",
                      "When specifying network interfaces, you must include a device at index 0.");
  for (size_t i = 1; i < wanted.size(); ++i)
    if (wanted[i].device_index == wanted[i - 1].device_index)
      throw bad_request("InvalidParameterValue", "Each network interface requires a unique device index.");
  if (wanted.size() > 1 &&
      std::any_of(wanted.begin(), wanted.end(), [](const auto& w) { return w.public_ip.value_or(false); }))
    throw bad_request("InvalidParameterCombination",
                      "The associatePublicIPAddress parameter cannot be specified when launching "
                      "with multiple network interfaces.");
}

// Network interfaces: NetworkInterface.N.*, or the instance-level SubnetId.
std::vector<InterfaceRequest> requested_interfaces(const AwsCall& call, const RegionState& st) {
  std::vector<InterfaceRequest> wanted = listed_interfaces(call);
  if (!wanted.empty() && (!list_param(call, "SecurityGroupId").empty() || call.has_param("SubnetId")))
    throw bad_request("InvalidParameterCombination",
                      "Network interfaces and an instance-level security groups may not be "
                      "specified on the same request");
  if (wanted.empty()) wanted.push_back(instance_level_interface(call, st));
  std::sort(wanted.begin(), wanted.end(), [](const auto& a, const auto& b) { return a.device_index < b.device_index; });
  check_device_indexes(wanted);
  return wanted;
}

void check_private_ip(const RegionState& st, const Subnet& s, const std::string& private_ip) {
  if (private_ip.empty()) return;
  auto ip = parse_ipv4(private_ip);
  auto net = parse_cidr(s.cidr);
  if (!ip || !net || !net->contains(*ip))
    throw bad_request("InvalidParameterValue",
                      "Address " + private_ip + " does not fall within the subnet's address range");
  for (const auto& e : st.interfaces)
    if (e.subnet_id == s.id && e.private_ip == private_ip)
      throw bad_request("InvalidIPAddress.InUse", "Address " + private_ip + " is in use.");
}

// IamInstanceProfile.Name, or the name at the end of IamInstanceProfile.Arn.
std::string requested_profile(const AwsCall& call) {
  std::string profile = call.param("IamInstanceProfile.Name");
  if (profile.empty() && call.has_param("IamInstanceProfile.Arn")) {
    const std::string arn = call.param("IamInstanceProfile.Arn");
    profile = arn.substr(arn.find_last_of('/') + 1);
  }
  return profile;
}

}  // namespace

// A RunInstances request once every parameter is checked.
struct Ec2Service::LaunchPlan {
  std::string token;
  std::string image_id;
  int min_count = 0;
  int max_count = 0;
  std::string type;
  std::string key_name;
  std::vector<InterfaceRequest> wanted;
  std::vector<const Subnet*> subnets;  // one per entry of `wanted`
  std::string profile;
  Tags instance_tags;
  Tags interface_tags;
};

void Ec2Service::run_instances(Request& r, Xml& x) {
  const std::string token = r.call.param("ClientToken");
  if (replay_launch(r, token, x)) return;
  const LaunchPlan plan = launch_plan(r, token);
  const std::string reservation_id = launch_instances(r, plan);
  if (!token.empty()) r.st.client_tokens[token] = {reservation_id, fingerprint(r.call)};
  write_reservation_body(r.st, reservation_id, r.now, x);
}

// A token whose reservation still has instances answers that reservation again.
bool Ec2Service::replay_launch(Request& r, const std::string& token, Xml& x) {
  if (token.empty()) return false;
  auto it = r.st.client_tokens.find(token);
  if (it == r.st.client_tokens.end() ||
      std::none_of(r.st.instances.begin(), r.st.instances.end(),
                   [&](const Instance& in) { return in.reservation_id == it->second.reservation_id; }))
    return false;
  if (it->second.request_fingerprint != fingerprint(r.call))
    throw bad_request("IdempotentParameterMismatch",
                      "Arguments on this idempotent request are inconsistent with arguments "
                      "used in previous request(s).");
  write_reservation_body(r.st, it->second.reservation_id, r.now, x);
  return true;
}

Ec2Service::LaunchPlan Ec2Service::launch_plan(Request& r, const std::string& token) {
  const AwsCall& call = r.call;
  LaunchPlan plan;
  plan.token = token;
  plan.image_id = required(call, "ImageId");
  if (!well_formed_image_id(plan.image_id))
    throw bad_request("InvalidAMIID.Malformed", "Invalid id: \"" + plan.image_id + "\" (expecting \"ami-...\")");
  if (!find_image(r.st, plan.image_id))
    throw bad_request("InvalidAMIID.NotFound", "The image id '[" + plan.image_id + "]' does not exist");
  std::tie(plan.min_count, plan.max_count) = checked_counts(call);
  plan.type = call.param("InstanceType");
  if (plan.type.empty()) plan.type = "m1.small";
  architectures_of(plan.type);  // an unknown type is refused before anything else of the launch
  plan.key_name = checked_key_name(call, r.st);
  plan.wanted = requested_interfaces(call, r.st);
  place_interfaces(r.st, plan);
  check_type_for_launch(r.st, plan.type, plan.subnets.front()->az, plan.image_id);
  plan.profile = requested_profile(call);
  if (!plan.profile.empty()) check_instance_profile(r.st.account_id, plan.profile, r.now);

  const std::set<std::string> taggable = {"instance", "network-interface", "volume"};
  plan.instance_tags = tag_specifications(call, "instance", taggable);
  plan.interface_tags = tag_specifications(call, "network-interface", taggable);
  return plan;
}

// The subnet of each interface, all in one zone and VPC, with the groups of
// that VPC (its default group when none is named) and a free address.
void Ec2Service::place_interfaces(RegionState& st, LaunchPlan& plan) {
  std::vector<const Subnet*>& subnets = plan.subnets;
  for (auto& w : plan.wanted) {
    const Subnet& s = find_subnet(st, w.subnet_id);
    if (!subnets.empty() && s.az != subnets.front()->az)
      throw bad_request("InvalidParameterCombination",
                        "The network interfaces of an instance must be in the same "
                        "availability zone");
    if (!subnets.empty() && s.vpc_id != subnets.front()->vpc_id)
      throw bad_request("InvalidParameterCombination", "The network interfaces of an instance must be in the same VPC");
    for (const auto& gid : w.group_ids) {
      const SecurityGroup& g = find_group(st, gid);
      if (g.vpc_id != s.vpc_id)
        throw bad_request("InvalidParameter",
                          "Security group " + gid + " and subnet " + s.id + " belong to different networks.");
    }
    if (w.group_ids.empty()) {
      const Vpc* vpc = find_vpc(st, s.vpc_id);
      if (vpc && !vpc->default_group_id.empty()) w.group_ids.push_back(vpc->default_group_id);
    }
    check_private_ip(st, s, w.private_ip);
    subnets.push_back(&s);
  }
}

// Launches as many as the subnets have addresses for, at least MinCount or
// none at all.
std::string Ec2Service::launch_instances(Request& r, const LaunchPlan& plan) {
  const std::string reservation_id = ids_.make("r");
  const size_t instances_before = r.st.instances.size();
  const size_t interfaces_before = r.st.interfaces.size();
  for (int i = 0; i < plan.max_count; ++i) {
    const size_t interfaces_of_this_one = r.st.interfaces.size();
    try {
      launch_instance(r, plan, reservation_id, i);
    } catch (const ApiError&) {
      r.st.interfaces.erase(r.st.interfaces.begin() + static_cast<long>(interfaces_of_this_one), r.st.interfaces.end());
      if (i >= plan.min_count) break;
      r.st.instances.erase(r.st.instances.begin() + static_cast<long>(instances_before), r.st.instances.end());
      r.st.interfaces.erase(r.st.interfaces.begin() + static_cast<long>(interfaces_before), r.st.interfaces.end());
      throw;
    }
  }
  return reservation_id;
}

// The `index`th instance of a reservation (only the first takes the asked
// private addresses).
void Ec2Service::launch_instance(Request& r, const LaunchPlan& plan, const std::string& reservation_id, int index) {
  const Subnet& primary = *plan.subnets.front();
  Instance in;
  in.id = ids_.make("i");
  in.root_volume_id = ids_.make("vol");
  in.reservation_id = reservation_id;
  in.image_id = plan.image_id;
  in.instance_type = plan.type;
  in.key_name = plan.key_name;
  if (!plan.profile.empty()) in.profile_arn = "arn:aws:iam::" + r.st.account_id + ":instance-profile/" + plan.profile;
  in.subnet_id = primary.id;
  in.vpc_id = primary.vpc_id;
  in.az = primary.az;
  in.client_token = plan.token;
  in.tags = plan.instance_tags;
  in.launch_time = r.now;
  for (size_t k = 0; k < plan.wanted.size(); ++k) {
    const InterfaceRequest& w = plan.wanted[k];
    NetworkInterface& e = add_interface(r.st, *plan.subnets[k], index == 0 ? w.private_ip : std::string());
    e.group_ids = w.group_ids;
    e.instance_id = in.id;
    e.attachment_id = ids_.make("eni-attach");
    e.device_index = w.device_index;
    e.delete_on_termination = w.delete_on_termination;
    e.description = "";
    e.tags = plan.interface_tags;
    in.interface_ids.push_back(e.id);
    if (k == 0) in.private_ip = e.private_ip;
  }
  // A single interface gets a public address when asked, or when its subnet
  // gives one; an instance with several interfaces gets none.
  if (plan.wanted.size() == 1 && plan.wanted.front().public_ip.value_or(primary.map_public_ip_on_launch)) {
    for (auto& e : r.st.interfaces)
      if (e.id == in.interface_ids.front()) e.association = PublicAssociation{next_public_ip(), "", "", "amazon"};
  }
  r.st.instances.push_back(std::move(in));
}

}  // namespace qvn::sandbox
