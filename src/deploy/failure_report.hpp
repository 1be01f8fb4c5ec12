#pragma once
// How a deployment step reports a failure: on standard error and in the log
// once each, and in the run's list of failures (the summary's errors), with
// the test subnet of the worker it happened in.
#include <exception>
#include <optional>
#include <string>

#include "core/run_summary.hpp"

namespace qvn::deploy {

// One line "probe_deploy: <where>: <description>" on standard error, written
// whole, and the same in the log files, without an ERROR record (the run's
// status is left to the caller). The description of an AWS refusal names the
// operation and its code; no secret is part of any failure the toolkit raises.
void reportFailure(const std::string& where, const std::exception& failure);

// A step's failure line: one ERROR record "  **Error** <text>" (standard
// error and the log once each; the status becomes 1). Every step writes
// its failure lines through here.
void logError(const std::string& text);

// logError of "<where>: <description>", noted as a failure of `where`.
void logFailure(const std::string& where, const std::exception& failure);

// The failure's own text, as the log shows it after the "**Error**" marker.
std::string failureText(const std::exception& failure);

// While one lives, the failures reported on any thread are noted in `tally`
// (one run of the program at a time), and so is every other ERROR record,
// with the subnet of the worker that logs it.
class FailureRecording {
 public:
  explicit FailureRecording(core::RunTally* tally);
  ~FailureRecording();
  FailureRecording(const FailureRecording&) = delete;
  FailureRecording& operator=(const FailureRecording&) = delete;

 private:
  std::optional<core::ErrorRecordsNoted> records_;
};

// While one lives, failures reported on this thread are noted with the test
// subnet `subnet` (a worker's).
class WorkerSubnet {
 public:
  explicit WorkerSubnet(std::string subnet);
  ~WorkerSubnet();
  WorkerSubnet(const WorkerSubnet&) = delete;
  WorkerSubnet& operator=(const WorkerSubnet&) = delete;

 private:
  std::string previous_;
};

// The test subnet of the worker on this thread; empty outside workers.
const std::string& workerSubnet();

}  // namespace qvn::deploy
