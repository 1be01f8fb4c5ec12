#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "aws/ec2.hpp"
#include "deploy/config_check.hpp"
#include "unit/aws/services_fake_sender.hpp"

namespace qvn::deploy {
namespace {

using Json = nlohmann::ordered_json;

Json spokeEntry(const std::string& gw_subnet, const std::string& private_subnet) {
  return Json{{"gw_name", "spoke1"},
              {"gw_private_ip", "10.10.0.10"},
              {"gw_subnet_id", gw_subnet},
              {"gw_subnet_cidr", "10.10.0.0/24"},
              {"private_subnet_id", private_subnet},
              {"private_subnet_cidr", "10.10.10.0/24"},
              {"private_subnet_gw_ip", "10.10.10.1"}};
}

Json skippedNatEntry(const std::string& gw_subnet) {
  return Json{
      {"nat_gw_id", "nat-1"}, {"gw_private_ip", "10.0.0.5"}, {"gw_subnet_id", gw_subnet}, {"private_subnet_id", ""}};
}

// The one line a check fails with, or "" when it passes.
std::string failureOf(Json document, ConfigUse use = ConfigUse::Deploy) {
  try {
    TestConfig config(std::move(document), "in.config");
    checkTestConfig(config, use);
  } catch (const TestConfigError& e) {
    return e.what();
  }
  return "";
}

TEST(ConfigCheckTest, SoundDocumentsPass) {
  EXPECT_EQ(failureOf(Json::array({spokeEntry("subnet-a", "subnet-p1"), spokeEntry("subnet-b", "subnet-p2")})), "");
  // Skipped entries may share a gateway subnet and need no address members.
  EXPECT_EQ(failureOf(Json::array(
                {skippedNatEntry("subnet-a"), skippedNatEntry("subnet-a"), spokeEntry("subnet-b", "subnet-p")})),
            "");
  Json extra = spokeEntry("subnet-a", "subnet-p");
  extra["ec2_ip"] = "203.0.113.4";
  extra["notes"] = Json{{"any", 1}};
  EXPECT_EQ(failureOf(Json::array({extra})), "") << "members the deployment does not read are left alone";
}

TEST(ConfigCheckTest, TheDocumentMustBeANonEmptyArrayOfObjects) {
  EXPECT_EQ(failureOf(Json::array()), "in.config: the test configuration has no entry");
  EXPECT_EQ(failureOf(Json::array({spokeEntry("subnet-a", "subnet-p"), "text"})),
            "in.config: entry 2: is not a JSON object (found string)");
  EXPECT_THROW(TestConfig(Json::object(), "in.config"), TestConfigError);
}

TEST(ConfigCheckTest, MissingOrMistypedMembersNameTheEntryCountedFromOne) {
  Json no_private = spokeEntry("subnet-b", "subnet-p2");
  no_private.erase("private_subnet_id");
  EXPECT_EQ(failureOf(Json::array({spokeEntry("subnet-a", "subnet-p1"), no_private})),
            "in.config: entry 2: member \"private_subnet_id\" is missing");

  Json numeric_ip = spokeEntry("subnet-b", "subnet-p2");
  numeric_ip["gw_private_ip"] = 10;
  EXPECT_EQ(failureOf(Json::array({spokeEntry("subnet-a", "subnet-p1"), numeric_ip})),
            "in.config: entry 2: member \"gw_private_ip\" is not a string (found number)");

  Json no_gateway = spokeEntry("subnet-a", "subnet-p1");
  no_gateway.erase("gw_subnet_id");
  EXPECT_EQ(failureOf(Json::array({no_gateway})), "in.config: entry 1: member \"gw_subnet_id\" is missing");

  Json empty_gateway = spokeEntry("", "subnet-p1");
  EXPECT_EQ(failureOf(Json::array({spokeEntry("subnet-a", "subnet-p0"), empty_gateway})),
            "in.config: entry 2: member \"gw_subnet_id\" is empty");

  Json bad_cidr = spokeEntry("subnet-a", "subnet-p1");
  bad_cidr["private_subnet_cidr"] = "10.10.10.0/33";
  EXPECT_NE(failureOf(Json::array({bad_cidr})).find("entry 1: member \"private_subnet_cidr\" is not an IPv4 network"),
            std::string::npos);

  Json skipped_without_nat = skippedNatEntry("subnet-a");
  skipped_without_nat.erase("nat_gw_id");
  EXPECT_EQ(failureOf(Json::array({spokeEntry("subnet-b", "subnet-p"), skipped_without_nat})),
            "in.config: entry 2: member \"nat_gw_id\" is missing");
}

TEST(ConfigCheckTest, TwoDeployedEntriesOnOneGatewaySubnetAreRefused) {
  EXPECT_EQ(failureOf(Json::array({spokeEntry("subnet-a", "subnet-p1"), spokeEntry("subnet-b", "subnet-p2"),
                                   spokeEntry("subnet-a", "subnet-p3")})),
            "in.config: entry 3: member \"gw_subnet_id\": subnet-a is also the gateway subnet of entry 1");
  EXPECT_NE(failureOf(Json::array({spokeEntry("subnet-a", "subnet-p1"), spokeEntry("subnet-a", "subnet-p3")}),
                      ConfigUse::Teardown),
            "");
}

TEST(ConfigCheckTest, ATeardownNeedsOnlyTheSubnetMembers) {
  Json bare = Json{{"gw_subnet_id", "subnet-a"}, {"private_subnet_id", "subnet-p"}};
  Json skipped = Json{{"private_subnet_id", ""}};
  EXPECT_EQ(failureOf(Json::array({bare, skipped}), ConfigUse::Teardown), "");
  EXPECT_NE(failureOf(Json::array({bare, skipped}), ConfigUse::Deploy), "");
  EXPECT_EQ(failureOf(Json::array({skipped}), ConfigUse::Teardown),
            "in.config: entry 1: member \"gw_subnet_id\" is missing")
      << "the first entry names the VPC";
}

TEST(ConfigCheckTest, ReadingAFileReportsItsPath) {
  EXPECT_THROW(readCheckedTestConfig("/nonexistent/in.config", ConfigUse::Deploy), TestConfigError);
  try {
    readCheckedTestConfig("/nonexistent/in.config", ConfigUse::Deploy);
  } catch (const TestConfigError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("/nonexistent/in.config: cannot read", 0), 0u) << e.what();
  }
}

std::string subnetsAnswer(const std::vector<std::pair<std::string, std::string>>& subnets) {
  std::string body = "<DescribeSubnetsResponse><subnetSet>";
  for (const auto& [id, vpc] : subnets)
    body += "<item><subnetId>" + id + "</subnetId><vpcId>" + vpc + "</vpcId></item>";
  return body + "</subnetSet></DescribeSubnetsResponse>";
}

class GatewaySubnetsTest : public ::testing::Test {
 protected:
  std::shared_ptr<aws::testing::ScriptedSender> sender =
      std::make_shared<aws::testing::ScriptedSender>(aws::Ec2Client::service_id());
  aws::Ec2Client ec2{sender};

  std::string failureOf(Json document) {
    TestConfig config(std::move(document), "in.config");
    try {
      checkGatewaySubnetsInVpc(config, ec2, "vpc-1");
    } catch (const TestConfigError& e) {
      return e.what();
    }
    return "";
  }
};

TEST_F(GatewaySubnetsTest, OneFilteredRequestCoversEveryDeployedEntry) {
  sender->answer(subnetsAnswer({{"subnet-a", "vpc-1"}, {"subnet-b", "vpc-1"}}));
  EXPECT_EQ(
      failureOf(Json::array({spokeEntry("subnet-a", "p1"), skippedNatEntry("subnet-z"), spokeEntry("subnet-b", "p2")})),
      "");
  ASSERT_EQ(sender->sent.size(), 1u);
  const auto& form = sender->sent[0].form;
  EXPECT_EQ(aws::testing::field(form, "Filter.1.Name"), "subnet-id");
  EXPECT_EQ(aws::testing::field(form, "Filter.1.Value.1"), "subnet-a");
  EXPECT_EQ(aws::testing::field(form, "Filter.1.Value.2"), "subnet-b");
  EXPECT_EQ(aws::testing::field(form, "Filter.1.Value.3"), "<absent>") << "skipped entries are not looked up";
}

TEST_F(GatewaySubnetsTest, ASubnetOfAnotherVpcOrAnUnknownOneIsRefused) {
  sender->answer(subnetsAnswer({{"subnet-a", "vpc-1"}, {"subnet-b", "vpc-2"}}));
  EXPECT_EQ(failureOf(Json::array({spokeEntry("subnet-a", "p1"), spokeEntry("subnet-b", "p2")})),
            "in.config: entry 2: member \"gw_subnet_id\": subnet subnet-b is in vpc-2, not in vpc-1 (the VPC of "
            "entry 1)");
  sender->answer(subnetsAnswer({{"subnet-a", "vpc-1"}}));
  EXPECT_EQ(failureOf(Json::array({spokeEntry("subnet-a", "p1"), spokeEntry("subnet-gone", "p2")})),
            "in.config: entry 2: member \"gw_subnet_id\": subnet subnet-gone was not found");
}

TEST_F(GatewaySubnetsTest, ManyEntriesAreLookedUpInChunks) {
  Json document = Json::array();
  std::vector<std::pair<std::string, std::string>> first, second;
  for (int i = 0; i < 150; ++i) {
    std::string id = "subnet-" + std::to_string(i);
    document.push_back(spokeEntry(id, "p" + std::to_string(i)));
    (i < 100 ? first : second).emplace_back(id, "vpc-1");
  }
  sender->answer(subnetsAnswer(first));
  sender->answer(subnetsAnswer(second));
  EXPECT_EQ(failureOf(document), "");
  EXPECT_EQ(sender->sent.size(), 2u);
}

}  // namespace
}  // namespace qvn::deploy
