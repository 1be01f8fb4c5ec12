#include "deploy/deploy_main.hpp"

#include <iostream>

#include "aws/iam.hpp"
#include "aws/s3.hpp"
#include "aws/ssm.hpp"
#include "aws/sts.hpp"
#include "core/run_outcome.hpp"
#include "deploy/config_check.hpp"
#include "deploy/deploy_session.hpp"
#include "deploy/key_pair.hpp"
#include "deploy/machine_image.hpp"
#include "deploy/orchestration.hpp"
#include "deploy/teardown.hpp"
#include "lib/basekit.hpp"

namespace qvn::deploy {

std::string commandText(const std::vector<std::string>& arguments) {
  std::string text = std::string(kDeployProgram) + " ";
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (i > 0) text += " ";
    text += arguments[i];
  }
  return text;
}

std::vector<std::string> splitTagResource(const std::string& value) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (true) {
    std::size_t comma = value.find(',', start);
    if (comma == std::string::npos) {
      pieces.push_back(value.substr(start));
      return pieces;
    }
    pieces.push_back(value.substr(start, comma - start));
    start = comma + 1;
  }
}

void checkTagResource(const DeployArgs& args, Logger& log) {
  if (!args.tag_resource) return;
  if (splitTagResource(*args.tag_resource).size() % 2 != 0) {
    log.info("**Error** incomplete tag_resource pair");
    throw ProgramExit{1};
  }
}

Logger& beginProbeDeploy(const DeployArgs& args, const std::vector<std::string>& arguments) {
  Common::initLogLocation(args.backup_folder);
  Common::logCommandOptions(commandText(arguments));
  Logger& log = *getLogger("quorvane_testlibs");
  Globals.dry_run = args.dry_run;
  checkTagResource(args, log);
  return log;
}

namespace {

constexpr const char* kWorkflowSecretsPath = "/quorvane/workflow/secrets/";

}  // namespace

WorkflowAccount parseWorkflowAccountRole(const std::string& value) {
  const std::vector<std::string> pieces = splitTagResource(value);
  WorkflowAccount account;
  account.role_name = pieces[0];
  if (pieces.size() > 2 && !pieces[1].empty()) {
    account.account_number = pieces[1];
    account.region = pieces[2];
  }
  return account;
}

std::optional<aws::S3Client> openWorkflowAccess(const DeployArgs& args, Logger& log) {
  if (!args.workflow_account_role || args.workflow_account_role->empty()) {
    return aws::S3Client(plainSession(args.profile));
  }
  WorkflowAccount account = parseWorkflowAccountRole(*args.workflow_account_role);
  if (!account.account_number) {
    const nlohmann::json identity = get_aws_metadata();
    account.account_number = identity.value("accountId", "");
    account.region = identity.value("region", "");
    if (account.account_number->empty()) {
      throw std::runtime_error("the instance identity document carries no accountId");
    }
  }
  const std::string role_arn = "arn:aws:iam::" + *account.account_number + ":role/" + account.role_name;
  log.info("- Use role " + role_arn + " for SSM access");
  const auto workflow_session = sessionOf(start_aws_session(role_arn, args.profile));
  std::optional<std::string> ssm_region;
  if (account.region && !account.region->empty()) ssm_region = account.region;
  const aws::SsmClient ssm_client(workflow_session, ssm_region);
  if (args.key_name && !args.key_name->empty()) {
    getPemKeyFromSSM(ssm_client, kWorkflowSecretsPath + *args.key_name, args);
  }
  return aws::S3Client(workflow_session);
}

std::shared_ptr<aws::Session> deploymentSession(const DeployArgs& args) {
  if (args.assume_role && !args.assume_role->empty()) {
    return sessionOf(start_aws_session(*args.assume_role, args.profile));
  }
  return plainSession(args.profile);
}

namespace {

void runDeployment(const DeployArgs& args, Logger& log) {
  // The whole configuration is checked before anything is asked of AWS.
  TestConfig config = readCheckedTestConfig(args.test_config, ConfigUse::Deploy);
  // A path that cannot be written fails here, not after every instance has
  // been launched.
  TestConfig::prepare_write(*args.output_test_config);
  const std::optional<aws::S3Client> s3_client = openWorkflowAccess(args, log);
  const auto session = deploymentSession(args);
  const aws::Ec2Client ec2_client = deploymentEc2Client(session, args.region);
  const aws::IamClient iam_client(session, args.region);
  aws::StsClient sts_client(session, args.region);
  const std::string ami = getAMIByName(ec2_client, args);
  deployEc2s(ec2_client, s3_client, iam_client, ami, args, sts_client, config);
}

}  // namespace

int runProbeDeploy(const std::vector<std::string>& arguments) {
  const DeployArgs args = parseDeployArgs(arguments, std::cout, std::cerr);
  Logger& log = beginProbeDeploy(args, arguments);

  if (!args.revert) {
    runDeployment(args, log);
  } else {
    // As for a deployment, a bad configuration stops the run before AWS is asked anything.
    readCheckedTestConfig(args.test_config, ConfigUse::Teardown);
    const auto session = deploymentSession(args);
    runTeardown(deploymentEc2Client(session, args.region), aws::IamClient(session, args.region), args);
  }
  return RunOutcome().getStatus();
}

int runProbeDeploy(int argc, char** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  return runProbeDeploy(arguments);
}

}  // namespace qvn::deploy
