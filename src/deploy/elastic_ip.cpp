#include "deploy/elastic_ip.hpp"

#include <atomic>
#include <stdexcept>

#include "aws/errors.hpp"
#include "aws/service_client.hpp"
#include "core/logging.hpp"
#include "deploy/failure_report.hpp"
#include "deploy/resource_names.hpp"
#include "deploy/run_summary.hpp"
#include "deploy/tags.hpp"

namespace qvn::deploy {

namespace {

// Releases the address. An allocation that EC2 no longer knows is gone: a
// retry whose first attempt was carried out and its answer lost meets
// "InvalidAllocationID.NotFound".
void releaseAllocation(const aws::Ec2Client& ec2_client, const std::string& allocationId) {
  aws::ReleaseAddressRequest request;
  request.AllocationId = allocationId;
  try {
    ec2_client.release_address(request);
  } catch (const aws::ServiceError& e) {
    if (e.code() != "InvalidAllocationID.NotFound") throw;
  }
}

// Allocations retried after an attempt that found no answer since the last
// releaseLostAllocations: AllocateAddress has no idempotency token, so such
// an attempt may have allocated an address that nobody was told of.
std::atomic<int> lost_allocations{0};

}  // namespace

void associateEIP(const RunContext& run, const std::string& networkInfId) {
  Logger& log = packageLogger();
  const aws::Ec2Client& ec2_client = run.ec2;
  const DeployArgs& args = run.args;
  const std::string& vpc_id = run.vpc_id;
  log.info("- Allocate EIP");
  aws::AllocateAddressRequest request;
  request.Domain = "vpc";
  request.TagSpecifications = {nameTagSpecification("elastic-ip", names::kEipTag)};
  if (args.tag_resource && !args.tag_resource->empty()) populateTags(request, *args.tag_resource);
  request.TagSpecifications.front().Tags.push_back(aws::Tag{names::kEipVpcTagKey, vpc_id});
  const auto allocation = ec2_client.allocate_address(request);
  if (aws::unanswered_attempts_of_last_call() > 0) ++lost_allocations;
  if (!allocation.AllocationId || allocation.AllocationId->empty()) {
    log.info("  **Error** fail to allocate EIP");
    return;
  }
  const std::string allocationId = *allocation.AllocationId;
  const std::string publicIp = allocation.PublicIp.value_or("");
  log.info("  allocated EIP " + publicIp + " " + allocationId);
  run.count(core::Change::Made, kinds::kElasticIp, allocationId);
  aws::AssociateAddressRequest associate;
  associate.AllocationId = allocationId;
  associate.NetworkInterfaceId = networkInfId;
  try {
    ec2_client.associate_address(associate);
  } catch (const std::exception&) {
    // The teardown would find it by its tags, but an idle address costs
    // money until then.
    try {
      releaseAllocation(ec2_client, allocationId);
    } catch (const std::exception& e) {
      reportFailure("release of the unassociated EIP " + publicIp + " " + allocationId, e);
    }
    throw;
  }
}

std::optional<std::string> getEipAllocationId(const aws::Ec2Client& ec2_client, const std::string& insId,
                                              const std::string& public_ip) {
  aws::DescribeAddressesRequest request;
  request.Filters = {aws::Filter{"instance-id", {insId}}};
  request.PublicIps = {public_ip};
  try {
    const auto answer = ec2_client.describe_addresses(request);
    if (answer.Addresses.empty() || !answer.Addresses.front().AllocationId) return std::nullopt;
    return answer.Addresses.front().AllocationId;
  } catch (const aws::ServiceError& refusal) {
    // EC2's answer for a public address that is no Elastic IP at all.
    if (refusal.code() == "InvalidAddress.NotFound") return std::nullopt;
    throw;
  }
}

void releaseEIP(const RunContext& run, const std::string& eip, const std::string& eipAllocIp,
                const std::string& insId) {
  packageLogger().info("- Delete EIP " + eip + " " + eipAllocIp + " for " + insId);
  if (!run.args.dry_run) releaseAllocation(run.ec2, eipAllocIp);
  run.count(core::Change::Removed, kinds::kElasticIp, eipAllocIp);
}

std::vector<aws::Address> toolAddressesInVpc(const aws::Ec2Client& ec2_client, const std::string& vpc_id) {
  aws::DescribeAddressesRequest request;
  request.Filters = {aws::Filter{"tag:Name", {names::kEipTag}},
                     aws::Filter{std::string("tag:") + names::kEipVpcTagKey, {vpc_id}}};
  return ec2_client.describe_addresses(request).Addresses;
}

std::string describeAddress(const aws::Address& address) {
  return "Elastic IP " + address.PublicIp.value_or("?") + " " + address.AllocationId.value_or("?");
}

Leftover addressLeft(const aws::Address& address) {
  return {kinds::kElasticIp, address.AllocationId.value_or(""), describeAddress(address)};
}

Leftovers releaseFreeEIPs(const RunContext& run) {
  Logger& log = packageLogger();
  Leftovers left;
  for (const aws::Address& address : toolAddressesInVpc(run.ec2, run.vpc_id)) {
    if (address.AssociationId || !address.AllocationId) continue;
    log.info("- Delete EIP " + address.PublicIp.value_or("") + " " + *address.AllocationId + " (not associated)");
    if (run.args.dry_run) {
      run.count(core::Change::Removed, kinds::kElasticIp, *address.AllocationId);
      continue;
    }
    try {
      releaseAllocation(run.ec2, *address.AllocationId);
      run.count(core::Change::Removed, kinds::kElasticIp, *address.AllocationId);
    } catch (const std::exception& e) {
      logFailure("release " + describeAddress(address), e);
      left.push_back(addressLeft(address));
    }
  }
  return left;
}

Leftovers releaseLostAllocations(const RunContext& run) {
  Leftovers left;
  if (lost_allocations.exchange(0) == 0) return left;
  Logger& log = packageLogger();
  std::vector<aws::Address> addresses;
  try {
    addresses = toolAddressesInVpc(run.ec2, run.vpc_id);
  } catch (const std::exception& e) {
    logFailure("look-up of the Elastic IPs of " + run.vpc_id + " that no instance holds", e);
    left.push_back({kinds::kElasticIp, run.vpc_id, "the Elastic IPs of " + run.vpc_id + " that no instance holds"});
    return left;
  }
  for (const aws::Address& address : addresses) {
    if (address.AssociationId || !address.AllocationId) continue;
    log.info("- Delete EIP " + address.PublicIp.value_or("") + " " + *address.AllocationId +
             " (allocated by an attempt whose answer was lost)");
    run.count(core::Change::Made, kinds::kElasticIp, *address.AllocationId);
    try {
      releaseAllocation(run.ec2, *address.AllocationId);
      run.count(core::Change::Removed, kinds::kElasticIp, *address.AllocationId);
    } catch (const std::exception& e) {
      logFailure("release " + describeAddress(address), e);
      left.push_back(addressLeft(address));
    }
  }
  return left;
}

}  // namespace qvn::deploy
