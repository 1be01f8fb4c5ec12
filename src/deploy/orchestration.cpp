#include "deploy/orchestration.hpp"

#include <thread>
#include <vector>

#include "core/logging.hpp"
#include "core/run_outcome.hpp"
#include "deploy/config_check.hpp"
#include "deploy/failure_report.hpp"
#include "deploy/instance_role.hpp"
#include "deploy/key_pair.hpp"
#include "deploy/launch.hpp"
#include "deploy/security_group.hpp"

namespace qvn::deploy {

namespace {

Logger& packageLogger() { return *getLogger("quorvane_testlibs"); }

// The worker boundary: nothing a launch throws leaves its thread.
void runLaunch(const Ec2Launch& launch) {
  try {
    createEc2(launch);
  } catch (const std::exception& failure) {
    packageLogger().error("  **Error** " + launch.private_subnet_id + ": " + failureText(failure));
    reportFailure("launch in " + launch.private_subnet_id, failure);
  } catch (...) {
    const std::runtime_error unknown("unexpected failure");
    packageLogger().error("  **Error** " + launch.private_subnet_id + ": unexpected failure");
    reportFailure("launch in " + launch.private_subnet_id, unknown);
  }
}

}  // namespace

void deployEc2s(const aws::Ec2Client& ec2_client, const std::optional<aws::S3Client>& s3_client,
                const aws::IamClient& iam_client, const std::string& ami, const DeployArgs& args,
                aws::StsClient& sts_client, TestConfig& test_config) {
  Logger& log = packageLogger();
  const std::string vpcId = getVpcId(ec2_client, test_config.entry(0).string("gw_subnet_id"));
  checkGatewaySubnetsInVpc(test_config, ec2_client, vpcId);

  const std::optional<std::string> sgId = createSG(ec2_client, vpcId, args);
  std::optional<std::string> key_name = args.key_name;
  if (!key_name) key_name = createKeyPair(ec2_client, s3_client, vpcId, args);
  std::optional<std::string> instance_profile;
  if (args.ec2_role == kDefaultEc2Role) {
    const std::string policy_arn = createS3Policy(iam_client, args, sts_client);
    createEc2Role(iam_client, policy_arn);
    createInstanceProfile(iam_client);
    instance_profile = kDefaultInstanceProfile;
  }

  // Every launch is prepared before the first worker starts.
  std::vector<ConfigEntry> entries = test_config.entries();
  std::vector<Ec2Launch> launches;
  for (ConfigEntry& x : entries) {
    if (!isDeployedEntry(x)) {
      log.error("  **Error** Skip " + x.string("nat_gw_id") + " -- private_subnet_id not defined");
      continue;
    }
    Ec2Launch launch;
    launch.ec2_client = &ec2_client;
    launch.iam_client = &iam_client;
    launch.ami = ami;
    launch.gw_subnet_id = x.string("gw_subnet_id");
    launch.private_subnet_id = x.string("private_subnet_id");
    launch.spoke_gw_ip = x.string("gw_private_ip");
    launch.args = &args;
    launch.test_config = &x;
    launch.sg_id = sgId;
    launch.instance_profile = instance_profile;
    launch.key_name = key_name;
    launches.push_back(std::move(launch));
  }

  std::vector<std::thread> threadPool;
  threadPool.reserve(launches.size());
  for (const Ec2Launch& launch : launches) threadPool.emplace_back(runLaunch, std::cref(launch));
  for (std::thread& worker : threadPool) worker.join();

  if (!args.output_test_config) throw std::invalid_argument("a deployment needs --output_test_config");
  test_config.write(*args.output_test_config);
}

void deployEc2s(const aws::Ec2Client& ec2_client, const std::optional<aws::S3Client>& s3_client,
                const aws::IamClient& iam_client, const std::string& ami, const DeployArgs& args,
                aws::StsClient& sts_client) {
  TestConfig test_config = readCheckedTestConfig(args.test_config, ConfigUse::Deploy);
  deployEc2s(ec2_client, s3_client, iam_client, ami, args, sts_client, test_config);
}

}  // namespace qvn::deploy
