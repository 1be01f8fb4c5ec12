#include "core/run_outcome.hpp"

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <thread>

#include "core/error_status_handler.hpp"
#include "frame/program_main.hpp"

namespace qvn {
namespace {

class RunOutcomeTest : public ::testing::Test {
 protected:
  void TearDown() override {
    RunOutcome().setStatus(0);
    resetLoggingForTesting();
  }
};

TEST_F(RunOutcomeTest, StatusStartsAtZeroAndTheLastSetWins) {
  EXPECT_EQ(RunOutcome().getStatus(), 0);
  RunOutcome().setStatus(2);
  RunOutcome().setStatus(1);
  EXPECT_EQ(RunOutcome().getStatus(), 1) << "a smaller later value still replaces";
  RunOutcome().setStatus(0);
  EXPECT_EQ(RunOutcome().getStatus(), 0) << "0 clears an earlier failure";
  RunOutcome().setStatus(3);
  RunOutcome later;
  EXPECT_EQ(later.getStatus(), 3) << "a later construction does not reset";
  EXPECT_TRUE(later == RunOutcome());
}

TEST_F(RunOutcomeTest, ConcurrentUseSharesOneInstance) {
  constexpr int kThreads = 16;
  std::vector<const RunOutcome::Instance*> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&seen, t] {
      RunOutcome outcome;
      seen[t] = outcome.instance();
      for (int i = 0; i < 1000; ++i) outcome.setStatus(t + 1);
    });
  }
  for (auto& th : threads) th.join();
  std::set<const RunOutcome::Instance*> distinct(seen.begin(), seen.end());
  EXPECT_EQ(distinct.size(), 1u);
  int status = RunOutcome().getStatus();
  EXPECT_GE(status, 1);
  EXPECT_LE(status, kThreads) << "the status is one of the values written";
}

TEST_F(RunOutcomeTest, ErrorRecordsMakeTheRunFail) {
  auto handler = std::make_shared<ErrorStatusHandler>();
  Logger* log = getLogger("status1");
  log->addHandler(handler);
  log->setLevel(DEBUG);
  log->warning("only a warning");
  EXPECT_EQ(RunOutcome().getStatus(), 0);
  log->error("  **Error** something");
  EXPECT_EQ(RunOutcome().getStatus(), 1);

  RunOutcome().setStatus(0);
  handler->setLevel(NOTSET);  // even with a lowered threshold only errors count
  log->info("info");
  EXPECT_EQ(RunOutcome().getStatus(), 0);
  log->critical("critical");
  EXPECT_EQ(RunOutcome().getStatus(), 1);
}

TEST_F(RunOutcomeTest, ErrorsFromWorkerThreadsReachTheStatus) {
  getLogger("status2")->addHandler(std::make_shared<ErrorStatusHandler>());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      if (t == 2) getLogger("status2.worker")->error("worker failed");
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(RunOutcome().getStatus(), 1);
}

TEST_F(RunOutcomeTest, GlobalsStartAsANormalRun) {
  EXPECT_FALSE(Globals.dry_run);
  Globals.dry_run = true;
  EXPECT_TRUE(Globals.dry_run);
  Globals.dry_run = false;
}

TEST(ProgramMainTest, MapsTheFlowOutcomeToTheExitStatus) {
  EXPECT_EQ(exitStatusOf("prog", [] { return 0; }), 0);
  EXPECT_EQ(exitStatusOf("prog", [] { return 4; }), 4);
  EXPECT_EQ(exitStatusOf("prog", []() -> int { throw ProgramExit{2}; }), 2);
  EXPECT_EQ(exitStatusOf("prog", []() -> int { throw ProgramExit{0}; }), 0);

  ::testing::internal::CaptureStderr();
  int status = exitStatusOf("prog", []() -> int { throw std::runtime_error("cannot read x.json"); });
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(status, 1);
  EXPECT_EQ(err, "prog: error: cannot read x.json\n");

  ::testing::internal::CaptureStderr();
  status = exitStatusOf("prog", []() -> int { throw 42; });
  err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(status, 1);
  EXPECT_EQ(err, "prog: error: unexpected failure\n");
}

}  // namespace
}  // namespace qvn
