#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "aws/ec2.hpp"
#include "core/logging.hpp"
#include "deploy/launch.hpp"
#include "unit/aws/services_fake_sender.hpp"
#include "unit/core/log_capture.hpp"

namespace qvn::deploy {
namespace {

using aws::testing::field;

struct FakeInstance {
  std::string id;
  std::string state;
  std::vector<std::string> public_ips;  // one interface per address ("" = no association)
};

std::string reservations(const std::vector<FakeInstance>& instances) {
  std::string body = "<DescribeInstancesResponse><reservationSet>";
  for (const auto& instance : instances) {
    body += "<item><instancesSet><item><instanceId>" + instance.id + "</instanceId><instanceState><name>" +
            instance.state + "</name></instanceState><networkInterfaceSet>";
    for (const auto& ip : instance.public_ips) {
      body += "<item>";
      if (!ip.empty()) body += "<association><publicIp>" + ip + "</publicIp></association>";
      body += "</item>";
    }
    body += "</networkInterfaceSet></item></instancesSet></item>";
  }
  return body + "</reservationSet></DescribeInstancesResponse>";
}

class LaunchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log.addHandler(sink);
    log.setLevel(DEBUG);
  }
  void TearDown() override { log.removeHandler(sink); }

  std::shared_ptr<aws::testing::ScriptedSender> sender =
      std::make_shared<aws::testing::ScriptedSender>(aws::Ec2Client::service_id());
  aws::Ec2Client ec2{sender};
  std::shared_ptr<test_support::CaptureHandler> sink = std::make_shared<test_support::CaptureHandler>();
  Logger& log = *getLogger("quorvane_testlibs");
};

TEST_F(LaunchTest, TheLookupFiltersByNameTagAndSubnet) {
  sender->answer(reservations({{"i-1", "running", {"203.0.113.5", ""}}}));
  auto [id, ip] = getEc2(ec2, "subnet-gw");
  EXPECT_EQ(id, "i-1");
  EXPECT_EQ(ip, "203.0.113.5");
  const auto& form = sender->sent.at(0).form;
  EXPECT_EQ(field(form, "Filter.1.Name"), "tag:Name");
  EXPECT_EQ(field(form, "Filter.1.Value.1"), "quorvane-test-ec2");
  EXPECT_EQ(field(form, "Filter.2.Name"), "subnet-id");
  EXPECT_EQ(field(form, "Filter.2.Value.1"), "subnet-gw");
  EXPECT_EQ(field(form, "Filter.3.Name"), "<absent>") << "no state filter";
}

TEST_F(LaunchTest, SeveralAddressesOrSeveralInstancesGiveNoSingleAnswer) {
  sender->answer(reservations({{"i-1", "running", {"203.0.113.5", "198.51.100.7"}}}));
  auto [id, ip] = getEc2(ec2, "subnet-gw");
  EXPECT_EQ(id, "i-1");
  EXPECT_FALSE(ip) << "two associated interfaces: no single public address";

  sender->answer(reservations({{"i-1", "running", {"203.0.113.5"}}, {"i-2", "running", {"203.0.113.6"}}}));
  auto [none, no_ip] = getEc2(ec2, "subnet-gw");
  EXPECT_FALSE(none);
  EXPECT_FALSE(no_ip);
  EXPECT_EQ(sink->messages().back(),
            "  **Alert** More than one ec2 with tag Name:quorvane-test-ec2 found in subnet-gw");

  sender->answer(reservations({}));
  EXPECT_FALSE(getEc2(ec2, "subnet-gw").first);
  EXPECT_EQ(sink->messages().back(), "  No ec2 with tag Name:quorvane-test-ec2 found in subnet-gw");
}

TEST_F(LaunchTest, AnInstanceOnItsWayOutIsNotAdoptedByALaunch) {
  const std::string answer = reservations({{"i-old", "terminated", {}}, {"i-dying", "shutting-down", {}}});
  sender->answer(answer);
  EXPECT_FALSE(getLiveEc2(ec2, "subnet-gw").first);
  sender->answer(answer);
  EXPECT_FALSE(getEc2(ec2, "subnet-gw").first) << "the plain lookup counts both (and so finds none)";
  sender->answer(reservations({{"i-old", "terminated", {}}, {"i-new", "running", {"203.0.113.9"}}}));
  auto [id, ip] = getLiveEc2(ec2, "subnet-gw");
  EXPECT_EQ(id, "i-new");
  EXPECT_EQ(ip, "203.0.113.9");
}

TEST_F(LaunchTest, TheLaunchRequestCarriesBothInterfacesTagsProfileAndKey) {
  DeployArgs args;
  args.tag_resource = "team,qa";
  RunContext run{.args = args, .ec2 = ec2, .iam = aws::IamClient(sender), .sts = aws::StsClient(sender)};
  run.image = aws::Image{};
  run.image->ImageId = "ami-1";
  Ec2Launch launch;
  launch.run = &run;
  launch.gw_subnet_id = "subnet-gw";
  launch.private_subnet_id = "subnet-p";
  launch.shared.sg_id = "sg-1";
  launch.shared.key_name = "key-1";
  const auto data = launchRequest(launch, std::string("profile-1"));
  EXPECT_EQ(data.InstanceType, "t3.micro");
  EXPECT_EQ(data.MinCount, 1);
  EXPECT_EQ(data.MaxCount, 1);
  EXPECT_EQ(data.ImageId, "ami-1");
  ASSERT_EQ(data.NetworkInterfaces.size(), 2u);
  EXPECT_EQ(data.NetworkInterfaces[0].DeviceIndex, 0);
  EXPECT_EQ(data.NetworkInterfaces[0].SubnetId, "subnet-gw");
  EXPECT_EQ(data.NetworkInterfaces[0].Groups, std::vector<std::string>{"sg-1"});
  EXPECT_EQ(data.NetworkInterfaces[1].DeviceIndex, 1);
  EXPECT_EQ(data.NetworkInterfaces[1].SubnetId, "subnet-p");
  EXPECT_TRUE(data.NetworkInterfaces[1].Groups.empty());
  ASSERT_TRUE(data.IamInstanceProfile);
  EXPECT_EQ(data.IamInstanceProfile->Name, "profile-1");
  EXPECT_EQ(data.KeyName, "key-1");
  ASSERT_EQ(data.TagSpecifications.size(), 1u);
  EXPECT_EQ(data.TagSpecifications[0].ResourceType, "instance");
  ASSERT_EQ(data.TagSpecifications[0].Tags.size(), 2u);
  EXPECT_EQ(data.TagSpecifications[0].Tags[0].Key, "Name");
  EXPECT_EQ(data.TagSpecifications[0].Tags[0].Value, "quorvane-test-ec2");
  EXPECT_EQ(data.TagSpecifications[0].Tags[1].Key, "team");
  EXPECT_FALSE(launchRequest(launch, std::nullopt).IamInstanceProfile);
}

const char* const kProfileNotReady =
    "Value (quorvane-test-ec2-instance-profile) for parameter iamInstanceProfile.name is invalid. Invalid IAM "
    "Instance Profile name";

TEST_F(LaunchTest, OnlyAnInstanceProfileThatIsNotReadyIsTriedAgainAndAtMostSixTimes) {
  std::vector<double> waits;
  core::set_sleep_function([&](core::Seconds s) { waits.push_back(s.count()); });
  core::set_time_scale(1);
  aws::RunInstancesRequest data;
  data.NetworkInterfaces.resize(1);
  data.NetworkInterfaces[0].SubnetId = "subnet-gw";
  for (int i = 0; i < 6; ++i) sender->refuse(400, "InvalidParameterValue", kProfileNotReady);
  EXPECT_THROW(createEc2WithRetry(ec2, data), InvalidParameterValueException);
  EXPECT_EQ(sender->sent.size(), 6u);
  EXPECT_EQ(waits, std::vector<double>(5, 10.0)) << "10 seconds between attempts, none after the last";
  EXPECT_EQ(sink->messages().back(),
            "  Instance profile quorvane-test-ec2-instance-profile is not ready, retry in 10 sec");

  sender->sent.clear();
  sender->refuse(400, "InvalidParameterValue", kProfileNotReady);
  sender->answer(
      "<RunInstancesResponse><instancesSet><item><instanceId>i-7</instanceId></item></instancesSet>"
      "</RunInstancesResponse>");
  EXPECT_EQ(createEc2WithRetry(ec2, data), "i-7");
  EXPECT_EQ(sender->sent.size(), 2u);
  EXPECT_EQ(sink->messages().back(), "  Instance quorvane-test-ec2 i-7 created in subnet-gw");

  sender->sent.clear();
  sender->refuse(400, "InsufficientInstanceCapacity", "none left");
  sender->answer(
      "<DescribeSubnetsResponse><subnetSet><item><subnetId>subnet-gw</subnetId>"
      "<availabilityZone>us-east-1c</availabilityZone></item></subnetSet></DescribeSubnetsResponse>");
  data.InstanceType = "t3.micro";
  EXPECT_FALSE(createEc2WithRetry(ec2, data));
  EXPECT_EQ(sender->sent.size(), 2u) << "the refusal, then its zone for the message";
  EXPECT_EQ(sink->records().back().levelno, ERROR);
  EXPECT_NE(sink->messages().back().find("  **Error** launch in subnet-gw (zone us-east-1c, instance type t3.micro): "),
            std::string::npos)
      << sink->messages().back();
  EXPECT_NE(sink->messages().back().find("InsufficientInstanceCapacity"), std::string::npos);

  // Any other InvalidParameterValue ends the launch at once, with EC2's message.
  sender->sent.clear();
  waits.clear();
  sender->refuse(400, "InvalidParameterValue", "Invalid value 't9.huge' for InstanceType.");
  EXPECT_FALSE(createEc2WithRetry(ec2, data));
  EXPECT_EQ(sender->sent.size(), 2u);
  EXPECT_TRUE(waits.empty());
  EXPECT_EQ(sink->records().back().levelno, ERROR);
  EXPECT_NE(sink->messages().back().find("Invalid value 't9.huge' for InstanceType"), std::string::npos);
  core::set_sleep_function({});
  core::set_time_scale(-1);
}

}  // namespace
}  // namespace qvn::deploy
