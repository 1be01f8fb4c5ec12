#pragma once
// Teardown of a deployment (probe_deploy --revert).
//
//   runTeardown(ec2, iam, args);   // the whole --revert branch of the main flow
//
// Order for one test configuration: every entry's instance is looked up and
// terminated in a worker of its own (its Elastic IP released only after the
// instance has terminated); once all workers have ended, and only when no
// instance of the tool is left in the VPC, the two security groups and the
// key pair go; last, with --ec2_role default, the account's default IAM
// objects. The configuration is checked as a deployment checks it before
// anything is changed.
#include <optional>
#include <string>
#include <vector>

#include "aws/ec2.hpp"
#include "aws/iam.hpp"
#include "deploy/deploy_args.hpp"

namespace qvn::deploy {

// Removes the tool's instance of one gateway subnet (`subnet_id` is an
// entry's gw_subnet_id) and the Elastic IP behind its public address.
// Instances already shutting down or terminated are not looked at again.
// `iam_client` is accepted and not used. Runs in a worker thread: failures
// are thrown to the worker's boundary (see terminateEc2s).
void deleteEc2(const aws::Ec2Client& ec2_client, const aws::IamClient& iam_client, const std::string& subnet_id,
               const DeployArgs& args);

// The ids of the tool's instances that are running, stopped or stopping in
// `vpc_id` (the first instance of every reservation, in answer order), or
// nothing when there are none. Listing failures are thrown.
std::optional<std::vector<std::string>> getAllEc2InVpc(const aws::Ec2Client& ec2_client,
                                                       const std::string& vpc_id);

// Terminates the instances of every entry of args.test_config (one worker
// per entry with a non-empty private_subnet_id; all created, then started,
// then joined, in configuration order), then removes the VPC's shared
// resources when no instance of the tool is left there. A worker's
// unexpected failure is written to standard error with its subnet and
// logged at ERROR; the other workers and the shared steps go on.
void terminateEc2s(const aws::Ec2Client& ec2_client, const aws::IamClient& iam_client, const DeployArgs& args);

// The --revert branch: terminateEc2s, then, with --ec2_role exactly
// "default", the default instance profile, role and policy (kept in a dry
// run, which changes nothing).
void runTeardown(const aws::Ec2Client& ec2_client, const aws::IamClient& iam_client, const DeployArgs& args);

}  // namespace qvn::deploy
