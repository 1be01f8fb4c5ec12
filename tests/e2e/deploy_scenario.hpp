#pragma once
// Scenarios for deployments of many test subnets: the spoke scenario's VPC
// with `count` more gateway subnets (public, /25) and as many private test
// subnets beside them, and the test configuration that lists them.
#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

namespace qvn::e2e {

inline const std::string kDeployVpc = "vpc-0a5b0c0d0e0f00001";

inline std::string extraSubnetId(char kind, int index) {
  char id[32];
  std::snprintf(id, sizeof id, "subnet-0%c%015x", kind, index + 1);
  return id;
}

// 10.10.(100 + index).0/25 for the gateway subnet, .128/25 for the private one.
inline std::string extraCidr(int index, bool upper) {
  return "10.10." + std::to_string(100 + index) + (upper ? ".128/25" : ".0/25");
}

inline void addTestSubnets(nlohmann::json& scenario, int count) {
  auto& subnets = scenario["ec2"]["subnets"];
  for (int i = 0; i < count; ++i) {
    const std::string az = i % 2 == 0 ? "us-east-1a" : "us-east-1b";
    subnets.push_back({{"id", extraSubnetId('e', i)},
                       {"vpc", kDeployVpc},
                       {"az", az},
                       {"cidr", extraCidr(i, false)},
                       {"map_public_ip_on_launch", true},
                       {"tags", {{"Name", "test-gateway-" + std::to_string(i)}}}});
    subnets.push_back({{"id", extraSubnetId('f', i)},
                       {"vpc", kDeployVpc},
                       {"az", az},
                       {"cidr", extraCidr(i, true)},
                       {"tags", {{"Name", "test-private-" + std::to_string(i)}}}});
  }
}

// One spoke entry per extra subnet pair, in the members' written order.
inline nlohmann::ordered_json spokeTestConfig(int count) {
  nlohmann::ordered_json config = nlohmann::ordered_json::array();
  for (int i = 0; i < count; ++i) {
    nlohmann::ordered_json entry;
    entry["gw_name"] = "spoke-" + std::to_string(i);
    entry["gw_private_ip"] = "10.10." + std::to_string(100 + i) + ".10";
    entry["gw_subnet_id"] = extraSubnetId('e', i);
    entry["gw_subnet_cidr"] = extraCidr(i, false);
    entry["private_subnet_id"] = extraSubnetId('f', i);
    entry["private_subnet_cidr"] = extraCidr(i, true);
    entry["private_subnet_gw_ip"] = "10.10." + std::to_string(100 + i) + ".129";
    config.push_back(entry);
  }
  return config;
}

// RunInstances: a burst of 5, then 2 per second, as EC2 allows it.
inline void enableRateLimits(nlohmann::json& scenario) { scenario["rate_limits"]["enabled"] = true; }

}  // namespace qvn::e2e
