// The client's send rates: operations sent in adaptive mode on their own,
// and the ceiling on the non-mutating calls.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "aws/errors.hpp"
#include "aws/retry.hpp"
#include "aws/service_client.hpp"
#include "aws/session.hpp"
#include "awscore_test_support.hpp"

namespace qvn::aws {
namespace {

using testing::answer;

using testing::kEc2;

http::HttpResponse throttled() {
  return answer(503,
                "<Response><Errors><Error><Code>RequestLimitExceeded</Code><Message>Request limit "
                "exceeded.</Message></Error></Errors><RequestID>r</RequestID></Response>");
}

std::string operation_of(const http::HttpRequest& request) {
  const auto start = request.body.find("Action=") + 7;
  return request.body.substr(start, request.body.find('&', start) - start);
}

// Every sleep is counted in modelled seconds. The limiters read the real
// clock: in `paced` mode time runs 100 times faster and sleeps are slept
// (the adaptive send rate measures its waits again after each pause), in
// the other mode nothing is slept, so that a wait a limiter asks for stays
// owed for the whole test.
class ClientRatesTest : public testing::AwsEnvironmentTest {
 protected:
  static constexpr double kFast = 0.01;

  void SetUp() override {
    AwsEnvironmentTest::SetUp();
    SessionOptions options;
    options.transport = transport_;
    options.region = "us-east-1";
    session_ = Session::from_credentials("AK", "SK", "", options);
  }
  void TearDown() override {
    core::set_time_scale(-1);
    AwsEnvironmentTest::TearDown();
  }

  void count_sleeps(bool paced) {
    core::set_time_scale(paced ? kFast : 1.0);
    core::set_sleep_function([this, paced](core::Seconds s) {
      {
        std::lock_guard lock(mutex_);
        slept_ += paced ? s.count() / kFast : s.count();
      }
      if (paced) std::this_thread::sleep_for(s);
    });
  }

  double slept() {
    std::lock_guard lock(mutex_);
    return slept_;
  }

  // The modelled seconds slept while `operation` was sent once.
  double sleep_of(ServiceClient& client, const std::string& operation) {
    const double before = slept();
    OperationRequest request;
    request.operation = operation;
    try {
      client.send(request);
    } catch (const ServiceError&) {
    }
    return slept() - before;
  }

  // Launches are always throttled; everything else is answered.
  void throttle_launches() {
    count_sleeps(true);
    transport_->handler = [](const http::HttpRequest& request) {
      return operation_of(request) == "RunInstances" ? throttled() : answer(200, "<R/>");
    };
  }

  std::shared_ptr<Session> session_;
  std::mutex mutex_;
  double slept_ = 0;
};

TEST_F(ClientRatesTest, AThrottledAdaptiveOperationSlowsOnlyItself) {
  throttle_launches();
  ClientOptions options;
  options.max_attempts = 4;
  options.adaptive_retries = false;
  options.adaptive_operations = {"RunInstances"};
  ServiceClient client(session_, kEc2, options);
  // Each retry waits its backoff (the backoff draws at random and may draw
  // nothing), and from the second attempt on the launches' own send rate.
  EXPECT_GT(sleep_of(client, "RunInstances"), 0.0);
  EXPECT_EQ(transport_->requests().size(), 4u);
  EXPECT_DOUBLE_EQ(sleep_of(client, "DescribeInstanceStatus"), 0.0);
  EXPECT_DOUBLE_EQ(sleep_of(client, "DescribeInstanceStatus"), 0.0);
  // The next launch waits for its slot at the lowered rate before it goes out.
  const size_t sent = transport_->requests().size();
  transport_->handler = [](const http::HttpRequest&) { return answer(200, "<R/>"); };
  EXPECT_GT(sleep_of(client, "RunInstances"), 0.0);
  EXPECT_EQ(transport_->requests().size(), sent + 1);
}

TEST_F(ClientRatesTest, TheOperationsSendRateIsSharedByTheSessionsClients) {
  throttle_launches();
  ClientOptions options;
  options.max_attempts = 3;
  options.adaptive_operations = {"RunInstances"};
  ServiceClient first(session_, kEc2, options);
  ServiceClient second(session_, kEc2, options);
  sleep_of(first, "RunInstances");
  transport_->handler = [](const http::HttpRequest&) { return answer(200, "<R/>"); };
  EXPECT_GT(sleep_of(second, "RunInstances"), 0.0);
  EXPECT_DOUBLE_EQ(sleep_of(second, "DescribeInstances"), 0.0);
}

TEST_F(ClientRatesTest, AWholeClientInAdaptiveModeSlowsEveryOperation) {
  // What the per-operation choice avoids: one send rate for all.
  throttle_launches();
  ClientOptions options;
  options.max_attempts = 4;
  options.adaptive_retries = true;
  ServiceClient client(session_, kEc2, options);
  sleep_of(client, "RunInstances");
  EXPECT_GT(sleep_of(client, "DescribeInstanceStatus"), 0.0);
}

TEST_F(ClientRatesTest, TheReadCeilingPacesLookUpsAndNothingElse) {
  count_sleeps(false);
  transport_->handler = [](const http::HttpRequest&) { return answer(200, "<R/>"); };
  ClientOptions options;
  options.read_rate_ceiling = RateCeiling{3, 2};
  ServiceClient client(session_, kEc2, options);
  for (const char* change : {"CreateTags", "CreateTags", "TerminateInstances", "RunInstances", "CreateTags"})
    EXPECT_DOUBLE_EQ(sleep_of(client, change), 0.0) << change;
  for (int i = 0; i < 3; ++i) EXPECT_DOUBLE_EQ(sleep_of(client, "DescribeSubnets"), 0.0) << i;
  // The bucket is empty: each further look-up waits for its own token.
  EXPECT_NEAR(sleep_of(client, "DescribeInstances"), 0.5, 0.05);
  EXPECT_NEAR(sleep_of(client, "GetConsoleOutput"), 1.0, 0.05);
  EXPECT_EQ(transport_->requests().size(), 10u);
}

TEST_F(ClientRatesTest, ManyThreadsTakeTheirTurnsFromOneCeiling) {
  count_sleeps(false);
  transport_->handler = [](const http::HttpRequest&) { return answer(200, "<R/>"); };
  ClientOptions options;
  options.read_rate_ceiling = RateCeiling{10, 5};
  ServiceClient client(session_, kEc2, options);
  std::vector<std::thread> workers;
  for (int t = 0; t < 20; ++t)
    workers.emplace_back([&] {
      OperationRequest request;
      request.operation = "DescribeAddresses";
      client.send(request);
    });
  for (auto& worker : workers) worker.join();
  // Ten at once, then one every 0.2 s: the waits are 0.2, 0.4, ... 2.0.
  EXPECT_LE(slept(), 0.2 * (10 * 11 / 2) + 1e-6);
  EXPECT_GT(slept(), 8.0);  // less only by what refilled while the threads started
  EXPECT_EQ(transport_->requests().size(), 20u);
}

TEST(RequestRateLimiterTest, FullAtStartRefillsAtItsRateAndNeverAboveCapacity) {
  double clock = 50.0;
  std::vector<double> waits;
  core::set_sleep_function([&](core::Seconds s) { clock += s.count(); });
  RequestRateLimiter limiter(RateCeiling{2, 4}, [&] { return clock; });
  for (int i = 0; i < 4; ++i) waits.push_back(limiter.acquire());
  EXPECT_EQ(waits, (std::vector<double>{0, 0, 0.25, 0.25}));
  clock += 100;  // a long pause refills to the capacity, not beyond
  waits.clear();
  for (int i = 0; i < 3; ++i) waits.push_back(limiter.acquire());
  EXPECT_EQ(waits, (std::vector<double>{0, 0, 0.25}));
  core::set_sleep_function({});
}

TEST(RequestRateLimiterTest, NonMutatingOperationsAreTheReadingOnes) {
  for (const char* name : {"DescribeSubnets", "GetConsoleOutput", "ListBuckets", "SearchTransitGatewayRoutes"})
    EXPECT_TRUE(is_non_mutating_operation(name)) << name;
  for (const char* name : {"RunInstances", "CreateTags", "TerminateInstances", "describeSubnets", "ModifyListener"})
    EXPECT_FALSE(is_non_mutating_operation(name)) << name;
}

}  // namespace
}  // namespace qvn::aws
