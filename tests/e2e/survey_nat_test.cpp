// subnet_survey natgw against the sandbox.
#include <gtest/gtest.h>

#include "e2e/survey_support.hpp"

namespace qvn::e2e {
namespace {

using nlohmann::json;

class NatSurvey : public SurveyAgainstSandbox {
 protected:
  NatSurvey() : SurveyAgainstSandbox("natgw.json"), scenario(readScenario("natgw.json")) {}

  json& natGateway(const std::string& id) { return element(scenario["ec2"]["nat_gateways"], "id", id); }
  json& routeTable(const std::string& id) { return element(scenario["ec2"]["route_tables"], "id", id); }
  ProcessResult surveyChanged(const std::vector<std::string>& tail = {"natgw"}) {
    sandbox().load(scenario);
    return survey(kNatVpc, tail);
  }

  json scenario;
};

TEST_F(NatSurvey, OneEntryPerAvailablePublicNatGatewayInTheirSubnetsOrder) {
  auto r = survey(kNatVpc, {"natgw"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto e = entries();
  ASSERT_EQ(e.size(), 3u);  // the private and the deleted NAT gateway give none
  EXPECT_EQ(e[0].dump(), json::parse(R"({"nat_gw_id": "nat-0c5b0c0d0e0f00001", "gw_private_ip": "10.30.0.100",
      "gw_public_ip": "198.51.100.30", "gw_subnet_id": "subnet-0c5b0c0d0e0f00001", "gw_subnet_cidr": "10.30.0.0/24",
      "private_subnet_id": "subnet-0c5b0c0d0e0f00011", "private_subnet_cidr": "10.30.10.0/24",
      "private_subnet_gw_ip": "10.30.10.1"})")
                             .dump());
  EXPECT_EQ(e[1]["nat_gw_id"], "nat-0c5b0c0d0e0f00002");
  EXPECT_EQ(e[1]["private_subnet_id"], "subnet-0c5b0c0d0e0f00012");
  EXPECT_EQ(e[2]["nat_gw_id"], "nat-0c5b0c0d0e0f00003");
  EXPECT_EQ(e[2]["private_subnet_id"], "subnet-0c5b0c0d0e0f00013");
  EXPECT_TRUE(logged("test.config:"));
  EXPECT_TRUE(sandbox().requests("s3").empty());  // no bucket, no S3
}

TEST_F(NatSurvey, LaterNatGatewayOfASubnetWinsAndTheZoneDecides) {
  json later = natGateway("nat-0c5b0c0d0e0f00001");
  later["id"] = "nat-0c5b0c0d0e0f00004";
  later["private_ip"] = "10.30.0.101";
  later["public_ip"] = "198.51.100.34";
  later.erase("allocation_id");
  scenario["ec2"]["nat_gateways"].push_back(later);
  routeTable("rtb-0c5b0c0d0e0f00011")["routes"][0]["nat_gateway"] = "nat-0c5b0c0d0e0f00004";
  routeTable("rtb-0c5b0c0d0e0f00011")["routes"][1]["nat_gateway"] = "nat-0c5b0c0d0e0f00004";
  // nat-...02 (zone b) is routed from subnets in zones c, a and b.
  routeTable("rtb-0c5b0c0d0e0f00012")["subnets"] = {"subnet-0c5b0c0d0e0f00013", "subnet-0c5b0c0d0e0f00011",
                                                    "subnet-0c5b0c0d0e0f00012"};
  auto r = surveyChanged();
  ASSERT_EQ(r.status, 0) << r.err;
  auto e = entries();
  ASSERT_EQ(e.size(), 3u);
  EXPECT_EQ(e[0]["nat_gw_id"], "nat-0c5b0c0d0e0f00004");
  EXPECT_EQ(e[0]["gw_public_ip"], "198.51.100.34");
  EXPECT_EQ(e[0]["private_subnet_id"], "subnet-0c5b0c0d0e0f00011");
  EXPECT_EQ(e[1]["nat_gw_id"], "nat-0c5b0c0d0e0f00002");
  EXPECT_EQ(e[1]["private_subnet_id"], "subnet-0c5b0c0d0e0f00012");
}

// The search's own stops: status 1, the reason as an ERROR, nothing written.
TEST_F(NatSurvey, StopsWithTheirMessages) {
  struct Case {
    std::string what;
    std::function<void(json&)> change;
    std::string message;
  };
  const std::vector<Case> cases{
      {"no public NAT gateway",
       [](json& s) {
         for (auto& n : s["ec2"]["nat_gateways"])
           if (n["connectivity"] == "public") n["state"] = "deleted";
       },
       "  **Error** No available public NAT gateway found in vpc-0c5b0c0d0e0f00001\n"},
      {"nothing routes to it",
       [](json& s) { element(s["ec2"]["route_tables"], "id", "rtb-0c5b0c0d0e0f00012")["routes"] = json::array(); },
       "  **Error** cannot find a private subnet that points to NAT gw nat-0c5b0c0d0e0f00002\n"},
      {"none in its zone",
       [](json& s) {
         element(s["ec2"]["route_tables"], "id", "rtb-0c5b0c0d0e0f00012")["subnets"] = json::array();
         element(s["ec2"]["route_tables"], "id", "rtb-0c5b0c0d0e0f00013")["routes"].push_back(
             {{"destination", "10.1.0.0/16"}, {"nat_gateway", "nat-0c5b0c0d0e0f00002"}});
       },
       "  **Error** cannot find a private subnet that points to NAT gw nat-0c5b0c0d0e0f00002 in the same AZ\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    json changed = scenario;
    c.change(changed);
    sandbox().load(changed);
    auto r = survey(kNatVpc, {"natgw"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_FALSE(wrote());
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
}

}  // namespace
}  // namespace qvn::e2e

namespace qvn::e2e {
namespace {

const std::string kBucket = "quorvane-backups-123456789012";

// With a bucket, the written file is copied into backups/<vpc>/ and uploaded
// from there: the object holds exactly the file's bytes.
TEST_F(NatSurvey, BucketGetsTheWrittenFileUnderBackupsVpcAndItsBaseName) {
  auto r = survey(kNatVpc, {"--s3_bucket", kBucket, "natgw"});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(entries().size(), 3u);
  EXPECT_EQ(slurp(cwd() / "backups" / kNatVpc / "out.json"), written());
  EXPECT_EQ(sandbox().object(kBucket, "backups/" + kNatVpc + "/out.json"), written());
  EXPECT_TRUE(logged("- Upload backups/" + kNatVpc + "/out.json to S3"));
  EXPECT_TRUE(logged("  backups/" + kNatVpc + "/out.json to " + kBucket + "/backups/" + kNatVpc + "/out.json"));
  auto puts = sandbox().requests("s3", "PutObject");
  ASSERT_EQ(puts.size(), 1u);
  EXPECT_EQ(sandbox().requests("s3").size(), 1u);
  EXPECT_EQ(r.err.find("Error"), std::string::npos) << r.err;
}

// A later run replaces the copy and the object with the new file.
TEST_F(NatSurvey, AnOlderCopyInTheBackupFolderIsReplaced) {
  std::filesystem::create_directories(cwd() / "backups" / kNatVpc);
  std::ofstream(cwd() / "backups" / kNatVpc / "out.json") << "stale";
  auto r = survey(kNatVpc, {"--s3_bucket", kBucket, "natgw"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(slurp(cwd() / "backups" / kNatVpc / "out.json"), written());
  EXPECT_EQ(sandbox().object(kBucket, "backups/" + kNatVpc + "/out.json"), written());
}

// An upload that S3 refuses ends the run with status 1 and one line naming it.
TEST_F(NatSurvey, RefusedUploadFailsTheRun) {
  auto r = survey(kNatVpc, {"--s3_bucket", "no-such-bucket-here", "natgw"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(entries().size(), 3u);
  EXPECT_NE(r.err.find("NoSuchBucket"), std::string::npos) << r.err;
  EXPECT_FALSE(sandbox().object(kBucket, "backups/" + kNatVpc + "/out.json"));
}

}  // namespace
}  // namespace qvn::e2e
