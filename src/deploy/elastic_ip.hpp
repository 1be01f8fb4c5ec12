#pragma once
// Elastic IPs of the test instances: allocated and associated with an
// instance's network interface at launch, found and released at teardown.
// Every address carries Name = "quorvane-test-ec2-eip", the user tags, and
// the tag "quorvane-vpc" = its VPC, so that a teardown finds it by its tags
// alone, whether or not an instance still holds it. No state of their own:
// safe to call from several workers at once with one shared client.
#include <optional>
#include <string>
#include <vector>

#include "aws/ec2.hpp"
#include "deploy/run_context.hpp"
#include "deploy/run_summary.hpp"

namespace qvn::deploy {

// Allocates a VPC address tagged Name = "quorvane-test-ec2-eip", the user
// tags, then "quorvane-vpc" = the run's VPC, and associates it with the network
// interface `networkInfId`. An answer without an allocation id is reported
// at INFO and nothing else happens. When the association is refused, the new
// address is released again before the failure is raised. The dry-run
// setting is not consulted. Failures of AWS requests are raised.
void associateEIP(const RunContext& run, const std::string& networkInfId);

// The allocation id of the Elastic IP `public_ip` associated with the
// instance `insId`, or nothing when that address is no Elastic IP of that
// instance (EC2 assigned it itself, or it was released by hand). Other
// failures of the lookup are raised.
std::optional<std::string> getEipAllocationId(const aws::Ec2Client& ec2_client, const std::string& insId,
                                              const std::string& public_ip);

// Logs "- Delete EIP <eip> <eipAllocIp> for <insId>", then, unless this is a
// dry run, releases the allocation. An allocation EC2 no longer knows
// ("InvalidAllocationID.NotFound", as a retry after a lost answer meets it)
// is gone; any other refusal is raised.
void releaseEIP(const RunContext& run, const std::string& eip, const std::string& eipAllocIp,
                const std::string& insId);

// The tool's addresses of `vpc_id` (both tags match), associated or not.
std::vector<aws::Address> toolAddressesInVpc(const aws::Ec2Client& ec2_client, const std::string& vpc_id);

// Releases every address of toolAddressesInVpc (the run's VPC) that no interface holds,
// logging "- Delete EIP <ip> <allocation id> (not associated)" for each; a
// dry run only logs. A refused release is logged at ERROR and the others go
// on. Returns the addresses that are left unreleased.
Leftovers releaseFreeEIPs(const RunContext& run);

// After a deployment's launches have ended: when one of its allocations was
// retried after an attempt that found no answer (that attempt may have
// allocated an address of its own), every address of toolAddressesInVpc that
// no interface holds is released, logged "- Delete EIP <ip> <allocation id>
// (allocated by an attempt whose answer was lost)" and counted as made and
// removed. A refused release is logged at ERROR; returns the addresses left.
// Nothing is looked up when no allocation lost an answer.
Leftovers releaseLostAllocations(const RunContext& run);

// "Elastic IP <ip> <allocation id>", as leftovers are named.
std::string describeAddress(const aws::Address& address);

// The address as a leftover: kinds::kElasticIp, its allocation id, describeAddress.
Leftover addressLeft(const aws::Address& address);

}  // namespace qvn::deploy
