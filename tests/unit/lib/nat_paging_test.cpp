// The NAT gateway search reads every page of EC2's answers and picks the
// private subnet by the order of the describe_subnets answer.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "aws/ec2.hpp"
#include "core/run_outcome.hpp"
#include "lib/nat.hpp"
#include "lib/test_config.hpp"
#include "unit/aws/services_fake_sender.hpp"

namespace qvn {
namespace {

std::string ec2Answer(const std::string& operation, const std::string& inner) {
  return "<" + operation + "Response xmlns=\"http://ec2.amazonaws.com/doc/2016-11-15/\"><requestId>r</requestId>" +
         inner + "</" + operation + "Response>";
}

std::string routeTable(const std::string& nat, const std::string& subnet) {
  return "<item><routeTableId>rtb-" + subnet + "</routeTableId><routeSet><item><natGatewayId>" + nat +
         "</natGatewayId></item></routeSet><associationSet><item><main>true</main></item><item><subnetId>" + subnet +
         "</subnetId></item></associationSet></item>";
}

std::string subnet(const std::string& id, const std::string& cidr, const std::string& az) {
  return "<item><subnetId>" + id + "</subnetId><cidrBlock>" + cidr + "</cidrBlock><availabilityZone>" + az +
         "</availabilityZone></item>";
}

TEST(NatSearchPaging, RouteTablesOfLaterPagesCountAndMainAssociationsArePassedOver) {
  auto sender = std::make_shared<aws::testing::ScriptedSender>(aws::Ec2Client::service_id());
  sender->answer(ec2Answer("DescribeNatGateways",
                           "<natGatewaySet><item><natGatewayId>nat-1</natGatewayId><subnetId>subnet-pub</subnetId>"
                           "<connectivityType>public</connectivityType><natGatewayAddressSet><item>"
                           "<publicIp>198.51.100.1</publicIp><privateIp>10.0.0.9</privateIp></item>"
                           "</natGatewayAddressSet></item></natGatewaySet>"));
  sender->answer(
      ec2Answer("DescribeSubnets", "<subnetSet>" + subnet("subnet-pub", "10.0.0.0/24", "az-a") + "</subnetSet>"));
  sender->answer(ec2Answer("DescribeRouteTables", "<routeTableSet>" + routeTable("nat-other", "subnet-x") +
                                                      "</routeTableSet><nextToken>page-2</nextToken>"));
  sender->answer(
      ec2Answer("DescribeRouteTables", "<routeTableSet>" + routeTable("nat-1", "subnet-priv") + "</routeTableSet>"));
  sender->answer(
      ec2Answer("DescribeSubnets", "<subnetSet>" + subnet("subnet-priv", "10.0.7.0/24", "az-a") + "</subnetSet>"));

  const auto folder = std::filesystem::temp_directory_path() / ("qvn_nat_paging_" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  Globals.TEST_CONFIG = (folder / "nat.config").string();
  SearchArgs args;
  args.vpc = "vpc-1";
  aws::Ec2Client ec2(sender);
  aws::S3Client s3(std::make_shared<aws::testing::ScriptedSender>(aws::S3Client::service_id()));
  Nat::findNatGws(args, ec2, s3);

  ASSERT_EQ(sender->sent.size(), 5u);
  EXPECT_EQ(aws::testing::field(sender->sent[3].form, "NextToken"), "page-2");
  EXPECT_EQ(aws::testing::field(sender->sent[4].form, "SubnetId.1"), "subnet-priv");
  EXPECT_EQ(aws::testing::field(sender->sent[4].form, "SubnetId.2"), "<absent>");
  auto written = TestConfig::read(Globals.TEST_CONFIG);
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written.entry(0).string("private_subnet_id"), "subnet-priv");
  EXPECT_EQ(written.entry(0).string("private_subnet_gw_ip"), "10.0.7.1");
  std::filesystem::remove_all(folder);
  Globals.TEST_CONFIG.clear();
}

TEST(NatSearchPaging, TheFirstSubnetOfTheDescribeSubnetsAnswerInTheZoneIsChosen) {
  auto sender = std::make_shared<aws::testing::ScriptedSender>(aws::Ec2Client::service_id());
  sender->answer(ec2Answer("DescribeNatGateways",
                           "<natGatewaySet><item><natGatewayId>nat-1</natGatewayId><subnetId>subnet-pub</subnetId>"
                           "<connectivityType>public</connectivityType><natGatewayAddressSet><item>"
                           "<publicIp>198.51.100.1</publicIp><privateIp>10.0.0.9</privateIp></item>"
                           "</natGatewayAddressSet></item></natGatewaySet>"));
  sender->answer(
      ec2Answer("DescribeSubnets", "<subnetSet>" + subnet("subnet-pub", "10.0.0.0/24", "az-a") + "</subnetSet>"));
  sender->answer(ec2Answer("DescribeRouteTables", "<routeTableSet>" + routeTable("nat-1", "subnet-first") +
                                                      routeTable("nat-1", "subnet-other-zone") +
                                                      routeTable("nat-1", "subnet-second") + "</routeTableSet>"));
  // EC2 answers in an order of its own: the subnet routed last comes first
  // among those in the NAT gateway's zone, and the answer's order decides.
  sender->answer(ec2Answer("DescribeSubnets", "<subnetSet>" + subnet("subnet-other-zone", "10.0.9.0/24", "az-b") +
                                                  subnet("subnet-second", "10.0.8.0/24", "az-a") +
                                                  subnet("subnet-first", "10.0.7.0/24", "az-a") + "</subnetSet>"));

  const auto folder = std::filesystem::temp_directory_path() / ("qvn_nat_order_" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  Globals.TEST_CONFIG = (folder / "nat.config").string();
  SearchArgs args;
  args.vpc = "vpc-1";
  aws::Ec2Client ec2(sender);
  aws::S3Client s3(std::make_shared<aws::testing::ScriptedSender>(aws::S3Client::service_id()));
  Nat::findNatGws(args, ec2, s3);

  // Every routed subnet was asked for, in route-table order.
  ASSERT_EQ(sender->sent.size(), 4u);
  EXPECT_EQ(aws::testing::field(sender->sent[3].form, "SubnetId.1"), "subnet-first");
  EXPECT_EQ(aws::testing::field(sender->sent[3].form, "SubnetId.3"), "subnet-second");
  auto written = TestConfig::read(Globals.TEST_CONFIG);
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written.entry(0).string("private_subnet_id"), "subnet-second");
  EXPECT_EQ(written.entry(0).string("private_subnet_cidr"), "10.0.8.0/24");
  EXPECT_EQ(written.entry(0).string("private_subnet_gw_ip"), "10.0.8.1");
  std::filesystem::remove_all(folder);
  Globals.TEST_CONFIG.clear();
}

}  // namespace
}  // namespace qvn
