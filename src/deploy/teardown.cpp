#include "deploy/teardown.hpp"

#include <exception>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "aws/errors.hpp"
#include "aws/waiters.hpp"
#include "core/logging.hpp"
#include "deploy/config_check.hpp"
#include "deploy/elastic_ip.hpp"
#include "deploy/failure_report.hpp"
#include "deploy/instance_role.hpp"
#include "deploy/key_pair.hpp"
#include "deploy/launch.hpp"
#include "deploy/orchestration.hpp"
#include "deploy/security_group.hpp"

namespace qvn::deploy {

namespace {

constexpr const char* kInstanceName = "quorvane-test-ec2";
constexpr const char* kSshGroup = "quorvane-test-ec2-sg";
constexpr const char* kPrivateInterfaceGroup = "quorvane-test-ec2-private-interface-sg";
constexpr const char* kKeyPairPrefix = "quorvane-test-ec2-key-pair-";

Logger& packageLogger() { return *getLogger("quorvane_testlibs"); }

aws::Filter filter(const std::string& name, std::vector<std::string> values) {
  aws::Filter f;
  f.Name = name;
  f.Values = std::move(values);
  return f;
}

// The worker's boundary: nothing leaves a worker thread. An unexpected
// failure names its subnet on standard error and is logged at ERROR, so the
// exit status shows it.
void deleteEc2Guarded(const aws::Ec2Client& ec2_client, const aws::IamClient& iam_client,
                      const std::string& subnet_id, const DeployArgs& args) {
  try {
    deleteEc2(ec2_client, iam_client, subnet_id, args);
  } catch (const std::exception& failure) {
    reportFailure("teardown of " + subnet_id, failure);
    packageLogger().error("  **Error** teardown of " + subnet_id + " failed: " + failureText(failure));
  } catch (...) {
    const std::runtime_error unknown("unexpected failure");
    reportFailure("teardown of " + subnet_id, unknown);
    packageLogger().error("  **Error** teardown of " + subnet_id + " failed: unexpected failure");
  }
}

void deleteGroup(const aws::Ec2Client& ec2_client, const std::string& vpc_id, const std::string& name,
                 const DeployArgs& args) {
  Logger& log = packageLogger();
  log.info("- Delete SG " + name);
  const std::optional<std::string> sg_id = getSgId(ec2_client, vpc_id, name);
  if (!sg_id) {
    log.info("  not found");
    return;
  }
  log.info("  delete SG " + *sg_id);
  deleteSG(ec2_client, *sg_id, args);
}

// The allocation behind an instance's public address, or nothing when that
// address is not an Elastic IP (EC2 assigned it itself, or the address was
// released by hand): then there is nothing to give back, and the instance
// must go all the same. Any other failure of the lookup ends the worker.
std::optional<std::string> elasticIpBehind(const aws::Ec2Client& ec2_client, const std::string& ins_id,
                                           const std::string& public_ip) {
  try {
    return getEipAllocationId(ec2_client, ins_id, public_ip);
  } catch (const aws::ServiceError& refusal) {
    if (refusal.code() != "InvalidAddress.NotFound") throw;
  } catch (const aws::AwsError&) {
    throw;
  } catch (const std::runtime_error&) {
    // The lookup answered without an address of that instance.
  }
  packageLogger().info("  no Elastic IP behind " + public_ip + " of " + ins_id);
  return std::nullopt;
}

}  // namespace

void deleteEc2(const aws::Ec2Client& ec2_client, const aws::IamClient& iam_client, const std::string& subnet_id,
               const DeployArgs& args) {
  (void)iam_client;
  Logger& log = packageLogger();
  log.info(std::string("- Delete ") + kInstanceName + " in " + subnet_id);
  // Instances that are shutting down or terminated are gone already. EC2
  // lists them for a while, and counting them would make a subnet that was
  // deployed again since hold "more than one" instance, so that the live one
  // would never be removed.
  const auto [ins_id, public_ip] = getLiveEc2(ec2_client, subnet_id);
  if (!ins_id) return;

  std::optional<std::string> allocation_id;
  if (public_ip) allocation_id = elasticIpBehind(ec2_client, *ins_id, *public_ip);

  log.info("  terminate " + *ins_id + " in " + subnet_id);
  if (!args.dry_run) {
    aws::TerminateInstancesRequest terminate;
    terminate.InstanceIds = {*ins_id};
    ec2_client.terminate_instances(terminate);
    aws::DescribeInstancesRequest wait;
    wait.InstanceIds = {*ins_id};
    aws::wait_instance_terminated(ec2_client, wait);
  }

  if (allocation_id) releaseEIP(ec2_client, *public_ip, *allocation_id, *ins_id, args);
}

std::optional<std::vector<std::string>> getAllEc2InVpc(const aws::Ec2Client& ec2_client,
                                                       const std::string& vpc_id) {
  aws::DescribeInstancesRequest request;
  request.Filters = {filter("tag:Name", {kInstanceName}), filter("vpc-id", {vpc_id}),
                     filter("instance-state-name", {"running", "stopped", "stopping"})};
  const aws::DescribeInstancesResult answer = ec2_client.describe_instances(request);
  if (answer.Reservations.empty()) return std::nullopt;
  packageLogger().info(std::string("  **Alert** More than one ec2 with tag Name:") + kInstanceName +
                       " found in " + vpc_id);
  std::vector<std::string> ids;
  for (const aws::Reservation& reservation : answer.Reservations) {
    if (reservation.Instances.empty()) continue;
    const aws::Instance& instance = reservation.Instances.front();
    if (instance.InstanceId) ids.push_back(*instance.InstanceId);
  }
  return ids;
}

void terminateEc2s(const aws::Ec2Client& ec2_client, const aws::IamClient& iam_client, const DeployArgs& args) {
  // Everything is checked before the first change: the file and its entries,
  // the VPC of the first entry, and every entry's gateway subnet in that VPC.
  TestConfig config = readCheckedTestConfig(args.test_config, ConfigUse::Teardown);
  const std::string vpc_id = getVpcId(ec2_client, config.entry(0).string("gw_subnet_id"));
  checkGatewaySubnetsInVpc(config, ec2_client, vpc_id);

  std::vector<std::string> subnets;
  for (ConfigEntry& entry : config.entries())
    if (isDeployedEntry(entry)) subnets.push_back(entry.string("gw_subnet_id"));

  {
    std::vector<std::thread> workers;
    workers.reserve(subnets.size());
    std::vector<const std::string*> inline_subnets;
    for (const std::string& subnet : subnets) {
      try {
        workers.emplace_back(deleteEc2Guarded, std::cref(ec2_client), std::cref(iam_client), std::cref(subnet),
                             std::cref(args));
      } catch (const std::system_error&) {
        // No thread to be had: this subnet is handled on the main thread
        // once the others are under way, rather than left behind.
        inline_subnets.push_back(&subnet);
      }
    }
    for (const std::string* subnet : inline_subnets) deleteEc2Guarded(ec2_client, iam_client, *subnet, args);
    for (std::thread& worker : workers) worker.join();
  }

  const std::optional<std::vector<std::string>> remaining = getAllEc2InVpc(ec2_client, vpc_id);
  if (remaining && !remaining->empty()) return;

  deleteGroup(ec2_client, vpc_id, kSshGroup, args);
  deleteGroup(ec2_client, vpc_id, kPrivateInterfaceGroup, args);
  deleteKeyPair(ec2_client, kKeyPairPrefix + vpc_id, args);
}

void runTeardown(const aws::Ec2Client& ec2_client, const aws::IamClient& iam_client, const DeployArgs& args) {
  terminateEc2s(ec2_client, iam_client, args);
  if (args.ec2_role && *args.ec2_role == "default") {
    if (args.dry_run) {
      packageLogger().info(
          "- Dry run: instance profile quorvane-test-ec2-instance-profile, role and policy are kept");
      return;
    }
    deleteInstanceProfile(iam_client);
  }
}

}  // namespace qvn::deploy
