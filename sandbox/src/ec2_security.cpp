// Images, key pairs and security groups.
#include <algorithm>

#include "ec2_keys.hpp"
#include "ec2_service.hpp"

namespace qvn::sandbox {

using namespace ec2;

// ---- images ----------------------------------------------------------------

void Ec2Service::describe_images(Request& r, Xml& x) {
  const auto filters = parse_filters(r.call);
  check_filters(filters, {"name", "image-id", "owner-id", "owner-alias", "is-public", "state", "architecture",
                          "description", "image-type", "tag-key", "tag-value"});
  const auto owners = list_param(r.call, "Owner");
  const auto executable_by = list_param(r.call, "ExecutableBy");
  const auto image_ids = list_param(r.call, "ImageId");
  const bool include_deprecated = bool_param(r.call, "IncludeDeprecated").value_or(false);
  // Every image asked for by id must be well formed and visible to the caller.
  std::string missing;
  for (const auto& id : image_ids) {
    if (!well_formed_image_id(id))
      throw bad_request("InvalidAMIID.Malformed", "Invalid id: \"" + id + "\" (expecting \"ami-...\")");
    if (!find_image(r.st, id)) missing += (missing.empty() ? "" : ", ") + id;
  }
  if (!missing.empty()) throw bad_request("InvalidAMIID.NotFound", "The image id '[" + missing + "]' does not exist");
  x.open("imagesSet");
  auto it = images_.find(r.st.region);
  const std::vector<Image> none;
  for (const Image& im : it == images_.end() ? none : it->second) {
    const bool own = im.owner_id == r.st.account_id;
    if (!im.is_public && !own) continue;
    if (!image_ids.empty() && std::find(image_ids.begin(), image_ids.end(), im.id) == image_ids.end()) continue;
    if (!owners.empty()) {
      bool hit = false;
      for (const auto& o : owners)
        hit = hit || o == im.owner_id || (o == "self" && own) || (!im.owner_alias.empty() && o == im.owner_alias);
      if (!hit) continue;
    }
    if (!executable_by.empty()) {
      bool hit = false;
      for (const auto& e : executable_by)
        hit = hit || (e == "all" && im.is_public) || (e == "self" && (own || im.is_public)) || e == r.st.account_id;
      if (!hit) continue;
    }
    // Deprecated images are left out unless asked for; the owner always sees them.
    const bool deprecated = im.deprecation_time && *im.deprecation_time <= r.now;
    if (deprecated && !include_deprecated && !own && image_ids.empty()) continue;
    bool ok = matches(filters, [&](const std::string& n) {
      std::vector<std::string> out;
      if (n == "name") return std::vector{im.name};
      if (n == "image-id") return std::vector{im.id};
      if (n == "owner-id") return std::vector{im.owner_id};
      if (n == "owner-alias") return std::vector{im.owner_alias};
      if (n == "is-public") return std::vector<std::string>{im.is_public ? "true" : "false"};
      if (n == "state") return std::vector{im.state};
      if (n == "architecture") return std::vector{im.architecture};
      if (n == "description") return std::vector{im.description};
      if (n == "image-type") return std::vector<std::string>{"machine"};
      return out;
    });
    if (!ok) continue;
    x.open("item")
        .leaf("imageId", im.id)
        .leaf("imageLocation", (im.owner_alias.empty() ? im.owner_id : im.owner_alias) + "/" + im.name)
        .leaf("imageState", im.state)
        .leaf("imageOwnerId", im.owner_id)
        .leaf("creationDate", im.creation_date)
        .leaf("isPublic", im.is_public)
        .leaf("architecture", im.architecture)
        .leaf("imageType", "machine");
    x.optional("imageOwnerAlias", im.owner_alias);
    x.leaf("name", im.name).optional("description", im.description);
    x.leaf("rootDeviceType", "ebs").leaf("rootDeviceName", "/dev/xvda");
    x.open("blockDeviceMapping")
        .open("item")
        .leaf("deviceName", "/dev/xvda")
        .open("ebs")
        .leaf("deleteOnTermination", true)
        .leaf("snapshotId", im.root_snapshot_id)
        .leaf("volumeSize", im.root_volume_size)
        .leaf("volumeType", "gp3")
        .leaf("encrypted", false)
        .close()
        .close()
        .close();
    x.leaf("virtualizationType", "hvm")
        .leaf("hypervisor", "xen")
        .leaf("enaSupport", true)
        .leaf("platformDetails", "Linux/UNIX")
        .leaf("usageOperation", "RunInstances");
    if (im.deprecation_time) x.leaf("deprecationTime", iso_time(*im.deprecation_time));
    x.close();
  }
  x.close();
}

// ---- key pairs -------------------------------------------------------------

void Ec2Service::create_key_pair(Request& r, Xml& x) {
  const std::string name = required(r.call, "KeyName");
  if (name.size() > 255) throw bad_request("InvalidParameterValue", "Value for parameter KeyName is too long");
  std::string type = r.call.param("KeyType");
  if (type.empty()) type = "rsa";
  if (type != "rsa" && type != "ed25519")
    throw bad_request("InvalidParameterValue", "Invalid value '" + type + "' for KeyType.");
  const std::string format = r.call.param("KeyFormat");
  if (!format.empty() && format != "pem" && format != "ppk")
    throw bad_request("InvalidParameterValue", "Invalid value '" + format + "' for KeyFormat.");
  for (const auto& k : r.st.key_pairs)
    if (k.name == name) throw bad_request("InvalidKeyPair.Duplicate", "The keypair '" + name + "' already exists.");
  const Tags tags = tag_specifications(r.call, "key-pair", {"key-pair"});
  const KeyMaterial material = make_key_material(type);
  KeyPair k;
  k.id = ids_.make("key");
  k.name = name;
  k.type = type;
  k.fingerprint = material.fingerprint;
  k.public_key = material.public_key + " " + name;
  k.create_time = r.now;
  k.tags = tags;
  r.st.key_pairs.push_back(k);
  x.leaf("keyName", k.name)
      .leaf("keyFingerprint", k.fingerprint)
      .leaf("keyMaterial", material.private_pem)
      .leaf("keyPairId", k.id)
      .tags(k.tags);
}

void Ec2Service::describe_key_pairs(Request& r, Xml& x) {
  const auto filters = parse_filters(r.call);
  check_filters(filters, {"key-pair-id", "fingerprint", "key-name", "key-type", "tag-key", "tag-value"});
  const auto names = list_param(r.call, "KeyName");
  const auto ids = list_param(r.call, "KeyPairId");
  for (const auto& n : names) {
    if (std::none_of(r.st.key_pairs.begin(), r.st.key_pairs.end(), [&](const KeyPair& k) { return k.name == n; }))
      throw bad_request("InvalidKeyPair.NotFound", "The key pair '" + n + "' does not exist");
  }
  for (const auto& id : ids) {
    if (std::none_of(r.st.key_pairs.begin(), r.st.key_pairs.end(), [&](const KeyPair& k) { return k.id == id; }))
      throw bad_request("InvalidKeyPair.NotFound", "The key pair '" + id + "' does not exist");
  }
  const bool include_public = bool_param(r.call, "IncludePublicKey").value_or(false);
  x.open("keySet");
  for (const auto& k : r.st.key_pairs) {
    if (!names.empty() && std::find(names.begin(), names.end(), k.name) == names.end()) continue;
    if (!ids.empty() && std::find(ids.begin(), ids.end(), k.id) == ids.end()) continue;
    bool ok = matches(filters, [&](const std::string& n) {
      std::vector<std::string> out;
      if (tag_field(k.tags, n, out)) return out;
      if (n == "key-pair-id") return std::vector{k.id};
      if (n == "fingerprint") return std::vector{k.fingerprint};
      if (n == "key-name") return std::vector{k.name};
      if (n == "key-type") return std::vector{k.type};
      return out;
    });
    if (!ok) continue;
    x.open("item")
        .leaf("keyPairId", k.id)
        .leaf("keyName", k.name)
        .leaf("keyFingerprint", k.fingerprint)
        .leaf("keyType", k.type)
        .tags(k.tags);
    if (include_public) x.leaf("publicKey", k.public_key);
    x.leaf("createTime", iso_time(k.create_time)).close();
  }
  x.close();
}

// Deleting a key pair that does not exist succeeds, as on EC2.
void Ec2Service::delete_key_pair(Request& r, Xml& x) {
  const std::string name = r.call.param("KeyName");
  const std::string id = r.call.param("KeyPairId");
  if (name.empty() && id.empty())
    throw bad_request("MissingParameter", "The request must contain the parameter KeyName");
  std::string deleted_id;
  std::erase_if(r.st.key_pairs, [&](const KeyPair& k) {
    bool hit = (!name.empty() && k.name == name) || (!id.empty() && k.id == id);
    if (hit) deleted_id = k.id;
    return hit;
  });
  x.leaf("return", true);
  x.optional("keyPairId", deleted_id);
}

// ---- security groups -------------------------------------------------------

void Ec2Service::create_security_group(Request& r, Xml& x) {
  const std::string name = required(r.call, "GroupName");
  const std::string description = required(r.call, "GroupDescription");
  std::string vpc_id = r.call.param("VpcId");
  if (vpc_id.empty()) {
    for (const auto& v : r.st.vpcs)
      if (v.is_default) vpc_id = v.id;
    if (vpc_id.empty()) throw bad_request("VPCIdNotSpecified", "No default VPC for this user");
  }
  if (!find_vpc(r.st, vpc_id)) throw bad_request("InvalidVpcID.NotFound", "The vpc ID '" + vpc_id + "' does not exist");
  if (name == "default") throw bad_request("InvalidGroup.Reserved", "The security group 'default' is reserved");
  if (name.starts_with("sg-") || name.size() > 255)
    throw bad_request("InvalidParameterValue", "Value (" + name +
                                                   ") for parameter GroupName is invalid. Group names may "
                                                   "not be in the format sg-*.");
  for (const auto& g : r.st.groups)
    if (g.vpc_id == vpc_id && g.name == name)
      throw bad_request("InvalidGroup.Duplicate",
                        "The security group '" + name + "' already exists for VPC '" + vpc_id + "'");
  const Tags tags = tag_specifications(r.call, "security-group", {"security-group"});
  const SecurityGroup& g = add_group(r.st, vpc_id, name, description, tags);
  x.leaf("return", true).leaf("groupId", g.id).tags(g.tags);
}

namespace {

void write_permissions(const std::string& element, const std::vector<Permission>& perms, const std::string& account,
                       Xml& x) {
  if (perms.empty()) {
    x.empty(element);
    return;
  }
  x.open(element);
  for (const auto& p : perms) {
    x.open("item").leaf("ipProtocol", p.protocol);
    if (p.from_port) x.leaf("fromPort", *p.from_port);
    if (p.to_port) x.leaf("toPort", *p.to_port);
    if (p.group_ids.empty()) {
      x.empty("groups");
    } else {
      x.open("groups");
      for (const auto& gid : p.group_ids) x.open("item").leaf("userId", account).leaf("groupId", gid).close();
      x.close();
    }
    if (p.ranges.empty()) {
      x.empty("ipRanges");
    } else {
      x.open("ipRanges");
      for (const auto& range : p.ranges)
        x.open("item").leaf("cidrIp", range.cidr).optional("description", range.description).close();
      x.close();
    }
    x.empty("ipv6Ranges").empty("prefixListIds").close();
  }
  x.close();
}

}  // namespace

void Ec2Service::describe_security_groups(Request& r, Xml& x) {
  const auto filters = parse_filters(r.call);
  check_filters(filters,
                {"group-id", "group-name", "vpc-id", "description", "owner-id", "ip-permission.cidr",
                 "ip-permission.protocol", "ip-permission.from-port", "ip-permission.to-port", "tag-key", "tag-value"});
  const auto ids = list_param(r.call, "GroupId");
  const auto names = list_param(r.call, "GroupName");
  for (const auto& id : ids) find_group(r.st, id);
  for (const auto& n : names) {
    if (std::none_of(r.st.groups.begin(), r.st.groups.end(), [&](const SecurityGroup& g) { return g.name == n; }))
      throw bad_request("InvalidGroup.NotFound", "The security group '" + n + "' does not exist in default VPC");
  }
  std::vector<const SecurityGroup*> selected;
  for (const auto& g : r.st.groups) {
    if (!ids.empty() && std::find(ids.begin(), ids.end(), g.id) == ids.end()) continue;
    if (!names.empty() && std::find(names.begin(), names.end(), g.name) == names.end()) continue;
    bool ok = matches(filters, [&](const std::string& n) {
      std::vector<std::string> out;
      if (tag_field(g.tags, n, out)) return out;
      if (n == "group-id") return std::vector{g.id};
      if (n == "group-name") return std::vector{g.name};
      if (n == "vpc-id") return std::vector{g.vpc_id};
      if (n == "description") return std::vector{g.description};
      if (n == "owner-id") return std::vector{r.st.account_id};
      for (const auto& p : g.ingress) {
        if (n == "ip-permission.protocol") out.push_back(p.protocol);
        if (n == "ip-permission.from-port" && p.from_port) out.push_back(std::to_string(*p.from_port));
        if (n == "ip-permission.to-port" && p.to_port) out.push_back(std::to_string(*p.to_port));
        if (n == "ip-permission.cidr")
          for (const auto& range : p.ranges) out.push_back(range.cidr);
      }
      return out;
    });
    if (ok) selected.push_back(&g);
  }
  const Page p = page(r.call, selected.size(), 5, 1000, !ids.empty() || !names.empty());
  x.open("securityGroupInfo");
  for (size_t i = p.begin; i < p.end; ++i) {
    const SecurityGroup& g = *selected[i];
    x.open("item")
        .leaf("ownerId", r.st.account_id)
        .leaf("groupId", g.id)
        .leaf("groupName", g.name)
        .leaf("groupDescription", g.description)
        .leaf("vpcId", g.vpc_id);
    write_permissions("ipPermissions", g.ingress, r.st.account_id, x);
    write_permissions("ipPermissionsEgress", g.egress, r.st.account_id, x);
    x.tags(g.tags).close();
  }
  x.close();
  x.optional("nextToken", p.next_token);
}

namespace {

std::string normalise_protocol(const std::string& p) {
  if (p == "tcp" || p == "6") return "tcp";
  if (p == "udp" || p == "17") return "udp";
  if (p == "icmp" || p == "1") return "icmp";
  if (p == "-1" || p == "all") return "-1";
  for (char c : p)
    if (!std::isdigit(static_cast<unsigned char>(c)))
      throw bad_request("InvalidParameterValue", "Invalid value '" + p + "' for IP protocol. Unknown protocol.");
  if (p.empty()) throw bad_request("MissingParameter", "The request must contain the parameter ipProtocol");
  return p;
}

bool same_rule(const Permission& a, const Permission& b) {
  return a.protocol == b.protocol && a.from_port == b.from_port && a.to_port == b.to_port;
}

}  // namespace

void Ec2Service::authorize_security_group_ingress(Request& r, Xml& x) {
  SecurityGroup* group = nullptr;
  if (r.call.has_param("GroupId")) {
    group = &find_group(r.st, r.call.param("GroupId"));
  } else if (r.call.has_param("GroupName")) {
    const std::string name = r.call.param("GroupName");
    for (auto& g : r.st.groups)
      if (g.name == name) group = &g;
    if (!group)
      throw bad_request("InvalidGroup.NotFound", "The security group '" + name + "' does not exist in default VPC");
  } else {
    throw bad_request("MissingParameter", "The request must contain the parameter groupId");
  }

  // The new rules, from IpPermissions.N.* or the flat CidrIp/IpProtocol/FromPort/ToPort form.
  std::vector<Permission> wanted;
  for (int n : indexes(r.call, "IpPermissions")) {
    const std::string base = "IpPermissions." + std::to_string(n);
    Permission p;
    p.protocol = normalise_protocol(r.call.param(base + ".IpProtocol"));
    p.from_port = int_param(r.call, base + ".FromPort");
    p.to_port = int_param(r.call, base + ".ToPort");
    for (int m : indexes(r.call, base + ".IpRanges")) {
      const std::string range = base + ".IpRanges." + std::to_string(m);
      p.ranges.push_back({r.call.param(range + ".CidrIp"), r.call.param(range + ".Description")});
    }
    for (int m : indexes(r.call, base + ".Groups"))
      p.group_ids.push_back(find_group(r.st, r.call.param(base + ".Groups." + std::to_string(m) + ".GroupId")).id);
    wanted.push_back(std::move(p));
  }
  if (wanted.empty() && r.call.has_param("IpProtocol")) {
    Permission p;
    p.protocol = normalise_protocol(r.call.param("IpProtocol"));
    p.from_port = int_param(r.call, "FromPort");
    p.to_port = int_param(r.call, "ToPort");
    if (r.call.has_param("CidrIp")) p.ranges.push_back({r.call.param("CidrIp"), ""});
    wanted.push_back(std::move(p));
  }
  if (wanted.empty()) throw bad_request("MissingParameter", "No IP permissions given");

  for (auto& p : wanted) {
    if (p.protocol == "-1") {
      p.from_port.reset();
      p.to_port.reset();
    } else if ((p.protocol == "tcp" || p.protocol == "udp") && (!p.from_port || !p.to_port)) {
      throw bad_request("InvalidParameterValue",
                        "Invalid value 'Must specify both from and to ports with TCP/UDP.' for "
                        "portRange");
    }
    for (const auto& range : p.ranges) {
      if (!parse_cidr(range.cidr))
        throw bad_request("InvalidParameterValue", "CIDR block " + range.cidr + " is malformed");
    }
    if (p.ranges.empty() && p.group_ids.empty()) throw bad_request("MissingParameter", "No CIDR or source group given");
    // A range or group already allowed by an identical rule is a duplicate.
    for (const auto& have : group->ingress) {
      if (!same_rule(have, p)) continue;
      for (const auto& range : p.ranges)
        for (const auto& old : have.ranges)
          if (old.cidr == range.cidr)
            throw bad_request("InvalidPermission.Duplicate",
                              "the specified rule \"peer: " + range.cidr + ", " + p.protocol +
                                  (p.from_port ? ", from port: " + std::to_string(*p.from_port) : "") +
                                  (p.to_port ? ", to port: " + std::to_string(*p.to_port) : "") +
                                  ", ALLOW\" already exists");
      for (const auto& gid : p.group_ids)
        if (std::find(have.group_ids.begin(), have.group_ids.end(), gid) != have.group_ids.end())
          throw bad_request("InvalidPermission.Duplicate",
                            "the specified rule \"peer: " + gid + ", ALLOW\" already exists");
    }
  }

  x.leaf("return", true).open("securityGroupRuleSet");
  for (auto& p : wanted) {
    p.rule_id = ids_.make("sgr");
    for (const auto& range : p.ranges) {
      x.open("item")
          .leaf("groupOwnerId", r.st.account_id)
          .leaf("groupId", group->id)
          .leaf("securityGroupRuleId", p.rule_id)
          .leaf("isEgress", false)
          .leaf("ipProtocol", p.protocol);
      x.leaf("fromPort", p.from_port.value_or(-1)).leaf("toPort", p.to_port.value_or(-1));
      x.leaf("cidrIpv4", range.cidr).optional("description", range.description).close();
    }
    group->ingress.push_back(p);
  }
  x.close();
}

void Ec2Service::delete_security_group(Request& r, Xml& x) {
  std::string id = r.call.param("GroupId");
  if (id.empty()) {
    const std::string name = required(r.call, "GroupName");
    for (const auto& g : r.st.groups)
      if (g.name == name) id = g.id;
    if (id.empty())
      throw bad_request("InvalidGroup.NotFound", "The security group '" + name + "' does not exist in default VPC");
  }
  const SecurityGroup& g = find_group(r.st, id);
  if (g.name == "default")
    throw bad_request("CannotDelete",
                      "the specified group: \"" + id + "\" name: \"default\" cannot be deleted by a user");
  for (const auto& e : r.st.interfaces)
    if (std::find(e.group_ids.begin(), e.group_ids.end(), id) != e.group_ids.end())
      throw bad_request("DependencyViolation", "resource " + id + " has a dependent object");
  for (const auto& other : r.st.groups) {
    if (other.id == id) continue;
    for (const auto& p : other.ingress)
      if (std::find(p.group_ids.begin(), p.group_ids.end(), id) != p.group_ids.end())
        throw bad_request("DependencyViolation", "resource " + id + " has a dependent object");
  }
  std::erase_if(r.st.groups, [&](const SecurityGroup& s) { return s.id == id; });
  x.leaf("return", true).leaf("groupId", id);
}

}  // namespace qvn::sandbox
