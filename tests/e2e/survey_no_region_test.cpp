// subnet_survey run as a new user runs it in CI: keys in the environment, no
// config file, no region anywhere but --region. Its S3 client is made
// without a region, so it starts at S3's global region and follows the
// bucket to wherever it lives.
#include <gtest/gtest.h>

#include <fstream>

#include "e2e/survey_support.hpp"

namespace qvn::e2e {
namespace {

using nlohmann::json;

const std::string kBucket = "quorvane-backups-123456789012";

class NoRegionSurvey : public SurveyAgainstSandbox {
 protected:
  NoRegionSurvey() : SurveyAgainstSandbox("natgw.json") {}

  // The scenario's CI keys in the environment, empty config files and no
  // region variable at all.
  Environment ciEnvironment() {
    const json profile = readScenario("natgw.json")["profiles"]["default"];
    const auto empty = cwd() / "empty-aws-file";
    std::ofstream(empty).flush();
    return {{"AWS_REGION", ""},
            {"AWS_DEFAULT_REGION", ""},
            {"AWS_PROFILE", ""},
            {"AWS_CONFIG_FILE", empty.string()},
            {"AWS_SHARED_CREDENTIALS_FILE", empty.string()},
            {"AWS_ACCESS_KEY_ID", profile["aws_access_key_id"].get<std::string>()},
            {"AWS_SECRET_ACCESS_KEY", profile["aws_secret_access_key"].get<std::string>()}};
  }
};

TEST_F(NoRegionSurvey, NatSearchUploadsToABucketInAnotherRegion) {
  json scenario = readScenario("natgw.json");
  scenario["s3"]["buckets"][0]["region"] = "eu-west-1";
  sandbox().load(scenario);

  auto r = survey(kNatVpc, {"--s3_bucket", kBucket, "natgw"}, ciEnvironment());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("You must specify a region"), std::string::npos) << r.err;
  ASSERT_EQ(entries().size(), 3u);
  EXPECT_EQ(sandbox().object(kBucket, "backups/" + kNatVpc + "/out.json"), written());

  // S3's answer to the first upload, signed for us-east-1, named the
  // bucket's region; the same upload signed for it went through.
  auto puts = sandbox().requests("s3", "PutObject");
  ASSERT_EQ(puts.size(), 2u);
  EXPECT_EQ(puts[0]["region"], "us-east-1");
  EXPECT_EQ(puts[0]["error_code"], "AuthorizationHeaderMalformed");
  EXPECT_EQ(puts[1]["region"], "eu-west-1");
  EXPECT_EQ(puts[1]["status"], 200);
  // Path-style on a configured endpoint, redirect or not.
  EXPECT_EQ(puts[1]["path"], "/" + kBucket + "/backups/" + kNatVpc + "/out.json");
}

TEST_F(NoRegionSurvey, WithoutABucketS3IsNeverAskedAndTheSearchEndsWell) {
  auto r = survey(kNatVpc, {"natgw"}, ciEnvironment());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(entries().size(), 3u);
  EXPECT_TRUE(sandbox().requests("s3").empty());
}

}  // namespace
}  // namespace qvn::e2e
