// Holds of the sandbox's control API: a chosen operation waits for a while
// and is then carried out, even when its caller has given up, so that tests
// can interrupt a program exactly while one of its requests is in flight.
#include <chrono>
#include <future>
#include <thread>

#include "aws/service_client.hpp"
#include "ec2_test_server.hpp"

namespace qvn::sandbox {
namespace {

using namespace qvn::sandbox::testing;
using Steady = std::chrono::steady_clock;

const std::string kVpc = "vpc-0a5b0c0d0e0f00001";

double seconds_since(Steady::time_point start) { return std::chrono::duration<double>(Steady::now() - start).count(); }

class HoldsTest : public SandboxServerTest {
 protected:
  void SetUp() override { start(quick("spoke.json")); }

  Json holds() { return get_json("/_sandbox/holds"); }
  // The calls of `operation` held or being carried out right now.
  size_t in_progress(const std::string& operation) {
    size_t n = 0;
    const Json now = holds();
    for (const auto& call : now["in_progress"]) n += call.value("operation", "") == operation;
    return n;
  }
  int held_count(const std::string& operation) {
    const Json now = holds();
    for (const auto& c : now["held"])
      if (c.value("operation", "") == operation) return c.value("count", 0);
    return 0;
  }
  // Waits (at most 10 s) until a call of `operation` is held.
  bool wait_until_held(const std::string& operation) {
    const auto deadline = Steady::now() + std::chrono::seconds(10);
    while (Steady::now() < deadline) {
      if (in_progress(operation) > 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }
  size_t groups_named(const std::string& name) {
    aws::DescribeSecurityGroupsRequest r;
    r.Filters = {aws::Filter{"group-name", {name}}};
    return ec2().describe_security_groups(r).SecurityGroups.size();
  }
  std::string create_group(const aws::Ec2Client& client, const std::string& name) {
    aws::CreateSecurityGroupRequest r;
    r.GroupName = name;
    r.Description = "held";
    r.VpcId = kVpc;
    return client.create_security_group(r).GroupId.value_or("");
  }
  Json log_of(const std::string& operation) {
    return get_json("/_sandbox/requests?service=ec2&operation=" + operation)["requests"];
  }
};

TEST_F(HoldsTest, HeldCallIsListedWhileItWaitsAndCarriedOutAfterTheHold) {
  // 60 sandbox seconds are 0.6 s at the tests' time scale.
  ASSERT_EQ(post_status("/_sandbox/holds",
                        {{"service", "ec2"}, {"operation", "CreateSecurityGroup"}, {"seconds", 60}, {"count", 1}}),
            200);
  const auto start = Steady::now();
  auto created = std::async(std::launch::async, [&] { return create_group(ec2(), "held-group"); });
  ASSERT_TRUE(wait_until_held("CreateSecurityGroup"));
  EXPECT_EQ(holds()["in_progress"][0]["state"], "held");
  EXPECT_EQ(held_count("CreateSecurityGroup"), 1);
  // Other calls are answered meanwhile; the held one has changed nothing yet.
  EXPECT_EQ(groups_named("held-group"), 0u);
  EXPECT_TRUE(holds()["holds"].empty()) << "a rule for one call is used up once it holds";

  const std::string id = created.get();
  EXPECT_GE(seconds_since(start), 0.5);
  EXPECT_LT(seconds_since(start), 5.0);
  EXPECT_EQ(id.rfind("sg-", 0), 0u);
  EXPECT_EQ(groups_named("held-group"), 1u);
  EXPECT_EQ(in_progress("CreateSecurityGroup"), 0u);
  const Json log = log_of("CreateSecurityGroup");
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].value("held", false), true);

  // The next call is not held.
  const auto again = Steady::now();
  create_group(ec2(), "free-group");
  EXPECT_LT(seconds_since(again), 0.4);
  EXPECT_FALSE(log_of("CreateSecurityGroup")[1].contains("held"));
}

TEST_F(HoldsTest, HeldCallIsCarriedOutAfterItsCallerHasGoneAway) {
  ASSERT_EQ(post_status("/_sandbox/holds", {{"operation", "CreateSecurityGroup"}, {"seconds", 50}}), 200);
  aws::SessionOptions options;
  options.region = "us-east-1";
  aws::ClientOptions impatient;
  impatient.max_attempts = 1;
  impatient.connect_timeout = std::chrono::milliseconds(100);
  impatient.read_timeout = std::chrono::milliseconds(100);
  const aws::Ec2Client client(std::make_shared<aws::ServiceClient>(
      aws::Session::from_credentials(kCiKey, kCiSecret, "", options), aws::Ec2Client::service_id(), impatient));
  EXPECT_ANY_THROW(create_group(client, "orphan-group"));
  EXPECT_EQ(groups_named("orphan-group"), 0u);
  const auto deadline = Steady::now() + std::chrono::seconds(5);
  while (groups_named("orphan-group") == 0 && Steady::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(groups_named("orphan-group"), 1u) << "the sandbox dropped a call whose caller went away";
  EXPECT_EQ(in_progress("CreateSecurityGroup"), 0u);
}

TEST_F(HoldsTest, ReleaseEndsEveryHoldAtOnceAndTheCallsStillHappen) {
  // An hour of sandbox time: 36 s here, unless released.
  ASSERT_EQ(post_status("/_sandbox/holds", Json::array({{{"operation", "CreateSecurityGroup"}, {"seconds", 3600}},
                                                        {{"operation", "CreateKeyPair"}, {"seconds", 3600}}})),
            200);
  auto group = std::async(std::launch::async, [&] { return create_group(ec2(), "released-group"); });
  auto key = std::async(std::launch::async, [&] {
    aws::CreateKeyPairRequest r;
    r.KeyName = "released-key";
    return ec2().create_key_pair(r).KeyName.value_or("");
  });
  ASSERT_TRUE(wait_until_held("CreateSecurityGroup"));
  ASSERT_TRUE(wait_until_held("CreateKeyPair"));
  EXPECT_EQ(holds()["in_progress"].size(), 2u);

  const auto released = Steady::now();
  auto answer = control->Delete("/_sandbox/holds");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
  EXPECT_EQ(group.get().rfind("sg-", 0), 0u);
  EXPECT_EQ(key.get(), "released-key");
  EXPECT_LT(seconds_since(released), 5.0);
  const Json after = holds();
  EXPECT_TRUE(after["holds"].empty());
  EXPECT_TRUE(after["in_progress"].empty());
  EXPECT_TRUE(after["held"].empty());
}

TEST_F(HoldsTest, RefusedCallsAndOtherOperationsAreNotHeld) {
  ASSERT_EQ(
      post_status("/_sandbox/holds", {{"service", "ec2"}, {"operation", "CreateSecurityGroup"}, {"seconds", 3600}}),
      200);
  ASSERT_EQ(
      post_status("/_sandbox/faults", {{"operation", "CreateSecurityGroup"}, {"error", "InternalError"}, {"count", 1}}),
      200);
  const auto start = Steady::now();
  EXPECT_EQ(refusal([&] { create_group(ec2(), "refused-group"); }), "InternalError");
  EXPECT_EQ(refusal([&] { ec2().describe_subnets(); }), "");
  EXPECT_LT(seconds_since(start), 2.0);
  EXPECT_EQ(held_count("CreateSecurityGroup"), 0);
  EXPECT_EQ(holds()["holds"].size(), 1u);
}

TEST_F(HoldsTest, RulesThatCouldNeverHoldOrAreMalformedAreRefused) {
  const std::vector<std::string> bad = {
      R"({"operation": "CreateSecurityGroup"})",
      R"({"operation": "CreateSecurityGroup", "seconds": 0})",
      R"({"operation": "CreateSecurityGroup", "seconds": -5})",
      R"({"operation": "CreateSecurityGroup", "seconds": 3601})",
      R"({"operation": "CreateSecurityGroup", "seconds": "ten"})",
      R"({"operation": "CreateSecurityGroup", "seconds": 5, "count": 0})",
      R"({"operation": "CreateSecurityGroup", "seconds": 5, "count": 1.5})",
      R"({"operation": "CreateSecurityGroup", "seconds": 5, "cuont": 1})",
      R"({"operation": "CreateSecurityGroups", "seconds": 5})",
      R"({"service": "ec3", "operation": "CreateSecurityGroup", "seconds": 5})",
      R"({"service": "ec2", "operation": "", "seconds": 5})",
      R"([{"operation": "CreateKeyPair", "seconds": 5}, {"operation": "NoSuchThing", "seconds": 5}])",
      R"({"holds": {"operation": "CreateKeyPair", "seconds": 5}})",
      "not json",
  };
  for (const auto& body : bad) {
    auto r = post("/_sandbox/holds", body);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 400) << body;
    const Json answer = Json::parse(r->body, nullptr, false);
    EXPECT_EQ(answer.value("error", "").find('\n'), std::string::npos) << r->body;
    EXPECT_FALSE(answer.value("error", "").empty()) << body;
  }
  EXPECT_TRUE(holds()["holds"].empty());

  ASSERT_EQ(post_status("/_sandbox/holds", {{"operation", "CreateKeyPair"}, {"seconds", 5}}), 200);
  ASSERT_EQ(post_status("/_sandbox/holds", {{"holds", {{{"operation", "RunInstances"}, {"seconds", 7}, {"count", 2}}}},
                                            {"replace", true}}),
            200);
  const Json rules = holds()["holds"];
  ASSERT_EQ(rules.size(), 1u);
  EXPECT_EQ(rules[0]["operation"], "RunInstances");
  EXPECT_EQ(rules[0]["service"], "*");
  EXPECT_EQ(rules[0]["count"], 2);
}

TEST_F(HoldsTest, LoadingAScenarioOrStoppingTheServerDoesNotWaitForHeldCalls) {
  ASSERT_EQ(post_status("/_sandbox/holds", {{"operation", "CreateSecurityGroup"}, {"seconds", 3600}}), 200);
  auto first = std::async(std::launch::async, [&] { return create_group(ec2(), "reset-group"); });
  ASSERT_TRUE(wait_until_held("CreateSecurityGroup"));
  const auto reset = Steady::now();
  ASSERT_EQ(post_status("/_sandbox/reset", Json::object()), 200);
  EXPECT_EQ(first.get().rfind("sg-", 0), 0u);
  EXPECT_LT(seconds_since(reset), 5.0);
  EXPECT_TRUE(holds()["holds"].empty());

  ASSERT_EQ(post_status("/_sandbox/holds", {{"operation", "CreateSecurityGroup"}, {"seconds", 3600}}), 200);
  // The answer may or may not reach the caller of a stopping server.
  auto second = std::async(std::launch::async, [&] {
    try {
      create_group(ec2(), "stop-group");
    } catch (const std::exception&) {
    }
  });
  ASSERT_TRUE(wait_until_held("CreateSecurityGroup"));
  const auto stop = Steady::now();
  server->stop();
  second.get();
  EXPECT_LT(seconds_since(stop), 5.0);
}

}  // namespace
}  // namespace qvn::sandbox
