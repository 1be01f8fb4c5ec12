#pragma once
// Teardown of a deployment (probe_deploy --revert).
//
//   runTeardown(ec2, iam, sts, args, config);   // the whole --revert branch
//
// Order for one test configuration: every entry's instance is looked up and
// terminated in a worker of its own (its Elastic IP released only after the
// instance has terminated). Once all workers have ended, the tool's
// instances of the VPC that are shutting down are waited for (a bounded
// waiter), and every Elastic IP of the tool's tagged with this VPC that no
// interface holds is released. Only when no instance of the tool is left in
// the VPC in any state but terminated do the two security groups and the
// key pair go; last, with --ec2_role default, the account's default IAM
// objects. What the configuration's revert leaves behind is named at the
// end, one ERROR line per object, so the exit status says whether the world
// is as asked; a dry run only reports.
#include <string>
#include <vector>

#include "aws/ec2.hpp"
#include "aws/iam.hpp"
#include "aws/sts.hpp"
#include "core/progress.hpp"
#include "deploy/deploy_args.hpp"
#include "lib/test_config.hpp"

namespace qvn::deploy {

// Removes the tool's instance of one gateway subnet (`subnet_id` is an
// entry's gw_subnet_id) and the Elastic IP behind its public address.
// Instances already shutting down or terminated are left to the VPC-wide
// wait of terminateEc2s. `iam_client` is accepted and not used. Runs in a
// worker thread: failures are thrown to the worker's boundary. The wait for
// the termination is counted in `terminations`, shared by every worker of
// the teardown (progress lines), when one is given.
void deleteEc2(const aws::Ec2Client& ec2_client, const aws::IamClient& iam_client, const std::string& subnet_id,
               const DeployArgs& args, core::Progress* terminations = nullptr);

// The EC2 side of the teardown of `config` (already checked, see
// config_check.hpp): the workers, the wait, the free addresses and the
// VPC's shared resources, as above. Answers what is left of the
// configuration's resources (nothing in a dry run), one description each
// ("instance i-... running in subnet-...", "security group sg-... name").
// Shared resources kept because another configuration's instance still
// runs in the VPC are not counted: that is as asked.
std::vector<std::string> terminateEc2s(const aws::Ec2Client& ec2_client, const aws::IamClient& iam_client,
                                       const DeployArgs& args, TestConfig& config);

// The --revert branch: terminateEc2s, then, with --ec2_role exactly
// "default", the default instance profile, role and policy (kept in a dry
// run, which changes nothing); then one ERROR line "  **Error** left
// behind: <object>" per object that is left.
void runTeardown(const aws::Ec2Client& ec2_client, const aws::IamClient& iam_client, aws::StsClient& sts_client,
                 const DeployArgs& args, TestConfig& config);

}  // namespace qvn::deploy
