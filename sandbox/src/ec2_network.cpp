// VPC networking: VPCs, subnets, route tables, NAT gateways, network
// interfaces and Elastic IPs.
#include <algorithm>

#include "ec2_service.hpp"

namespace qvn::sandbox {

using namespace ec2;

namespace {

// Resources named by id that must all exist, in the order first asked; an id
// named twice is answered once, as EC2 does.
template <class T>
std::vector<const T*> select_by_ids(const std::vector<T>& all, const std::vector<std::string>& ids,
                                    const std::string& code, const std::string& what) {
  std::vector<const T*> out;
  std::vector<std::string> missing;
  for (const auto& id : ids) {
    auto it = std::find_if(all.begin(), all.end(), [&](const T& t) { return t.id == id; });
    if (it == all.end())
      missing.push_back(id);
    else if (std::find(out.begin(), out.end(), &*it) == out.end())
      out.push_back(&*it);
  }
  if (!missing.empty()) {
    std::string list;
    for (const auto& m : missing) list += (list.empty() ? "" : ", ") + m;
    throw bad_request(code, "The " + what + " ID '" + list + "' does not exist");
  }
  return out;
}

template <class T>
std::vector<const T*> everything(const std::vector<T>& all) {
  std::vector<const T*> out;
  for (const auto& t : all) out.push_back(&t);
  return out;
}

}  // namespace

// ---- VPCs and subnets ------------------------------------------------------

void Ec2Service::describe_vpcs(Request& r, Xml& x) {
  const auto filters = parse_filters(r.call);
  check_filters(filters, {"vpc-id", "cidr", "cidr-block-association.cidr-block", "is-default", "owner-id", "state",
                          "tag-key", "tag-value"});
  const auto ids = list_param(r.call, "VpcId");
  auto selected = ids.empty() ? everything(r.st.vpcs) : select_by_ids(r.st.vpcs, ids, "InvalidVpcID.NotFound", "vpc");
  x.open("vpcSet");
  for (const Vpc* v : selected) {
    bool ok = matches(filters, [&](const std::string& n) {
      std::vector<std::string> out;
      if (tag_field(v->tags, n, out)) return out;
      if (n == "vpc-id") return std::vector<std::string>{v->id};
      if (n == "cidr" || n == "cidr-block-association.cidr-block") return std::vector{v->cidr};
      if (n == "is-default") return std::vector<std::string>{v->is_default ? "true" : "false"};
      if (n == "owner-id") return std::vector{r.st.account_id};
      if (n == "state") return std::vector<std::string>{"available"};
      return out;
    });
    if (!ok) continue;
    x.open("item")
        .leaf("vpcId", v->id)
        .leaf("ownerId", r.st.account_id)
        .leaf("state", "available")
        .leaf("cidrBlock", v->cidr)
        .leaf("dhcpOptionsId", "default")
        .leaf("instanceTenancy", "default")
        .leaf("isDefault", v->is_default)
        .tags(v->tags)
        .close();
  }
  x.close();
}

void Ec2Service::describe_subnets(Request& r, Xml& x) {
  const auto filters = parse_filters(r.call);
  check_filters(filters, {"subnet-id", "vpc-id", "availability-zone", "availability-zone-id", "cidr-block", "cidr",
                          "cidrBlock", "default-for-az", "map-public-ip-on-launch", "owner-id", "state", "subnet-arn",
                          "tag-key", "tag-value"});
  const auto ids = list_param(r.call, "SubnetId");
  auto all =
      ids.empty() ? everything(r.st.subnets) : select_by_ids(r.st.subnets, ids, "InvalidSubnetID.NotFound", "subnet");
  // EC2 promises no order: subnets asked for by id come in the stored order,
  // not in the order asked.
  std::sort(all.begin(), all.end(), std::less<const Subnet*>());
  std::vector<const Subnet*> selected;
  for (const Subnet* s : all) {
    const std::string arn = "arn:aws:ec2:" + r.st.region + ":" + r.st.account_id + ":subnet/" + s->id;
    bool ok = matches(filters, [&](const std::string& n) {
      std::vector<std::string> out;
      if (tag_field(s->tags, n, out)) return out;
      if (n == "subnet-id") return std::vector{s->id};
      if (n == "vpc-id") return std::vector{s->vpc_id};
      if (n == "availability-zone") return std::vector{s->az};
      if (n == "availability-zone-id") return std::vector{s->az_id};
      if (n == "cidr-block" || n == "cidr" || n == "cidrBlock") return std::vector{s->cidr};
      if (n == "default-for-az") return std::vector<std::string>{s->default_for_az ? "true" : "false"};
      if (n == "map-public-ip-on-launch")
        return std::vector<std::string>{s->map_public_ip_on_launch ? "true" : "false"};
      if (n == "owner-id") return std::vector{r.st.account_id};
      if (n == "state") return std::vector<std::string>{"available"};
      if (n == "subnet-arn") return std::vector{arn};
      return out;
    });
    if (ok) selected.push_back(s);
  }
  const Page p = page(r.call, selected.size(), 5, 1000, !ids.empty());
  x.open("subnetSet");
  for (size_t i = p.begin; i < p.end; ++i) {
    const Subnet* s = selected[i];
    const int available = free_addresses(r.st, *s);
    x.open("item")
        .leaf("subnetId", s->id)
        .leaf("subnetArn", "arn:aws:ec2:" + r.st.region + ":" + r.st.account_id + ":subnet/" + s->id)
        .leaf("state", "available")
        .leaf("ownerId", r.st.account_id)
        .leaf("vpcId", s->vpc_id)
        .leaf("cidrBlock", s->cidr)
        .empty("ipv6CidrBlockAssociationSet")
        .leaf("availableIpAddressCount", std::max(available, 0))
        .leaf("availabilityZone", s->az);
    x.optional("availabilityZoneId", s->az_id);
    x.leaf("defaultForAz", s->default_for_az)
        .leaf("mapPublicIpOnLaunch", s->map_public_ip_on_launch)
        .leaf("assignIpv6AddressOnCreation", false)
        .leaf("mapCustomerOwnedIpOnLaunch", false)
        .leaf("enableDns64", false)
        .leaf("ipv6Native", false)
        .tags(s->tags)
        .close();
  }
  x.close();
  x.optional("nextToken", p.next_token);
}

// ---- route tables ----------------------------------------------------------

void Ec2Service::describe_route_tables(Request& r, Xml& x) {
  const auto filters = parse_filters(r.call);
  check_filters(filters,
                {"route-table-id", "vpc-id", "association.subnet-id", "association.main",
                 "association.route-table-association-id", "association.route-table-id", "association.gateway-id",
                 "route.nat-gateway-id", "route.gateway-id", "route.instance-id", "route.destination-cidr-block",
                 "route.origin", "route.state", "owner-id", "tag-key", "tag-value"});
  const auto ids = list_param(r.call, "RouteTableId");
  auto all = ids.empty() ? everything(r.st.route_tables)
                         : select_by_ids(r.st.route_tables, ids, "InvalidRouteTableID.NotFound", "route table");
  std::vector<const RouteTable*> selected;
  for (const RouteTable* t : all) {
    const Vpc* vpc = find_vpc(r.st, t->vpc_id);
    bool ok = matches(filters, [&](const std::string& n) {
      std::vector<std::string> out;
      if (tag_field(t->tags, n, out)) return out;
      if (n == "route-table-id" || n == "association.route-table-id") return std::vector{t->id};
      if (n == "vpc-id") return std::vector{t->vpc_id};
      if (n == "owner-id") return std::vector{r.st.account_id};
      for (const auto& a : t->associations) {
        if (n == "association.subnet-id" && !a.subnet_id.empty()) out.push_back(a.subnet_id);
        if (n == "association.main") out.push_back(a.main ? "true" : "false");
        if (n == "association.route-table-association-id") out.push_back(a.id);
      }
      if (n == "route.gateway-id" || n == "route.destination-cidr-block" || n == "route.origin" || n == "route.state") {
        if (n == "route.gateway-id") out.push_back("local");
        if (n == "route.destination-cidr-block" && vpc) out.push_back(vpc->cidr);
        if (n == "route.origin") out.push_back("CreateRouteTable");
        if (n == "route.state") out.push_back("active");
      }
      for (const auto& rt : t->routes) {
        if (n == "route.nat-gateway-id" && !rt.nat_gateway_id.empty()) out.push_back(rt.nat_gateway_id);
        if (n == "route.gateway-id" && !rt.gateway_id.empty()) out.push_back(rt.gateway_id);
        if (n == "route.instance-id" && !rt.instance_id.empty()) out.push_back(rt.instance_id);
        if (n == "route.destination-cidr-block") out.push_back(rt.destination);
        if (n == "route.origin") out.push_back(rt.origin);
        if (n == "route.state") out.push_back("active");
      }
      return out;
    });
    if (ok) selected.push_back(t);
  }
  const Page p = page(r.call, selected.size(), 5, 100, !ids.empty());
  x.open("routeTableSet");
  for (size_t i = p.begin; i < p.end; ++i) {
    const RouteTable* t = selected[i];
    const Vpc* vpc = find_vpc(r.st, t->vpc_id);
    x.open("item").leaf("routeTableId", t->id).leaf("vpcId", t->vpc_id).leaf("ownerId", r.st.account_id);
    x.open("routeSet");
    if (vpc)
      x.open("item")
          .leaf("destinationCidrBlock", vpc->cidr)
          .leaf("gatewayId", "local")
          .leaf("state", "active")
          .leaf("origin", "CreateRouteTable")
          .close();
    for (const auto& rt : t->routes) {
      // A route to a NAT gateway or an interface that no longer exists is a black hole.
      bool target_alive = true;
      if (!rt.nat_gateway_id.empty())
        target_alive = std::any_of(r.st.nat_gateways.begin(), r.st.nat_gateways.end(), [&](const NatGateway& n) {
          return n.id == rt.nat_gateway_id && n.state != "deleted";
        });
      if (!rt.network_interface_id.empty())
        target_alive = std::any_of(r.st.interfaces.begin(), r.st.interfaces.end(),
                                   [&](const NetworkInterface& e) { return e.id == rt.network_interface_id; });
      x.open("item").leaf("destinationCidrBlock", rt.destination);
      x.optional("gatewayId", rt.gateway_id);
      x.optional("natGatewayId", rt.nat_gateway_id);
      x.optional("instanceId", rt.instance_id);
      if (!rt.instance_id.empty()) x.leaf("instanceOwnerId", r.st.account_id);
      x.optional("networkInterfaceId", rt.network_interface_id);
      x.leaf("state", target_alive ? "active" : "blackhole").leaf("origin", rt.origin).close();
    }
    x.close();
    if (t->associations.empty()) {
      x.empty("associationSet");
    } else {
      x.open("associationSet");
      for (const auto& a : t->associations) {
        x.open("item").leaf("routeTableAssociationId", a.id).leaf("routeTableId", t->id);
        x.optional("subnetId", a.subnet_id);
        x.leaf("main", a.main).open("associationState").leaf("state", "associated").close().close();
      }
      x.close();
    }
    x.empty("propagatingVgwSet").tags(t->tags).close();
  }
  x.close();
  x.optional("nextToken", p.next_token);
}

// ---- NAT gateways ----------------------------------------------------------

void Ec2Service::describe_nat_gateways(Request& r, Xml& x) {
  const auto filters = parse_filters(r.call);
  check_filters(filters, {"nat-gateway-id", "state", "subnet-id", "vpc-id", "tag-key", "tag-value"});
  const auto ids = list_param(r.call, "NatGatewayId");
  for (const auto& id : ids) {
    if (std::none_of(r.st.nat_gateways.begin(), r.st.nat_gateways.end(),
                     [&](const NatGateway& n) { return n.id == id; }))
      throw bad_request("NatGatewayNotFound", "NAT gateway " + id + " was not found");
  }
  std::vector<const NatGateway*> selected;
  for (const auto& n : r.st.nat_gateways) {
    if (!ids.empty() && std::find(ids.begin(), ids.end(), n.id) == ids.end()) continue;
    bool ok = matches(filters, [&](const std::string& name) {
      std::vector<std::string> out;
      if (tag_field(n.tags, name, out)) return out;
      if (name == "nat-gateway-id") return std::vector{n.id};
      if (name == "state") return std::vector{n.state};
      if (name == "subnet-id") return std::vector{n.subnet_id};
      if (name == "vpc-id") return std::vector{n.vpc_id};
      return out;
    });
    if (ok) selected.push_back(&n);
  }
  const Page p = page(r.call, selected.size(), 5, 1000, false);
  x.open("natGatewaySet");
  for (size_t i = p.begin; i < p.end; ++i) {
    const NatGateway& n = *selected[i];
    x.open("item").leaf("createTime", iso_time(n.create_time));
    x.open("natGatewayAddressSet").open("item");
    x.optional("allocationId", n.allocation_id);
    x.leaf("networkInterfaceId", n.network_interface_id).leaf("privateIp", n.private_ip);
    x.optional("publicIp", n.public_ip);
    if (n.connectivity == "public") x.leaf("isPrimary", true).leaf("status", "succeeded");
    x.close().close();
    x.leaf("natGatewayId", n.id)
        .leaf("state", n.state)
        .leaf("subnetId", n.subnet_id)
        .leaf("vpcId", n.vpc_id)
        .tags(n.tags)
        .leaf("connectivityType", n.connectivity)
        .close();
  }
  x.close();
  x.optional("nextToken", p.next_token);
}

// ---- network interfaces ----------------------------------------------------

void Ec2Service::describe_network_interfaces(Request& r, Xml& x) {
  const auto filters = parse_filters(r.call);
  check_filters(filters, {"network-interface-id",
                          "subnet-id",
                          "vpc-id",
                          "availability-zone",
                          "attachment.instance-id",
                          "attachment.device-index",
                          "attachment.status",
                          "attachment.attachment-id",
                          "private-ip-address",
                          "addresses.private-ip-address",
                          "association.public-ip",
                          "addresses.association.public-ip",
                          "association.allocation-id",
                          "association.association-id",
                          "group-id",
                          "group-name",
                          "status",
                          "description",
                          "interface-type",
                          "requester-managed",
                          "mac-address",
                          "owner-id",
                          "tag-key",
                          "tag-value"});
  const auto ids = list_param(r.call, "NetworkInterfaceId");
  auto all = ids.empty()
                 ? everything(r.st.interfaces)
                 : select_by_ids(r.st.interfaces, ids, "InvalidNetworkInterfaceID.NotFound", "networkInterface");
  std::vector<const NetworkInterface*> selected;
  for (const NetworkInterface* e : all) {
    const Instance* owner = nullptr;
    for (const auto& in : r.st.instances)
      if (in.id == e->instance_id) owner = &in;
    std::string public_ip;
    if (e->association) {
      public_ip = e->association->public_ip;
      if (e->association->allocation_id.empty() && owner) {
        const std::string s = instance_state(*owner, r.now);
        if (s == "pending" || s == "stopped") public_ip.clear();
      }
    }
    bool ok = matches(filters, [&](const std::string& n) {
      std::vector<std::string> out;
      if (tag_field(e->tags, n, out)) return out;
      if (n == "network-interface-id") return std::vector{e->id};
      if (n == "subnet-id") return std::vector{e->subnet_id};
      if (n == "vpc-id") return std::vector{e->vpc_id};
      if (n == "availability-zone") return std::vector{e->az};
      if (n == "private-ip-address" || n == "addresses.private-ip-address") return std::vector{e->private_ip};
      if ((n == "association.public-ip" || n == "addresses.association.public-ip") && !public_ip.empty())
        return std::vector{public_ip};
      if (n == "association.allocation-id" && e->association) return std::vector{e->association->allocation_id};
      if (n == "association.association-id" && e->association) return std::vector{e->association->association_id};
      if (n == "attachment.instance-id" && !e->instance_id.empty()) return std::vector{e->instance_id};
      if (n == "attachment.device-index" && !e->instance_id.empty())
        return std::vector{std::to_string(e->device_index)};
      if (n == "attachment.attachment-id" && !e->instance_id.empty()) return std::vector{e->attachment_id};
      if (n == "attachment.status" && !e->instance_id.empty()) return std::vector<std::string>{"attached"};
      if (n == "group-id") return e->group_ids;
      if (n == "group-name") {
        for (const auto& gid : e->group_ids)
          for (const auto& g : r.st.groups)
            if (g.id == gid) out.push_back(g.name);
        return out;
      }
      if (n == "status") return std::vector<std::string>{e->instance_id.empty() ? "available" : "in-use"};
      if (n == "description") return std::vector{e->description};
      if (n == "interface-type") return std::vector{e->interface_type};
      if (n == "requester-managed") return std::vector<std::string>{e->requester_managed ? "true" : "false"};
      if (n == "mac-address") return std::vector{e->mac};
      if (n == "owner-id") return std::vector{r.st.account_id};
      return out;
    });
    if (ok) selected.push_back(e);
  }
  const Page p = page(r.call, selected.size(), 5, 1000, !ids.empty());
  x.open("networkInterfaceSet");
  for (size_t i = p.begin; i < p.end; ++i) {
    x.open("item");
    write_interface(r.st, *selected[i], false, r.now, x);
    x.close();
  }
  x.close();
  x.optional("nextToken", p.next_token);
}

// ---- Elastic IPs -----------------------------------------------------------

void Ec2Service::allocate_address(Request& r, Xml& x) {
  std::string domain = r.call.param("Domain");
  if (domain.empty()) domain = "vpc";
  if (domain != "vpc" && domain != "standard")
    throw bad_request("InvalidParameterValue", "Invalid value '" + domain + "' for domain.");
  check_address_quota(r.st);
  Address a;
  a.allocation_id = ids_.make("eipalloc");
  a.public_ip = next_public_ip();
  a.domain = "vpc";
  a.tags = tag_specifications(r.call, "elastic-ip", {"elastic-ip"});
  r.st.addresses.push_back(a);
  x.leaf("publicIp", a.public_ip)
      .leaf("domain", a.domain)
      .leaf("allocationId", a.allocation_id)
      .leaf("publicIpv4Pool", "amazon")
      .leaf("networkBorderGroup", r.st.region);
}

void Ec2Service::associate_address(Request& r, Xml& x) {
  const std::string alloc_id = r.call.param("AllocationId");
  if (alloc_id.empty()) throw bad_request("MissingParameter", "The request must contain the parameter AllocationId");
  Address* address = nullptr;
  for (auto& a : r.st.addresses)
    if (a.allocation_id == alloc_id) address = &a;
  if (!address)
    throw bad_request("InvalidAllocationID.NotFound", "The allocation ID '" + alloc_id + "' does not exist");

  NetworkInterface* eni = nullptr;
  if (r.call.has_param("NetworkInterfaceId")) {
    eni = &find_interface(r.st, r.call.param("NetworkInterfaceId"));
  } else if (r.call.has_param("InstanceId")) {
    Instance& in = find_instance(r.st, r.call.param("InstanceId"));
    if (in.interface_ids.size() != 1)
      throw bad_request("InvalidInstanceID", "There are multiple interfaces attached to instance '" + in.id +
                                                 "'. Please specify an interface ID for the operation instead.");
    eni = &find_interface(r.st, in.interface_ids.front());
  } else {
    throw bad_request("MissingParameter",
                      "Either public IP or allocation id must be specified with an instance id "
                      "or a network interface id");
  }
  if (eni->interface_type != "interface")
    throw bad_request("InvalidNetworkInterface.InUse", "Interface " + eni->id + " is managed by another service");
  const bool reassociate = bool_param(r.call, "AllowReassociation").value_or(false);
  if (!address->network_interface_id.empty() && address->network_interface_id != eni->id && !reassociate)
    throw bad_request("Resource.AlreadyAssociated",
                      "resource " + alloc_id + " is already associated with associate-id " + address->association_id);
  if (eni->association && !eni->association->allocation_id.empty() && eni->association->allocation_id != alloc_id &&
      !reassociate)
    throw bad_request(
        "Resource.AlreadyAssociated",
        "resource " + eni->id + " is already associated with associate-id " + eni->association->association_id);
  const std::string private_ip = r.call.param("PrivateIpAddress");
  if (!private_ip.empty() && private_ip != eni->private_ip)
    throw bad_request("InvalidParameterValue",
                      "The private IP address " + private_ip + " is not assigned to " + eni->id);

  // Move the address: off its old interface, and the interface's old address off it.
  if (!address->network_interface_id.empty()) {
    for (auto& e : r.st.interfaces)
      if (e.id == address->network_interface_id) e.association.reset();
  }
  if (eni->association && !eni->association->allocation_id.empty()) {
    for (auto& a : r.st.addresses) {
      if (a.allocation_id == eni->association->allocation_id) {
        a.network_interface_id.clear();
        a.association_id.clear();
        a.private_ip.clear();
      }
    }
  }
  address->network_interface_id = eni->id;
  address->association_id = ids_.make("eipassoc");
  address->private_ip = eni->private_ip;
  // An Elastic IP replaces the address EC2 assigned at launch.
  eni->association =
      PublicAssociation{address->public_ip, address->allocation_id, address->association_id, r.st.account_id};
  x.leaf("return", true).leaf("associationId", address->association_id);
}

void Ec2Service::disassociate_address(Request& r, Xml& x) {
  const std::string assoc_id = required(r.call, "AssociationId");
  for (auto& a : r.st.addresses) {
    if (a.association_id != assoc_id) continue;
    for (auto& e : r.st.interfaces)
      if (e.id == a.network_interface_id) e.association.reset();
    a.network_interface_id.clear();
    a.association_id.clear();
    a.private_ip.clear();
    x.leaf("return", true);
    return;
  }
  throw bad_request("InvalidAssociationID.NotFound", "The association ID '" + assoc_id + "' does not exist");
}

void Ec2Service::describe_addresses(Request& r, Xml& x) {
  const auto filters = parse_filters(r.call);
  check_filters(filters, {"allocation-id", "association-id", "domain", "instance-id", "network-interface-id",
                          "network-interface-owner-id", "public-ip", "private-ip-address", "tag-key", "tag-value"});
  const auto public_ips = list_param(r.call, "PublicIp");
  const auto alloc_ids = list_param(r.call, "AllocationId");
  for (const auto& ip : public_ips) {
    if (std::none_of(r.st.addresses.begin(), r.st.addresses.end(), [&](const Address& a) { return a.public_ip == ip; }))
      throw bad_request("InvalidAddress.NotFound", "Address '" + ip + "' not found.");
  }
  for (const auto& id : alloc_ids) {
    if (std::none_of(r.st.addresses.begin(), r.st.addresses.end(),
                     [&](const Address& a) { return a.allocation_id == id; }))
      throw bad_request("InvalidAllocationID.NotFound", "The allocation ID '" + id + "' does not exist");
  }
  x.open("addressesSet");
  for (const auto& a : r.st.addresses) {
    if (!public_ips.empty() && std::find(public_ips.begin(), public_ips.end(), a.public_ip) == public_ips.end())
      continue;
    if (!alloc_ids.empty() && std::find(alloc_ids.begin(), alloc_ids.end(), a.allocation_id) == alloc_ids.end())
      continue;
    std::string instance_id;
    for (const auto& e : r.st.interfaces)
      if (e.id == a.network_interface_id) instance_id = e.instance_id;
    bool ok = matches(filters, [&](const std::string& n) {
      std::vector<std::string> out;
      if (tag_field(a.tags, n, out)) return out;
      if (n == "allocation-id") return std::vector{a.allocation_id};
      if (n == "association-id" && !a.association_id.empty()) return std::vector{a.association_id};
      if (n == "domain") return std::vector{a.domain};
      if (n == "instance-id" && !instance_id.empty()) return std::vector{instance_id};
      if (n == "network-interface-id" && !a.network_interface_id.empty()) return std::vector{a.network_interface_id};
      if (n == "network-interface-owner-id" && !a.network_interface_id.empty()) return std::vector{r.st.account_id};
      if (n == "public-ip") return std::vector{a.public_ip};
      if (n == "private-ip-address" && !a.private_ip.empty()) return std::vector{a.private_ip};
      return out;
    });
    if (!ok) continue;
    x.open("item").leaf("publicIp", a.public_ip).leaf("allocationId", a.allocation_id).leaf("domain", a.domain);
    x.optional("instanceId", instance_id);
    if (!a.network_interface_id.empty())
      x.leaf("associationId", a.association_id)
          .leaf("networkInterfaceId", a.network_interface_id)
          .leaf("networkInterfaceOwnerId", r.st.account_id)
          .leaf("privateIpAddress", a.private_ip);
    x.tags(a.tags).leaf("publicIpv4Pool", "amazon").leaf("networkBorderGroup", r.st.region).close();
  }
  x.close();
}

void Ec2Service::release_address(Request& r, Xml& x) {
  const std::string alloc_id = r.call.param("AllocationId");
  const std::string public_ip = r.call.param("PublicIp");
  if (alloc_id.empty() && public_ip.empty())
    throw bad_request("MissingParameter", "The request must contain the parameter AllocationId");
  auto it = std::find_if(r.st.addresses.begin(), r.st.addresses.end(), [&](const Address& a) {
    return alloc_id.empty() ? a.public_ip == public_ip : a.allocation_id == alloc_id;
  });
  if (it == r.st.addresses.end()) {
    if (alloc_id.empty()) throw bad_request("AuthFailure", "The address '" + public_ip + "' does not belong to you.");
    throw bad_request("InvalidAllocationID.NotFound", "The allocation ID '" + alloc_id + "' does not exist");
  }
  if (!it->network_interface_id.empty())
    throw bad_request("InvalidIPAddress.InUse", "Address " + it->public_ip + " is in use.");
  r.st.addresses.erase(it);
  x.leaf("return", true);
}

}  // namespace qvn::sandbox
