#include "deploy/preflight.hpp"

#include <algorithm>
#include <set>

#include "aws/errors.hpp"
#include "aws/xml.hpp"
#include "core/logging.hpp"
#include "core/run_outcome.hpp"
#include "deploy/config_check.hpp"
#include "deploy/failure_report.hpp"

namespace qvn::deploy {

namespace {

constexpr const char* kAddressQuota = "vpc-max-elastic-ips";

// Runs the reads of one check. A refusal, or an answer that cannot be read,
// is the check's WARNING, and false: the check is skipped.
template <class Reads>
bool readForCheck(const std::string& check, Reads&& reads) {
  std::string why;
  try {
    reads();
    return true;
  } catch (const aws::ServiceError& refusal) {
    why = failureText(refusal);
  } catch (const aws::ResponseParseError& unreadable) {
    why = failureText(unreadable);
  }
  packageLogger().warning("  **Warning** " + check + " not checked: " + why);
  return false;
}

std::optional<long> addressQuota(const aws::Ec2Client& ec2_client) {
  aws::DescribeAccountAttributesRequest request;
  request.AttributeNames = {kAddressQuota};
  for (const auto& attribute : ec2_client.describe_account_attributes(request).AccountAttributes) {
    if (attribute.AttributeName != kAddressQuota || attribute.AttributeValues.empty()) continue;
    const std::string value = attribute.AttributeValues.front().AttributeValue.value_or("");
    try {
      std::size_t used = 0;
      const long quota = std::stol(value, &used);
      if (used == value.size()) return quota;
    } catch (const std::exception&) {
      // Not a number: no quota to check against.
    }
  }
  return std::nullopt;
}

std::string listed(const std::vector<std::string>& items, const std::string& separator = ", ") {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : separator) + item;
  return text;
}

std::string freeAddressesText(long count) {
  return std::to_string(count) + (count == 1 ? " free address" : " free addresses");
}

// Zone -> the gateway subnets of new instances in it.
std::map<std::string, std::vector<std::string>> zonesOfLaunches(
    const DeploymentNeeds& needs, const std::map<std::string, aws::Subnet>& gateway_subnets) {
  std::map<std::string, std::vector<std::string>> zones;
  for (const std::string& subnet : needs.launching) {
    const auto found = gateway_subnets.find(subnet);
    if (found != gateway_subnets.end() && found->second.AvailabilityZone)
      zones[*found->second.AvailabilityZone].push_back(subnet);
  }
  return zones;
}

// The subnets the new instances take addresses in: the input check's
// gateway subnets and the private ones, described now.
std::map<std::string, aws::Subnet> launchSubnets(const aws::Ec2Client& ec2_client, const DeploymentNeeds& needs,
                                                 const std::map<std::string, aws::Subnet>& gateway_subnets) {
  std::map<std::string, aws::Subnet> subnets = gateway_subnets;
  std::vector<std::string> others;
  for (const auto& [subnet, taken] : needs.subnet_addresses)
    if (!subnets.count(subnet)) others.push_back(subnet);
  if (others.empty()) return subnets;
  readForCheck("Free addresses of the private subnets", [&] { subnets.merge(subnetsById(ec2_client, others)); });
  return subnets;
}

}  // namespace

DeploymentNeeds deploymentNeeds(TestConfig& config, const std::vector<ToolInstance>& instances) {
  DeploymentNeeds needs;
  for (ConfigEntry& entry : config.entries()) {
    if (!isDeployedEntry(entry)) continue;
    const std::string& gateway = entry.string("gw_subnet_id");
    std::vector<const ToolInstance*> live;
    for (const ToolInstance& instance : instances)
      if (instance.subnet == gateway && instance.state != "shutting-down" && instance.state != "terminated")
        live.push_back(&instance);
    if (live.size() == 1) {
      const ToolInstance& adopted = *live.front();
      const bool runs = adopted.state == "pending" || adopted.state == "running";
      if (runs && adopted.public_ip.empty()) ++needs.new_addresses;
      continue;
    }
    needs.launching.push_back(gateway);
    ++needs.new_addresses;
    ++needs.subnet_addresses[gateway];
    ++needs.subnet_addresses[entry.string("private_subnet_id")];
  }
  return needs;
}

std::vector<std::string> elasticIpShortfall(const aws::Ec2Client& ec2_client, int new_addresses) {
  if (new_addresses == 0) return {};
  std::optional<long> quota;
  long allocated = 0;
  const bool read = readForCheck("Elastic IPs", [&] {
    quota = addressQuota(ec2_client);
    if (quota) allocated = static_cast<long>(ec2_client.describe_addresses().Addresses.size());
  });
  if (!read) return {};
  const std::string region = ec2_client.sender().region();
  if (!quota) {
    packageLogger().info(std::string("  Elastic IPs: no ") + kAddressQuota + " stated for " + region + ", not checked");
    return {};
  }
  if (new_addresses <= *quota - allocated) return {};
  return {"Elastic IPs: this deployment needs " + std::to_string(new_addresses) +
          " new addresses; the account allows " + std::to_string(*quota) + " in " + region + " (" + kAddressQuota +
          ") and " + std::to_string(allocated) + (allocated == 1 ? " is allocated" : " are allocated")};
}

std::vector<std::string> instanceTypeShortfall(const aws::Ec2Client& ec2_client, const std::string& instance_type,
                                               const std::map<std::string, std::vector<std::string>>& zones,
                                               const aws::Image& image) {
  const std::string check = "Instance type " + instance_type;
  std::optional<aws::InstanceTypeInfo> known;
  bool exists = true;
  readForCheck(check, [&] {
    try {
      aws::DescribeInstanceTypesRequest request;
      request.InstanceTypes = {instance_type};
      for (const auto& info : ec2_client.describe_instance_types(request).InstanceTypes)
        if (info.InstanceType == instance_type) known = info;
    } catch (const aws::ServiceError& refusal) {
      if (refusal.code() != "InvalidInstanceType") throw;
      exists = false;
    }
  });
  const std::string region = ec2_client.sender().region();
  if (!exists) return {"Instance type: " + instance_type + " does not exist in " + region + " (InvalidInstanceType)"};

  std::vector<std::string> lines;
  if (known && known->ProcessorInfo && image.Architecture) {
    const auto& supported = known->ProcessorInfo->SupportedArchitectures;
    if (!supported.empty() && std::find(supported.begin(), supported.end(), *image.Architecture) == supported.end())
      lines.push_back("Instance type: " + instance_type + " runs " + listed(supported, " or ") + ", not " +
                      *image.Architecture + ", the architecture of image " + image.ImageId.value_or("?"));
  }
  if (zones.empty()) return lines;
  std::set<std::string> offered;
  const bool read = readForCheck(check + " offerings", [&] {
    aws::DescribeInstanceTypeOfferingsRequest request;
    request.LocationType = "availability-zone";
    aws::Filter locations{"location", {}};
    for (const auto& [zone, subnets] : zones) locations.Values.push_back(zone);
    request.Filters = {aws::Filter{"instance-type", {instance_type}}, locations};
    for (const auto& offering : ec2_client.describe_instance_type_offerings(request).InstanceTypeOfferings)
      if (offering.InstanceType == instance_type && offering.Location) offered.insert(*offering.Location);
  });
  if (!read) return lines;
  for (const auto& [zone, subnets] : zones) {
    if (offered.count(zone)) continue;
    lines.push_back("Instance type: " + instance_type + " is not offered in " + zone + ", the zone of gateway " +
                    (subnets.size() == 1 ? "subnet " : "subnets ") + listed(subnets));
  }
  return lines;
}

std::vector<std::string> freeAddressShortfall(const std::map<std::string, int>& taken,
                                              const std::map<std::string, aws::Subnet>& subnets) {
  std::vector<std::string> lines;
  for (const auto& [subnet, count] : taken) {
    const auto found = subnets.find(subnet);
    if (found == subnets.end() || !found->second.AvailableIpAddressCount) continue;
    const int available = *found->second.AvailableIpAddressCount;
    if (available >= count) continue;
    lines.push_back("Free addresses: subnet " + subnet + " has " + freeAddressesText(available) +
                    "; this deployment takes " + std::to_string(count) + " there");
  }
  return lines;
}

DeploymentNeeds checkBeforeChanges(const RunContext& run, TestConfig& config,
                                   const std::map<std::string, aws::Subnet>& gateway_subnets) {
  Logger& log = packageLogger();
  const aws::Ec2Client& ec2_client = run.ec2;
  const aws::Image image = run.image.value_or(aws::Image{});
  const DeploymentNeeds needs = deploymentNeeds(config, toolInstancesInVpc(ec2_client, run.vpc_id));
  log.info("- Check what the deployment needs: " + std::to_string(needs.launching.size()) + " new instances, " +
           std::to_string(needs.new_addresses) + " new Elastic IPs");
  std::vector<std::string> lines = elasticIpShortfall(ec2_client, needs.new_addresses);
  if (!needs.launching.empty()) {
    for (std::string& line :
         instanceTypeShortfall(ec2_client, run.args.instance_type, zonesOfLaunches(needs, gateway_subnets), image))
      lines.push_back(std::move(line));
    for (std::string& line :
         freeAddressShortfall(needs.subnet_addresses, launchSubnets(ec2_client, needs, gateway_subnets)))
      lines.push_back(std::move(line));
  }
  for (const std::string& line : lines) logError(line);
  if (lines.empty()) return needs;
  log.info("  Refused before the first change: nothing was changed");
  throw ProgramExit{1};
}

void checkLaunchPermission(const std::vector<Ec2Launch>& launches, const DeploymentNeeds& needs) {
  if (needs.launching.empty()) return;
  const auto first = std::find_if(launches.begin(), launches.end(), [&](const Ec2Launch& launch) {
    return launch.gw_subnet_id == needs.launching.front();
  });
  if (first == launches.end()) return;
  Logger& log = packageLogger();
  const DeployArgs& args = first->run->args;
  // The profile the launch names: the default one made for the run, or the
  // named role's own.
  std::optional<std::string> profile = first->shared.instance_profile;
  if (args.ec2_role && *args.ec2_role != "default") profile = *args.ec2_role;
  aws::RunInstancesRequest request = launchRequest(*first, profile);
  request.DryRun = true;
  try {
    first->run->ec2.run_instances(request);
    log.warning("  **Warning** Launch permission: the endpoint launched an instance in spite of DryRun");
  } catch (const aws::ServiceError& refusal) {
    if (refusal.code() == "DryRunOperation") {
      log.info("  Launch permission: RunInstances is allowed");
      return;
    }
    if (refusal.code() == "UnauthorizedOperation") {
      logError("Launch permission: RunInstances is not allowed: " + refusal.message());
      throw ProgramExit{1};
    }
    log.warning("  **Warning** Launch permission not checked: " + failureText(refusal));
  } catch (const aws::ResponseParseError& unreadable) {
    log.warning("  **Warning** Launch permission not checked: " + failureText(unreadable));
  }
}

}  // namespace qvn::deploy
