#pragma once
// Elastic IPs of the test instances: allocated and associated with an
// instance's network interface at launch, found and released at teardown.
// Failures of AWS requests are raised to the caller (the launch and teardown
// workers decide what follows). No state of their own: safe to call from
// several workers at once with one shared client.
#include <string>

#include "aws/ec2.hpp"
#include "deploy/deploy_args.hpp"

namespace qvn::deploy {

// Allocates a VPC address tagged Name = "quorvane-test-ec2-eip" (then the
// user tags) and associates it with the network interface `networkInfId`.
// An answer without an allocation id is reported at INFO and nothing else
// happens. When the association is refused, the new address is released
// again before the failure is raised, so that no untracked address is left.
// The dry-run setting is not consulted.
void associateEIP(const aws::Ec2Client& ec2_client, const std::string& networkInfId, const DeployArgs& args);

// The allocation id of the Elastic IP `public_ip` associated with the
// instance `insId`. Nothing found: std::runtime_error naming both.
std::string getEipAllocationId(const aws::Ec2Client& ec2_client, const std::string& insId,
                               const std::string& public_ip);

// Logs "- Delete EIP <eip> <eipAllocIp> for <insId>", then, unless this is a
// dry run, releases the allocation.
void releaseEIP(const aws::Ec2Client& ec2_client, const std::string& eip, const std::string& eipAllocIp,
                const std::string& insId, const DeployArgs& args);

}  // namespace qvn::deploy
