// probe_deploy run as a new user runs it in CI: keys in the environment, no
// config file, the region only on the command line. Its S3 client (the key
// pair's copy) is made without a region and finds the bucket in its own.
#include <gtest/gtest.h>

#include <fstream>

#include "e2e/deploy_support.hpp"

namespace qvn::e2e {
namespace {

using nlohmann::json;

class NoRegionDeploy : public DeployAgainstSandbox {};

TEST_F(NoRegionDeploy, ADeploymentWithKeysInTheEnvironmentAndNoRegionAnywhere) {
  const std::string bucket = "quorvane-backups-123456789012";
  prepare(1, [&](json& scenario) {
    for (auto& b : scenario["s3"]["buckets"])
      if (b.value("name", "") == bucket) b["region"] = "eu-central-1";
  });
  const json profile = readScenario("spoke.json")["profiles"]["default"];
  const auto empty = cwd() / "empty-aws-file";
  std::ofstream(empty).flush();
  auto r =
      deploy({"--s3_bucket", bucket}, {{"AWS_REGION", ""},
                                       {"AWS_DEFAULT_REGION", ""},
                                       {"AWS_PROFILE", ""},
                                       {"AWS_CONFIG_FILE", empty.string()},
                                       {"AWS_SHARED_CREDENTIALS_FILE", empty.string()},
                                       {"AWS_ACCESS_KEY_ID", profile["aws_access_key_id"].get<std::string>()},
                                       {"AWS_SECRET_ACCESS_KEY", profile["aws_secret_access_key"].get<std::string>()}});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("You must specify a region"), std::string::npos) << r.err;
  ASSERT_EQ(output().size(), 1u);
  EXPECT_TRUE(output()[0].contains("ec2_ip"));

  // The key pair's copy reached the bucket, signed for the bucket's region.
  bool stored = false;
  for (const auto& put : sandbox().requests("s3", "PutObject")) {
    if (put.value("status", 0) == 200) {
      stored = true;
      EXPECT_EQ(put["region"], "eu-central-1");
    }
  }
  EXPECT_TRUE(stored);
}

}  // namespace
}  // namespace qvn::e2e
