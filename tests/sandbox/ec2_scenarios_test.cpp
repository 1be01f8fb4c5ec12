// The shipped scenario files: their networks hang together (every reference
// resolves, every address lies in its network), the default image is offered
// as the deployment looks it up, and the subnet searches of the survey find
// what each scenario was built for when they ask the sandbox through the
// toolkit's EC2 client.
#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

#include "ec2_support.hpp"
#include "ec2_test_server.hpp"

namespace qvn::sandbox {
namespace {

using namespace qvn::sandbox::testing;

std::vector<std::string> scenario_files() {
  std::vector<std::string> out;
  for (const auto& entry : std::filesystem::directory_iterator(scenario_path("")))
    if (entry.path().extension() == ".json") out.push_back(entry.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

Json ec2_part(const std::string& file) { return load_scenario_file(scenario_path(file)).value("ec2", Json::object()); }

std::string str(const Json& j) { return j.is_string() ? j.get<std::string>() : std::string(); }

ec2::Cidr cidr(const std::string& text) {
  auto c = ec2::parse_cidr(text);
  EXPECT_TRUE(c) << text;
  return c.value_or(ec2::Cidr{});
}

bool inside(const std::string& inner, const std::string& outer) {
  const ec2::Cidr a = cidr(inner), b = cidr(outer);
  return a.prefix >= b.prefix && b.contains(a.base);
}

bool overlap(const std::string& x, const std::string& y) { return inside(x, y) || inside(y, x); }

bool address_in(const std::string& ip, const std::string& network) {
  auto a = ec2::parse_ipv4(ip);
  return a && cidr(network).contains(*a);
}

// Every network interface a scenario declares, top-level and inside instances.
std::vector<Json> interfaces_of(const Json& ec2) {
  std::vector<Json> out;
  for (const auto& e : ec2.value("network_interfaces", Json::array())) out.push_back(e);
  for (const auto& in : ec2.value("instances", Json::array()))
    for (const auto& e : in.value("network_interfaces", Json::array()))
      if (e.is_object()) out.push_back(e);
  return out;
}

TEST(Ec2ScenarioFiles, ThereAreScenariosToCheck) {
  const auto files = scenario_files();
  for (const char* expected : {"empty.json", "natgw.json", "spoke-hs.json", "spoke.json"})
    EXPECT_NE(std::find(files.begin(), files.end(), expected), files.end()) << expected;
}

TEST(Ec2ScenarioFiles, SubnetsAndAddressesLieInTheirNetworks) {
  for (const auto& file : scenario_files()) {
    SCOPED_TRACE(file);
    const Json ec2 = ec2_part(file);
    const std::string region = load_scenario_file(scenario_path(file)).value("region", "");
    std::map<std::string, std::string> vpc_cidr, subnet_cidr, subnet_vpc;
    for (const auto& v : ec2.value("vpcs", Json::array())) {
      EXPECT_TRUE(vpc_cidr.emplace(v.value("id", ""), v.value("cidr", "")).second) << v.dump();
      cidr(v.value("cidr", ""));
    }
    for (const auto& s : ec2.value("subnets", Json::array())) {
      const std::string id = s.value("id", ""), vpc = s.value("vpc", ""), net = s.value("cidr", "");
      ASSERT_TRUE(vpc_cidr.count(vpc)) << id << " names an unknown VPC";
      EXPECT_TRUE(inside(net, vpc_cidr[vpc])) << id << " " << net << " is not in " << vpc_cidr[vpc];
      EXPECT_EQ(s.value("az", "").rfind(region, 0), 0u) << id;
      for (const auto& [other, other_net] : subnet_cidr)
        if (subnet_vpc[other] == vpc) {
          EXPECT_FALSE(overlap(net, other_net)) << id << " overlaps " << other;
        }
      EXPECT_TRUE(subnet_cidr.emplace(id, net).second) << id << " twice";
      subnet_vpc[id] = vpc;
    }
    std::set<std::string> eni_ids, public_ips;
    for (const auto& e : interfaces_of(ec2)) {
      const std::string id = e.value("id", ""), subnet = e.value("subnet", "");
      EXPECT_TRUE(eni_ids.insert(id).second) << id << " twice";
      ASSERT_TRUE(subnet_cidr.count(subnet)) << id << " names an unknown subnet";
      if (e.contains("private_ip")) {
        EXPECT_TRUE(address_in(str(e["private_ip"]), subnet_cidr[subnet])) << id;
      }
      if (e.contains("public_ip")) {
        EXPECT_TRUE(public_ips.insert(str(e["public_ip"])).second) << id;
      }
    }
    for (const auto& in : ec2.value("instances", Json::array()))
      for (const auto& e : in.value("network_interfaces", Json::array()))
        if (e.is_string()) {
          EXPECT_TRUE(eni_ids.count(e.get<std::string>())) << in.dump();
        }
    for (const auto& n : ec2.value("nat_gateways", Json::array())) {
      const std::string id = n.value("id", ""), subnet = n.value("subnet", "");
      ASSERT_TRUE(subnet_cidr.count(subnet)) << id;
      if (n.contains("private_ip")) {
        EXPECT_TRUE(address_in(str(n["private_ip"]), subnet_cidr[subnet])) << id;
      }
      if (n.contains("public_ip")) {
        EXPECT_TRUE(public_ips.insert(str(n["public_ip"])).second) << id;
      }
      const bool live = n.value("state", "available") == "available";
      if (live && n.value("connectivity", "public") == "public") {
        EXPECT_TRUE(n.contains("public_ip")) << id;
      }
    }
  }
}

TEST(Ec2ScenarioFiles, RouteTablesReferToWhatExistsInTheirVpc) {
  for (const auto& file : scenario_files()) {
    SCOPED_TRACE(file);
    const Json ec2 = ec2_part(file);
    std::map<std::string, std::string> subnet_vpc, nat_vpc, eni_vpc, instance_vpc;
    for (const auto& s : ec2.value("subnets", Json::array())) subnet_vpc[str(s["id"])] = str(s["vpc"]);
    for (const auto& n : ec2.value("nat_gateways", Json::array())) nat_vpc[str(n["id"])] = subnet_vpc[str(n["subnet"])];
    for (const auto& e : interfaces_of(ec2)) eni_vpc[str(e["id"])] = subnet_vpc[str(e["subnet"])];
    for (const auto& in : ec2.value("instances", Json::array())) {
      const auto& first = in["network_interfaces"].at(0);
      instance_vpc[str(in["id"])] = first.is_string() ? eni_vpc[str(first)] : subnet_vpc[str(first["subnet"])];
    }
    std::set<std::string> associated;
    std::map<std::string, int> mains;
    for (const auto& t : ec2.value("route_tables", Json::array())) {
      const std::string id = t.value("id", ""), vpc = t.value("vpc", "");
      if (t.value("main", false)) ++mains[vpc];
      for (const auto& s : t.value("subnets", Json::array())) {
        EXPECT_EQ(subnet_vpc[str(s)], vpc) << id << " associates " << s;
        EXPECT_TRUE(associated.insert(str(s)).second) << s << " is in two route tables";
      }
      for (const auto& r : t.value("routes", Json::array())) {
        cidr(r.value("destination", ""));
        int targets = 0;
        if (r.contains("gateway")) {
          ++targets;
          const std::string gw = str(r["gateway"]);
          EXPECT_TRUE(gw == "local" || gw.rfind("igw-", 0) == 0) << id << " routes to " << gw;
        }
        if (r.contains("nat_gateway")) {
          ++targets;
          EXPECT_EQ(nat_vpc[str(r["nat_gateway"])], vpc) << id << " routes to " << r["nat_gateway"];
        }
        if (r.contains("network_interface")) {
          ++targets;
          EXPECT_EQ(eni_vpc[str(r["network_interface"])], vpc) << id << " routes to " << r["network_interface"];
        }
        if (r.contains("instance")) {
          ++targets;
          EXPECT_EQ(instance_vpc[str(r["instance"])], vpc) << id << " routes to " << r["instance"];
        }
        EXPECT_EQ(targets, 1) << id << ": " << r.dump();
      }
    }
    for (const auto& [vpc, n] : mains) EXPECT_LE(n, 1) << vpc << " has several main tables";
  }
}

TEST(Ec2ScenarioFiles, DefaultImageIsOfferedOncePerOwner) {
  const auto now = std::chrono::system_clock::now();
  for (const auto& file : scenario_files()) {
    SCOPED_TRACE(file);
    std::set<std::string> ids;
    std::map<std::string, int> default_by_owner;
    for (const auto& im : ec2_part(file).value("images", Json::array())) {
      EXPECT_TRUE(ids.insert(im.value("id", "")).second) << im.dump();
      if (im.value("name", "") != kImageName) continue;
      ++default_by_owner[im.value("owner_id", "")];
      if (im.value("owner_id", "") != kAmazon) continue;
      EXPECT_EQ(im.value("id", ""), kImage);
      EXPECT_EQ(im.value("owner_alias", ""), "amazon");
      EXPECT_TRUE(im.value("public", true));
      if (im.contains("deprecation_time")) {
        EXPECT_GT(ec2::parse_iso_time(str(im["deprecation_time"])).value_or(now), now);
      }
    }
    EXPECT_EQ(default_by_owner[kAmazon], 1);
    for (const auto& [owner, n] : default_by_owner) EXPECT_EQ(n, 1) << owner;
  }
}

TEST(Ec2ScenarioFiles, EveryScenarioLoadsIntoTheWholeSandbox) {
  for (const auto& file : scenario_files()) {
    SCOPED_TRACE(file);
    SandboxServer server;
    server.add_service(make_ec2_service());
    server.add_service(make_iam_service());
    server.add_service(make_sts_service());
    server.add_service(make_ssm_service());
    server.add_service(make_s3_service());
    EXPECT_NO_THROW(server.load_scenario(load_scenario_file(scenario_path(file))));
  }
}

// ---- the scenarios as the survey sees them -----------------------------------

class Ec2ScenarioTest : public SandboxServerTest {
 protected:
  void SetUp() override { start(quick("spoke.json")); }
  void use(const std::string& file) { server->load_scenario(quick(file)); }

  aws::DescribeRouteTablesRequest tables_of(const std::string& vpc) {
    aws::DescribeRouteTablesRequest r;
    r.Filters = {aws::Filter{"vpc-id", {vpc}}};
    return r;
  }

  // The spoke search: the gateway's interface by its public address, then the
  // first subnet of a route table that routes to that interface.
  std::string test_subnet_behind(const std::string& vpc, const std::string& public_ip) {
    aws::DescribeNetworkInterfacesRequest by_ip;
    by_ip.Filters = {aws::Filter{"addresses.association.public-ip", {public_ip}}};
    auto enis = ec2().describe_network_interfaces(by_ip).NetworkInterfaces;
    if (enis.size() != 1) {
      ADD_FAILURE() << public_ip << " matches " << enis.size() << " interfaces";
      return "";
    }
    for (const auto& t : ec2().describe_route_tables(tables_of(vpc)).RouteTables)
      for (const auto& route : t.Routes)
        if (route.NetworkInterfaceId == enis[0].NetworkInterfaceId)
          for (const auto& a : t.Associations)
            if (a.SubnetId) return *a.SubnetId;
    return "";
  }
};

TEST_F(Ec2ScenarioTest, EveryVpcHasOneMainRouteTableWhoseAssociationHasNoSubnet) {
  for (const auto& file : scenario_files()) {
    SCOPED_TRACE(file);
    use(file);
    const Json ec2_json = ec2_part(file);
    for (const auto& v : ec2_json.value("vpcs", Json::array())) {
      int mains = 0;
      for (const auto& t : ec2().describe_route_tables(tables_of(str(v["id"]))).RouteTables) {
        EXPECT_EQ(t.VpcId, v["id"].get<std::string>());
        for (const auto& a : t.Associations) {
          if (!a.Main.value_or(false)) {
            EXPECT_TRUE(a.SubnetId.has_value());
            continue;
          }
          ++mains;
          EXPECT_FALSE(a.SubnetId.has_value());
        }
        // The local route comes first and covers the VPC.
        ASSERT_FALSE(t.Routes.empty());
        EXPECT_EQ(t.Routes[0].GatewayId, "local");
        EXPECT_EQ(t.Routes[0].DestinationCidrBlock, v["cidr"].get<std::string>());
      }
      EXPECT_EQ(mains, 1);
    }
    // Each associated subnet finds exactly its own table.
    for (const auto& t : ec2_json.value("route_tables", Json::array()))
      for (const auto& s : t.value("subnets", Json::array())) {
        aws::DescribeRouteTablesRequest r;
        r.Filters = {aws::Filter{"association.subnet-id", {s.get<std::string>()}}};
        auto found = ec2().describe_route_tables(r).RouteTables;
        ASSERT_EQ(found.size(), 1u) << s;
        EXPECT_EQ(found[0].RouteTableId, t["id"].get<std::string>());
      }
  }
}

TEST_F(Ec2ScenarioTest, SpokeSearchesFindTheSubnetBehindEachGateway) {
  EXPECT_EQ(test_subnet_behind("vpc-0a5b0c0d0e0f00001", "198.51.100.10"), "subnet-0a5b0c0d0e0f00011");
  EXPECT_EQ(test_subnet_behind("vpc-0a5b0c0d0e0f00001", "198.51.100.11"), "subnet-0a5b0c0d0e0f00021");
  aws::DescribeSubnetsRequest cidr_of;
  cidr_of.SubnetIds = {"subnet-0a5b0c0d0e0f00011"};
  EXPECT_EQ(ec2().describe_subnets(cidr_of).Subnets.at(0).CidrBlock, "10.10.10.0/24");

  // The horizontally scaled spoke: one private subnet per gateway, each in its zone.
  use("spoke-hs.json");
  const Json hs = ec2_part("spoke-hs.json");
  std::set<std::string> found;
  for (const auto& in : hs["instances"]) {
    const Json& eni = in["network_interfaces"].at(0);
    const std::string subnet = test_subnet_behind("vpc-0b5b0c0d0e0f00001", str(eni["public_ip"]));
    ASSERT_FALSE(subnet.empty()) << in["id"];
    aws::DescribeSubnetsRequest both;
    both.SubnetIds = {subnet, str(eni["subnet"])};
    auto described = ec2().describe_subnets(both).Subnets;
    ASSERT_EQ(described.size(), 2u);
    EXPECT_EQ(described[0].AvailabilityZone, described[1].AvailabilityZone) << subnet;
    found.insert(subnet);
  }
  EXPECT_EQ(found.size(), 3u);
}

TEST_F(Ec2ScenarioTest, NatSearchSeesAvailableGatewaysAndTheSubnetsRoutedToThem) {
  use("natgw.json");
  const std::string vpc = "vpc-0c5b0c0d0e0f00001";
  aws::DescribeNatGatewaysRequest available;
  available.Filter = {aws::Filter{"vpc-id", {vpc}}, aws::Filter{"state", {"available"}}};
  auto nats = ec2().describe_nat_gateways(available).NatGateways;
  ASSERT_EQ(nats.size(), 4u);
  int publics = 0;
  for (const auto& n : nats) {
    ASSERT_FALSE(n.NatGatewayAddresses.empty());
    const bool is_public = n.ConnectivityType == "public";
    publics += is_public;
    EXPECT_EQ(n.NatGatewayAddresses[0].PublicIp.has_value(), is_public) << *n.NatGatewayId;
    EXPECT_TRUE(n.NatGatewayAddresses[0].PrivateIp.has_value());
  }
  EXPECT_EQ(publics, 3);
  aws::DescribeNatGatewaysRequest deleted;
  deleted.Filter = {aws::Filter{"state", {"deleted"}}};
  EXPECT_EQ(ec2().describe_nat_gateways(deleted).NatGateways.size(), 1u);
  aws::DescribeNatGatewaysRequest tagged = available;
  tagged.Filter.push_back(aws::Filter{"tag:Name", {"natgw-us-east-1a"}});
  EXPECT_EQ(ec2().describe_nat_gateways(tagged).NatGateways.at(0).NatGatewayId, "nat-0c5b0c0d0e0f00001");

  // Subnets routed to the first gateway, repeats kept as the search collects them.
  std::vector<std::string> routed;
  for (const auto& t : ec2().describe_route_tables(tables_of(vpc)).RouteTables)
    for (const auto& r : t.Routes)
      if (r.NatGatewayId == "nat-0c5b0c0d0e0f00001")
        for (const auto& a : t.Associations) routed.push_back(a.SubnetId.value_or("?"));
  EXPECT_EQ(routed.size(), 4u);  // two routes to it in one table of two subnets
  aws::DescribeSubnetsRequest candidates;
  candidates.SubnetIds = routed;
  auto subnets = ec2().describe_subnets(candidates).Subnets;
  ASSERT_EQ(subnets.size(), 2u);  // each subnet once
  std::string in_zone;
  for (const auto& s : subnets)
    if (s.AvailabilityZone == "us-east-1a" && in_zone.empty()) in_zone = *s.SubnetId;
  EXPECT_EQ(in_zone, "subnet-0c5b0c0d0e0f00011");

  aws::DescribeRouteTablesRequest via_filter;
  via_filter.Filters = {aws::Filter{"route.nat-gateway-id", {"nat-0c5b0c0d0e0f00011"}}};
  auto private_nat = ec2().describe_route_tables(via_filter).RouteTables;
  ASSERT_EQ(private_nat.size(), 1u);
  EXPECT_EQ(private_nat[0].Associations.at(0).SubnetId, "subnet-0c5b0c0d0e0f00022");
}

TEST_F(Ec2ScenarioTest, ImageLookupFindsOnlyTheCurrentAmazonImage) {
  auto lookup = [&](const std::string& name, std::vector<std::string> owners) {
    aws::DescribeImagesRequest r;
    r.ExecutableUsers = {"all"};
    r.Filters = {aws::Filter{"name", {name}}};
    r.Owners = std::move(owners);
    r.IncludeDeprecated = false;
    std::vector<std::string> ids;
    for (const auto& im : ec2().describe_images(r).Images) ids.push_back(im.ImageId.value_or(""));
    return ids;
  };
  EXPECT_EQ(lookup(kImageName, {"amazon"}), std::vector<std::string>{kImage});
  EXPECT_EQ(lookup(kImageName, {kAmazon}), std::vector<std::string>{kImage});
  EXPECT_EQ(lookup(kImageName, {}).size(), 2u);  // another owner's copy as well
  EXPECT_TRUE(lookup("al2023-ami-2023.2.20231002.0-kernel-6.1-x86_64", {"amazon"}).empty());  // deprecated
  EXPECT_TRUE(lookup("no-such-image", {"amazon"}).empty());
  EXPECT_EQ(lookup("al2023-ami-2023.3.*", {"amazon"}).size(), 2u);  // x86_64 and arm64
}

}  // namespace
}  // namespace qvn::sandbox
