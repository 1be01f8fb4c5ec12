#include "deploy/config_check.hpp"

#include <map>
#include <set>

namespace qvn::deploy {

namespace {

constexpr std::size_t kSubnetsPerRequest = 100;

std::string member(const std::string& name) { return "member \"" + name + "\""; }

void requireNonEmpty(const ConfigEntry& entry, const std::string& name) {
  if (entry.string(name).empty()) entry.fail(member(name) + " is empty");
}

}  // namespace

bool isDeployedEntry(const ConfigEntry& entry) { return !entry.string("private_subnet_id").empty(); }

void checkTestConfig(TestConfig& config, ConfigUse use) {
  if (config.empty()) throw TestConfigError(config.source() + ": the test configuration has no entry");
  std::map<std::string, std::size_t> gateway_subnets;  // gw_subnet_id -> entry number
  for (std::size_t position = 0; position < config.size(); ++position) {
    ConfigEntry entry = config.entry(position);
    const bool deployed = !entry.string("private_subnet_id").empty();
    if (position == 0 || deployed) requireNonEmpty(entry, "gw_subnet_id");
    if (deployed) {
      const std::string& subnet = entry.string("gw_subnet_id");
      auto [earlier, fresh] = gateway_subnets.emplace(subnet, entry.number());
      if (!fresh) {
        entry.fail(member("gw_subnet_id") + ": " + subnet + " is also the gateway subnet of entry " +
                   std::to_string(earlier->second));
      }
    }
    if (use != ConfigUse::Deploy) continue;
    if (deployed) {
      entry.string("gw_private_ip");
      entry.network("private_subnet_cidr");
    } else {
      entry.string("nat_gw_id");
    }
  }
}

TestConfig readCheckedTestConfig(const std::string& path, ConfigUse use) {
  TestConfig config = TestConfig::read(path);
  checkTestConfig(config, use);
  return config;
}

void checkGatewaySubnetsInVpc(TestConfig& config, const aws::Ec2Client& ec2_client, const std::string& vpc_id) {
  std::vector<std::string> wanted;
  std::set<std::string> seen;
  for (ConfigEntry& entry : config.entries()) {
    if (!isDeployedEntry(entry)) continue;
    const std::string& subnet = entry.string("gw_subnet_id");
    if (seen.insert(subnet).second) wanted.push_back(subnet);
  }
  std::map<std::string, std::string> vpc_of;  // subnet id -> VPC id
  for (std::size_t start = 0; start < wanted.size(); start += kSubnetsPerRequest) {
    aws::DescribeSubnetsRequest request;
    aws::Filter filter;
    filter.Name = "subnet-id";
    for (std::size_t i = start; i < wanted.size() && i < start + kSubnetsPerRequest; ++i) {
      filter.Values.push_back(wanted[i]);
    }
    request.Filters.push_back(filter);
    for (const auto& subnet : ec2_client.describe_subnets(request).Subnets) {
      if (subnet.SubnetId) vpc_of[*subnet.SubnetId] = subnet.VpcId.value_or("");
    }
  }
  for (ConfigEntry& entry : config.entries()) {
    if (!isDeployedEntry(entry)) continue;
    const std::string& subnet = entry.string("gw_subnet_id");
    auto found = vpc_of.find(subnet);
    if (found == vpc_of.end()) entry.fail(member("gw_subnet_id") + ": subnet " + subnet + " was not found");
    if (found->second != vpc_id) {
      entry.fail(member("gw_subnet_id") + ": subnet " + subnet + " is in " + found->second + ", not in " + vpc_id +
                 " (the VPC of entry 1)");
    }
  }
}

}  // namespace qvn::deploy
