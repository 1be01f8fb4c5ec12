#pragma once
// What probe_deploy leaves behind, read from the sandbox's state dump
// (GET /_sandbox/state): instances named "quorvane-test-ec2" that are not
// terminated, Elastic IPs tagged "quorvane-test-ec2-eip", the two security
// groups, "quorvane-test-ec2-key-pair-*" key pairs and the default IAM
// objects. Elastic IPs are also recognised by the VPC tag the tool adds to
// them ("quorvane-vpc"), and key pairs by their Name tag. Each leftover is
// described by one line ("instance i-... running").
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace qvn::e2e {

inline bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

inline std::vector<std::string> toolLeftovers(const nlohmann::json& state) {
  std::vector<std::string> found;
  const nlohmann::json& services = state.at("services");
  if (services.contains("ec2")) {
    for (const auto& [where, region] : services.at("ec2").items()) {
      for (const auto& instance : region.value("instances", nlohmann::json::array())) {
        const auto& tags = instance.value("tags", nlohmann::json::object());
        if (tags.value("Name", "") == "quorvane-test-ec2" && instance.value("state", "") != "terminated")
          found.push_back("instance " + instance.value("id", "") + " " + instance.value("state", ""));
      }
      for (const auto& address : region.value("addresses", nlohmann::json::array())) {
        const auto& tags = address.value("tags", nlohmann::json::object());
        if (tags.value("Name", "") == "quorvane-test-ec2-eip" || tags.contains("quorvane-vpc")) {
          const std::string holder = address.value("network_interface", "");
          found.push_back("address " + address.value("allocation_id", "") + " " + address.value("public_ip", "") +
                          (holder.empty() ? " unassociated" : " on " + holder));
        }
      }
      for (const auto& group : region.value("security_groups", nlohmann::json::array())) {
        const std::string name = group.value("name", "");
        if (name == "quorvane-test-ec2-sg" || name == "quorvane-test-ec2-private-interface-sg")
          found.push_back("security group " + group.value("id", "") + " " + name);
      }
      for (const auto& key : region.value("key_pairs", nlohmann::json::array()))
        if (startsWith(key.value("name", ""), "quorvane-test-ec2-key-pair-") ||
            key.value("tags", nlohmann::json::object()).value("Name", "") == "quorvane-test-ec2-key-pair")
          found.push_back("key pair " + key.value("name", ""));
    }
  }
  if (services.contains("iam") && services.at("iam").contains("accounts")) {
    for (const auto& [account, iam] : services.at("iam").at("accounts").items()) {
      for (const char* kind : {"policies", "roles", "instance_profiles"})
        for (const auto& object : iam.value(kind, nlohmann::json::array()))
          if (startsWith(object.value("name", ""), "quorvane-test-ec2-"))
            found.push_back(std::string(kind) + " " + object.value("name", ""));
    }
  }
  return found;
}

}  // namespace qvn::e2e
