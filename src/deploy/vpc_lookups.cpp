#include "deploy/vpc_lookups.hpp"

#include <stdexcept>

#include "core/logging.hpp"
#include "core/run_outcome.hpp"
#include "deploy/failure_report.hpp"
#include "deploy/resource_names.hpp"

namespace qvn::deploy {

namespace {

using Ec2Found = std::pair<std::optional<std::string>, std::optional<std::string>>;

std::string stateOf(const aws::Instance& instance) {
  return instance.State && instance.State->Name ? *instance.State->Name : "";
}

bool isGone(const aws::Instance& instance) {
  const std::string state = stateOf(instance);
  return state == "shutting-down" || state == "terminated";
}

Ec2Found findEc2(const aws::Ec2Client& ec2_client, const std::string& subnet_id, bool live_only) {
  Logger& log = packageLogger();
  aws::DescribeInstancesRequest request;
  request.Filters = {aws::Filter{"tag:Name", {names::kInstance}}, aws::Filter{"subnet-id", {subnet_id}}};
  const aws::DescribeInstancesResult answer = ec2_client.describe_instances(request);

  std::vector<const aws::Instance*> candidates;
  for (const auto& reservation : answer.Reservations) {
    if (reservation.Instances.empty()) continue;
    const aws::Instance& first = reservation.Instances.front();
    if (live_only && isGone(first)) continue;
    candidates.push_back(&first);
  }
  if (candidates.size() > 1) {
    log.info(std::string("  **Alert** More than one ec2 with tag Name:") + names::kInstance + " found in " + subnet_id);
    return {};
  }
  if (candidates.empty()) {
    log.info(std::string("  No ec2 with tag Name:") + names::kInstance + " found in " + subnet_id);
    return {};
  }
  const aws::Instance& instance = *candidates.front();
  std::vector<std::string> addresses;
  for (const auto& interface : instance.NetworkInterfaces) {
    if (interface.Association && interface.Association->PublicIp) addresses.push_back(*interface.Association->PublicIp);
  }
  std::optional<std::string> address;
  if (addresses.size() == 1) address = addresses.front();
  return {instance.InstanceId, address};
}

}  // namespace

std::string getVpcId(const aws::Ec2Client& ec2_client, const std::string& subnet_id) {
  try {
    aws::DescribeSubnetsRequest request;
    request.SubnetIds = {subnet_id};
    const auto answer = ec2_client.describe_subnets(request);
    if (answer.Subnets.empty() || !answer.Subnets.front().VpcId) {
      throw std::runtime_error("DescribeSubnets did not describe " + subnet_id);
    }
    return *answer.Subnets.front().VpcId;
  } catch (const std::exception& failure) {
    packageLogger().info("  **Error** cannot find subnet " + subnet_id);
    reportFailure("subnet " + subnet_id, failure);
    throw ProgramExit{1};
  }
}

Ec2Found getEc2(const aws::Ec2Client& ec2_client, const std::string& subnet_id) {
  return findEc2(ec2_client, subnet_id, false);
}

Ec2Found getLiveEc2(const aws::Ec2Client& ec2_client, const std::string& subnet_id) {
  return findEc2(ec2_client, subnet_id, true);
}

namespace {

aws::Filter notTerminated() {
  return aws::Filter{"instance-state-name", {"pending", "running", "shutting-down", "stopping", "stopped"}};
}

}  // namespace

std::vector<ToolInstance> toolInstancesInVpc(const aws::Ec2Client& ec2_client, const std::string& vpc_id) {
  aws::DescribeInstancesRequest request;
  request.Filters = {aws::Filter{"tag:Name", {names::kInstance}}, aws::Filter{"vpc-id", {vpc_id}}, notTerminated()};
  std::vector<ToolInstance> found;
  for (const aws::Reservation& reservation : ec2_client.describe_instances(request).Reservations) {
    if (reservation.Instances.empty()) continue;
    const aws::Instance& instance = reservation.Instances.front();
    if (!instance.InstanceId) continue;
    found.push_back({*instance.InstanceId, stateOf(instance), instance.SubnetId.value_or(""),
                     instance.KeyName.value_or(""), instance.PublicIpAddress.value_or("")});
  }
  return found;
}

std::map<std::string, aws::Subnet> subnetsById(const aws::Ec2Client& ec2_client, const std::vector<std::string>& ids) {
  constexpr std::size_t kSubnetsPerRequest = 100;
  std::map<std::string, aws::Subnet> found;
  for (std::size_t start = 0; start < ids.size(); start += kSubnetsPerRequest) {
    aws::Filter filter;
    filter.Name = "subnet-id";
    for (std::size_t i = start; i < ids.size() && i < start + kSubnetsPerRequest; ++i) filter.Values.push_back(ids[i]);
    aws::DescribeSubnetsRequest request;
    request.Filters.push_back(filter);
    for (const auto& subnet : ec2_client.describe_subnets(request).Subnets)
      if (subnet.SubnetId) found[*subnet.SubnetId] = subnet;
  }
  return found;
}

std::vector<std::string> instancesWithProfile(const aws::Ec2Client& ec2_client, const std::string& profile_arn) {
  aws::DescribeInstancesRequest request;
  request.Filters = {aws::Filter{"iam-instance-profile.arn", {profile_arn}}, notTerminated()};
  std::vector<std::string> found;
  for (const aws::Reservation& reservation : ec2_client.describe_instances(request).Reservations)
    for (const aws::Instance& instance : reservation.Instances)
      if (instance.InstanceId) found.push_back(*instance.InstanceId);
  return found;
}

}  // namespace qvn::deploy
