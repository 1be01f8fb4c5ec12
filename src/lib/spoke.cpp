#include "lib/spoke.hpp"

#include <stdexcept>
#include <utility>

#include "core/logging.hpp"
#include "core/run_outcome.hpp"
#include "lib/ipv4.hpp"
#include "lib/route_tables.hpp"
#include "lib/test_config.hpp"

namespace qvn {

namespace {

using Json = nlohmann::json;

Logger* spokeLog() { return getLogger("quorvane_testlibs.bin.lib.spoke"); }

std::string describeValue(const Json& value) { return value.is_string() ? value.get<std::string>() : value.dump(); }

// The text member `name` of a gateway record; fails naming the member.
std::string member(const Json& record, const std::string& name) {
  if (!record.is_object() || !record.contains(name)) {
    throw std::runtime_error("gateway record without \"" + name + "\"");
  }
  const Json& value = record[name];
  if (!value.is_string()) {
    throw std::runtime_error("gateway record member \"" + name + "\" is not text: " + value.dump());
  }
  return value.get<std::string>();
}

// The gateway records of a list_vpcs_summary answer. Returns nothing (and
// logs the controller's reason) when the controller refused.
std::optional<Json> gatewayRecords(const std::string& api_endpoint_url, const std::string& CID,
                                   const std::string& spoke_gw_name) {
  const Json answer = Spoke::list_gateway_info(api_endpoint_url, CID, "", "no", spoke_gw_name).json();
  if (!answer.is_object() || !answer.contains("return")) {
    throw std::runtime_error("the controller's answer has no \"return\"");
  }
  if (answer["return"] == false) {
    spokeLog()->error("  **Error** Failed to get gateway info from controller. " +
                      describeValue(answer.value("reason", Json("no reason given"))));
    return std::nullopt;
  }
  if (!answer.contains("results") || !answer["results"].is_array()) {
    throw std::runtime_error("the controller's answer has no \"results\" list");
  }
  return answer["results"];
}

void lookupFailed(const std::string& spoke_gw_name, const std::exception& e) {
  spokeLog()->error("  **Error** Failed to receive transit gateway info for spoke " + spoke_gw_name + ". " + e.what());
}

bool namedAs(const Json& record, const std::string& name) {
  return record.is_object() && record.contains("gw_name") && record["gw_name"] == name;
}

// The peer of a classic gateway, from its record's hagw_details.
Spoke peerOf(const Json& details, const std::string& transit_gw_name) {
  Spoke peer;
  if (details.contains("private_ip")) {
    peer.gw_private_ip = describeValue(details["private_ip"]);
    peer.transit_name = transit_gw_name;
  }
  if (details.contains("gw_name")) peer.gw_name = describeValue(details["gw_name"]);
  if (details.contains("public_ip")) peer.gw_public_ip = describeValue(details["public_ip"]);
  peer.checkStatus();
  return peer;
}

// The ID of the network interface that carries the gateway's public address.
std::string interfaceOf(const aws::Ec2Client& ec2, const Spoke& spoke) {
  if (spoke.gw_public_ip.empty()) {
    throw std::runtime_error("gateway " + spoke.gw_name + " has no public address to find its interface by");
  }
  aws::DescribeNetworkInterfacesRequest request;
  request.Filters = {{"addresses.association.public-ip", {spoke.gw_public_ip}}};
  const auto answer = ec2.describe_network_interfaces(request);
  if (answer.NetworkInterfaces.empty() || !answer.NetworkInterfaces.front().NetworkInterfaceId) {
    throw std::runtime_error("no network interface carries the public address " + spoke.gw_public_ip + " of gateway " +
                             spoke.gw_name);
  }
  return *answer.NetworkInterfaces.front().NetworkInterfaceId;
}

using InterfaceMap = std::vector<std::pair<std::string, Spoke>>;

// Maps the interface to the spoke: a known interface keeps its position and
// takes the later spoke.
void mapInterface(InterfaceMap& map, const std::string& eni, const Spoke& spoke) {
  for (auto& [key, value] : map) {
    if (key == eni) {
      value = spoke;
      return;
    }
  }
  map.emplace_back(eni, spoke);
}

// Adds to each mapped spoke the subnets of the route tables that route to
// its interface.
// The search goes on (and writes an empty configuration), but the user
// learns now, not one deployment later, that the name matched nothing.
void warnNotListed(const std::string& spoke_gw_name) {
  spokeLog()->warning("  **Warning** the controller lists no gateway named " + spoke_gw_name +
                      ": the test configuration has no entries");
}

void collectRoutedSubnets(const aws::Ec2Client& ec2, const std::string& vpc, InterfaceMap& map) {
  forEachRoutedSubnet(ec2, vpc, RouteTarget::NetworkInterface, [&](const std::string& eni, const std::string& subnet) {
    for (auto& [key, spoke] : map) {
      if (key == eni) spoke.private_subnets.push_back(subnet);
    }
  });
}

std::string cidrOf(const aws::Ec2Client& ec2, const std::string& subnet_id) {
  aws::DescribeSubnetsRequest request;
  request.SubnetIds = {subnet_id};
  const auto answer = ec2.describe_subnets(request);
  if (answer.Subnets.empty() || !answer.Subnets.front().CidrBlock) {
    throw std::runtime_error("subnet " + subnet_id + " was not found");
  }
  return *answer.Subnets.front().CidrBlock;
}

void searchFailed(const std::string& spoke_gw_name, const std::exception& e) {
  spokeLog()->error("  **Error** The subnet search for spoke " + spoke_gw_name + " failed: " + e.what() +
                    "; nothing was written");
}

}  // namespace

bool Spoke::isDefined() const { return !gw_private_ip.empty() || !transit_name.empty(); }

void Spoke::checkStatus() const {
  if (gw_private_ip.empty()) {
    spokeLog()->error("  **Error** spoke " + gw_name + " private_ip not found");
  } else if (transit_name.empty()) {
    spokeLog()->info("  spoke " + gw_name + " is not attached to a transit");
  } else {
    spokeLog()->info("  found " + transit_name);
  }
}

nlohmann::ordered_json Spoke::toDict() const {
  nlohmann::ordered_json entry;
  entry["gw_name"] = gw_name;
  entry["gw_private_ip"] = gw_private_ip;
  entry["gw_subnet_id"] = gw_subnet;
  entry["gw_subnet_cidr"] = gw_subnet_cidr;
  entry["private_subnet_id"] = private_subnets.at(0);
  entry["private_subnet_cidr"] = first_private_subnet_cidr;
  entry["private_subnet_gw_ip"] = private_subnet_gw_ip;
  return entry;
}

ControllerResponse Spoke::list_gateway_info(const std::string& api_endpoint_url, const std::string& CID,
                                            const std::string& vpc_access_account_name, const std::string& kcx_gw_only,
                                            const std::optional<std::string>& gw_name,
                                            const std::string& keyword_for_log) {
  const ControllerPayload payload{{"action", "list_vpcs_summary"},
                                  {"CID", CID},
                                  {"account_name", vpc_access_account_name},
                                  {"kcx_gw_only", kcx_gw_only},
                                  {"gateway_name", gw_name}};
  return _send_quorvane_api(api_endpoint_url, "GET", payload, keyword_for_log, "    ");
}

Spoke Spoke::createSpoke(const nlohmann::json& info) {
  Spoke spoke;
  spoke.gw_private_ip = member(info, "private_ip");
  if (info.contains("transit_gw_name") && !info["transit_gw_name"].is_null()) {
    spoke.transit_name = member(info, "transit_gw_name");
  }
  spoke.gw_name = member(info, "gw_name");
  spoke.gw_public_ip = member(info, "public_ip");
  spoke.gw_subnet = member(info, "gw_subnet_id");
  spoke.gw_subnet_cidr = member(info, "public_subnet");
  spoke.checkStatus();
  return spoke;
}

std::vector<Spoke> Spoke::getSpokeInfo(const std::string& api_endpoint_url, const std::string& CID,
                                       const std::string& spoke_gw_name) {
  Spoke primary;
  Json peer_details;
  try {
    const auto records = gatewayRecords(api_endpoint_url, CID, spoke_gw_name);
    if (!records) return {};
    std::optional<Json> first;
    for (const auto& record : *records) {
      if (!namedAs(record, spoke_gw_name)) continue;
      // Every match must carry the members of the summary; the first is used.
      Spoke summary;
      summary.gw_private_ip = member(record, "private_ip");
      if (!record.contains("transit_gw_name")) member(record, "transit_gw_name");  // fails: a classic summary needs it
      if (!record["transit_gw_name"].is_null()) summary.transit_name = member(record, "transit_gw_name");
      summary.gw_name = member(record, "gw_name");
      summary.gw_public_ip = member(record, "public_ip");
      summary.gw_subnet = member(record, "gw_subnet_id");
      summary.gw_subnet_cidr = member(record, "public_subnet");
      if (!first) {
        first = record;
        primary = summary;
        peer_details = record.contains("hagw_details") ? record["hagw_details"] : Json();
      }
    }
    if (!first) return {};
  } catch (const std::exception& e) {
    lookupFailed(spoke_gw_name, e);
    return {};
  }
  primary.checkStatus();
  std::vector<Spoke> spokes{primary};
  if (!peer_details.is_null()) spokes.push_back(peerOf(peer_details, primary.transit_name));
  return spokes;
}

std::vector<Spoke> Spoke::getHsSpokeInfo(const std::string& api_endpoint_url, const std::string& CID,
                                         const std::string& spoke_gw_name) {
  std::vector<Spoke> spokes;
  try {
    const auto records = gatewayRecords(api_endpoint_url, CID, spoke_gw_name);
    if (!records) return {};
    for (const auto& record : *records) {
      if (!namedAs(record, spoke_gw_name)) continue;
      spokes.push_back(createSpoke(record));
      if (record.contains("hagw_details") && record.contains("hagw_details_list") &&
          record["hagw_details_list"].is_array()) {
        for (const auto& instance : record["hagw_details_list"]) spokes.push_back(createSpoke(instance));
      }
    }
  } catch (const std::exception& e) {
    lookupFailed(spoke_gw_name, e);
    return {};
  }
  return spokes;
}

void Spoke::writeSpokeSubnets(const std::string& vpc, const aws::Ec2Client& ec2_client,
                              const std::vector<Spoke>& spokes) {
  InterfaceMap interfaces;
  for (const auto& spoke : spokes) mapInterface(interfaces, interfaceOf(ec2_client, spoke), spoke);
  collectRoutedSubnets(ec2_client, vpc, interfaces);

  TestConfig test_config;
  for (auto& [eni, spoke] : interfaces) {
    if (spoke.private_subnets.empty()) {
      throw std::runtime_error("no route table of " + vpc + " routes to the interface " + eni + " of gateway " +
                               spoke.gw_name);
    }
    spoke.first_private_subnet_cidr = cidrOf(ec2_client, spoke.private_subnets.front());
    spoke.private_subnet_gw_ip = second_address(spoke.first_private_subnet_cidr);
    test_config.append(spoke.toDict());
  }
  spokeLog()->info("test.config:");
  spokeLog()->info(test_config.text());
  test_config.write(Globals.TEST_CONFIG);
}

void Spoke::findClassicSpokes(const SearchArgs& args, const aws::Ec2Client& ec2_client,
                              const std::string& controller_api_url, const std::string& CID,
                              const std::string& spoke_gw_name) {
  try {
    std::vector<Spoke> spokes = getSpokeInfo(controller_api_url, CID, spoke_gw_name);
    for (auto& peer : getSpokeInfo(controller_api_url, CID, spoke_gw_name + "-hagw")) {
      spokes.push_back(std::move(peer));
    }
    if (spokes.empty()) warnNotListed(spoke_gw_name);
    writeSpokeSubnets(args.vpc, ec2_client, spokes);
  } catch (const std::exception& e) {
    searchFailed(spoke_gw_name, e);
  }
}

void Spoke::findHsSpokes(const SearchArgs& args, const aws::Ec2Client& ec2_client,
                         const std::string& controller_api_url, const std::string& CID,
                         const std::string& spoke_gw_name) {
  try {
    const std::vector<Spoke> spokes = getHsSpokeInfo(controller_api_url, CID, spoke_gw_name);
    if (spokes.empty()) warnNotListed(spoke_gw_name);
    writeSpokeSubnets(args.vpc, ec2_client, spokes);
  } catch (const std::exception& e) {
    searchFailed(spoke_gw_name, e);
  }
}

}  // namespace qvn
