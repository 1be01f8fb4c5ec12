// What the account and the region offer: the account's attributes (its
// Elastic IP quota), the instance types with their architectures and the
// zones that offer them, and the launch checks that follow from them.
#include <algorithm>
#include <stdexcept>

#include "ec2_service.hpp"

namespace qvn::sandbox {

using namespace ec2;

namespace {

const std::vector<std::string> kX86 = {"x86_64"};
const std::vector<std::string> kX86And32 = {"i386", "x86_64"};
const std::vector<std::string> kArm = {"arm64"};

const std::map<std::string, std::vector<std::string>>& builtInInstanceTypes() {
  static const std::map<std::string, std::vector<std::string>> types = {
      {"m1.small", kX86And32},  {"t2.nano", kX86And32}, {"t2.micro", kX86And32}, {"t2.small", kX86And32},
      {"t2.medium", kX86And32}, {"t2.large", kX86},     {"t3.nano", kX86},       {"t3.micro", kX86},
      {"t3.small", kX86},       {"t3.medium", kX86},    {"t3.large", kX86},      {"t3.xlarge", kX86},
      {"t3a.nano", kX86},       {"t3a.micro", kX86},    {"t3a.small", kX86},     {"t3a.medium", kX86},
      {"t3a.large", kX86},      {"t4g.nano", kArm},     {"t4g.micro", kArm},     {"t4g.small", kArm},
      {"t4g.medium", kArm},     {"m5.large", kX86},     {"m5.xlarge", kX86},     {"m6i.large", kX86},
      {"c5.large", kX86},       {"c5.xlarge", kX86},    {"c6i.large", kX86},     {"r5.large", kX86}};
  return types;
}

std::runtime_error offering_error(const std::string& where, const std::string& what) {
  return std::runtime_error("scenario: " + where + ": " + what);
}

std::vector<std::string> texts_of(const Json& j, const std::string& where) {
  std::vector<std::string> out;
  if (!j.is_array()) throw offering_error(where, "must be a list of names");
  for (const auto& item : j) {
    if (!item.is_string()) throw offering_error(where, "must be a list of names");
    out.push_back(item.get<std::string>());
  }
  return out;
}

// A scenario value as EC2's attribute values: text, a number or a list of them.
std::vector<std::string> attribute_values(const Json& j, const std::string& where) {
  std::vector<std::string> values;
  for (const auto& item : j.is_array() ? j : Json::array({j})) {
    if (item.is_string())
      values.push_back(item.get<std::string>());
    else if (item.is_number_integer())
      values.push_back(std::to_string(item.get<long long>()));
    else
      throw offering_error(where, "values are text or whole numbers");
  }
  return values;
}

std::string joined(const std::set<std::string>& names) {
  std::string out;
  for (const auto& name : names) out += (out.empty() ? "" : ", ") + name;
  return out;
}

}  // namespace

// ec2.instance_types: names (with the built-in architectures, x86_64 for a
// name the sandbox does not know) or {"name", "architectures"};
// ec2.instance_type_offerings: {zone: [type, ...]}; ec2.account_attributes:
// {name: value or [values]}.
void Ec2Service::load_offerings(const Json& ec2, RegionState& st) {
  instance_types_.clear();
  offerings_.reset();
  if (ec2.value("instance_types", Json::array()).empty()) instance_types_ = builtInInstanceTypes();
  int n = 0;
  for (const auto& t : ec2.value("instance_types", Json::array())) {
    const std::string where = "ec2.instance_types[" + std::to_string(n++) + "]";
    if (t.is_string()) {
      const auto known = builtInInstanceTypes().find(t.get<std::string>());
      instance_types_[t.get<std::string>()] = known == builtInInstanceTypes().end() ? kX86 : known->second;
    } else if (t.is_object() && t.contains("name") && t["name"].is_string()) {
      instance_types_[t["name"].get<std::string>()] = texts_of(t.value("architectures", Json(kX86)), where);
    } else {
      throw offering_error(where, "a type is a name or {\"name\", \"architectures\"}");
    }
  }
  if (ec2.contains("instance_type_offerings")) {
    const Json& offered = ec2["instance_type_offerings"];
    if (!offered.is_object()) throw offering_error("ec2.instance_type_offerings", "must map zones to type names");
    offerings_.emplace();
    for (const auto& [zone, types] : offered.items()) {
      const auto names = texts_of(types, "ec2.instance_type_offerings." + zone);
      (*offerings_)[zone] = std::set<std::string>(names.begin(), names.end());
    }
  }
  st.account_attributes.clear();
  const Json attributes = ec2.value("account_attributes", Json::object());
  if (!attributes.is_object()) throw offering_error("ec2.account_attributes", "must map names to values");
  for (const auto& [name, value] : attributes.items())
    st.account_attributes[name] = attribute_values(value, "ec2.account_attributes." + name);
}

const std::vector<std::string>& Ec2Service::architectures_of(const std::string& type) const {
  const auto found = instance_types_.find(type);
  if (found == instance_types_.end())
    throw bad_request("InvalidParameterValue", "Invalid value '" + type + "' for InstanceType.");
  return found->second;
}

std::set<std::string> Ec2Service::zones_of(const RegionState& st) const {
  std::set<std::string> zones;
  for (const auto& s : st.subnets) zones.insert(s.az);
  if (offerings_)
    for (const auto& [zone, types] : *offerings_) zones.insert(zone);
  return zones;
}

bool Ec2Service::offered_in(const std::string& type, const std::string& zone) const {
  if (!instance_types_.count(type)) return false;
  if (!offerings_) return true;
  const auto found = offerings_->find(zone);
  return found != offerings_->end() && found->second.count(type) > 0;
}

void Ec2Service::check_type_for_launch(const RegionState& st, const std::string& type, const std::string& zone,
                                       const std::string& image_id) const {
  const std::vector<std::string>& architectures = architectures_of(type);
  if (!offered_in(type, zone)) {
    std::set<std::string> elsewhere;
    for (const auto& z : zones_of(st))
      if (offered_in(type, z)) elsewhere.insert(z);
    throw bad_request("Unsupported", "Your requested instance type (" + type +
                                         ") is not supported in your requested Availability Zone (" + zone +
                                         "). Please retry your request by not specifying an Availability Zone "
                                         "or choosing " +
                                         joined(elsewhere) + ".");
  }
  const Image* image = find_image(st, image_id);
  if (image && std::find(architectures.begin(), architectures.end(), image->architecture) == architectures.end())
    throw bad_request("InvalidParameterValue",
                      "The architecture '" + architectures.front() +
                          "' of the specified instance type does not match the architecture '" + image->architecture +
                          "' of the specified AMI. Specify an instance type and an AMI that have matching "
                          "architectures, and try again. You can use 'describe-instance-types' or "
                          "'describe-images' to discover the architecture of the instance type or AMI.");
}

void Ec2Service::check_address_quota(const RegionState& st) {
  const auto quota = st.account_attributes.find("vpc-max-elastic-ips");
  if (quota == st.account_attributes.end() || quota->second.empty()) return;
  long limit = 0;
  try {
    limit = std::stol(quota->second.front());
  } catch (const std::exception&) {
    return;  // not a number: no limit the sandbox can apply
  }
  if (static_cast<long>(st.addresses.size()) >= limit)
    throw bad_request("AddressLimitExceeded", "The maximum number of addresses has been reached.");
}

void Ec2Service::describe_account_attributes(Request& r, Xml& x) {
  const auto asked = list_param(r.call, "AttributeName");
  x.open("accountAttributeSet");
  for (const auto& [name, values] : r.st.account_attributes) {
    if (!asked.empty() && std::find(asked.begin(), asked.end(), name) == asked.end()) continue;
    x.open("item").leaf("attributeName", name).open("attributeValueSet");
    for (const auto& value : values) x.open("item").leaf("attributeValue", value).close();
    x.close().close();
  }
  x.close();
}

void Ec2Service::describe_instance_types(Request& r, Xml& x) {
  const auto filters = parse_filters(r.call);
  check_filters(filters, {"instance-type", "processor-info.supported-architecture", "current-generation"});
  const auto asked = list_param(r.call, "InstanceType");
  std::vector<std::string> unknown;
  for (const auto& type : asked)
    if (!instance_types_.count(type)) unknown.push_back(type);
  if (!unknown.empty()) {
    std::string listed;
    for (const auto& type : unknown) listed += (listed.empty() ? "" : ", ") + type;
    throw bad_request("InvalidInstanceType", "The following supplied instance types do not exist: [" + listed + "]");
  }
  std::vector<const std::pair<const std::string, std::vector<std::string>>*> selected;
  for (const auto& entry : instance_types_) {
    if (!asked.empty() && std::find(asked.begin(), asked.end(), entry.first) == asked.end()) continue;
    const bool ok = matches(filters, [&](const std::string& n) {
      if (n == "instance-type") return std::vector{entry.first};
      if (n == "processor-info.supported-architecture") return entry.second;
      if (n == "current-generation") return std::vector<std::string>{entry.first == "m1.small" ? "false" : "true"};
      return std::vector<std::string>{};
    });
    if (ok) selected.push_back(&entry);
  }
  const Page p = page(r.call, selected.size(), 5, 100, !asked.empty());
  x.open("instanceTypeSet");
  for (size_t i = p.begin; i < p.end; ++i) {
    const auto& [type, architectures] = *selected[i];
    x.open("item").leaf("instanceType", type).leaf("currentGeneration", type != "m1.small");
    x.open("processorInfo").open("supportedArchitectures");
    for (const auto& architecture : architectures) x.leaf("item", architecture);
    x.close().close().close();
  }
  x.close();
  x.optional("nextToken", p.next_token);
}

void Ec2Service::describe_instance_type_offerings(Request& r, Xml& x) {
  std::string location_type = r.call.param("LocationType");
  if (location_type.empty()) location_type = "region";
  if (location_type != "region" && location_type != "availability-zone" && location_type != "availability-zone-id")
    throw bad_request("InvalidParameterValue", "Invalid value '" + location_type + "' for LocationType.");
  const auto filters = parse_filters(r.call);
  check_filters(filters, {"location", "instance-type"});
  std::map<std::string, std::string> zone_ids;
  for (const auto& zone : zones_of(r.st)) zone_ids[zone] = zone_id_of(zone);
  for (const auto& s : r.st.subnets) zone_ids[s.az] = s.az_id;

  std::vector<std::pair<std::string, std::string>> offered;  // type, location
  for (const auto& known : instance_types_) {
    const std::string& type = known.first;  // a lambda below captures it: no structured binding
    std::set<std::string> locations;
    for (const auto& [zone, zone_id] : zone_ids) {
      if (!offered_in(type, zone)) continue;
      locations.insert(location_type == "region" ? r.st.region : location_type == "availability-zone" ? zone : zone_id);
    }
    for (const auto& location : locations) {
      const bool ok = matches(filters, [&](const std::string& n) {
        if (n == "location") return std::vector{location};
        if (n == "instance-type") return std::vector{type};
        return std::vector<std::string>{};
      });
      if (ok) offered.emplace_back(type, location);
    }
  }
  const Page p = page(r.call, offered.size(), 5, 1000, false);
  x.open("instanceTypeOfferingSet");
  for (size_t i = p.begin; i < p.end; ++i)
    x.open("item")
        .leaf("instanceType", offered[i].first)
        .leaf("locationType", location_type)
        .leaf("location", offered[i].second)
        .close();
  x.close();
  x.optional("nextToken", p.next_token);
}

}  // namespace qvn::sandbox
