#pragma once
// Lookups of the VPC and of the tool's test instances that the deployment
// and the teardown share. Read-only EC2 requests; nothing here changes AWS.
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "aws/ec2.hpp"

namespace qvn::deploy {

// The VPC of `subnet_id`. Any failure logs "  **Error** cannot find subnet
// <id>" at INFO, writes the failure to standard error and ends the program
// with status 1. Main thread only.
std::string getVpcId(const aws::Ec2Client& ec2_client, const std::string& subnet_id);

// The tool's instance in `subnet_id` and its one public address: (absent,
// absent) when there is none, or more than one (then an alert is logged).
// Instances that are shutting down or terminated are counted too.
std::pair<std::optional<std::string>, std::optional<std::string>> getEc2(const aws::Ec2Client& ec2_client,
                                                                         const std::string& subnet_id);

// getEc2 without the instances that are shutting down or terminated: they
// are gone for good, so a deployment after a teardown launches a new one
// instead of adopting the dead one, and a teardown does not count them.
std::pair<std::optional<std::string>, std::optional<std::string>> getLiveEc2(const aws::Ec2Client& ec2_client,
                                                                             const std::string& subnet_id);

// One instance of the tool, as the VPC-wide listing sees it.
struct ToolInstance {
  std::string id;
  std::string state;      // EC2's state name: pending, running, shutting-down, ...
  std::string subnet;     // the subnet of its first interface
  std::string key_name;   // the key pair it was launched with; empty: none
  std::string public_ip;  // empty: none
};

// The tool's instances in `vpc_id` in any state but terminated (the first
// instance of every reservation, every page, in answer order). Listing
// failures are raised.
std::vector<ToolInstance> toolInstancesInVpc(const aws::Ec2Client& ec2_client, const std::string& vpc_id);

// The instances of the region, the tool's or not, in any state but
// terminated, that hold the instance profile `profile_arn` (one listing,
// every page). Listing failures are raised.
std::vector<std::string> instancesWithProfile(const aws::Ec2Client& ec2_client, const std::string& profile_arn);

// The subnets of `ids` that EC2 knows, by id: describe_subnets filtered by
// subnet-id, 100 ids a request, so an unknown id is left out rather than
// refused. Failures of the requests are raised.
std::map<std::string, aws::Subnet> subnetsById(const aws::Ec2Client& ec2_client, const std::vector<std::string>& ids);

}  // namespace qvn::deploy
