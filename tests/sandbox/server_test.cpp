// The sandbox server over HTTP, driven by the toolkit's own EC2 client:
// signature checks, the control API, faults, rate limits and many
// concurrent callers.
#include <cstdlib>
#include <future>
#include <thread>

#include <gtest/gtest.h>
#include <httplib.h>

#include "aws/ec2.hpp"
#include "aws/errors.hpp"
#include "aws/service_client.hpp"
#include "aws/session.hpp"
#include "core/clock.hpp"
#include "modules.hpp"
#include "scenario.hpp"
#include "server.hpp"

namespace qvn::sandbox {
namespace {

const std::string kKey = "AKIAQVNSANDBOX0CI001";
const std::string kSecret = "qvnSandboxSecretKeyForCiUser0000000000001";

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.add_service(make_ec2_service());
    server.load_scenario(load_scenario_file(std::string(QVN_SOURCE_DIR) + "/sandbox/scenarios/spoke.json"));
    port = server.start(0);
    const std::string url = "http://127.0.0.1:" + std::to_string(port);
    setenv("AWS_ENDPOINT_URL", url.c_str(), 1);
    setenv("AWS_MAX_ATTEMPTS", "1", 1);
    control = std::make_unique<httplib::Client>("127.0.0.1", port);
    control->set_read_timeout(10);
  }
  void TearDown() override {
    server.stop();
    unsetenv("AWS_ENDPOINT_URL");
    unsetenv("AWS_MAX_ATTEMPTS");
  }
  aws::Ec2Client client(const std::string& key = kKey, const std::string& secret = kSecret) {
    aws::SessionOptions options;
    options.region = "us-east-1";
    return aws::Ec2Client(aws::Session::from_credentials(key, secret, "", options));
  }
  std::string refusal(const aws::Ec2Client& c) {
    try {
      c.describe_subnets();
    } catch (const aws::ServiceError& e) {
      return e.code();
    }
    return "";
  }
  Json get(const std::string& path) {
    auto r = control->Get(path.c_str());
    EXPECT_TRUE(r);
    return Json::parse(r->body);
  }
  int post(const std::string& path, const Json& body) {
    auto r = control->Post(path.c_str(), body.dump(), "application/json");
    return r ? r->status : -1;
  }

  SandboxServer server;
  int port = 0;
  std::unique_ptr<httplib::Client> control;
};

TEST_F(ServerTest, SignedRequestsAreAnsweredAndBadCredentialsRefused) {
  EXPECT_EQ(client().describe_subnets().Subnets.size(), 6u);
  EXPECT_EQ(refusal(client("AKIANOSUCHKEY0000000", kSecret)), "AuthFailure");
  EXPECT_EQ(refusal(client(kKey, "wrong-secret")), "SignatureDoesNotMatch");

  // Temporary credentials: the token must come along and still be valid.
  Identity temp{"ASIAQVNTEMP000000001",
                "tempsecret",
                "temptoken",
                "123456789012",
                "arn:aws:sts::123456789012:assumed-role/r/s",
                Clock::now() + std::chrono::hours(1)};
  server.world().keys.add(temp);
  aws::SessionOptions options;
  options.region = "us-east-1";
  EXPECT_NO_THROW(
      aws::Ec2Client(aws::Session::from_credentials(temp.access_key, temp.secret_key, temp.session_token, options))
          .describe_subnets());
  EXPECT_EQ(
      refusal(aws::Ec2Client(aws::Session::from_credentials(temp.access_key, temp.secret_key, "forged", options))),
      "AuthFailure");
  temp.expires = Clock::now() - std::chrono::minutes(1);
  server.world().keys.add(temp);
  EXPECT_EQ(refusal(aws::Ec2Client(
                aws::Session::from_credentials(temp.access_key, temp.secret_key, temp.session_token, options))),
            "ExpiredToken");
}

TEST_F(ServerTest, RequestLogRecordsCallsWithoutSecrets) {
  client().describe_subnets();
  refusal(client(kKey, "wrong-secret"));
  auto log = get("/_sandbox/requests?service=ec2")["requests"];
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0]["operation"], "DescribeSubnets");
  EXPECT_EQ(log[0]["access_key"], kKey);
  EXPECT_EQ(log[0]["status"], 200);
  EXPECT_EQ(log[1]["error_code"], "SignatureDoesNotMatch");
  const std::string all = get("/_sandbox/requests").dump() + get("/_sandbox/state").dump();
  EXPECT_EQ(all.find(kSecret), std::string::npos);

  AwsCall call;
  call.form = {{"Action", "AssumeRole"}, {"SecretAccessKey", "s3cr3t"}, {"RoleArn", "arn"}};
  Json params = loggable_parameters(call);
  EXPECT_EQ(params["SecretAccessKey"], "<redacted>");
  EXPECT_EQ(params["RoleArn"], "arn");
}

TEST_F(ServerTest, FaultsFailTheNextCallsThenStop) {
  ASSERT_EQ(post("/_sandbox/faults", {{"service", "ec2"},
                                      {"operation", "DescribeSubnets"},
                                      {"error", {{"code", "InternalError"}, {"status", 500}}},
                                      {"count", 2}}),
            200);
  auto c = client();
  EXPECT_EQ(refusal(c), "InternalError");
  EXPECT_EQ(refusal(c), "InternalError");
  EXPECT_EQ(refusal(c), "");
  EXPECT_EQ(post("/_sandbox/faults", {{"operation", "DescribeSubnets"}}), 400);  // neither error nor latency
  EXPECT_EQ(post("/_sandbox/faults", {{"operation", "DescribeSubnets"}, {"latency_ms", 200}}), 200);
  core::set_time_scale(1);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(refusal(c), "");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(190));
  core::set_time_scale(-1);
}

TEST_F(ServerTest, ADroppedAnswerIsCarriedOutLoggedAndNeverAnswered) {
  ASSERT_EQ(post("/_sandbox/faults", {{"operation", "CreateSecurityGroup"}, {"drop_answer", true}, {"count", 1}}), 200);
  EXPECT_EQ(get("/_sandbox/faults")["faults"][0]["drop_answer"], true);
  auto c = client();
  auto create = [&](const std::string& name) {
    aws::CreateSecurityGroupRequest r;
    r.GroupName = name;
    r.Description = "lost answer";
    r.VpcId = "vpc-0a5b0c0d0e0f00001";
    return c.create_security_group(r);
  };
  EXPECT_THROW(create("lost-answer"), aws::TransportError);
  EXPECT_NO_THROW(create("answered"));  // the rule is used up
  aws::DescribeSecurityGroupsRequest d;
  d.Filters = {aws::Filter{"group-name", {"lost-answer", "answered"}}};
  EXPECT_EQ(c.describe_security_groups(d).SecurityGroups.size(), 2u);  // the lost one was made all the same
  auto log = get("/_sandbox/requests?operation=CreateSecurityGroup")["requests"];
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].value("answer_dropped", false), true);
  EXPECT_EQ(log[0]["status"], 200);
  EXPECT_FALSE(log[1].contains("answer_dropped"));

  // Probability 0 never drops; a rule that also answers with an error is refused.
  ASSERT_EQ(post("/_sandbox/faults", {{"operation", "DescribeSubnets"}, {"drop_answer", true}, {"probability", 0}}),
            200);
  for (int i = 0; i < 5; ++i) EXPECT_NO_THROW(c.describe_subnets());
  EXPECT_EQ(post("/_sandbox/faults", {{"drop_answer", true}, {"error", "InternalError"}}), 400);
  EXPECT_EQ(post("/_sandbox/faults", {{"drop_answer", "yes"}}), 400);
  EXPECT_EQ(post("/_sandbox/faults", {{"operation", "RunInstances"}, {"error", "Unsupported"}, {"dry_run", "no"}}), 400);
  ASSERT_EQ(post("/_sandbox/faults", {{"service", "ec2"}, {"drop_answer", true}, {"count", 2}}), 200);
  EXPECT_THROW(c.describe_subnets(), aws::TransportError);
  EXPECT_THROW(c.describe_subnets(), aws::TransportError);
  EXPECT_NO_THROW(c.describe_subnets());
}

TEST_F(ServerTest, TheClientRetriesALostAnswerOfAnyCallAndALaunchKeepsItsClientToken) {
  setenv("AWS_MAX_ATTEMPTS", "3", 1);
  core::set_time_scale(0.001);  // back-off waits in sandbox time
  auto c = client();
  const size_t reservations_before = c.describe_instances().Reservations.size();
  for (const char* operation : {"RunInstances", "TerminateInstances", "DescribeSubnets"})
    ASSERT_EQ(post("/_sandbox/faults", {{"operation", operation}, {"drop_answer", true}, {"count", 1}}), 200);
  aws::RunInstancesRequest run;
  run.MinCount = run.MaxCount = 1;
  run.ImageId = "ami-0005e0cfe09cc9050";
  run.SubnetId = "subnet-0a5b0c0d0e0f00001";
  const auto launched = c.run_instances(run).Instances;
  ASSERT_EQ(launched.size(), 1u);
  EXPECT_EQ(aws::unanswered_attempts_of_last_call(), 1);  // what a caller tells a lost answer by
  EXPECT_NO_THROW(c.describe_subnets());
  EXPECT_EQ(aws::unanswered_attempts_of_last_call(), 1);

  // One instance exists: the retry carried the first attempt's token and was answered its reservation.
  const auto reservations = c.describe_instances().Reservations;
  EXPECT_EQ(aws::unanswered_attempts_of_last_call(), 0);
  ASSERT_EQ(reservations.size(), reservations_before + 1);
  ASSERT_EQ(reservations.back().Instances.size(), 1u);
  EXPECT_EQ(reservations.back().Instances[0].InstanceId, launched[0].InstanceId);
  auto runs = get("/_sandbox/requests?operation=RunInstances")["requests"];
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].value("answer_dropped", false), true);
  EXPECT_FALSE(runs[0]["parameters"].value("ClientToken", "").empty());
  EXPECT_EQ(runs[0]["parameters"]["ClientToken"], runs[1]["parameters"]["ClientToken"]);

  aws::TerminateInstancesRequest terminate;
  terminate.InstanceIds = {launched[0].InstanceId.value_or("")};
  EXPECT_NO_THROW(c.terminate_instances(terminate));
  for (const char* operation : {"TerminateInstances", "DescribeSubnets"}) {
    auto attempts = get(std::string("/_sandbox/requests?operation=") + operation)["requests"];
    ASSERT_EQ(attempts.size(), 2u) << operation;
    EXPECT_EQ(attempts[0].value("answer_dropped", false), true) << operation;
    EXPECT_EQ(attempts[1]["status"], 200) << operation;
  }
  core::set_time_scale(-1);
}

TEST_F(ServerTest, RunInstancesIsThrottledWhenItsBucketIsEmpty) {
  core::set_time_scale(1);
  ASSERT_EQ(post("/_sandbox/rate-limits",
                 {{"enabled", true}, {"RunInstances", {{"burst", 2}, {"refill_per_second", 0.001}}}}),
            200);
  auto c = client();
  aws::RunInstancesRequest run;
  run.MinCount = run.MaxCount = 1;
  run.ImageId = "ami-0005e0cfe09cc9050";
  run.SubnetId = "subnet-0a5b0c0d0e0f00001";
  EXPECT_NO_THROW(c.run_instances(run));
  EXPECT_NO_THROW(c.run_instances(run));
  try {
    c.run_instances(run);
    ADD_FAILURE() << "third launch was not throttled";
  } catch (const aws::ServiceError& e) {
    EXPECT_EQ(e.code(), "RequestLimitExceeded");
    EXPECT_EQ(e.status(), 503);
  }
  EXPECT_NO_THROW(c.describe_subnets());  // other API classes have their own buckets
  core::set_time_scale(-1);
}

TEST_F(ServerTest, ControlApiLoadsScenariosAndResets) {
  EXPECT_EQ(get("/_sandbox/state")["scenario"], "spoke");
  ASSERT_EQ(post("/_sandbox/scenario", {{"file", std::string(QVN_SOURCE_DIR) + "/sandbox/scenarios/empty.json"}}), 200);
  EXPECT_TRUE(client().describe_subnets().Subnets.empty());
  EXPECT_EQ(post("/_sandbox/scenario", {{"account_id", "12"}}), 400);
  aws::CreateKeyPairRequest key;
  key.KeyName = "k";
  client().create_key_pair(key);
  EXPECT_EQ(client().describe_key_pairs().KeyPairs.size(), 1u);
  ASSERT_EQ(post("/_sandbox/reset", Json::object()), 200);
  EXPECT_TRUE(client().describe_key_pairs().KeyPairs.empty());
}

TEST_F(ServerTest, TwoHundredConcurrentCallersAreAllAnswered) {
  constexpr int kCallers = 200;
  std::vector<std::future<size_t>> results;
  std::promise<void> go;
  std::shared_future<void> start = go.get_future().share();
  for (int i = 0; i < kCallers; ++i)
    results.push_back(std::async(std::launch::async, [this, start] {
      auto c = client();
      start.wait();
      return c.describe_subnets().Subnets.size();
    }));
  go.set_value();
  int answered = 0;
  for (auto& r : results) answered += r.get() == 6u ? 1 : 0;
  EXPECT_EQ(answered, kCallers);
  EXPECT_EQ(get("/_sandbox/requests?operation=DescribeSubnets")["requests"].size(), static_cast<size_t>(kCallers));
}

}  // namespace
}  // namespace qvn::sandbox
