#pragma once
// One worker thread per test subnet, for the deployment and the teardown
// alike: every worker is started in list order, then every one is joined in
// list order. Each worker is an error boundary: nothing it throws leaves its
// thread; the failure is named with its subnet in one ERROR record
// ("  **Error** <label>: <failure>", on standard error and in the log once
// each), so the exit status shows it, and the other workers go on. Every
// failure reported while a task runs is noted with the task's subnet.
//
// When a thread cannot be started (std::system_error, e.g. under a process
// limit), that task runs on the calling thread once the others are under
// way, instead of ending the process. After an interruption (SIGINT,
// SIGTERM) no further task is started, neither in a thread nor inline.
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace qvn::deploy {

struct WorkerTask {
  // Names the task in failure lines, e.g. "launch in subnet-0a1b".
  std::string label;
  std::function<void()> work;
  // The test subnet the task works for.
  std::string subnet;
};

// Starts a thread running `body`; throws std::system_error when it cannot.
using ThreadStarter = std::function<std::thread(std::function<void()> body)>;

// The real one: std::thread.
std::thread startThread(std::function<void()> body);

// Runs every task (see above). Returns the number of tasks that were run
// (fewer than tasks.size() only after an interruption).
std::size_t runWorkers(const std::vector<WorkerTask>& tasks, const ThreadStarter& starter = startThread);

// The error boundary of one task, on the calling thread.
void runGuarded(const WorkerTask& task);

}  // namespace qvn::deploy
