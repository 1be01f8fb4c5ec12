#include "ec2_service.hpp"

#include <algorithm>

#include "core/clock.hpp"
#include "modules.hpp"

namespace qvn::sandbox {

using namespace ec2;

namespace {
const char* kNamespace = "http://ec2.amazonaws.com/doc/2016-11-15/";
}

std::unique_ptr<Service> make_ec2_service() { return std::make_unique<Ec2Service>(); }

Ec2Service::Ec2Service() = default;

const std::map<std::string, Ec2Service::Handler>& Ec2Service::handlers() {
  static const std::map<std::string, Handler> table = {
      {"DescribeVpcs", &Ec2Service::describe_vpcs},
      {"DescribeSubnets", &Ec2Service::describe_subnets},
      {"DescribeRouteTables", &Ec2Service::describe_route_tables},
      {"DescribeNatGateways", &Ec2Service::describe_nat_gateways},
      {"DescribeNetworkInterfaces", &Ec2Service::describe_network_interfaces},
      {"AllocateAddress", &Ec2Service::allocate_address},
      {"AssociateAddress", &Ec2Service::associate_address},
      {"DisassociateAddress", &Ec2Service::disassociate_address},
      {"DescribeAddresses", &Ec2Service::describe_addresses},
      {"ReleaseAddress", &Ec2Service::release_address},
      {"DescribeImages", &Ec2Service::describe_images},
      {"CreateKeyPair", &Ec2Service::create_key_pair},
      {"DescribeKeyPairs", &Ec2Service::describe_key_pairs},
      {"DeleteKeyPair", &Ec2Service::delete_key_pair},
      {"CreateSecurityGroup", &Ec2Service::create_security_group},
      {"DescribeSecurityGroups", &Ec2Service::describe_security_groups},
      {"AuthorizeSecurityGroupIngress", &Ec2Service::authorize_security_group_ingress},
      {"DeleteSecurityGroup", &Ec2Service::delete_security_group},
      {"RunInstances", &Ec2Service::run_instances},
      {"DescribeInstances", &Ec2Service::describe_instances},
      {"DescribeInstanceStatus", &Ec2Service::describe_instance_status},
      {"TerminateInstances", &Ec2Service::terminate_instances},
      {"DescribeAccountAttributes", &Ec2Service::describe_account_attributes},
      {"DescribeInstanceTypes", &Ec2Service::describe_instance_types},
      {"DescribeInstanceTypeOfferings", &Ec2Service::describe_instance_type_offerings},
  };
  return table;
}

bool Ec2Service::has_operation(const std::string& operation) const { return handlers().count(operation) > 0; }

AwsReply Ec2Service::handle(const AwsCall& call) {
  const std::string op = call.operation.empty() ? call.param("Action") : call.operation;
  auto it = handlers().find(op);
  if (it == handlers().end())
    throw ApiError(400, "InvalidAction", "The action " + op + " is not valid for this web service.");

  std::lock_guard lock(mutex_);
  const TimePoint now = core::now();
  RegionState& st = region_state(call.account_id, call.region);
  settle(st, now);
  if (bool_param(call, "DryRun").value_or(false))
    throw ApiError(412, "DryRunOperation", "Request would have succeeded, but DryRun flag is set.");

  Request request{call, st, now};
  Xml x;
  (this->*(it->second))(request, x);

  AwsReply reply;
  reply.content_type = "text/xml;charset=UTF-8";
  reply.body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<" + op + "Response xmlns=\"" + kNamespace +
               "\"><requestId>" + xml_escape(call.request_id) + "</requestId>" + x.str() + "</" + op + "Response>";
  return reply;
}

AwsReply Ec2Service::render_error(const ApiError& error, const std::string& request_id) const {
  AwsReply reply;
  reply.status = error.status;
  reply.content_type = "text/xml;charset=UTF-8";
  reply.body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Response><Errors><Error><Code>" + xml_escape(error.code) +
               "</Code><Message>" + xml_escape(error.what()) + "</Message></Error></Errors><RequestID>" +
               xml_escape(request_id) + "</RequestID></Response>";
  return reply;
}

RegionState& Ec2Service::region_state(const std::string& account, const std::string& region) {
  auto& st = regions_[account + "/" + region];
  if (st.account_id.empty()) {
    st.account_id = account;
    st.region = region;
  }
  return st;
}

double Ec2Service::scaled(double seconds) const { return seconds * core::time_scale(); }

int Ec2Service::state_code(const std::string& state) {
  static const std::map<std::string, int> codes = {{"pending", 0},     {"running", 16},  {"shutting-down", 32},
                                                   {"terminated", 48}, {"stopping", 64}, {"stopped", 80}};
  auto it = codes.find(state);
  return it == codes.end() ? 0 : it->second;
}

// Terminated instances give up their interfaces (and so their addresses),
// and disappear from the listings after a while.
void Ec2Service::settle(RegionState& st, TimePoint now) {
  const auto visible = std::chrono::duration_cast<std::chrono::system_clock::duration>(
      core::Seconds(scaled(timings_.instance_shutting_down + timings_.terminated_visible)));
  for (auto& in : st.instances) {
    if (in.finalized || instance_state(in, now) != "terminated") continue;
    for (const auto& eni_id : in.interface_ids) {
      for (auto& a : st.addresses) {
        if (a.network_interface_id == eni_id) {
          a.network_interface_id.clear();
          a.association_id.clear();
          a.private_ip.clear();
        }
      }
      std::erase_if(st.interfaces,
                    [&](const NetworkInterface& e) { return e.id == eni_id && e.delete_on_termination; });
      for (auto& e : st.interfaces) {
        if (e.id == eni_id) {  // kept: detach it
          e.instance_id.clear();
          e.attachment_id.clear();
        }
      }
    }
    in.finalized = true;
  }
  std::erase_if(st.instances,
                [&](const Instance& in) { return in.terminate_time && now >= *in.terminate_time + visible; });
}

// ---- lookups ---------------------------------------------------------------

Instance& Ec2Service::find_instance(RegionState& st, const std::string& id) {
  for (auto& in : st.instances)
    if (in.id == id) return in;
  throw bad_request("InvalidInstanceID.NotFound", "The instance ID '" + id + "' does not exist");
}

Subnet& Ec2Service::find_subnet(RegionState& st, const std::string& id) {
  for (auto& s : st.subnets)
    if (s.id == id) return s;
  throw bad_request("InvalidSubnetID.NotFound", "The subnet ID '" + id + "' does not exist");
}

SecurityGroup& Ec2Service::find_group(RegionState& st, const std::string& id) {
  for (auto& g : st.groups)
    if (g.id == id) return g;
  if (!id.starts_with("sg-"))
    throw bad_request("InvalidGroupId.Malformed", "Invalid id: \"" + id + "\" (expecting \"sg-...\")");
  throw bad_request("InvalidGroup.NotFound", "The security group '" + id + "' does not exist");
}

NetworkInterface& Ec2Service::find_interface(RegionState& st, const std::string& id) {
  for (auto& e : st.interfaces)
    if (e.id == id) return e;
  throw bad_request("InvalidNetworkInterfaceID.NotFound", "The networkInterface ID '" + id + "' does not exist");
}

Vpc* Ec2Service::find_vpc(RegionState& st, const std::string& id) {
  for (auto& v : st.vpcs)
    if (v.id == id) return &v;
  return nullptr;
}

const Image* Ec2Service::find_image(const RegionState& st, const std::string& id) const {
  auto it = images_.find(st.region);
  if (it == images_.end()) return nullptr;
  for (const auto& im : it->second)
    if (im.id == id && (im.is_public || im.owner_id == st.account_id)) return &im;
  return nullptr;
}

// ---- addresses and interfaces ----------------------------------------------

std::string Ec2Service::next_public_ip() {
  // Documentation ranges first, then the shared address space.
  static const uint32_t pools[] = {0xCB007100u /*203.0.113.0*/, 0xC6336400u /*198.51.100.0*/,
                                   0xC0000200u /*192.0.2.0*/};
  std::set<std::string> used;
  for (const auto& [key, st] : regions_) {
    for (const auto& e : st.interfaces)
      if (e.association) used.insert(e.association->public_ip);
    for (const auto& a : st.addresses) used.insert(a.public_ip);
    for (const auto& n : st.nat_gateways) used.insert(n.public_ip);
  }
  for (;;) {
    uint32_t n = public_ip_counter_++;
    std::string ip;
    if (n < 3 * 240)
      ip = ipv4_text(pools[n / 240] + 10 + n % 240);
    else
      ip = ipv4_text(0x64400000u + (n - 3 * 240) % 0x3fffff + 1);  // 100.64.0.0/10
    if (!used.count(ip)) return ip;
  }
}

int Ec2Service::free_addresses(const RegionState& st, const Subnet& subnet) const {
  std::set<std::string> used;
  for (const auto& e : st.interfaces)
    if (e.subnet_id == subnet.id) used.insert(e.private_ip);
  auto net = parse_cidr(subnet.cidr);
  if (!net) return 0;
  return std::max(0, static_cast<int>(net->size()) - 5 - subnet.hidden_in_use - static_cast<int>(used.size()));
}

std::string Ec2Service::allocate_private_ip(const RegionState& st, const Subnet& subnet) {
  std::set<std::string> used;
  for (const auto& e : st.interfaces)
    if (e.subnet_id == subnet.id) used.insert(e.private_ip);
  std::string ip = free_addresses(st, subnet) > 0 ? free_host(subnet.cidr, used) : std::string();
  if (ip.empty())
    throw bad_request("InsufficientFreeAddressesInSubnet", "There are not enough free addresses in subnet '" +
                                                               subnet.id +
                                                               "' to satisfy the requested number of instances.");
  return ip;
}

NetworkInterface& Ec2Service::add_interface(RegionState& st, const Subnet& subnet, const std::string& private_ip) {
  NetworkInterface e;
  e.id = ids_.make("eni");
  e.subnet_id = subnet.id;
  e.vpc_id = subnet.vpc_id;
  e.az = subnet.az;
  e.private_ip = private_ip.empty() ? allocate_private_ip(st, subnet) : private_ip;
  e.mac = ids_.mac();
  st.interfaces.push_back(std::move(e));
  return st.interfaces.back();
}

std::string Ec2Service::public_ip_of(const RegionState& st, const Instance& in, TimePoint now) const {
  if (in.interface_ids.empty()) return {};
  for (const auto& e : st.interfaces) {
    if (e.id != in.interface_ids.front() || !e.association) continue;
    const std::string state = instance_state(in, now);
    if (state == "terminated") return {};
    if (e.association->allocation_id.empty() && (state == "pending" || state == "stopped")) return {};
    return e.association->public_ip;
  }
  return {};
}

void Ec2Service::write_group_refs(const RegionState& st, const std::vector<std::string>& ids, Xml& x) const {
  if (ids.empty()) {
    x.empty("groupSet");
    return;
  }
  x.open("groupSet");
  for (const auto& id : ids) {
    std::string name;
    for (const auto& g : st.groups)
      if (g.id == id) name = g.name;
    x.open("item").leaf("groupId", id).leaf("groupName", name).close();
  }
  x.close();
}

void Ec2Service::write_interface(const RegionState& st, const NetworkInterface& e, bool nested, TimePoint now,
                                 Xml& x) const {
  const Instance* owner = nullptr;
  for (const auto& in : st.instances)
    if (in.id == e.instance_id) owner = &in;
  std::optional<PublicAssociation> assoc = e.association;
  if (assoc && assoc->allocation_id.empty() && owner) {
    const std::string state = instance_state(*owner, now);
    if (state == "pending" || state == "stopped" || state == "terminated") assoc.reset();
  }
  const std::string status = e.instance_id.empty() ? "available" : "in-use";
  x.leaf("networkInterfaceId", e.id).leaf("subnetId", e.subnet_id).leaf("vpcId", e.vpc_id);
  if (!nested) x.leaf("availabilityZone", e.az);
  x.leaf("description", e.description).leaf("ownerId", st.account_id);
  if (!nested) x.leaf("requesterManaged", e.requester_managed);
  x.leaf("status", status).leaf("macAddress", e.mac).leaf("privateIpAddress", e.private_ip);
  x.leaf(
      "privateDnsName", "ip-" + [&] {
        std::string d = e.private_ip;
        std::replace(d.begin(), d.end(), '.', '-');
        return d;
      }() + (st.region == "us-east-1" ? ".ec2.internal" : "." + st.region + ".compute.internal"));
  x.leaf("sourceDestCheck", true);
  write_group_refs(st, e.group_ids, x);
  if (!e.instance_id.empty()) {
    x.open("attachment").leaf("attachmentId", e.attachment_id);
    if (!nested) x.leaf("instanceId", e.instance_id).leaf("instanceOwnerId", st.account_id);
    x.leaf("deviceIndex", e.device_index).leaf("networkCardIndex", 0).leaf("status", "attached");
    if (owner) x.leaf("attachTime", iso_time(owner->launch_time));
    x.leaf("deleteOnTermination", e.delete_on_termination).close();
  }
  auto write_assoc = [&] {
    x.open("association")
        .leaf("publicIp", assoc->public_ip)
        .leaf("publicDnsName", "")
        .leaf("ipOwnerId", assoc->ip_owner);
    x.optional("allocationId", assoc->allocation_id);
    x.optional("associationId", assoc->association_id);
    x.close();
  };
  if (assoc) write_assoc();
  if (!nested) x.tags(e.tags);
  x.open("privateIpAddressesSet").open("item").leaf("privateIpAddress", e.private_ip).leaf("primary", true);
  if (assoc) write_assoc();
  x.close().close();
  x.empty("ipv6AddressesSet").leaf("interfaceType", e.interface_type);
}

SecurityGroup& Ec2Service::add_group(RegionState& st, const std::string& vpc_id, const std::string& name,
                                     const std::string& description, const Tags& tags) {
  SecurityGroup g;
  g.id = ids_.make("sg");
  g.name = name;
  g.description = description;
  g.vpc_id = vpc_id;
  g.tags = tags;
  Permission all_out;
  all_out.protocol = "-1";
  all_out.ranges.push_back({"0.0.0.0/0", ""});
  all_out.rule_id = ids_.make("sgr");
  g.egress.push_back(all_out);
  st.groups.push_back(std::move(g));
  return st.groups.back();
}

RouteTable& Ec2Service::add_main_route_table(RegionState& st, const Vpc& vpc) {
  RouteTable rt;
  rt.id = ids_.make("rtb");
  rt.vpc_id = vpc.id;
  rt.associations.push_back({ids_.make("rtbassoc"), "", true});
  st.route_tables.push_back(std::move(rt));
  return st.route_tables.back();
}

}  // namespace qvn::sandbox
