#include "deploy/elastic_ip.hpp"

#include <stdexcept>

#include "core/logging.hpp"
#include "deploy/failure_report.hpp"
#include "deploy/tags.hpp"

namespace qvn::deploy {

void associateEIP(const aws::Ec2Client& ec2_client, const std::string& networkInfId, const DeployArgs& args) {
  Logger& log = *getLogger("quorvane_testlibs");
  log.info("- Allocate EIP");
  aws::AllocateAddressRequest request;
  request.Domain = "vpc";
  request.TagSpecifications = {nameTagSpecification("elastic-ip", kEipTag)};
  if (args.tag_resource && !args.tag_resource->empty()) populateTags(request, *args.tag_resource);
  const auto allocation = ec2_client.allocate_address(request);
  if (!allocation.AllocationId || allocation.AllocationId->empty()) {
    log.info("  **Error** fail to allocate EIP");
    return;
  }
  const std::string allocationId = *allocation.AllocationId;
  const std::string publicIp = allocation.PublicIp.value_or("");
  log.info("  allocated EIP " + publicIp + " " + allocationId);
  aws::AssociateAddressRequest associate;
  associate.AllocationId = allocationId;
  associate.NetworkInterfaceId = networkInfId;
  try {
    ec2_client.associate_address(associate);
  } catch (const std::exception&) {
    // An address that is not associated would never be found by the
    // teardown (it looks addresses up through their instance).
    try {
      aws::ReleaseAddressRequest release;
      release.AllocationId = allocationId;
      ec2_client.release_address(release);
    } catch (const std::exception& e) {
      reportFailure("release of the unassociated EIP " + publicIp + " " + allocationId, e);
    }
    throw;
  }
}

std::string getEipAllocationId(const aws::Ec2Client& ec2_client, const std::string& insId,
                               const std::string& public_ip) {
  aws::DescribeAddressesRequest request;
  request.Filters = {aws::Filter{"instance-id", {insId}}};
  request.PublicIps = {public_ip};
  const auto answer = ec2_client.describe_addresses(request);
  if (answer.Addresses.empty() || !answer.Addresses.front().AllocationId)
    throw std::runtime_error("no Elastic IP " + public_ip + " is associated with " + insId);
  return *answer.Addresses.front().AllocationId;
}

void releaseEIP(const aws::Ec2Client& ec2_client, const std::string& eip, const std::string& eipAllocIp,
                const std::string& insId, const DeployArgs& args) {
  Logger& log = *getLogger("quorvane_testlibs");
  log.info("- Delete EIP " + eip + " " + eipAllocIp + " for " + insId);
  if (args.dry_run) return;
  aws::ReleaseAddressRequest request;
  request.AllocationId = eipAllocIp;
  ec2_client.release_address(request);
}

}  // namespace qvn::deploy
