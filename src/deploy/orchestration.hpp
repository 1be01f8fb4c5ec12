#pragma once
// The deployment of a whole test configuration: the VPC's shared resources
// once, on the calling thread, then one launch worker per test subnet, all
// at the same time; when every worker has ended, the configuration is
// written out with the addresses the launches learned.
#include <optional>
#include <string>
#include <vector>

#include "deploy/run_context.hpp"
#include "deploy/vpc_lookups.hpp"
#include "lib/test_config.hpp"

namespace qvn::deploy {

inline constexpr const char* kDefaultEc2Role = "default";

// Deploys `test_config` (already checked, see config_check.hpp) with the
// run's machine image and writes it to args.output_test_config. The VPC
// is the first entry's gateway subnet's (looked up first). Every
// gateway subnet is checked to lie in the VPC of the first entry, and what
// the deployment needs from the account and EC2 is checked (preflight.hpp),
// before anything is created; the launch permission once the shared
// resources exist, before the first worker starts. The launches run
// on the worker fan-out (worker_fanout.hpp): a worker's unexpected failure
// is written to standard error with the subnet it concerns and logged at
// ERROR; the other workers go on. The run's STS client (of the deployment
// session) names the caller's account when the default policy already
// exists and --account is not given.
//
// Once the run is interrupted no further shared step or launch starts; the
// output is written with the entries done so far all the same. Unless this
// is a dry run, deployed entries left without ec2_ip or
// ec2_2nd_private_ip are named in one ERROR record (exit status 1).
void deployEc2s(RunContext run, TestConfig& test_config);

// The private_subnet_id of every deployed entry that lacks ec2_ip or
// ec2_2nd_private_ip, in configuration order.
std::vector<std::string> entriesWithoutAddresses(TestConfig& test_config);

}  // namespace qvn::deploy
