#pragma once
// The main flow of probe_deploy.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "aws/s3.hpp"
#include "aws/session.hpp"
#include "core/logging.hpp"
#include "deploy/deploy_args.hpp"
#include "deploy/run_context.hpp"

namespace qvn::deploy {

// "probe_deploy " followed by the arguments joined by single blanks.
std::string commandText(const std::vector<std::string>& arguments);

// EC2 takes 50 tags per resource; Name and the Elastic IP's VPC tag come
// with every user tag list.
inline constexpr std::size_t kMaxTagResourcePairs = 48;

// With --tag_resource given, an odd number of pieces logs
// "**Error** incomplete tag_resource pair" and ends the program with status 1;
// so do more than kMaxTagResourcePairs pairs, with one line saying so.
void checkTagResource(const DeployArgs& args, Logger& log);

// The opening of every run, once the command line is parsed: log set-up,
// command banner, the dry-run setting and the tag pair check. Returns the
// package logger for the rest of the flow.
Logger& beginProbeDeploy(const DeployArgs& args, const std::vector<std::string>& arguments);

// --workflow_account_role: role name, then optionally account number and
// region. The account and region are taken only when all three are given
// (and the account is not empty); otherwise both are unknown and come from
// the instance identity document.
struct WorkflowAccount {
  std::string role_name;
  std::optional<std::string> account_number;
  std::optional<std::string> region;
};
WorkflowAccount parseWorkflowAccountRole(const std::string& value);

// The S3 client of a deployment. With --workflow_account_role: the role of
// the workflow account is assumed (account and region from the option or
// the identity document), the workflow's key is fetched from its SSM
// Parameter Store when --key_name is given, and the S3 client is made from
// that session; otherwise from a plain session of --profile.
std::optional<aws::S3Client> openWorkflowAccess(const DeployArgs& args, Logger& log);

// The deployment account's session: --assume_role assumed with --profile's
// credentials, or a plain session of --profile.
std::shared_ptr<aws::Session> deploymentSession(const DeployArgs& args);

// The run of `args` on the deployment session: its EC2 client
// (deploymentEc2Client), IAM and STS clients of --region, counting in
// `tally`. No S3 client, image or VPC yet.
RunContext deploymentRun(const DeployArgs& args, const std::shared_ptr<aws::Session>& session,
                         core::RunTally& tally);

// The command that removes what a deployment with `args` made:
// probe_deploy --revert --test_config, then --region, --profile,
// --assume_role, --s3_bucket (so that the revert names the key's copy),
// --ec2_role default and --backup_folder where given.
std::vector<std::string> revertCommand(const DeployArgs& args);

// The whole flow for the arguments after the program name; returns the exit
// status or throws ProgramExit. After SIGINT or SIGTERM the run winds down
// (see core/interrupt.hpp), a deployment still writes its output, and the
// run ends with an ERROR record naming the command to run next (the revert
// for a deployment, the same command for a revert) and status 130 or 143.
int runProbeDeploy(const std::vector<std::string>& arguments);

}  // namespace qvn::deploy
