#include "deploy/orchestration.hpp"

#include <memory>
#include <vector>

#include "core/interrupt.hpp"
#include "core/logging.hpp"
#include "deploy/config_check.hpp"
#include "deploy/elastic_ip.hpp"
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

// What every launch of the VPC shares, made once on the calling thread.
struct SharedLaunchInputs {
  std::optional<std::string> sg_id;
  std::optional<std::string> key_name;
  std::optional<std::string> instance_profile;
};

// The security group, key pair and (with --ec2_role default) the IAM
// objects, one step after the other. Nothing when the run is interrupted
// before they are all there: no launch can use half of them.
std::optional<SharedLaunchInputs> prepareSharedResources(const aws::Ec2Client& ec2_client,
                                                         const std::optional<aws::S3Client>& s3_client,
                                                         const aws::IamClient& iam_client, const std::string& vpcId,
                                                         const DeployArgs& args, aws::StsClient& sts_client) {
  SharedLaunchInputs shared;
  if (core::interrupted()) return std::nullopt;
  shared.sg_id = createSG(ec2_client, vpcId, args);
  if (core::interrupted()) return std::nullopt;
  shared.key_name = args.key_name;
  if (!shared.key_name) shared.key_name = createKeyPair(ec2_client, s3_client, vpcId, args);
  if (args.ec2_role == kDefaultEc2Role) {
    if (core::interrupted()) return std::nullopt;
    const std::string policy_arn = createS3Policy(iam_client, args, sts_client);
    if (core::interrupted()) return std::nullopt;
    createEc2Role(iam_client, policy_arn, args.tally);
    if (core::interrupted()) return std::nullopt;
    createInstanceProfile(iam_client, args.tally);
    shared.instance_profile = names::kInstanceProfile;
  }
  if (core::interrupted()) return std::nullopt;
  return shared;
}

Ec2Launch launchOf(ConfigEntry& x, const aws::Ec2Client& ec2_client, const aws::IamClient& iam_client,
                   const std::string& ami, const DeployArgs& args, const std::string& vpcId,
                   const SharedLaunchInputs& shared) {
  Ec2Launch launch;
  launch.vpc_id = vpcId;
  launch.ec2_client = &ec2_client;
  launch.iam_client = &iam_client;
  launch.ami = ami;
  launch.gw_subnet_id = x.string("gw_subnet_id");
  launch.private_subnet_id = x.string("private_subnet_id");
  launch.spoke_gw_ip = x.string("gw_private_ip");
  launch.args = &args;
  launch.test_config = &x;
  launch.sg_id = shared.sg_id;
  launch.instance_profile = shared.instance_profile;
  launch.key_name = shared.key_name;
  return launch;
}

// Each test subnet's outcome for the summary.
void noteEntryOutcomes(std::vector<ConfigEntry>& entries, const DeployArgs& args) {
  if (args.tally == nullptr) return;
  for (ConfigEntry& x : entries) {
    if (!isDeployedEntry(x)) continue;
    const std::string subnet = x.string("private_subnet_id");
    std::string outcome = x.has("ec2_ip") ? "deployed" : "not deployed";
    if (args.tally->failedIn(subnet)) outcome = "failed";
    if (args.dry_run && outcome != "failed") outcome = "dry run";
    args.tally->noteEntry(subnet, outcome);
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

void deployEc2s(const aws::Ec2Client& ec2_client, const std::optional<aws::S3Client>& s3_client,
                const aws::IamClient& iam_client, const aws::Image& image, const DeployArgs& args,
                aws::StsClient& sts_client, TestConfig& test_config) {
  Logger& log = packageLogger();
  const std::string vpcId = getVpcId(ec2_client, test_config.entry(0).string("gw_subnet_id"));
  const auto gateway_subnets = checkGatewaySubnetsInVpc(test_config, ec2_client, vpcId);
  const DeploymentNeeds needs = checkBeforeChanges(ec2_client, test_config, vpcId, gateway_subnets, image, args);
  const std::string ami = image.ImageId.value_or("");

  const std::optional<SharedLaunchInputs> shared =
      prepareSharedResources(ec2_client, s3_client, iam_client, vpcId, args, sts_client);

  // Every launch is prepared before the first worker starts.
  std::vector<ConfigEntry> entries = test_config.entries();
  std::vector<Ec2Launch> launches;
  const std::unique_ptr<core::Progress> status_checks = statusCheckProgress();
  for (ConfigEntry& x : entries) {
    if (!isDeployedEntry(x)) {
      log.error("  **Error** Skip " + x.string("nat_gw_id") + " -- private_subnet_id not defined");
      continue;
    }
    if (!shared) continue;
    launches.push_back(launchOf(x, ec2_client, iam_client, ami, args, vpcId, *shared));
    launches.back().status_checks = status_checks.get();
  }
  if (shared && !core::interrupted()) checkLaunchPermission(launches, needs);
  std::vector<WorkerTask> tasks;
  tasks.reserve(launches.size());
  for (const Ec2Launch& launch : launches)
    tasks.push_back({"launch in " + launch.private_subnet_id, [&launch] { createEc2(launch); },
                     launch.private_subnet_id});
  runWorkers(tasks);
  if (!args.dry_run) releaseLostAllocations(ec2_client, vpcId, args);
  noteEntryOutcomes(entries, args);

  // Written in every case, an interrupted run included: the entries done so
  // far carry their addresses.
  if (!args.output_test_config) throw std::invalid_argument("a deployment needs --output_test_config");
  test_config.write(*args.output_test_config);
  notePath(args, kinds::kOutputConfig, *args.output_test_config);

  // A dry run launches nothing, so it records only instances that run already.
  if (args.dry_run) return;
  const std::vector<std::string> missing = entriesWithoutAddresses(test_config);
  if (missing.empty()) return;
  std::string listed;
  for (const std::string& subnet : missing) listed += (listed.empty() ? "" : ", ") + subnet;
  log.error("  **Error** " + std::to_string(missing.size()) +
            " entries are not recorded with ec2_ip and ec2_2nd_private_ip: " + listed);
}

}  // namespace qvn::deploy
