// The first SIGINT/SIGTERM is recorded and wakes sleepers; the exit status
// names the signal.
#include "core/interrupt.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>
#include <vector>

#include "core/clock.hpp"
#include "core/interruption_notice.hpp"
#include "unit/core/log_capture.hpp"

namespace qvn::core {
namespace {

using Clock = std::chrono::steady_clock;

class InterruptTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_interrupt_for_testing(); }
  void TearDown() override {
    reset_interrupt_for_testing();
    set_time_scale(-1);
  }
};

TEST_F(InterruptTest, ARealSignalIsRecordedWithItsExitStatusAndTheProcessGoesOn) {
  install_interrupt_handlers();
  EXPECT_FALSE(interrupted());
  EXPECT_EQ(interrupted_exit_status(), 0);
  ASSERT_EQ(::raise(SIGTERM), 0);
  EXPECT_TRUE(interrupted());
  EXPECT_EQ(interrupt_signal(), SIGTERM);
  EXPECT_EQ(interrupted_exit_status(), 143);
  EXPECT_STREQ(interrupt_signal_name(), "SIGTERM");

  reset_interrupt_for_testing();
  request_interrupt(SIGINT);
  request_interrupt(SIGTERM);  // a later request keeps the first signal
  EXPECT_EQ(interrupted_exit_status(), 130);
  EXPECT_STREQ(interrupt_signal_name(), "SIGINT");
}

TEST_F(InterruptTest, ASecondSignalEndsTheProcessAtOnceWithItsStatus) {
  EXPECT_EXIT(
      {
        install_interrupt_handlers();
        ::raise(SIGINT);
        ::raise(SIGTERM);
        std::this_thread::sleep_for(std::chrono::seconds(5));
        std::exit(0);
      },
      ::testing::ExitedWithCode(143), "");
}

// Run in a child process of its own: the notices' thread must not exist
// where the test above expects a second signal to end the process at once.
TEST_F(InterruptTest, NoticesTellTheFirstSignalAtOnceAndTheSecondsLastWordsBeforeTheEnd) {
  EXPECT_EXIT(
      {
        install_interrupt_handlers();
        std::atomic<int> firsts{0};
        const InterruptNoticesScope notices({[&firsts] { ++firsts; },
                                             [&firsts] {
                                               std::fprintf(stderr, "last words of %s after %d\n",
                                                            interruption_signals_text().c_str(), firsts.load());
                                             }});
        ::raise(SIGINT);
        for (int i = 0; i < 200 && firsts.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ::raise(SIGTERM);
        std::this_thread::sleep_for(std::chrono::seconds(5));
        std::exit(0);
      },
      ::testing::ExitedWithCode(143), "last words of SIGINT, then SIGTERM \\(calls in flight abandoned\\) after 1");
  // Words that hang are cut off: the process ends within the limit all the same.
  EXPECT_EXIT(
      {
        install_interrupt_handlers();
        const InterruptNoticesScope notices({{}, [] { std::this_thread::sleep_for(std::chrono::seconds(30)); }});
        ::raise(SIGTERM);
        ::raise(SIGINT);
        std::this_thread::sleep_for(std::chrono::seconds(10));
        std::exit(0);
      },
      ::testing::ExitedWithCode(130), "");
}

TEST_F(InterruptTest, SleepersWakeAtOnceAndLaterSleepsAreShort) {
  set_time_scale(1);
  std::vector<std::thread> sleepers;
  std::vector<int> completed(3, 1);
  const auto start = Clock::now();
  for (int i = 0; i < 3; ++i)
    sleepers.emplace_back([&, i] { completed[i] = sleep_unless_interrupted(std::chrono::seconds(30)); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  request_interrupt(SIGINT);
  for (auto& t : sleepers) t.join();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(completed, (std::vector<int>{0, 0, 0}));

  // The toolkit's sleep returns within its short pause once interrupted.
  const auto again = Clock::now();
  sleep_for(Seconds(30));
  EXPECT_LT(Clock::now() - again, std::chrono::seconds(1));
}

TEST_F(InterruptTest, WithoutAnInterruptionTheSleepLastsItsDuration) {
  const auto start = Clock::now();
  EXPECT_TRUE(sleep_unless_interrupted(std::chrono::milliseconds(30)));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(30));
}

TEST_F(InterruptTest, TheNoticeNamesTheSignalAndACommandAShellReadsBack) {
  EXPECT_EQ(shellWord("in.json"), "in.json");
  EXPECT_EQ(shellWord("arn:aws:iam::1:role/a-b_c@d"), "arn:aws:iam::1:role/a-b_c@d");
  EXPECT_EQ(shellWord("my backups"), "'my backups'");
  EXPECT_EQ(shellWord(""), "''");
  EXPECT_EQ(shellWord("it's;$HOME"), "'it'\\''s;$HOME'");

  auto sink = std::make_shared<test_support::CaptureHandler>();
  Logger& log = *getLogger("interrupt_test");
  log.addHandler(sink);
  request_interrupt(SIGINT);
  logInterruption(log, "to remove what was made, run", {"probe_deploy", "--revert", "--test_config", "a b.json"});
  logWindingDown(log, {{"RunInstances", 2}, {"DescribeInstances", 1}}, "to remove what was made, run",
                 {"probe_deploy", "--revert"});
  log.removeHandler(sink);
  EXPECT_EQ(callsInFlightText({}), "no call in flight");
  EXPECT_EQ(callsInFlightText({{"RunInstances", 1}}), "1 call in flight (RunInstances)");
  EXPECT_EQ(callsInFlightText({{"RunInstances", 2}}), "2 calls in flight (RunInstances 2)");
  ASSERT_EQ(sink->records().size(), 2u);
  EXPECT_EQ(sink->records()[1].levelno, WARNING);
  EXPECT_EQ(sink->records()[1].message,
            "  **Alert** SIGINT: waiting for 3 calls in flight (RunInstances 2, DescribeInstances 1); a second signal "
            "abandons them; to remove what was made, run: probe_deploy --revert");
  EXPECT_EQ(sink->records()[0].levelno, ERROR);
  EXPECT_EQ(sink->records()[0].message,
            "  **Error** interrupted by SIGINT; to remove what was made, run: probe_deploy --revert --test_config "
            "'a b.json'");
}

}  // namespace
}  // namespace qvn::core
