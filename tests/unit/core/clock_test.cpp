#include "core/clock.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace qvn::core {
namespace {

class ClockTest : public ::testing::Test {
 protected:
  void TearDown() override {
    set_sleep_function({});
    set_clock({});
    set_time_scale(-1);
    unsetenv("QUORVANE_TIME_SCALE");
  }
};

TEST_F(ClockTest, SleepIsScaledByTheEnvironmentFactor) {
  std::vector<double> slept;
  set_sleep_function([&](Seconds d) { slept.push_back(d.count()); });
  setenv("QUORVANE_TIME_SCALE", "0.01", 1);
  set_time_scale(-1);  // re-read the environment
  sleep_for(Seconds(15));
  ASSERT_EQ(slept.size(), 1u);
  EXPECT_DOUBLE_EQ(slept[0], 0.15);
}

TEST_F(ClockTest, MalformedOrNegativeFactorMeansRealTime) {
  for (const char* text : {"fast", "-2", "1.5x", "", "nan"}) {
    setenv("QUORVANE_TIME_SCALE", text, 1);
    set_time_scale(-1);
    EXPECT_DOUBLE_EQ(time_scale(), 1.0) << "for \"" << text << "\"";
  }
}

TEST_F(ClockTest, ZeroFactorSkipsRealSleeping) {
  set_time_scale(0);
  auto before = std::chrono::steady_clock::now();
  sleep_for(Seconds(30));
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
}

TEST_F(ClockTest, InjectedClockIsUsedAndCanBeRemoved) {
  TimePoint fixed = std::chrono::system_clock::from_time_t(1705320000);  // 2024-01-15 12:00:00 UTC
  set_clock([&] { return fixed; });
  EXPECT_EQ(now(), fixed);
  set_clock({});
  EXPECT_GT(now(), fixed);
}

}  // namespace
}  // namespace qvn::core
