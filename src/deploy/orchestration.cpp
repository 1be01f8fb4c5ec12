#include "deploy/orchestration.hpp"

#include <memory>
#include <vector>

#include "core/interrupt.hpp"
#include "core/logging.hpp"
#include "deploy/config_check.hpp"
#include "deploy/elastic_ip.hpp"
#include "deploy/failure_report.hpp"
#include "deploy/instance_role.hpp"
#include "deploy/key_pair.hpp"
#include "deploy/launch.hpp"
#include "deploy/preflight.hpp"
#include "deploy/resource_names.hpp"
#include "deploy/run_summary.hpp"
#include "deploy/security_group.hpp"
#include "deploy/worker_fanout.hpp"

namespace qvn::deploy {

namespace {

// The security group, key pair and (with --ec2_role default) the IAM
// objects, one step after the other. Nothing when the run is interrupted
// before they are all there: no launch can use half of them.
std::optional<SharedLaunchInputs> prepareSharedResources(const RunContext& run) {
  const DeployArgs& args = run.args;
  SharedLaunchInputs shared;
  if (core::interrupted()) return std::nullopt;
  shared.sg_id = createSG(run);
  if (core::interrupted()) return std::nullopt;
  shared.key_name = args.key_name;
  if (!shared.key_name) shared.key_name = createKeyPair(run);
  if (args.ec2_role == kDefaultEc2Role) {
    if (core::interrupted()) return std::nullopt;
    const std::string policy_arn = createS3Policy(run);
    if (core::interrupted()) return std::nullopt;
    createEc2Role(run, policy_arn);
    if (core::interrupted()) return std::nullopt;
    createInstanceProfile(run);
    shared.instance_profile = names::kInstanceProfile;
  }
  if (core::interrupted()) return std::nullopt;
  return shared;
}

Ec2Launch launchOf(ConfigEntry& x, const RunContext& run, const SharedLaunchInputs& shared) {
  Ec2Launch launch;
  launch.run = &run;
  launch.shared = shared;
  launch.gw_subnet_id = x.string("gw_subnet_id");
  launch.private_subnet_id = x.string("private_subnet_id");
  launch.spoke_gw_ip = x.string("gw_private_ip");
  launch.test_config = &x;
  return launch;
}

// Each test subnet's outcome for the summary.
void noteEntryOutcomes(std::vector<ConfigEntry>& entries, const RunContext& run) {
  if (run.tally == nullptr) return;
  for (ConfigEntry& x : entries) {
    if (!isDeployedEntry(x)) continue;
    const std::string subnet = x.string("private_subnet_id");
    std::string outcome = x.has("ec2_ip") ? "deployed" : "not deployed";
    if (run.tally->failedIn(subnet)) outcome = "failed";
    if (run.args.dry_run && outcome != "failed") outcome = "dry run";
    run.tally->noteEntry(subnet, outcome);
  }
}

}  // namespace

std::vector<std::string> entriesWithoutAddresses(TestConfig& test_config) {
  std::vector<std::string> missing;
  for (ConfigEntry& x : test_config.entries()) {
    if (!isDeployedEntry(x)) continue;
    if (!x.has("ec2_ip") || !x.has("ec2_2nd_private_ip")) missing.push_back(x.string("private_subnet_id"));
  }
  return missing;
}

void deployEc2s(RunContext run, TestConfig& test_config) {
  const DeployArgs& args = run.args;
  run.vpc_id = getVpcId(run.ec2, test_config.entry(0).string("gw_subnet_id"));
  const auto gateway_subnets = checkGatewaySubnetsInVpc(test_config, run.ec2, run.vpc_id);
  const DeploymentNeeds needs = checkBeforeChanges(run, test_config, gateway_subnets);

  const std::optional<SharedLaunchInputs> shared = prepareSharedResources(run);

  // Every launch is prepared before the first worker starts.
  std::vector<ConfigEntry> entries = test_config.entries();
  std::vector<Ec2Launch> launches;
  const std::unique_ptr<core::Progress> status_checks = statusCheckProgress();
  for (ConfigEntry& x : entries) {
    if (!isDeployedEntry(x)) {
      logError("Skip " + x.string("nat_gw_id") + " -- private_subnet_id not defined");
      continue;
    }
    if (!shared) continue;
    launches.push_back(launchOf(x, run, *shared));
    launches.back().status_checks = status_checks.get();
  }
  if (shared && !core::interrupted()) checkLaunchPermission(launches, needs);
  std::vector<WorkerTask> tasks;
  tasks.reserve(launches.size());
  for (const Ec2Launch& launch : launches)
    tasks.push_back({"launch in " + launch.private_subnet_id, [&launch] { createEc2(launch); },
                     launch.private_subnet_id});
  runWorkers(tasks);
  if (!run.args.dry_run) releaseLostAllocations(run);
  noteEntryOutcomes(entries, run);

  // Written in every case, an interrupted run included: the entries done so
  // far carry their addresses.
  if (!args.output_test_config) throw std::invalid_argument("a deployment needs --output_test_config");
  test_config.write(*args.output_test_config);
  run.notePath(kinds::kOutputConfig, *args.output_test_config);

  // A dry run launches nothing, so it records only instances that run already.
  if (args.dry_run) return;
  const std::vector<std::string> missing = entriesWithoutAddresses(test_config);
  if (missing.empty()) return;
  std::string listed;
  for (const std::string& subnet : missing) listed += (listed.empty() ? "" : ", ") + subnet;
  logError(std::to_string(missing.size()) +
            " entries are not recorded with ec2_ip and ec2_2nd_private_ip: " + listed);
}

}  // namespace qvn::deploy
