#include "core/progress.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "unit/core/log_capture.hpp"

namespace qvn::core {
namespace {

using test_support::CaptureHandler;

// A clock that moves only when the test says so.
class ProgressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetLoggingForTesting();
    log_ = getLogger("progress_test");
    log_->setLevel(INFO);
    log_->addHandler(capture_);
    set_time_scale(1);
    set_clock([this] { return std::chrono::system_clock::time_point(std::chrono::milliseconds(millis_.load())); });
  }
  void TearDown() override {
    set_clock({});
    set_time_scale(-1);
    resetLoggingForTesting();
  }
  void advance(double seconds) { millis_ += static_cast<long long>(seconds * 1000); }
  std::vector<std::string> lines() const { return capture_->messages(); }

  Logger* log_ = nullptr;
  std::shared_ptr<CaptureHandler> capture_ = std::make_shared<CaptureHandler>();
  std::atomic<long long> millis_{1'700'000'000'000};
};

TEST_F(ProgressTest, NothingIsToldBeforeTheIntervalThenOneLinePerInterval) {
  Progress checks(*log_, "waiting for status checks", "instances ok");
  checks.begin(3);
  advance(14.9);
  checks.tick();
  EXPECT_TRUE(lines().empty());

  advance(0.1);
  checks.tick();
  checks.tick();  // the same moment: no second line
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0], "waiting for status checks: 0 of 3 instances ok (15 s)");

  checks.end(true);
  advance(10);
  checks.tick();
  EXPECT_EQ(lines().size(), 1u) << "10 s after the last line";
  advance(5);
  checks.tick();
  ASSERT_EQ(lines().size(), 2u);
  EXPECT_EQ(lines()[1], "waiting for status checks: 1 of 3 instances ok (30 s)");
}

TEST_F(ProgressTest, CountsWhatArrivedAndWhatWasGivenUpAndStopsWhenNothingIsAwaited) {
  Progress terminations(*log_, "waiting for terminations", "instances terminated");
  terminations.begin();
  advance(20);
  terminations.begin(2);  // the clock runs from the first one
  terminations.end(true);
  terminations.end(false);
  EXPECT_EQ(terminations.line(), "waiting for terminations: 1 of 3 instances terminated, 1 given up (20 s)");
  EXPECT_EQ(terminations.total(), 3);
  EXPECT_EQ(terminations.done(), 1);

  terminations.end(true);
  advance(20);
  terminations.tick();
  EXPECT_TRUE(lines().empty()) << "every one has ended: nothing is waited for";
}

TEST_F(ProgressTest, AnAwaitedThingLeftWithoutReachingCountsAsGivenUp) {
  Progress checks(*log_, "waiting for status checks", "instances ok");
  {
    Awaited first(&checks);
    Awaited second(&checks);
    first.reached();
    first.reached();  // counted once
    try {
      Awaited third(&checks);
      throw std::runtime_error("the waiter failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(checks.line(), "waiting for status checks: 1 of 3 instances ok, 1 given up (0 s)");
  }
  EXPECT_EQ(checks.line(), "waiting for status checks: 1 of 3 instances ok, 2 given up (0 s)");
  Awaited untold(nullptr);  // no progress: nothing to count
  untold.tick();
  untold.reached();
  EXPECT_TRUE(lines().empty());
}

TEST_F(ProgressTest, AProgressNeverBegunTellsNothing) {
  Progress checks(*log_, "waiting for status checks", "instances ok");
  advance(100);
  checks.tick();
  EXPECT_TRUE(lines().empty());
}

TEST_F(ProgressTest, TheIntervalAndTheDurationsAreOnTheScaledClock) {
  set_time_scale(0.01);  // 15 run seconds are 0.15 s of wall-clock time
  Progress checks(*log_, "waiting for status checks", "instances ok");
  checks.begin(64);
  advance(0.1);
  checks.tick();
  EXPECT_TRUE(lines().empty());
  advance(1.25);
  checks.tick();
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0], "waiting for status checks: 0 of 64 instances ok (2 min 15 s)");
}

TEST_F(ProgressTest, ATimeScaleOfZeroCountsAsRealTime) {
  set_time_scale(0);
  Progress checks(*log_, "waiting", "done");
  checks.begin();
  advance(1);
  checks.tick();
  EXPECT_TRUE(lines().empty());
  advance(14);
  checks.tick();
  EXPECT_EQ(lines().size(), 1u);
}

TEST_F(ProgressTest, ManyWorkersTickingAtOnceGiveOneLinePerInterval) {
  Progress checks(*log_, "waiting for status checks", "instances ok");
  constexpr int kWorkers = 64;
  checks.begin(kWorkers);
  std::atomic<int> ready{0};
  std::atomic<int> round{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&] {
      for (int seen = 0; seen < 4; ++seen) {
        while (round.load() == seen) std::this_thread::yield();
        checks.tick();
        ++ready;
      }
    });
  }
  for (int r = 1; r <= 4; ++r) {
    advance(15);
    ready = 0;
    round = r;
    while (ready.load() < kWorkers) std::this_thread::yield();
  }
  for (auto& worker : workers) worker.join();
  const auto told = lines();
  ASSERT_EQ(told.size(), 4u);
  EXPECT_EQ(told[3], "waiting for status checks: 0 of 64 instances ok (1 min 0 s)");
}

TEST_F(ProgressTest, RepeatsAreCountedFromTheFirstAndStartOverAfterAQuietSpell) {
  RepeatProgress retries(*log_);
  const std::string what = "retrying throttled ec2 calls (us-east-1)";
  retries.note(what);
  for (int i = 0; i < 11; ++i) {
    advance(4);
    retries.note(what);
  }
  EXPECT_EQ(retries.count(), 12);
  // Lines at 16 s and 32 s (the first note at or after each 15 s).
  ASSERT_EQ(lines().size(), 2u);
  EXPECT_EQ(lines()[0], what + ": 5 retries so far (16 s)");
  EXPECT_EQ(lines()[1], what + ": 9 retries so far (32 s)");

  advance(61);  // quiet for longer than a minute: a new spell
  retries.note("waiting for ec2.us-east-1.amazonaws.com");
  EXPECT_EQ(retries.count(), 1);
  advance(14);
  retries.note("waiting for ec2.us-east-1.amazonaws.com");
  EXPECT_EQ(lines().size(), 2u) << "the new spell waits its own 15 s";
  advance(1);
  retries.note("waiting for ec2.us-east-1.amazonaws.com");
  ASSERT_EQ(lines().size(), 3u);
  EXPECT_EQ(lines()[2], "waiting for ec2.us-east-1.amazonaws.com: 3 retries so far (15 s)");
}

}  // namespace
}  // namespace qvn::core
