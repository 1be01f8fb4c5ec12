#include "deploy/teardown.hpp"

#include <algorithm>
#include <optional>
#include <set>
#include <stdexcept>

#include "aws/waiters.hpp"
#include "core/interrupt.hpp"
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

void append(Leftovers& to, const Leftovers& more) { to.insert(to.end(), more.begin(), more.end()); }

// A test subnet's outcome for the summary, once its worker has ended.
void noteTeardownOutcome(const std::string& subnet, const RunContext& run) {
  if (run.tally == nullptr) return;
  std::string outcome = "removed";
  if (run.args.dry_run) outcome = "dry run";
  if (core::interrupted()) outcome = "interrupted";
  if (run.tally->failedIn(subnet)) outcome = "failed";
  run.tally->noteEntry(subnet, outcome);
}

// One worker per subnet, all started, then all joined; each worker's
// failure is named with its subnet and logged at ERROR (worker_fanout).
// Answers the instances the workers terminated.
std::set<std::string> deleteEc2s(const RunContext& run, const std::vector<std::string>& subnets,
                                 const std::vector<std::string>& test_subnets) {
  core::Progress terminations(packageLogger(), "waiting for terminations", "instances terminated");
  // One slot per worker: each writes only its own.
  std::vector<std::optional<std::string>> terminated(subnets.size());
  std::vector<WorkerTask> tasks;
  tasks.reserve(subnets.size());
  for (std::size_t i = 0; i < subnets.size(); ++i)
    tasks.push_back({"teardown of " + subnets[i],
                     [&, i] { terminated[i] = deleteEc2(run, subnets[i], &terminations); },
                     test_subnets[i]});
  runWorkers(tasks);
  for (const std::string& subnet : test_subnets) noteTeardownOutcome(subnet, run);
  std::set<std::string> ids;
  for (const auto& id : terminated)
    if (id) ids.insert(*id);
  return ids;
}

// EC2's instance_terminated wait for `ids`, counted in `progress` (may be
// null) and told between its polls. `answered` is 1 when the caller's own
// answer showed every instance shutting down, so an immediate poll could
// only say the same. False when the run was interrupted: the wait ends
// without another poll and the instances are left shutting down.
bool waitTerminated(const aws::Ec2Client& ec2_client, const std::vector<std::string>& ids, core::Progress* progress,
                    int answered = 0) {
  core::Awaited awaited(progress, static_cast<int>(ids.size()));
  aws::DescribeInstancesRequest wait;
  wait.InstanceIds = ids;
  aws::WaiterConfig timing;
  timing.between_polls = [&awaited] { awaited.tick(); };
  timing.attempts_answered = answered;
  timing.abandon_when = [] { return core::interrupted(); };
  try {
    aws::wait_instance_terminated(ec2_client, wait, timing);
  } catch (const aws::WaiterError& ended) {
    if (ended.reason() != aws::WaiterError::Reason::Abandoned) throw;
    std::string listed;
    for (const std::string& id : ids) listed += " " + id;
    packageLogger().info(std::string("  wait for") + listed + " ended by " + core::interrupt_signal_name());
    return false;
  }
  awaited.reached();
  return true;
}

// Terminates `ins_id` and waits until it has terminated. The termination's
// answer is the wait's first look: an instance it reports shutting down is
// polled first one waiter delay later. With a whole VPC terminated at once,
// those immediate polls would otherwise take the Describe budget the other
// workers' lookups need.
bool terminateAndWait(const aws::Ec2Client& ec2_client, const std::string& ins_id, core::Progress* terminations) {
  aws::TerminateInstancesRequest terminate;
  terminate.InstanceIds = {ins_id};
  const aws::TerminateInstancesResult result = ec2_client.terminate_instances(terminate);
  bool shutting_down = false;
  for (const aws::InstanceStateChange& change : result.TerminatingInstances)
    if (change.InstanceId == ins_id && change.CurrentState && change.CurrentState->Name == "shutting-down")
      shutting_down = true;
  return waitTerminated(ec2_client, {ins_id}, terminations, shutting_down ? 1 : 0);
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
    return waitTerminated(ec2_client, ids, &shutting_down);
  } catch (const std::exception& failure) {
    logFailure("wait until " + listed + " terminated", failure);
    return false;
  }
}

// Answers whether the group `name` of `vpc_id` is gone (or was never there).
bool deleteGroup(const RunContext& run, const std::string& name) {
  Logger& log = packageLogger();
  log.info("- Delete SG " + name);
  const std::optional<std::string> sg_id = getSgId(run.ec2, run.vpc_id, name);
  if (!sg_id) {
    log.info("  not found");
    return true;
  }
  log.info("  delete SG " + *sg_id);
  const bool gone = deleteSG(run, *sg_id);
  if (gone) run.count(core::Change::Removed, kinds::kGroup);
  return gone;
}

void deleteSharedResources(const RunContext& run) {
  deleteGroup(run, names::kSshGroup);
  deleteGroup(run, names::kPrivateInterfaceGroup);
  deleteKeyPair(run, names::keyPairName(run.vpc_id));
}

// The groups and key pair of `vpc_id` that still exist.
Leftovers sharedResourcesLeft(const aws::Ec2Client& ec2_client, const std::string& vpc_id) {
  Leftovers left;
  for (const char* name : {names::kSshGroup, names::kPrivateInterfaceGroup})
    if (const auto id = getSgId(ec2_client, vpc_id, name))
      left.push_back({kinds::kGroup, *id, "security group " + *id + " " + name});
  const std::string key_pair = names::keyPairName(vpc_id);
  if (findToolKeyPair(ec2_client, key_pair)) left.push_back({kinds::kKeyPair, key_pair, "key pair " + key_pair});
  return left;
}

// What is left of the configuration's resources, looked up afresh: its
// instances that are not terminated and those of the VPC still shutting down,
// the tool's addresses of the VPC that are free or held by such an instance,
// and, unless another configuration's instance still runs in the VPC (then
// they are kept as asked), the groups and the key pair.
Leftovers whatIsLeft(const aws::Ec2Client& ec2_client, const std::string& vpc_id,
                     const std::set<std::string>& own_subnets) {
  Leftovers left;
  std::set<std::string> left_instances;
  bool others_run = false;
  for (const ToolInstance& instance : toolInstancesInVpc(ec2_client, vpc_id)) {
    if (own_subnets.count(instance.subnet) || instance.state == "shutting-down") {
      left.push_back({kinds::kInstance, instance.id, "instance " + instance.id + " " + instance.state + " in " + instance.subnet});
      left_instances.insert(instance.id);
    } else {
      others_run = true;
    }
  }
  for (const aws::Address& address : toolAddressesInVpc(ec2_client, vpc_id))
    if (!address.AssociationId || left_instances.count(address.InstanceId.value_or("")))
      left.push_back(addressLeft(address));
  if (!others_run) append(left, sharedResourcesLeft(ec2_client, vpc_id));
  return left;
}

}  // namespace

std::optional<std::string> deleteEc2(const RunContext& run, const std::string& subnet_id,
                                     core::Progress* terminations) {
  Logger& log = packageLogger();
  const aws::Ec2Client& ec2_client = run.ec2;
  log.info(std::string("- Delete ") + names::kInstance + " in " + subnet_id);
  // Instances that are shutting down or terminated are on their way out
  // already. EC2 lists them for a while, and counting them would make a
  // subnet that was deployed again since hold "more than one" instance, so
  // that the live one would never be removed.
  const auto [ins_id, public_ip] = getLiveEc2(ec2_client, subnet_id);
  if (!ins_id) return std::nullopt;

  std::optional<std::string> allocation_id;
  if (public_ip) {
    allocation_id = getEipAllocationId(ec2_client, *ins_id, *public_ip);
    if (!allocation_id) log.info("  no Elastic IP behind " + *public_ip + " of " + *ins_id);
  }

  // No deletion starts once the run is interrupted.
  if (core::interrupted()) return std::nullopt;
  log.info("  terminate " + *ins_id + " in " + subnet_id);
  if (!run.args.dry_run && !terminateAndWait(ec2_client, *ins_id, terminations)) return ins_id;
  run.count(core::Change::Removed, kinds::kInstance, *ins_id);

  if (allocation_id && !core::interrupted()) releaseEIP(run, *public_ip, *allocation_id, *ins_id);
  return ins_id;
}

TeardownResult terminateEc2s(RunContext run, TestConfig& config) {
  const DeployArgs& args = run.args;
  const aws::Ec2Client& ec2_client = run.ec2;
  // Every entry's gateway subnet is checked to lie in the VPC of the first
  // entry before the first change.
  run.vpc_id = getVpcId(ec2_client, config.entry(0).string("gw_subnet_id"));
  const std::string& vpc_id = run.vpc_id;
  checkGatewaySubnetsInVpc(config, ec2_client, vpc_id);

  std::vector<std::string> subnets;
  std::vector<std::string> test_subnets;
  for (ConfigEntry& entry : config.entries()) {
    if (!isDeployedEntry(entry)) continue;
    subnets.push_back(entry.string("gw_subnet_id"));
    test_subnets.push_back(entry.string("private_subnet_id"));
  }
  const std::set<std::string> own_subnets(subnets.begin(), subnets.end());

  TeardownResult result;
  result.vpc_id = vpc_id;
  result.terminated = deleteEc2s(run, subnets, test_subnets);
  // Interrupted: no further step, only what is left is looked up.
  if (core::interrupted()) {
    if (!args.dry_run) result.left = whatIsLeft(ec2_client, vpc_id, own_subnets);
    return result;
  }

  // What is left of the tool's in the VPC: those on their way out are waited
  // for; any other keeps the groups and the key pair, which its instances use.
  const std::vector<ToolInstance> instances = toolInstancesInVpc(ec2_client, vpc_id);
  const bool all_terminated = args.dry_run || waitForShuttingDown(ec2_client, instances);
  bool any_live = false;
  for (const ToolInstance& instance : instances) any_live = any_live || instance.state != "shutting-down";
  if (any_live)
    packageLogger().info(std::string("  **Alert** More than one ec2 with tag Name:") + names::kInstance + " found in " +
                         vpc_id);

  if (!core::interrupted()) releaseFreeEIPs(run);
  if (!any_live && all_terminated && !core::interrupted()) deleteSharedResources(run);
  if (!args.dry_run) result.left = whatIsLeft(ec2_client, vpc_id, own_subnets);
  return result;
}

namespace {

// The account's IAM objects of --ec2_role default, deleted only when no
// instance but those this revert terminated holds the profile: they are
// shared by every deployment into the account. Answers what is left;
// `in_use` tells whether they were kept for other instances (as asked).
Leftovers deleteUnusedIamObjects(const RunContext& run, const std::set<std::string>& terminated, bool& in_use) {
  Logger& log = packageLogger();
  std::optional<AccountIdentity> identity;
  try {
    identity = callerIdentity(run);
  } catch (const std::exception& failure) {
    logError(std::string("cannot tell the ARN of ") + names::kPolicy + ": " + failureText(failure));
    reportFailure(std::string("account of ") + names::kPolicy, failure);
    return {{kinds::kIamObject, names::kPolicy, std::string("policy ") + names::kPolicy},
            {kinds::kIamObject, names::kRole, std::string("role ") + names::kRole},
            {kinds::kIamObject, names::kInstanceProfile, std::string("instance profile ") + names::kInstanceProfile}};
  }
  std::size_t users = 0;
  for (const std::string& id :
       instancesWithProfile(run.ec2, names::instanceProfileArn(identity->partition, identity->account)))
    users += terminated.count(id) == 0;
  if (users > 0) {
    log.info(std::string("- Keep instance profile ") + names::kInstanceProfile + ", role and policy: " +
             std::to_string(users) + (users == 1 ? " instance uses" : " instances use") + " them");
    in_use = true;
    return {};
  }
  return deleteInstanceProfile(run, names::policyArn(identity->partition, identity->account));
}

// After a revert without --ec2_role default: the default IAM objects that
// still exist, which that option removes. Unknown (nothing named) when IAM
// cannot be read.
Leftovers iamObjectsKept(const aws::IamClient& iam_client) {
  try {
    return existingIamObjects(iam_client);
  } catch (const std::exception& failure) {
    packageLogger().info(std::string("  could not tell whether ") + names::kRole + " is left: " + failureText(failure));
    return {};
  }
}

}  // namespace

void runTeardown(const RunContext& run, TestConfig& config) {
  Logger& log = packageLogger();
  const DeployArgs& args = run.args;
  TeardownResult result = terminateEc2s(run, config);
  Leftovers& left = result.left;
  Leftovers kept;
  bool iam_in_use = false;
  const bool default_role = args.ec2_role && *args.ec2_role == "default";
  if (default_role && args.dry_run) {
    log.info(std::string("- Dry run: instance profile ") + names::kInstanceProfile + ", role and policy are kept");
    return;
  }
  if (args.dry_run) return;
  if (core::interrupted()) {
    // Not deleted: left when asked for, kept otherwise.
    append(default_role ? left : kept, iamObjectsKept(run.iam));
  } else if (default_role) {
    append(left, deleteUnusedIamObjects(run, result.terminated, iam_in_use));
  } else {
    kept = iamObjectsKept(run.iam);
  }
  for (const Leftover& item : left) {
    logError("left behind: " + item.description);
    run.count(core::Change::Left, item.kind, item.description);
  }
  if (!kept.empty()) {
    std::string listed;
    for (const std::string& item : descriptionsOf(kept)) listed += (listed.empty() ? "" : ", ") + item;
    log.info("  **Alert** kept: " + listed +
             "; a revert with --ec2_role default removes them once no other job uses them");
  }
  // The key files stay (the local one and its copy): instances launched
  // with the pair elsewhere may still need them.
  const bool key_copy = args.s3_bucket && !args.s3_bucket->empty() && !args.key_name;
  if (key_copy)
    log.info("  **Alert** kept: the private key's copy s3://" + *args.s3_bucket + "/backups/" + result.vpc_id + "/" +
             names::keyPairName(result.vpc_id) + ".pem");
  if (left.empty() && kept.empty() && !key_copy && !iam_in_use)
    log.info(std::string("- Nothing of ") + names::kInstance + " is left for " + args.test_config);
}

}  // namespace qvn::deploy
