#include "deploy/teardown.hpp"

#include <algorithm>
#include <optional>
#include <set>
#include <stdexcept>

#include "aws/waiters.hpp"
#include "core/logging.hpp"
#include "deploy/config_check.hpp"
#include "deploy/elastic_ip.hpp"
#include "deploy/failure_report.hpp"
#include "deploy/instance_role.hpp"
#include "deploy/key_pair.hpp"
#include "deploy/resource_names.hpp"
#include "deploy/run_summary.hpp"
#include "deploy/security_group.hpp"
#include "deploy/vpc_lookups.hpp"
#include "deploy/worker_fanout.hpp"

namespace qvn::deploy {

namespace {

using Leftovers = std::vector<std::string>;

void append(Leftovers& to, const Leftovers& more) { to.insert(to.end(), more.begin(), more.end()); }

// One worker per subnet, all started, then all joined; each worker's
// failure is named with its subnet and logged at ERROR (worker_fanout).
void deleteEc2s(const aws::Ec2Client& ec2_client, const aws::IamClient& iam_client,
                const std::vector<std::string>& subnets, const DeployArgs& args) {
  core::Progress terminations(packageLogger(), "waiting for terminations", "instances terminated");
  std::vector<WorkerTask> tasks;
  tasks.reserve(subnets.size());
  for (const std::string& subnet : subnets)
    tasks.push_back(
        {"teardown of " + subnet, [&, subnet] { deleteEc2(ec2_client, iam_client, subnet, args, &terminations); }});
  runWorkers(tasks);
}

// EC2's instance_terminated wait for `ids`, counted in `progress` (may be
// null) and told between its polls. `answered` is 1 when the caller's own
// answer showed every instance shutting down, so an immediate poll could
// only say the same.
void waitTerminated(const aws::Ec2Client& ec2_client, const std::vector<std::string>& ids, core::Progress* progress,
                    int answered = 0) {
  core::Awaited awaited(progress, static_cast<int>(ids.size()));
  aws::DescribeInstancesRequest wait;
  wait.InstanceIds = ids;
  aws::WaiterConfig timing;
  timing.between_polls = [&awaited] { awaited.tick(); };
  timing.attempts_answered = answered;
  aws::wait_instance_terminated(ec2_client, wait, timing);
  awaited.reached();
}

// Terminates `ins_id` and waits until it has terminated. The termination's
// answer is the wait's first look: an instance it reports shutting down is
// polled first one waiter delay later. With a whole VPC terminated at once,
// those immediate polls would otherwise take the Describe budget the other
// workers' lookups need.
void terminateAndWait(const aws::Ec2Client& ec2_client, const std::string& ins_id, core::Progress* terminations) {
  aws::TerminateInstancesRequest terminate;
  terminate.InstanceIds = {ins_id};
  const aws::TerminateInstancesResult result = ec2_client.terminate_instances(terminate);
  bool shutting_down = false;
  for (const aws::InstanceStateChange& change : result.TerminatingInstances)
    if (change.InstanceId == ins_id && change.CurrentState && change.CurrentState->Name == "shutting-down")
      shutting_down = true;
  waitTerminated(ec2_client, {ins_id}, terminations, shutting_down ? 1 : 0);
}

// Waits, with EC2's instance_terminated waiter, for the instances that are
// already shutting down. False (after an ERROR line) when the waiter gives
// up or fails.
bool waitForShuttingDown(const aws::Ec2Client& ec2_client, const std::vector<ToolInstance>& instances) {
  std::vector<std::string> ids;
  for (const ToolInstance& instance : instances)
    if (instance.state == "shutting-down") ids.push_back(instance.id);
  if (ids.empty()) return true;
  std::string listed;
  for (const std::string& id : ids) listed += (listed.empty() ? "" : " ") + id;
  Logger& log = packageLogger();
  log.info("- Wait until " + listed + " terminated");
  try {
    core::Progress shutting_down(log, "waiting for instances shutting down", "instances terminated");
    waitTerminated(ec2_client, ids, &shutting_down);
    return true;
  } catch (const std::exception& failure) {
    log.error("  **Error** " + failureText(failure));
    reportFailure("wait until " + listed + " terminated", failure);
    return false;
  }
}

// Answers whether the group `name` of `vpc_id` is gone (or was never there).
bool deleteGroup(const aws::Ec2Client& ec2_client, const std::string& vpc_id, const std::string& name,
                 const DeployArgs& args) {
  Logger& log = packageLogger();
  log.info("- Delete SG " + name);
  const std::optional<std::string> sg_id = getSgId(ec2_client, vpc_id, name);
  if (!sg_id) {
    log.info("  not found");
    return true;
  }
  log.info("  delete SG " + *sg_id);
  const bool gone = deleteSG(ec2_client, *sg_id, args);
  if (gone) countChange(args, core::Change::Removed, kinds::kGroup);
  return gone;
}

void deleteSharedResources(const aws::Ec2Client& ec2_client, const std::string& vpc_id, const DeployArgs& args) {
  deleteGroup(ec2_client, vpc_id, names::kSshGroup, args);
  deleteGroup(ec2_client, vpc_id, names::kPrivateInterfaceGroup, args);
  deleteKeyPair(ec2_client, names::keyPairName(vpc_id), args);
}

// The groups and key pair of `vpc_id` that still exist.
Leftovers sharedResourcesLeft(const aws::Ec2Client& ec2_client, const std::string& vpc_id) {
  Leftovers left;
  for (const char* name : {names::kSshGroup, names::kPrivateInterfaceGroup})
    if (const auto id = getSgId(ec2_client, vpc_id, name)) left.push_back("security group " + *id + " " + name);
  if (findToolKeyPair(ec2_client, names::keyPairName(vpc_id))) left.push_back("key pair " + names::keyPairName(vpc_id));
  return left;
}

// The configuration's instances that are not terminated, and those of the
// VPC still shutting down (they keep the shared resources).
Leftovers instancesLeft(const aws::Ec2Client& ec2_client, const std::string& vpc_id,
                        const std::set<std::string>& subnets) {
  Leftovers left;
  for (const ToolInstance& instance : toolInstancesInVpc(ec2_client, vpc_id))
    if (subnets.count(instance.subnet) || instance.state == "shutting-down")
      left.push_back("instance " + instance.id + " " + instance.state + " in " + instance.subnet);
  return left;
}

}  // namespace

void deleteEc2(const aws::Ec2Client& ec2_client, const aws::IamClient& iam_client, const std::string& subnet_id,
               const DeployArgs& args, core::Progress* terminations) {
  (void)iam_client;
  Logger& log = packageLogger();
  log.info(std::string("- Delete ") + names::kInstance + " in " + subnet_id);
  // Instances that are shutting down or terminated are on their way out
  // already. EC2 lists them for a while, and counting them would make a
  // subnet that was deployed again since hold "more than one" instance, so
  // that the live one would never be removed.
  const auto [ins_id, public_ip] = getLiveEc2(ec2_client, subnet_id);
  if (!ins_id) return;

  std::optional<std::string> allocation_id;
  if (public_ip) {
    allocation_id = getEipAllocationId(ec2_client, *ins_id, *public_ip);
    if (!allocation_id) log.info("  no Elastic IP behind " + *public_ip + " of " + *ins_id);
  }

  log.info("  terminate " + *ins_id + " in " + subnet_id);
  if (!args.dry_run) terminateAndWait(ec2_client, *ins_id, terminations);
  countChange(args, core::Change::Removed, kinds::kInstance);

  if (allocation_id) releaseEIP(ec2_client, *public_ip, *allocation_id, *ins_id, args);
}

std::vector<std::string> terminateEc2s(const aws::Ec2Client& ec2_client, const aws::IamClient& iam_client,
                                       const DeployArgs& args, TestConfig& config) {
  // Every entry's gateway subnet is checked to lie in the VPC of the first
  // entry before the first change.
  const std::string vpc_id = getVpcId(ec2_client, config.entry(0).string("gw_subnet_id"));
  checkGatewaySubnetsInVpc(config, ec2_client, vpc_id);

  std::vector<std::string> subnets;
  for (ConfigEntry& entry : config.entries())
    if (isDeployedEntry(entry)) subnets.push_back(entry.string("gw_subnet_id"));
  const std::set<std::string> own_subnets(subnets.begin(), subnets.end());

  deleteEc2s(ec2_client, iam_client, subnets, args);

  // What is left of the tool's in the VPC: those on their way out are waited
  // for; any other keeps the groups and the key pair, which its instances use.
  const std::vector<ToolInstance> instances = toolInstancesInVpc(ec2_client, vpc_id);
  const bool all_terminated = args.dry_run || waitForShuttingDown(ec2_client, instances);
  bool others_run = false;
  bool any_live = false;
  for (const ToolInstance& instance : instances) {
    if (instance.state == "shutting-down") continue;
    any_live = true;
    if (!own_subnets.count(instance.subnet)) others_run = true;
  }
  if (any_live)
    packageLogger().info(std::string("  **Alert** More than one ec2 with tag Name:") + names::kInstance + " found in " +
                         vpc_id);

  Leftovers left = releaseFreeEIPs(ec2_client, vpc_id, args);
  if (!any_live && all_terminated) deleteSharedResources(ec2_client, vpc_id, args);
  if (args.dry_run) return {};

  append(left, instancesLeft(ec2_client, vpc_id, own_subnets));
  // Kept for another configuration's running instance: as asked, not left over.
  if (!others_run) append(left, sharedResourcesLeft(ec2_client, vpc_id));
  return left;
}

void runTeardown(const aws::Ec2Client& ec2_client, const aws::IamClient& iam_client, aws::StsClient& sts_client,
                 const DeployArgs& args, TestConfig& config) {
  Logger& log = packageLogger();
  Leftovers left = terminateEc2s(ec2_client, iam_client, args, config);
  if (args.ec2_role && *args.ec2_role == "default") {
    if (args.dry_run) {
      log.info(std::string("- Dry run: instance profile ") + names::kInstanceProfile + ", role and policy are kept");
      return;
    }
    std::optional<std::string> policy_arn;
    try {
      policy_arn = defaultPolicyArn(sts_client, args);
    } catch (const std::exception& failure) {
      log.error(std::string("  **Error** cannot tell the ARN of ") + names::kPolicy + ": " + failureText(failure));
      reportFailure(std::string("account of ") + names::kPolicy, failure);
      left.push_back(std::string("policy ") + names::kPolicy);
    }
    append(left, deleteInstanceProfile(iam_client, policy_arn, args.tally));
  }
  if (args.dry_run) return;
  for (const std::string& item : left) {
    log.error("  **Error** left behind: " + item);
    countChange(args, core::Change::Left, leftoverKind(item));
  }
  if (left.empty()) log.info(std::string("- Nothing of ") + names::kInstance + " is left for " + args.test_config);
}

}  // namespace qvn::deploy
