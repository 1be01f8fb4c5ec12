#pragma once
// Teardown of a deployment (probe_deploy --revert).
//
//   runTeardown(run, config);   // the whole --revert branch
//
// Order for one test configuration: every entry's instance is looked up and
// terminated in a worker of its own (its Elastic IP released only after the
// instance has terminated). Once all workers have ended, the tool's
// instances of the VPC that are shutting down are waited for (a bounded
// waiter), and every Elastic IP of the tool's tagged with this VPC that no
// interface holds is released. Only when no instance of the tool is left in
// the VPC in any state but terminated do the two security groups and the
// key pair go; last, with --ec2_role default, the account's default IAM
// objects, unless an instance still holds their profile. What the
// configuration's revert leaves behind is named at the end, one ERROR line
// per object, so the exit status says whether the world is as asked; a dry
// run only reports. Once interrupted, no further termination, release or
// deletion starts and the waits poll no more; what is left is named all the
// same.
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/progress.hpp"
#include "deploy/run_context.hpp"
#include "deploy/run_summary.hpp"
#include "lib/test_config.hpp"

namespace qvn::deploy {

// Removes the tool's instance of one gateway subnet (`subnet_id` is an
// entry's gw_subnet_id) and the Elastic IP behind its public address.
// Instances already shutting down or terminated are left to the VPC-wide
// wait of terminateEc2s. Runs in a worker thread: failures are thrown to the worker's boundary. The wait for
// the termination is counted in `terminations`, shared by every worker of
// the teardown (progress lines), when one is given. Once the run is
// interrupted nothing more is terminated or released, and the wait ends
// without another poll (the instance is left shutting down). Answers the
// instance it terminated.
std::optional<std::string> deleteEc2(const RunContext& run, const std::string& subnet_id,
                                     core::Progress* terminations = nullptr);

// What the EC2 side of a teardown did and left.
struct TeardownResult {
  std::string vpc_id;
  // What is left of the configuration's resources (nothing in a dry run),
  // each with its kind, id and description ("instance i-... running in
  // subnet-...", "Elastic IP ...", "security group sg-... name"). Shared
  // resources kept because another configuration's instance still runs in
  // the VPC are not counted: that is as asked.
  Leftovers left;
  // The instances this teardown terminated.
  std::set<std::string> terminated;
};

// The EC2 side of the teardown of `config` (already checked, see
// config_check.hpp): the VPC of its first entry is looked up, then the
// workers, the wait, the free addresses and the VPC's shared resources, as
// above. Once the run is interrupted no further
// step starts; what is left is looked up all the same.
TeardownResult terminateEc2s(RunContext run, TestConfig& config);

// The --revert branch: terminateEc2s, then, with --ec2_role exactly
// "default", the default instance profile, role and policy, unless an
// instance of the region other than those just terminated holds the
// profile (DescribeInstances by iam-instance-profile.arn): then they are
// kept, with an INFO line naming how many instances use them. A dry run
// changes nothing. Then one ERROR line "  **Error** left behind: <object>"
// per object that is left; one "  **Alert** kept: ..." line for the
// default IAM objects that a revert without --ec2_role default leaves, and
// one for the private key's copy in --s3_bucket. "- Nothing of
// quorvane-test-ec2 is left for <config>" only when none of these is.
void runTeardown(const RunContext& run, TestConfig& config);

}  // namespace qvn::deploy
