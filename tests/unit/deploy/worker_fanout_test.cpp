// One worker per subnet: the error boundary, the fallback when no thread can
// be started, and no new worker after an interruption.
#include "deploy/worker_fanout.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <mutex>
#include <set>
#include <stdexcept>
#include <system_error>

#include "core/interrupt.hpp"
#include "core/logging.hpp"
#include "core/run_summary.hpp"
#include "deploy/failure_report.hpp"
#include "unit/core/log_capture.hpp"

namespace qvn::deploy {
namespace {

class WorkerFanoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    core::reset_interrupt_for_testing();
    log.addHandler(sink);
    log.setLevel(DEBUG);
  }
  void TearDown() override {
    log.removeHandler(sink);
    core::reset_interrupt_for_testing();
  }

  std::vector<std::string> errors() const {
    std::vector<std::string> out;
    for (const auto& r : sink->records())
      if (r.levelno == ERROR) out.push_back(r.message);
    return out;
  }

  std::shared_ptr<test_support::CaptureHandler> sink = std::make_shared<test_support::CaptureHandler>();
  Logger& log = *getLogger("quorvane_testlibs");
};

TEST_F(WorkerFanoutTest, EveryTaskRunsOnItsOwnThreadAndAFailureIsNamedWithItsSubnet) {
  std::mutex mutex;
  std::set<std::thread::id> threads;
  std::atomic<int> done{0};
  std::vector<WorkerTask> tasks;
  for (int i = 0; i < 4; ++i) {
    tasks.push_back({"launch in subnet-" + std::to_string(i),
                     [&, i] {
                       {
                         std::lock_guard lock(mutex);
                         threads.insert(std::this_thread::get_id());
                       }
                       if (i == 2) throw std::runtime_error("InvalidNetworkInterfaceID.NotFound");
                       if (i == 3) throw 42;  // not even an exception
                       ++done;
                     },
                     "subnet-" + std::to_string(i)});
  }
  core::RunTally tally;
  const FailureRecording recording(&tally);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(runWorkers(tasks), 4u);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(done.load(), 2);
  EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u) << "no task ran on the calling thread";
  EXPECT_EQ(err.find("launch in subnet-"), std::string::npos) << "told by the ERROR record alone: " << err;
  // The workers fail in whatever order their threads run.
  std::vector<std::string> logged = errors();
  std::sort(logged.begin(), logged.end());
  EXPECT_EQ(logged, (std::vector<std::string>{"  **Error** launch in subnet-2: InvalidNetworkInterfaceID.NotFound",
                                              "  **Error** launch in subnet-3: unexpected failure"}));
  std::vector<std::string> noted;
  for (const core::RunFailure& failure : tally.failures())
    noted.push_back(failure.subnet + " " + failure.step + " " + failure.message);
  std::sort(noted.begin(), noted.end());
  EXPECT_EQ(noted, (std::vector<std::string>{"subnet-2 launch in subnet-2 InvalidNetworkInterfaceID.NotFound",
                                             "subnet-3 launch in subnet-3 unexpected failure"}));
}

TEST_F(WorkerFanoutTest, ATaskWithoutAThreadRunsOnTheCallingThreadAfterTheOthersStarted) {
  std::vector<std::string> order;
  std::mutex mutex;
  std::thread::id inline_thread;
  std::vector<WorkerTask> tasks;
  for (int i = 0; i < 3; ++i) {
    tasks.push_back({"teardown of subnet-" + std::to_string(i), [&, i] {
                       std::lock_guard lock(mutex);
                       order.push_back("subnet-" + std::to_string(i));
                       if (i == 1) inline_thread = std::this_thread::get_id();
                     },
                     "subnet-" + std::to_string(i)});
  }
  int started = 0;
  const ThreadStarter refuseSecond = [&](std::function<void()> body) {
    if (++started == 2) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return std::thread(std::move(body));
  };
  EXPECT_EQ(runWorkers(tasks, refuseSecond), 3u);
  EXPECT_EQ(order.size(), 3u);
  EXPECT_EQ(inline_thread, std::this_thread::get_id());
  EXPECT_TRUE(errors().empty());
  bool alerted = false;
  for (const auto& m : sink->messages())
    alerted = alerted || m.find("no thread for teardown of subnet-1") != std::string::npos;
  EXPECT_TRUE(alerted);

  // No thread at all: every task still runs, in order, on this thread.
  order.clear();
  const ThreadStarter none = [](std::function<void()>) -> std::thread {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  };
  EXPECT_EQ(runWorkers(tasks, none), 3u);
  EXPECT_EQ(order, (std::vector<std::string>{"subnet-0", "subnet-1", "subnet-2"}));
}

TEST_F(WorkerFanoutTest, NoTaskStartsOnceTheRunIsInterrupted) {
  std::atomic<int> ran{0};
  std::vector<WorkerTask> tasks;
  tasks.push_back({"launch in subnet-0", [&] {
                     ++ran;
                     core::request_interrupt(SIGTERM);
                   },
                   "subnet-0"});
  tasks.push_back({"launch in subnet-1", [&] { ++ran; }, "subnet-1"});
  // The first worker interrupts the run before the second can start: the
  // starter runs the first body at once, on the calling thread's behalf.
  const ThreadStarter synchronous = [](std::function<void()> body) {
    body();
    return std::thread([] {});
  };
  EXPECT_EQ(runWorkers(tasks, synchronous), 1u);
  EXPECT_EQ(ran.load(), 1);
  EXPECT_EQ(runWorkers(tasks), 0u);
}

}  // namespace
}  // namespace qvn::deploy
