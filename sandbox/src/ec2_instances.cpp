// Instances: description, status checks and termination, with the life
// cycle pending -> running -> shutting-down -> terminated computed from
// timestamps. RunInstances is in ec2_launch.cpp.
#include <algorithm>

#include "core/clock.hpp"
#include "ec2_service.hpp"

namespace qvn::sandbox {

using namespace ec2;

namespace {

std::chrono::system_clock::duration span(double s) {
  return std::chrono::duration_cast<std::chrono::system_clock::duration>(core::Seconds(s));
}

bool well_formed_instance_id(const std::string& id) {
  if (!id.starts_with("i-")) return false;
  const std::string hex = id.substr(2);
  if (hex.size() != 8 && hex.size() != 17) return false;
  return std::all_of(hex.begin(), hex.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

}  // namespace

// ---- life cycle ------------------------------------------------------------

std::string Ec2Service::instance_state(const Instance& in, TimePoint now) const {
  if (in.terminate_time)
    return now < *in.terminate_time + span(scaled(timings_.instance_shutting_down)) ? "shutting-down" : "terminated";
  if (!in.fixed_state.empty()) return in.fixed_state;
  return now < in.launch_time + span(scaled(timings_.instance_pending)) ? "pending" : "running";
}

std::string Ec2Service::status_check(const Instance& in, TimePoint now) const {
  if (instance_state(in, now) != "running") return "not-applicable";
  if (!in.fixed_state.empty()) return "ok";
  const auto ok_at = in.launch_time + span(scaled(timings_.instance_pending + timings_.status_initializing));
  return now < ok_at ? "initializing" : "ok";
}

void Ec2Service::check_instance_profile(const std::string& account, const std::string& name, TimePoint now) const {
  const ApiError invalid =
      bad_request("InvalidParameterValue", "Value (" + name +
                                               ") for parameter iamInstanceProfile.name is invalid. Invalid "
                                               "IAM Instance Profile name");
  const InstanceProfileDirectory* directory = world_ ? world_->profiles : nullptr;
  if (!directory) throw invalid;
  auto created = directory->instance_profile_created(account, name);
  // A new profile takes a while to reach EC2.
  if (!created || now < *created + span(scaled(timings_.instance_profile_propagation))) throw invalid;
}

// ---- rendering -------------------------------------------------------------

void Ec2Service::write_instance(const RegionState& st, const Instance& in, TimePoint now, Xml& x) const {
  const std::string state = instance_state(in, now);
  const bool gone = state == "terminated";
  const std::string public_ip = public_ip_of(st, in, now);
  std::string dns = "ip-" + in.private_ip;
  std::replace(dns.begin(), dns.end(), '.', '-');
  dns += st.region == "us-east-1" ? ".ec2.internal" : "." + st.region + ".compute.internal";

  x.leaf("instanceId", in.id).leaf("imageId", in.image_id);
  x.open("instanceState").leaf("code", state_code(state)).leaf("name", state).close();
  x.leaf("privateDnsName", gone ? "" : dns).leaf("dnsName", "");
  if (gone)
    x.leaf("reason", "User initiated (" + iso_time(*in.terminate_time) + ")");
  else
    x.empty("reason");
  x.optional("keyName", in.key_name);
  x.leaf("amiLaunchIndex", 0)
      .empty("productCodes")
      .leaf("instanceType", in.instance_type)
      .leaf("launchTime", iso_time(in.launch_time));
  x.open("placement").leaf("availabilityZone", in.az).empty("groupName").leaf("tenancy", "default").close();
  x.open("monitoring").leaf("state", "disabled").close();
  x.leaf("subnetId", in.subnet_id).leaf("vpcId", in.vpc_id);
  if (!gone) x.leaf("privateIpAddress", in.private_ip);
  x.optional("ipAddress", public_ip);
  x.leaf("sourceDestCheck", true);
  // The instance's groups are those of its primary interface.
  std::vector<std::string> groups;
  for (const auto& e : st.interfaces)
    if (!in.interface_ids.empty() && e.id == in.interface_ids.front()) groups = e.group_ids;
  write_group_refs(st, groups, x);
  if (state == "pending") x.open("stateReason").leaf("code", "pending").leaf("message", "pending").close();
  if (gone)
    x.open("stateReason")
        .leaf("code", "Client.UserInitiatedShutdown")
        .leaf("message", "Client.UserInitiatedShutdown: User initiated shutdown")
        .close();
  x.leaf("architecture", "x86_64").leaf("rootDeviceType", "ebs").leaf("rootDeviceName", "/dev/xvda");
  // The root volume goes with the instance (deleteOnTermination).
  if (gone || in.root_volume_id.empty()) {
    x.empty("blockDeviceMapping");
  } else {
    x.open("blockDeviceMapping")
        .open("item")
        .leaf("deviceName", "/dev/xvda")
        .open("ebs")
        .leaf("volumeId", in.root_volume_id)
        .leaf("status", state == "pending" ? "attaching" : "attached")
        .leaf("attachTime", iso_time(in.launch_time))
        .leaf("deleteOnTermination", true)
        .close()
        .close()
        .close();
  }
  x.leaf("virtualizationType", "hvm").leaf("clientToken", in.client_token).tags(in.tags).leaf("hypervisor", "xen");
  bool any = false;
  for (const auto& eni_id : in.interface_ids) {
    for (const auto& e : st.interfaces) {
      if (e.id != eni_id) continue;
      if (!any) x.open("networkInterfaceSet");
      any = true;
      x.open("item");
      write_interface(st, e, true, now, x);
      x.close();
    }
  }
  if (any)
    x.close();
  else
    x.empty("networkInterfaceSet");
  if (!in.profile_arn.empty())
    x.open("iamInstanceProfile").leaf("arn", in.profile_arn).leaf("id", "AIPA" + in.id.substr(2)).close();
  x.leaf("ebsOptimized", false).leaf("enaSupport", true);
  x.open("metadataOptions")
      .leaf("state", state == "pending" ? "pending" : "applied")
      .leaf("httpTokens", "required")
      .leaf("httpPutResponseHopLimit", 2)
      .leaf("httpEndpoint", "enabled")
      .close();
  x.leaf("platformDetails", "Linux/UNIX").leaf("usageOperation", "RunInstances");
}

void Ec2Service::write_reservation_body(const RegionState& st, const std::string& reservation_id, TimePoint now,
                                        Xml& x) const {
  x.leaf("reservationId", reservation_id).leaf("ownerId", st.account_id).empty("groupSet");
  x.open("instancesSet");
  for (const auto& in : st.instances) {
    if (in.reservation_id != reservation_id) continue;
    x.open("item");
    write_instance(st, in, now, x);
    x.close();
  }
  x.close();
}

// ---- DescribeInstances -----------------------------------------------------

namespace {

std::vector<std::string> checked_instance_ids(const AwsCall& call, const RegionState& st) {
  const auto ids = list_param(call, "InstanceId");
  std::vector<std::string> missing;
  for (const auto& id : ids) {
    if (!well_formed_instance_id(id)) throw bad_request("InvalidInstanceID.Malformed", "Invalid id: \"" + id + "\"");
    if (std::none_of(st.instances.begin(), st.instances.end(), [&](const Instance& in) { return in.id == id; }))
      missing.push_back(id);
  }
  if (missing.size() == 1)
    throw bad_request("InvalidInstanceID.NotFound", "The instance ID '" + missing.front() + "' does not exist");
  if (!missing.empty()) {
    std::string list;
    for (const auto& m : missing) list += (list.empty() ? "" : ", ") + m;
    throw bad_request("InvalidInstanceID.NotFound", "The instance IDs '" + list + "' do not exist");
  }
  return ids;
}

}  // namespace

void Ec2Service::describe_instances(Request& r, Xml& x) {
  const auto filters = parse_filters(r.call);
  check_filters(filters, {"instance-id",
                          "instance-state-name",
                          "instance-state-code",
                          "subnet-id",
                          "vpc-id",
                          "key-name",
                          "image-id",
                          "instance-type",
                          "availability-zone",
                          "private-ip-address",
                          "ip-address",
                          "reservation-id",
                          "client-token",
                          "iam-instance-profile.arn",
                          "network-interface.network-interface-id",
                          "network-interface.subnet-id",
                          "network-interface.addresses.private-ip-address",
                          "network-interface.association.public-ip",
                          "tag-key",
                          "tag-value"});
  const auto ids = checked_instance_ids(r.call, r.st);

  // Reservations in launch order, each with its matching instances.
  std::vector<std::string> reservations;
  std::map<std::string, std::vector<const Instance*>> members;
  for (const auto& in : r.st.instances) {
    if (!ids.empty() && std::find(ids.begin(), ids.end(), in.id) == ids.end()) continue;
    const std::string state = instance_state(in, r.now);
    std::vector<const NetworkInterface*> enis;
    for (const auto& eni_id : in.interface_ids)
      for (const auto& e : r.st.interfaces)
        if (e.id == eni_id) enis.push_back(&e);
    const std::string public_ip = public_ip_of(r.st, in, r.now);
    bool ok = matches(filters, [&](const std::string& n) {
      std::vector<std::string> out;
      if (tag_field(in.tags, n, out)) return out;
      if (n == "instance-id") return std::vector{in.id};
      if (n == "instance-state-name") return std::vector{state};
      if (n == "instance-state-code") return std::vector{std::to_string(state_code(state))};
      if (n == "subnet-id") return std::vector{in.subnet_id};
      if (n == "vpc-id") return std::vector{in.vpc_id};
      if (n == "key-name" && !in.key_name.empty()) return std::vector{in.key_name};
      if (n == "image-id") return std::vector{in.image_id};
      if (n == "instance-type") return std::vector{in.instance_type};
      if (n == "availability-zone") return std::vector{in.az};
      if (n == "private-ip-address" && state != "terminated") return std::vector{in.private_ip};
      if (n == "ip-address" && !public_ip.empty()) return std::vector{public_ip};
      if (n == "reservation-id") return std::vector{in.reservation_id};
      if (n == "client-token" && !in.client_token.empty()) return std::vector{in.client_token};
      if (n == "iam-instance-profile.arn" && !in.profile_arn.empty()) return std::vector{in.profile_arn};
      for (const auto* e : enis) {
        if (n == "network-interface.network-interface-id") out.push_back(e->id);
        if (n == "network-interface.subnet-id") out.push_back(e->subnet_id);
        if (n == "network-interface.addresses.private-ip-address") out.push_back(e->private_ip);
        if (n == "network-interface.association.public-ip" && e->association) out.push_back(e->association->public_ip);
      }
      return out;
    });
    if (!ok) continue;
    if (!members.count(in.reservation_id)) reservations.push_back(in.reservation_id);
    members[in.reservation_id].push_back(&in);
  }
  const Page p = page(r.call, reservations.size(), 5, 1000, !ids.empty());
  x.open("reservationSet");
  for (size_t i = p.begin; i < p.end; ++i) {
    x.open("item")
        .leaf("reservationId", reservations[i])
        .leaf("ownerId", r.st.account_id)
        .empty("groupSet")
        .open("instancesSet");
    for (const Instance* in : members[reservations[i]]) {
      x.open("item");
      write_instance(r.st, *in, r.now, x);
      x.close();
    }
    x.close().close();
  }
  x.close();
  x.optional("nextToken", p.next_token);
}

// ---- DescribeInstanceStatus ------------------------------------------------

void Ec2Service::describe_instance_status(Request& r, Xml& x) {
  const auto filters = parse_filters(r.call);
  check_filters(filters, {"instance-id", "instance-state-name", "instance-state-code", "availability-zone",
                          "instance-status.status", "system-status.status"});
  const auto ids = checked_instance_ids(r.call, r.st);
  const bool include_all = bool_param(r.call, "IncludeAllInstances").value_or(false);
  std::vector<const Instance*> selected;
  for (const auto& in : r.st.instances) {
    if (!ids.empty() && std::find(ids.begin(), ids.end(), in.id) == ids.end()) continue;
    const std::string state = instance_state(in, r.now);
    // Without IncludeAllInstances only running instances are reported.
    if (!include_all && state != "running") continue;
    const std::string status = status_check(in, r.now);
    bool ok = matches(filters, [&](const std::string& n) {
      if (n == "instance-id") return std::vector{in.id};
      if (n == "instance-state-name") return std::vector{state};
      if (n == "instance-state-code") return std::vector{std::to_string(state_code(state))};
      if (n == "availability-zone") return std::vector{in.az};
      return std::vector{status};
    });
    if (ok) selected.push_back(&in);
  }
  const Page p = page(r.call, selected.size(), 5, 1000, !ids.empty());
  x.open("instanceStatusSet");
  for (size_t i = p.begin; i < p.end; ++i) {
    const Instance& in = *selected[i];
    const std::string state = instance_state(in, r.now);
    const std::string status = status_check(in, r.now);
    const std::string detail = status == "ok" ? "passed" : status == "initializing" ? "initializing" : "not-applicable";
    x.open("item").leaf("instanceId", in.id).leaf("availabilityZone", in.az);
    x.open("instanceState").leaf("code", state_code(state)).leaf("name", state).close();
    for (const char* kind : {"systemStatus", "instanceStatus"}) {
      x.open(kind).leaf("status", status);
      if (status != "not-applicable")
        x.open("details").open("item").leaf("name", "reachability").leaf("status", detail).close().close();
      x.close();
    }
    x.close();
  }
  x.close();
  x.optional("nextToken", p.next_token);
}

// ---- TerminateInstances ----------------------------------------------------

void Ec2Service::terminate_instances(Request& r, Xml& x) {
  const auto ids = checked_instance_ids(r.call, r.st);
  if (ids.empty()) throw bad_request("MissingParameter", "The request must contain the parameter InstanceId");
  x.open("instancesSet");
  for (const auto& id : ids) {
    Instance& in = find_instance(r.st, id);
    const std::string before = instance_state(in, r.now);
    if (!in.terminate_time) in.terminate_time = r.now;
    const std::string after = instance_state(in, r.now);
    x.open("item").leaf("instanceId", in.id);
    x.open("currentState").leaf("code", state_code(after)).leaf("name", after).close();
    x.open("previousState").leaf("code", state_code(before)).leaf("name", before).close();
    x.close();
  }
  x.close();
}

}  // namespace qvn::sandbox
