#include "deploy/config_check.hpp"

#include <map>
#include <set>

#include "deploy/vpc_lookups.hpp"

namespace qvn::deploy {

namespace {

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

std::map<std::string, aws::Subnet> checkGatewaySubnetsInVpc(TestConfig& config, const aws::Ec2Client& ec2_client,
                                                            const std::string& vpc_id) {
  std::vector<std::string> wanted;
  std::set<std::string> seen;
  for (ConfigEntry& entry : config.entries()) {
    if (!isDeployedEntry(entry)) continue;
    const std::string& subnet = entry.string("gw_subnet_id");
    if (seen.insert(subnet).second) wanted.push_back(subnet);
  }
  const std::map<std::string, aws::Subnet> described = subnetsById(ec2_client, wanted);
  for (ConfigEntry& entry : config.entries()) {
    if (!isDeployedEntry(entry)) continue;
    const std::string& subnet = entry.string("gw_subnet_id");
    auto found = described.find(subnet);
    if (found == described.end()) entry.fail(member("gw_subnet_id") + ": subnet " + subnet + " was not found");
    const std::string in_vpc = found->second.VpcId.value_or("");
    if (in_vpc != vpc_id) {
      entry.fail(member("gw_subnet_id") + ": subnet " + subnet + " is in " + in_vpc + ", not in " + vpc_id +
                 " (the VPC of entry 1)");
    }
  }
  return described;
}

}  // namespace qvn::deploy
