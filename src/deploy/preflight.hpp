#pragma once
// What a deployment needs from the account and from EC2, read before its
// first change, so that a deployment that cannot succeed says why before it
// has made anything: the Elastic IP quota, the instance type (known to EC2,
// offered in the zone of every gateway subnet that gets a new instance,
// able to run the image's architecture) and the free addresses of the test
// subnets. Once the shared resources exist, one RunInstances with DryRun
// says whether the launches are allowed at all.
//
// Each shortfall is one ERROR record naming what is short and by how much,
// e.g.
//
//   **Error** Elastic IPs: this deployment needs 64 new addresses; the
//   account allows 5 in us-east-1 (vpc-max-elastic-ips) and 2 are allocated
//
// and ends the run with status 1. A check whose request EC2 refuses (no
// permission, an endpoint without the operation) is a WARNING naming the
// check, which is then skipped: a check never fails a run by itself.
// Read-only requests only, except the one launch with DryRun.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "aws/ec2.hpp"
#include "deploy/deploy_args.hpp"
#include "deploy/launch.hpp"
#include "deploy/run_context.hpp"
#include "deploy/vpc_lookups.hpp"
#include "lib/test_config.hpp"

namespace qvn::deploy {

// What a deployment takes in AWS, given the instances the VPC holds already.
struct DeploymentNeeds {
  // The gateway subnets of the entries that launch a new instance, in
  // configuration order.
  std::vector<std::string> launching;
  // Elastic IPs to allocate: one per new instance and per adopted running
  // instance without a public address.
  int new_addresses = 0;
  // Private addresses the new instances take, per subnet (one in the
  // gateway subnet and one in the private subnet of each).
  std::map<std::string, int> subnet_addresses;
};

// The needs of the deployed entries of a checked configuration, with the
// tool's instances of the VPC (as toolInstancesInVpc lists them). An entry
// adopts its gateway subnet's instance when exactly one is there that is
// not shutting down, as the launch does.
DeploymentNeeds deploymentNeeds(TestConfig& config, const std::vector<ToolInstance>& instances);

// The read-only checks of a deployment, after the input check and the image
// lookup: the tool's instances of the run's VPC are listed, the needs counted and
// checked in order (Elastic IPs, the instance type and its offerings, free
// addresses) with the run's image and instance type. `gateway_subnets` is
// the input check's answer
// (checkGatewaySubnetsInVpc); the private subnets are described here. Every
// shortfall is logged at ERROR; when there is one, the program ends with
// status 1 (ProgramExit) once all checks have run, saying that nothing was
// changed. Returns the needs.
DeploymentNeeds checkBeforeChanges(const RunContext& run, TestConfig& config,
                                   const std::map<std::string, aws::Subnet>& gateway_subnets);

// The lines of the single checks (empty: nothing short); a refused request
// logs its WARNING and gives none.
std::vector<std::string> elasticIpShortfall(const aws::Ec2Client& ec2_client, int new_addresses);
std::vector<std::string> instanceTypeShortfall(const aws::Ec2Client& ec2_client, const std::string& instance_type,
                                               const std::map<std::string, std::vector<std::string>>& zones,
                                               const aws::Image& image);
std::vector<std::string> freeAddressShortfall(const std::map<std::string, int>& taken,
                                              const std::map<std::string, aws::Subnet>& subnets);

// One RunInstances with DryRun and the parameters of the first launch of
// `needs` (none: nothing is sent), before any worker starts.
// DryRunOperation: allowed. UnauthorizedOperation: logs "  **Error** Launch
// permission: ..." with EC2's message as given and ends the program with
// status 1. Any other refusal is a WARNING.
void checkLaunchPermission(const std::vector<Ec2Launch>& launches, const DeploymentNeeds& needs);

}  // namespace qvn::deploy
