#pragma once
// The deployment of a whole test configuration: the VPC's shared resources
// once, on the calling thread, then one launch worker per test subnet, all
// at the same time; when every worker has ended, the configuration is
// written out with the addresses the launches learned.
#include <optional>
#include <string>

#include "aws/ec2.hpp"
#include "aws/iam.hpp"
#include "aws/s3.hpp"
#include "aws/sts.hpp"
#include "deploy/deploy_args.hpp"
#include "deploy/vpc_lookups.hpp"
#include "lib/test_config.hpp"

namespace qvn::deploy {

inline constexpr const char* kDefaultEc2Role = "default";

// Deploys `test_config` (already checked, see config_check.hpp) and writes
// it to args.output_test_config. Every gateway subnet is checked to lie in
// the VPC of the first entry before anything is created. A worker's
// unexpected failure is written to standard error with the subnet it
// concerns and logged at ERROR; the other workers go on. `sts_client` (of
// the deployment session) names the caller's account when the default
// policy already exists and --account is not given.
void deployEc2s(const aws::Ec2Client& ec2_client, const std::optional<aws::S3Client>& s3_client,
                const aws::IamClient& iam_client, const std::string& ami, const DeployArgs& args,
                aws::StsClient& sts_client, TestConfig& test_config);

// The same, reading (and checking) the file args.test_config first.
void deployEc2s(const aws::Ec2Client& ec2_client, const std::optional<aws::S3Client>& s3_client,
                const aws::IamClient& iam_client, const std::string& ami, const DeployArgs& args,
                aws::StsClient& sts_client);

}  // namespace qvn::deploy
