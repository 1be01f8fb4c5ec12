// The lines of calls that keep being retried: what they say for throttling,
// for other refusals and for an endpoint that does not answer, and that
// each kind is counted on its own.
#include "lib/retry_progress.hpp"

#include <gtest/gtest.h>

#include <memory>

#include "core/clock.hpp"
#include "unit/core/log_capture.hpp"

namespace qvn {
namespace {

class RetryProgressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetLoggingForTesting();
    getLogger("quorvane_testlibs.aws")->setLevel(INFO);
    getLogger("quorvane_testlibs.aws")->addHandler(capture_);
    core::set_time_scale(1);
    core::set_clock([this] { return clock_; });
  }
  void TearDown() override {
    core::set_clock({});
    core::set_time_scale(-1);
    resetLoggingForTesting();
  }
  std::vector<std::string> lines() const { return capture_->messages(); }

  std::shared_ptr<test_support::CaptureHandler> capture_ = std::make_shared<test_support::CaptureHandler>();
  core::TimePoint clock_ = core::TimePoint(std::chrono::hours(500000));
};

TEST_F(RetryProgressTest, ThrottlingOtherRefusalsAndSilenceAreToldEachInItsOwnWords) {
  RetryProgress progress;
  progress.refused("ec2", "us-east-1", 503, "RequestLimitExceeded");
  progress.unanswered("ec2.us-east-1.amazonaws.com");
  clock_ += std::chrono::seconds(45);
  progress.refused("ec2", "us-east-1", 400, "Throttling");
  progress.unanswered("ec2.us-east-1.amazonaws.com");
  EXPECT_EQ(progress.refusals(), 2);
  EXPECT_EQ(progress.silences(), 2);
  clock_ += std::chrono::seconds(20);
  progress.refused("s3", "eu-west-1", 500, "InternalError");
  progress.refused("s3", "eu-west-1", 503, "");  // the same moment as that line: not yet

  clock_ += std::chrono::seconds(30);
  progress.refused("s3", "eu-west-1", 503, "");
  EXPECT_EQ(lines(), (std::vector<std::string>{
                         "retrying throttled ec2 calls (us-east-1): 2 retries so far (45 s)",
                         "waiting for ec2.us-east-1.amazonaws.com to answer: 2 attempts without an answer (45 s)",
                         "retrying s3 calls refused with InternalError (eu-west-1): 3 retries so far (1 min 5 s)",
                         "retrying s3 calls refused with HTTP 503 (eu-west-1): 5 retries so far (1 min 35 s)",
                     }));
}

}  // namespace
}  // namespace qvn
