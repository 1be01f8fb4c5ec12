// Retry policy: which errors retry, backoff, the shared budget and the
// adaptive send rate.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
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

TEST(RetryPolicy, ThrottlingAndTransientErrorsRetryOthersDoNot) {
  for (const char* code : {"RequestLimitExceeded", "Throttling", "ThrottlingException", "TooManyRequestsException",
                           "SlowDown", "EC2ThrottledException", "RequestTimeout", "PriorRequestNotComplete"})
    EXPECT_TRUE(is_retryable_service_error(400, code)) << code;
  for (long status : {500L, 502L, 503L, 504L, 429L}) EXPECT_TRUE(is_retryable_service_error(status, "X")) << status;
  for (const char* code : {"LimitExceeded", "InvalidKeyPair.Duplicate", "AccessDenied", "ValidationError"})
    EXPECT_FALSE(is_retryable_service_error(409, code)) << code;
  EXPECT_FALSE(is_retryable_service_error(501, "NotImplemented"));
  EXPECT_TRUE(is_throttling_error(503, "RequestLimitExceeded"));
  EXPECT_FALSE(is_throttling_error(500, "InternalError"));
}

TEST(RetryPolicy, BackoffGrowsWithJitterAndIsCapped) {
  EXPECT_DOUBLE_EQ(backoff_seconds(1, 0.5), 0.5);
  EXPECT_DOUBLE_EQ(backoff_seconds(2, 0.5), 1.0);
  EXPECT_DOUBLE_EQ(backoff_seconds(4, 0.5), 4.0);
  EXPECT_DOUBLE_EQ(backoff_seconds(8, 0.99), 20.0);
  EXPECT_DOUBLE_EQ(backoff_seconds(200, 1.0), 20.0);
  EXPECT_DOUBLE_EQ(backoff_seconds(3, 0.0), 0.0);
}

TEST(RetryPolicy, ModesAndTheirDefaultAttempts) {
  EXPECT_EQ(parse_retry_mode("Adaptive"), RetryMode::Adaptive);
  EXPECT_EQ(parse_retry_mode("standard"), RetryMode::Standard);
  EXPECT_FALSE(parse_retry_mode("fast"));
  EXPECT_EQ(default_max_attempts(RetryMode::Standard), 3);
  EXPECT_EQ(default_max_attempts(RetryMode::Legacy), 5);
}

TEST(RetryQuotaTest, BudgetRunsOutAndSuccessRefillsIt) {
  RetryQuota quota;
  int retries = 0;
  while (quota.acquire(false) > 0) ++retries;
  EXPECT_EQ(retries, 100);
  quota.on_success(RetryQuota::kRetryCost);
  EXPECT_EQ(quota.available(), 5);
  EXPECT_EQ(quota.acquire(true), 0);  // a time-out costs 10
  EXPECT_EQ(quota.acquire(false), 5);
  quota.on_success(0);  // first-try success: +1
  EXPECT_EQ(quota.available(), 1);
}

TEST(RetryQuotaTest, ManyCallersNeitherLoseNorMintTokens) {
  RetryQuota quota;
  std::atomic<int> granted{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 16; ++t)
    callers.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        const int cost = quota.acquire(i % 7 == 0);
        if (cost == 0) continue;
        ++granted;
        EXPECT_GE(quota.available(), 0);
        quota.on_success(cost);
      }
    });
  for (auto& c : callers) c.join();
  EXPECT_GT(granted.load(), 0);
  EXPECT_EQ(quota.available(), RetryQuota::kCapacity);  // every cost given back
}

class RateLimiterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    core::set_sleep_function([this](core::Seconds s) {
      slept_ += s.count();
      clock_ += s.count();
    });
  }
  void TearDown() override { core::set_sleep_function({}); }

  double clock_ = 1000.0;
  double slept_ = 0;
  ClientRateLimiter limiter_{[this] { return clock_; }};
};

TEST_F(RateLimiterTest, OffUntilThrottledThenPacesSends) {
  for (int i = 0; i < 20; ++i) {
    limiter_.before_send();
    clock_ += 0.1;
    limiter_.after_response(false);
  }
  EXPECT_FALSE(limiter_.enabled());
  EXPECT_DOUBLE_EQ(slept_, 0.0);
  double measured = limiter_.measured_rate();
  EXPECT_GT(measured, 5.0);
  limiter_.after_response(true);
  EXPECT_TRUE(limiter_.enabled());
  EXPECT_LE(limiter_.send_rate(), measured * 0.7 + 1e-9);
  double rate = limiter_.send_rate();
  double start = clock_;
  for (int i = 0; i < 20; ++i) limiter_.before_send();
  // Beyond the bucket's burst, sends go out at the reduced rate.
  EXPECT_GE(clock_ - start, (20 - std::max(rate, 1.0)) / rate - 1e-6);
  EXPECT_LE(clock_ - start, 20 / rate + 1e-6);
  EXPECT_GT(slept_, 0.0);
}

TEST_F(RateLimiterTest, RateRecoversAfterThrottlingStops) {
  for (int i = 0; i < 20; ++i) {
    clock_ += 0.1;
    limiter_.after_response(false);
  }
  limiter_.after_response(true);
  double throttled_rate = limiter_.send_rate();
  for (int i = 0; i < 40; ++i) {
    limiter_.before_send();
    clock_ += 0.25;
    limiter_.after_response(false);
  }
  EXPECT_GT(limiter_.send_rate(), throttled_rate);
}

TEST(ClientRateLimiterConcurrency, ManyCallersKeepTheRateFiniteAndPositive) {
  // Time passes only when a caller sleeps or has been answered.
  std::atomic<double> clock{1000.0};
  const auto advance = [&clock](double seconds) {
    double expected = clock.load();
    while (!clock.compare_exchange_weak(expected, expected + seconds)) {
    }
  };
  core::set_sleep_function([&](core::Seconds s) { advance(s.count()); });
  ClientRateLimiter limiter([&] { return clock.load(); });
  std::vector<std::thread> callers;
  for (int t = 0; t < 16; ++t)
    callers.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        limiter.before_send();
        advance(0.01);
        limiter.after_response((i + t) % 50 == 0);
      }
    });
  for (auto& c : callers) c.join();
  core::set_sleep_function({});
  EXPECT_TRUE(limiter.enabled());
  EXPECT_TRUE(std::isfinite(limiter.send_rate()));
  EXPECT_GT(limiter.send_rate(), 0.0);
  EXPECT_TRUE(std::isfinite(limiter.measured_rate()));
}

class RetryBudgetTest : public testing::AwsEnvironmentTest {
 protected:
  void SetUp() override {
    AwsEnvironmentTest::SetUp();
    core::set_sleep_function([](core::Seconds) {});
  }
};

TEST_F(RetryBudgetTest, ClientsOfASessionDrawFromOneBudget) {
  transport_->handler = [](const http::HttpRequest&) { return answer(500, ""); };
  SessionOptions options;
  options.transport = transport_;
  options.region = "us-east-1";
  auto session = Session::from_credentials("AK", "SK", "", options);
  ClientOptions many;
  many.max_attempts = 1000;
  ServiceClient first({session}, {"ec2", Protocol::Ec2, "2016-11-15", ""}, many);
  ServiceClient second({session}, {"ec2", Protocol::Ec2, "2016-11-15", ""}, many);
  OperationRequest request;
  request.operation = "DescribeSubnets";
  EXPECT_THROW(first.send(request), ServiceError);
  EXPECT_EQ(transport_->requests().size(), 101u);  // 100 retries bought with 500 tokens
  EXPECT_THROW(second.send(request), ServiceError);
  EXPECT_EQ(transport_->requests().size(), 102u);  // nothing left for the second client
}

// Fifty workers launch at once against an account that allows a burst of 5
// RunInstances and then 2 per second (time runs 100 times faster here).
class LaunchBurstTest : public testing::AwsEnvironmentTest {
 protected:
  void TearDown() override {
    core::set_time_scale(-1);
    AwsEnvironmentTest::TearDown();
  }

  int launch_fifty(bool adaptive, int max_attempts) {
    core::set_time_scale(0.01);
    auto start = std::chrono::steady_clock::now();
    std::mutex mutex;
    double tokens = 5;
    double last = 0;
    transport_->handler = [&](const http::HttpRequest&) {
      std::lock_guard lock(mutex);
      double now = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / 0.01;
      tokens = std::min(5.0, tokens + (now - last) * 2.0);
      last = now;
      if (tokens < 1)
        return answer(503,
                      "<Response><Errors><Error><Code>RequestLimitExceeded</Code><Message>Request limit "
                      "exceeded.</Message></Error></Errors><RequestID>r</RequestID></Response>");
      tokens -= 1;
      return answer(200, "<RunInstancesResponse/>");
    };
    SessionOptions options;
    options.transport = transport_;
    options.region = "us-east-1";
    auto session = Session::from_credentials("AK", "SK", "", options);
    ClientOptions client_options;
    client_options.max_attempts = max_attempts;
    client_options.adaptive_retries = adaptive;
    ServiceClient ec2(session, {"ec2", Protocol::Ec2, "2016-11-15", ""}, client_options);
    std::atomic<int> launched{0};
    std::vector<std::thread> workers;
    for (int i = 0; i < 50; ++i)
      workers.emplace_back([&] {
        OperationRequest request;
        request.operation = "RunInstances";
        try {
          ec2.send(request);
          ++launched;
        } catch (const ServiceError&) {
        }
      });
    for (auto& worker : workers) worker.join();
    return launched.load();
  }
};

TEST_F(LaunchBurstTest, AdaptiveRetriesWithEnoughAttemptsLaunchEveryInstance) { EXPECT_EQ(launch_fifty(true, 15), 50); }

}  // namespace
}  // namespace qvn::aws
