// The EC2 waiters: acceptors, retries on the expected error, the attempt
// limit and the pauses between attempts.
#include <gtest/gtest.h>

#include <vector>

#include "aws/waiters.hpp"
#include "core/clock.hpp"
#include "services_fake_sender.hpp"

namespace qvn::aws::testing {
namespace {

std::string status_body(const std::vector<std::string>& statuses) {
  std::string items;
  for (const auto& s : statuses) {
    items +=
        "<item><instanceId>i-1</instanceId><instanceState><code>16</code><name>running</name></instanceState>"
        "<systemStatus><status>ok</status></systemStatus><instanceStatus><status>" +
        s + "</status></instanceStatus></item>";
  }
  return "<DescribeInstanceStatusResponse><instanceStatusSet>" + items +
         "</instanceStatusSet><nextToken>more</nextToken></DescribeInstanceStatusResponse>";
}

std::string instances_body(const std::vector<std::string>& states) {
  std::string items;
  for (const auto& s : states) {
    items += "<item><instanceId>i-1</instanceId><instanceState><name>" + s + "</name></instanceState></item>";
  }
  return "<DescribeInstancesResponse><reservationSet><item><instancesSet>" + items +
         "</instancesSet></item></reservationSet></DescribeInstancesResponse>";
}

class Waiters : public ::testing::Test {
 protected:
  void SetUp() override {
    core::set_time_scale(1.0);
    core::set_sleep_function([this](core::Seconds d) { sleeps.push_back(d.count()); });
  }
  void TearDown() override {
    core::set_sleep_function({});
    core::set_time_scale(-1.0);
  }
  std::shared_ptr<ScriptedSender> sender = std::make_shared<ScriptedSender>(Ec2Client::service_id());
  Ec2Client ec2{sender};
  std::vector<double> sleeps;
};

TEST_F(Waiters, StatusOkWaitsThroughAbsenceNotFoundAndInitialising) {
  sender->answer(status_body({}));  // not running yet: not listed
  sender->refuse(400, "InvalidInstanceID.NotFound");
  sender->answer(status_body({"initializing"}));
  sender->answer(status_body({"ok"}));
  wait_instance_status_ok(ec2, {.InstanceIds = {"i-1"}});
  ASSERT_EQ(sender->sent.size(), 4u);
  EXPECT_EQ(sleeps, (std::vector<double>{15, 15, 15}));
  for (const auto& r : sender->sent) {
    EXPECT_EQ(r.operation, "DescribeInstanceStatus");
    EXPECT_EQ(field(r.form, "InstanceId.1"), "i-1");
    EXPECT_EQ(field(r.form, "NextToken"), "<absent>") << "one page per attempt";
  }
}

TEST_F(Waiters, StatusOkNeedsEveryListedInstanceOk) {
  sender->answer(status_body({"ok", "impaired"}));
  sender->answer(status_body({"ok", "ok"}));
  wait_instance_status_ok(ec2, {.InstanceIds = {"i-1", "i-2"}});
  EXPECT_EQ(sender->sent.size(), 2u);
}

TEST_F(Waiters, StatusOkGivesUpAfterFortyAttempts) {
  sender->answer_always(status_body({"initializing"}));
  try {
    wait_instance_status_ok(ec2, {.InstanceIds = {"i-1"}});
    FAIL() << "no WaiterError";
  } catch (const WaiterError& e) {
    EXPECT_EQ(e.reason(), WaiterError::Reason::MaxAttempts);
    EXPECT_STREQ(e.what(), "Waiter InstanceStatusOk failed: Max attempts exceeded");
  }
  EXPECT_EQ(sender->sent.size(), 40u);
  EXPECT_EQ(sleeps.size(), 39u) << "no pause after the last attempt";
}

TEST_F(Waiters, UnexpectedErrorEndsTheWaitAtOnce) {
  sender->refuse(403, "UnauthorizedOperation", "You are not authorized");
  try {
    wait_instance_status_ok(ec2, {.InstanceIds = {"i-1"}});
    FAIL() << "no WaiterError";
  } catch (const WaiterError& e) {
    EXPECT_EQ(e.reason(), WaiterError::Reason::ServiceError);
    EXPECT_STREQ(e.what(),
                 "Waiter InstanceStatusOk failed: An error occurred (UnauthorizedOperation): You are not authorized");
  }
  EXPECT_TRUE(sleeps.empty());
}

TEST_F(Waiters, TerminatedWaitsUntilEveryInstanceIsTerminated) {
  sender->answer(instances_body({"shutting-down"}));
  sender->answer(instances_body({"terminated", "shutting-down"}));
  sender->answer(instances_body({}));  // nothing listed: keep waiting
  sender->answer(instances_body({"terminated", "terminated"}));
  // The hook runs after each undecided poll, before its pause (marked -1).
  wait_instance_terminated(
      ec2, {.InstanceIds = {"i-1"}},
      {.delay = std::chrono::seconds(2), .max_attempts = 5, .between_polls = [this] { sleeps.push_back(-1); }});
  EXPECT_EQ(sender->sent.size(), 4u);
  EXPECT_EQ(sleeps, (std::vector<double>{-1, 2, -1, 2, -1, 2}));
}

TEST_F(Waiters, AnAnsweredAttemptMeansAPauseFirstAndCountsAgainstTheLimit) {
  sender->answer_always(instances_body({"shutting-down"}));
  try {
    wait_instance_terminated(
        ec2, {.InstanceIds = {"i-1"}},
        {.max_attempts = 3, .between_polls = [this] { sleeps.push_back(-1); }, .attempts_answered = 1});
    FAIL() << "no WaiterError";
  } catch (const WaiterError& e) {
    EXPECT_EQ(e.reason(), WaiterError::Reason::MaxAttempts);
  }
  EXPECT_EQ(sender->sent.size(), 2u) << "the caller's answer was the first of three attempts";
  EXPECT_EQ(sleeps, (std::vector<double>{-1, 15, -1, 15}));

  // However many the caller claims, the waiter looks once itself.
  sender = std::make_shared<ScriptedSender>(Ec2Client::service_id());
  ec2 = Ec2Client{sender};
  sender->answer(instances_body({"terminated"}));
  wait_instance_terminated(ec2, {.InstanceIds = {"i-1"}}, {.max_attempts = 2, .attempts_answered = 5});
  EXPECT_EQ(sender->sent.size(), 1u);
}

TEST_F(Waiters, AWaitTheCallerAbandonsEndsBeforeItsNextPoll) {
  sender->answer_always(instances_body({"shutting-down"}));
  int asked = 0;
  try {
    // Told to stop after the second poll's pause.
    wait_instance_terminated(ec2, {.InstanceIds = {"i-1"}}, {.abandon_when = [&asked] { return ++asked > 2; }});
    FAIL() << "no WaiterError";
  } catch (const WaiterError& e) {
    EXPECT_EQ(e.reason(), WaiterError::Reason::Abandoned);
  }
  EXPECT_EQ(sender->sent.size(), 2u);
  EXPECT_EQ(sleeps, (std::vector<double>{15, 15}));
}

TEST_F(Waiters, TerminatedFailsOnPendingOrStopping) {
  for (const std::string state : {"pending", "stopping"}) {
    sender->answer(instances_body({"terminated", state}));
    try {
      wait_instance_terminated(ec2, {.InstanceIds = {"i-1"}});
      FAIL() << "no WaiterError for " << state;
    } catch (const WaiterError& e) {
      EXPECT_EQ(e.reason(), WaiterError::Reason::TerminalFailure);
      EXPECT_NE(std::string(e.what()).find("Reservations[].Instances[].State.Name"), std::string::npos);
      EXPECT_NE(std::string(e.what()).find("\"" + state + "\""), std::string::npos);
    }
  }
}

TEST_F(Waiters, TerminatedHasNoRetryForNotFound) {
  sender->refuse(400, "InvalidInstanceID.NotFound");
  EXPECT_THROW(wait_instance_terminated(ec2, {.InstanceIds = {"i-1"}}), WaiterError);
  EXPECT_EQ(sender->sent.size(), 1u);
}

}  // namespace
}  // namespace qvn::aws::testing
