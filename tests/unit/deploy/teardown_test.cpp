// The teardown's EC2 conversation, request by request, with a scripted EC2:
// the order within one subnet's worker (the address is released only after
// the waiter saw the instance terminated), the dry run, an instance whose
// public address is not an Elastic IP, and the VPC-wide listing of the
// tool's instances.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "aws/waiters.hpp"
#include "core/clock.hpp"
#include "core/logging.hpp"
#include "deploy/teardown.hpp"
#include "deploy/vpc_lookups.hpp"
#include "unit/aws/services_fake_sender.hpp"
#include "unit/core/log_capture.hpp"

namespace qvn::deploy {
namespace {

using aws::testing::field;
using aws::testing::ScriptedSender;

std::string instanceWithAddress(const std::string& id, const std::string& public_ip) {
  const std::string association =
      public_ip.empty() ? "" : "<association><publicIp>" + public_ip + "</publicIp></association>";
  return "<DescribeInstancesResponse><reservationSet><item><instancesSet><item><instanceId>" + id +
         "</instanceId><instanceState><name>running</name></instanceState><networkInterfaceSet><item>"
         "<networkInterfaceId>eni-1</networkInterfaceId><subnetId>subnet-gw</subnetId>" +
         association +
         "</item></networkInterfaceSet></item></instancesSet></item></reservationSet>"
         "</DescribeInstancesResponse>";
}

std::string instanceState(const std::string& state) {
  return "<DescribeInstancesResponse><reservationSet><item><instancesSet><item><instanceId>i-1</instanceId>"
         "<instanceState><name>" +
         state + "</name></instanceState></item></instancesSet></item></reservationSet></DescribeInstancesResponse>";
}

const char* kNoReservations = "<DescribeInstancesResponse><reservationSet/></DescribeInstancesResponse>";

class TeardownRequests : public ::testing::Test {
 protected:
  void SetUp() override {
    resetLoggingForTesting();
    getLogger()->addHandler(capture);
    getLogger()->setLevel(DEBUG);
    core::set_sleep_function([](core::Seconds) {});
    args.test_config = "unused.config";
  }
  void TearDown() override {
    core::set_sleep_function({});
    resetLoggingForTesting();
  }

  std::vector<std::string> operations() const {
    std::vector<std::string> ops;
    for (const auto& r : sender->sent) ops.push_back(r.operation);
    return ops;
  }
  bool logged(const std::string& message) const {
    for (const auto& m : capture->messages())
      if (m == message) return true;
    return false;
  }

  std::shared_ptr<test_support::CaptureHandler> capture = std::make_shared<test_support::CaptureHandler>();
  std::shared_ptr<ScriptedSender> sender = std::make_shared<ScriptedSender>(aws::Ec2Client::service_id());
  aws::Ec2Client ec2{sender};
  std::shared_ptr<ScriptedSender> iam_sender = std::make_shared<ScriptedSender>(aws::IamClient::service_id());
  aws::IamClient iam{iam_sender};
  DeployArgs args;
  RunContext run() { return RunContext{.args = args, .ec2 = ec2, .iam = iam, .sts = aws::StsClient(iam_sender)}; }
};

TEST_F(TeardownRequests, AnInstanceIsTerminatedAndWaitedForBeforeItsAddressIsReleased) {
  sender->answer(instanceWithAddress("i-1", "203.0.113.7"));
  sender->answer(
      "<DescribeAddressesResponse><addressesSet><item><publicIp>203.0.113.7</publicIp>"
      "<allocationId>eipalloc-1</allocationId></item></addressesSet></DescribeAddressesResponse>");
  sender->answer("<TerminateInstancesResponse><instancesSet/></TerminateInstancesResponse>");
  sender->answer(instanceState("shutting-down"));
  sender->answer(instanceState("terminated"));
  sender->answer("<ReleaseAddressResponse><return>true</return></ReleaseAddressResponse>");

  deleteEc2(run(), "subnet-gw");

  EXPECT_EQ(operations(), (std::vector<std::string>{"DescribeInstances", "DescribeAddresses", "TerminateInstances",
                                                    "DescribeInstances", "DescribeInstances", "ReleaseAddress"}));
  EXPECT_EQ(field(sender->sent[2].form, "InstanceId.1"), "i-1");
  EXPECT_EQ(field(sender->sent[4].form, "InstanceId.1"), "i-1");
  EXPECT_EQ(field(sender->sent[5].form, "AllocationId"), "eipalloc-1");
  EXPECT_TRUE(logged("- Delete quorvane-test-ec2 in subnet-gw"));
  EXPECT_TRUE(logged("  terminate i-1 in subnet-gw"));
  EXPECT_TRUE(logged("- Delete EIP 203.0.113.7 eipalloc-1 for i-1"));
  EXPECT_TRUE(iam_sender->sent.empty());
}

TEST_F(TeardownRequests, ALongTerminationIsToldInTheSharedProgressBetweenPolls) {
  auto clock = std::chrono::system_clock::time_point(std::chrono::hours(1000));
  core::set_time_scale(1);
  core::set_clock([&] { return clock; });
  core::set_sleep_function([&](core::Seconds s) { clock += std::chrono::duration_cast<std::chrono::milliseconds>(s); });
  sender->answer(instanceWithAddress("i-1", ""));
  sender->answer("<TerminateInstancesResponse><instancesSet/></TerminateInstancesResponse>");
  sender->answer(instanceState("shutting-down"));
  sender->answer(instanceState("shutting-down"));
  sender->answer(instanceState("terminated"));
  core::Progress terminations(*getLogger("quorvane_testlibs"), "waiting for terminations", "instances terminated");
  terminations.begin();  // another worker's instance, still on its way out

  deleteEc2(run(), "subnet-gw", &terminations);

  core::set_clock({});
  core::set_time_scale(-1);
  EXPECT_TRUE(logged("waiting for terminations: 0 of 2 instances terminated (15 s)"));
  EXPECT_FALSE(logged("waiting for terminations: 0 of 2 instances terminated (0 s)")) << "nothing before 15 s";
  EXPECT_EQ(terminations.total(), 2);
  EXPECT_EQ(terminations.done(), 1);
}

TEST_F(TeardownRequests, ADryRunOnlyLooksAndLogs) {
  args.dry_run = true;
  sender->answer(instanceWithAddress("i-1", "203.0.113.7"));
  sender->answer(
      "<DescribeAddressesResponse><addressesSet><item><publicIp>203.0.113.7</publicIp>"
      "<allocationId>eipalloc-1</allocationId></item></addressesSet></DescribeAddressesResponse>");

  deleteEc2(run(), "subnet-gw");

  EXPECT_EQ(operations(), (std::vector<std::string>{"DescribeInstances", "DescribeAddresses"}));
  EXPECT_TRUE(logged("  terminate i-1 in subnet-gw"));
  EXPECT_TRUE(logged("- Delete EIP 203.0.113.7 eipalloc-1 for i-1"));
}

TEST_F(TeardownRequests, AnAddressThatIsNoElasticIpDoesNotKeepTheInstance) {
  sender->answer(instanceWithAddress("i-1", "198.51.100.9"));
  sender->refuse(400, "InvalidAddress.NotFound", "Address '198.51.100.9' not found.");
  sender->answer("<TerminateInstancesResponse><instancesSet/></TerminateInstancesResponse>");
  sender->answer(instanceState("terminated"));

  deleteEc2(run(), "subnet-gw");

  EXPECT_EQ(operations(), (std::vector<std::string>{"DescribeInstances", "DescribeAddresses", "TerminateInstances",
                                                    "DescribeInstances"}));
  EXPECT_TRUE(logged("  no Elastic IP behind 198.51.100.9 of i-1"));

  // Any other failure of the lookup keeps the instance: nothing is terminated.
  sender->sent.clear();
  sender->answer(instanceWithAddress("i-1", "198.51.100.9"));
  sender->refuse(403, "UnauthorizedOperation");
  EXPECT_THROW(deleteEc2(run(), "subnet-gw"), aws::ServiceError);
  EXPECT_EQ(operations(), (std::vector<std::string>{"DescribeInstances", "DescribeAddresses"}));
}

TEST_F(TeardownRequests, TheVpcListingCountsEveryStateButTerminated) {
  sender->answer(kNoReservations);
  EXPECT_TRUE(toolInstancesInVpc(ec2, "vpc-1").empty());

  const auto& form = sender->sent.at(0).form;
  EXPECT_EQ(field(form, "Filter.1.Name"), "tag:Name");
  EXPECT_EQ(field(form, "Filter.1.Value.1"), "quorvane-test-ec2");
  EXPECT_EQ(field(form, "Filter.2.Name"), "vpc-id");
  EXPECT_EQ(field(form, "Filter.2.Value.1"), "vpc-1");
  EXPECT_EQ(field(form, "Filter.3.Name"), "instance-state-name");
  const std::vector<std::string> states{"pending", "running", "shutting-down", "stopping", "stopped"};
  for (std::size_t i = 0; i < states.size(); ++i)
    EXPECT_EQ(field(form, "Filter.3.Value." + std::to_string(i + 1)), states[i]);
  EXPECT_EQ(field(form, "Filter.3.Value.6"), "<absent>") << "terminated is not asked for";

  // The first instance of every reservation, with its state and subnet.
  sender->answer(
      "<DescribeInstancesResponse><reservationSet>"
      "<item><instancesSet><item><instanceId>i-1</instanceId><subnetId>subnet-a</subnetId>"
      "<instanceState><name>shutting-down</name></instanceState></item></instancesSet></item>"
      "<item><instancesSet><item><instanceId>i-2</instanceId><subnetId>subnet-b</subnetId>"
      "<instanceState><name>pending</name></instanceState></item></instancesSet></item>"
      "</reservationSet></DescribeInstancesResponse>");
  const auto found = toolInstancesInVpc(ec2, "vpc-1");
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].id, "i-1");
  EXPECT_EQ(found[0].state, "shutting-down");
  EXPECT_EQ(found[0].subnet, "subnet-a");
  EXPECT_EQ(found[1].state, "pending");
}

}  // namespace
}  // namespace qvn::deploy
