#include "deploy/failure_report.hpp"

#include <atomic>
#include <cstdio>

#include "core/logging.hpp"
#include "core/logsetup.hpp"
#include "deploy/deploy_args.hpp"
#include "lib/run_ending.hpp"

namespace qvn::deploy {

namespace {

std::atomic<core::RunTally*> recording_tally{nullptr};
thread_local std::string worker_subnet;

void noteFailure(const std::string& where, const std::exception& failure) {
  core::RunTally* tally = recording_tally.load();
  if (tally != nullptr) tally->noteFailure(runFailureOf(worker_subnet, where, failure));
}

}  // namespace

std::string failureText(const std::exception& failure) {
  const std::string text = failure.what();
  return text.empty() ? std::string("unknown failure") : text;
}

void reportFailure(const std::string& where, const std::exception& failure) {
  const std::string line = std::string(kDeployProgram) + ": " + where + ": " + failureText(failure);
  const std::string text = line + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
  // The archived log says why a step failed, as the console does.
  recordInLogFiles(line, ERROR);
  noteFailure(where, failure);
}

void logError(const std::string& text) { packageLogger().error("  **Error** " + text); }

void logFailure(const std::string& where, const std::exception& failure) {
  {
    const core::FailureNotedByStep noted;
    logError(where + ": " + failureText(failure));
  }
  noteFailure(where, failure);
}

FailureRecording::FailureRecording(core::RunTally* tally) {
  recording_tally.store(tally);
  if (tally != nullptr) records_.emplace(*tally, [] { return workerSubnet(); });
}

FailureRecording::~FailureRecording() {
  records_.reset();
  recording_tally.store(nullptr);
}

WorkerSubnet::WorkerSubnet(std::string subnet) : previous_(std::move(worker_subnet)) {
  worker_subnet = std::move(subnet);
}

WorkerSubnet::~WorkerSubnet() { worker_subnet = std::move(previous_); }

const std::string& workerSubnet() { return worker_subnet; }

}  // namespace qvn::deploy
