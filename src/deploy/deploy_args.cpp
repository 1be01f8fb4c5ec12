#include "deploy/deploy_args.hpp"

#include <ostream>

#include "frame/command_line.hpp"

namespace qvn::deploy {

namespace {

constexpr const char* kDeployEpilog =
    "A deployment needs --output_test_config. Credentials, region and endpoints come from\n"
    "AWS's standard variables and files (AWS_PROFILE, AWS_REGION, AWS_ENDPOINT_URL, ...).\n"
    "The log is written to BACKUP_FOLDER/log/quorvane_testlibs.log.\n"
    "\n"
    "environment:\n"
    "  QUORVANE_TIME_SCALE   factor applied to every wait (default 1)\n"
    "  QUORVANE_IP_ECHO_URL  public-IP echo service answering {\"ip\": \"...\"}\n"
    "\n"
    "exit status: 0 done; 1 the run failed (the reason is logged); 2 usage error;\n"
    "130 or 143 stopped by SIGINT or SIGTERM (the log names the command that cleans up).\n";

const std::vector<OptionRow<DeployArgs>>& rows() {
  static const std::vector<OptionRow<DeployArgs>> table = {
      {{"--revert",
        "revert the operation: remove the test instances of --test_config with their Elastic IPs, then the "
        "security groups and key pair once no instance of the tool is left in the VPC, and with --ec2_role "
        "default the IAM objects once no instance holds their profile (default: deploy)",
        true},
       &DeployArgs::revert},
      {{"--dry_run",
        "Dry run deploy test ec2 logic and show what will be done; AWS is only read, apart from the IAM objects "
        "and the Elastic IPs of running instances (default: off)",
        true},
       &DeployArgs::dry_run},
      {{"--account", "account number used in the default policy's ARN when STS cannot tell it (default: the caller's)"},
       &DeployArgs::account},
      {{"--region", "region of the VPC (default: AWS_REGION or the profile's region)"}, &DeployArgs::region},
      {{"--private_subnet_id",
        "private subnet ID of the one subnet whose result is collected without --test_config (default: none)"},
       &DeployArgs::private_subnet_id},
      {{"--key_name",
        "key name of an existing key pair to launch with; its private key is read from SSM under "
        "--workflow_account_role (default: the tool's key pair of the VPC, made when missing)"},
       &DeployArgs::key_name},
      {{"--s3_bucket",
        "s3 bucket name that keeps a copy of the tool's private key under backups/VPC/ (default: no copy)"},
       &DeployArgs::s3_bucket},
      {{"--assume_role",
        "Specify the role used to deploy EC2 in the account: its ARN, assumed and refreshed before it expires "
        "(default: the profile's own credentials)"},
       &DeployArgs::assume_role},
      {{"--profile",
        "Specify the AWS Credentials profile used to deploy EC2 in the account (default: AWS_PROFILE, else the "
        "default credential chain)"},
       &DeployArgs::profile},
      {{"--ec2_role",
        "Specify the role to assign to the EC2: NAME of a role with an instance profile, or \"default\" for the "
        "tool's own role, policy and profile, made when missing (default: no role)"},
       &DeployArgs::ec2_role},
      {{"--test_config", "specify input test config file: the JSON array of test subnets (required)", false, true},
       &DeployArgs::test_config},
      {{"--output_test_config",
        "specify output test config file: the input with each instance's addresses (required for a deployment)"},
       &DeployArgs::output_test_config},
      {{"--tag_resource",
        "tag created resources, e.g., sg, vm: KEY,VALUE[,KEY,VALUE...] added to the instances, groups and key "
        "pair (default: no extra tags)"},
       &DeployArgs::tag_resource},
      {{"--instance_type", "instance type, default to t3.micro"}, &DeployArgs::instance_type},
      {{"--image",
        "VM image name, default to al2023-ami-2023.3.20240108.0-kernel-6.1-x86_64 (an image of the account or "
        "Amazon's)"},
       &DeployArgs::image},
      {{"--workflow_account_role",
        "specify workflow account <role>,<number>,<region> where account number and region are "
        "optional: the role that reads --key_name's private key from SSM and writes the key's S3 copy; "
        "without them, those of the instance identity document (default: none, the profile's credentials)"},
       &DeployArgs::workflow_account_role},
      {{"--backup_folder",
        "specify the folder for storing the VPC specific key-pair; the log goes to BACKUP_FOLDER/log/ "
        "(default: ./backups)"},
       &DeployArgs::backup_folder},
      {{"--summary_json",
        "also write the end-of-run summary to this file as JSON: counts, ids, errors, entries (default: none)",
        false, false, {"--summary-json"}},
       &DeployArgs::summary_json},
  };
  return table;
}

}  // namespace

const std::vector<OptionSpec>& deployOptionTable() {
  static const std::vector<OptionSpec> table = specsOf(rows());
  return table;
}

DeployArgs parseDeployArgs(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  DeployArgs args;
  CommandLine line(kDeployProgram, kDeployDescription, kDeployEpilog);
  line.bind(rows(), args);
  line.parse(arguments, out, err);
  // A deployment writes its result there; refuse it before anything is done
  // rather than after every instance has been launched.
  if (!args.revert && !args.output_test_config) {
    line.fail("the following arguments are required for a deployment: --output_test_config", err);
  }
  return args;
}

}  // namespace qvn::deploy
