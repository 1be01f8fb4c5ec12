#include "deploy/worker_fanout.hpp"

#include <exception>
#include <stdexcept>
#include <system_error>

#include "core/interrupt.hpp"
#include "core/logging.hpp"
#include "deploy/failure_report.hpp"

namespace qvn::deploy {

std::thread startThread(std::function<void()> body) { return std::thread(std::move(body)); }

void runGuarded(const WorkerTask& task) {
  const WorkerSubnet subnet(task.subnet);
  try {
    task.work();
  } catch (const std::exception& failure) {
    logFailure(task.label, failure);
  } catch (...) {
    logFailure(task.label, std::runtime_error("unexpected failure"));
  }
}

std::size_t runWorkers(const std::vector<WorkerTask>& tasks, const ThreadStarter& starter) {
  std::vector<std::thread> workers;
  workers.reserve(tasks.size());
  std::vector<const WorkerTask*> inline_tasks;
  std::size_t run = 0;
  for (const WorkerTask& task : tasks) {
    if (core::interrupted()) break;
    try {
      workers.push_back(starter([&task] { runGuarded(task); }));
      ++run;
    } catch (const std::system_error& failure) {
      packageLogger().warning("  **Alert** no thread for " + task.label + " (" + failure.what() + "), run in turn");
      inline_tasks.push_back(&task);
    }
  }
  for (const WorkerTask* task : inline_tasks) {
    if (core::interrupted()) break;
    runGuarded(*task);
    ++run;
  }
  for (std::thread& worker : workers) worker.join();
  return run;
}

}  // namespace qvn::deploy
