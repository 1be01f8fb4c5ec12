#pragma once
// The closing lines of a run: what it made, took over, removed or left,
// counted per kind, how long it took, how it ended, where its files are and
// what to run next.
//
//   core::RunTally tally;                       // shared by every worker
//   tally.add(core::Change::Created, "instance");
//   tally.notePath("key file", path);
//   core::RunSummary summary{"probe_deploy", dry_run, &tally, ...};
//   for (const auto& line : core::summaryLines(summary)) log.info(line);
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/clock.hpp"
#include "core/logging.hpp"

namespace qvn::core {

// Made: created by a step that does not consult the dry-run setting. In a
// real run it is counted as created; a dry run reports it as created, apart
// from what it would create.
enum class Change { Created, Made, Adopted, Removed, Left, Written };

// One failure of a run: the test subnet it concerns (empty: the whole run),
// the step that failed, the AWS error code (empty: not an AWS refusal) and
// the failure's text.
struct RunFailure {
  std::string subnet;
  std::string step;
  std::string code;
  std::string message;
};

// One resource a run changed, by its id; `subnet` is the test subnet of an
// instance (empty for the shared resources).
struct RunResource {
  std::string kind;
  std::string id;
  std::string subnet;
};

// Counts per change and kind ("instance", "Elastic IP", ...), the ids
// behind them, the failures, the outcome of each test subnet, the S3
// objects written, and the paths a run wants named at its end. Safe to use
// from several threads.
class RunTally {
 public:
  void add(Change change, const std::string& kind, int count = 1);
  // Counts one resource of `kind` and keeps its id.
  void addResource(Change change, const std::string& kind, const std::string& id, const std::string& subnet = "");
  std::vector<RunResource> resources(Change change) const;
  int count(Change change, const std::string& kind) const;
  // The kinds counted for `change`, in the order they were first counted.
  std::vector<std::pair<std::string, int>> counts(Change change) const;
  // Nothing was counted at all.
  bool empty() const;

  // The last path noted under `label` wins; an empty path is not noted.
  void notePath(const std::string& label, const std::string& path);
  std::vector<std::pair<std::string, std::string>> paths() const;

  void noteFailure(const RunFailure& failure);
  std::vector<RunFailure> failures() const;
  // A failure names `subnet`.
  bool failedIn(const std::string& subnet) const;

  // The outcome of one test subnet ("deployed", "failed", ...); the last
  // one noted for a subnet wins. Listed in the order first noted.
  void noteEntry(const std::string& subnet, const std::string& outcome);
  std::vector<std::pair<std::string, std::string>> entries() const;

  // An S3 object written, as "s3://bucket/key".
  void noteS3Object(const std::string& uri);
  std::vector<std::string> s3Objects() const;

 private:
  mutable std::mutex lock_;
  std::map<Change, std::vector<std::pair<std::string, int>>> counts_;
  std::map<Change, std::vector<RunResource>> resources_;
  std::vector<std::pair<std::string, std::string>> paths_;
  std::vector<RunFailure> failures_;
  std::vector<std::pair<std::string, std::string>> entries_;
  std::vector<std::string> s3_objects_;
};

// While one lives, every ERROR record of the package logger is noted in
// `tally` as a failure (its text without the "**Error**" marker; step and
// code unknown), with the test subnet `subnet` gives (none: no subnet),
// unless the step that logs it notes the failure itself (FailureNotedByStep).
class ErrorRecordsNoted {
 public:
  explicit ErrorRecordsNoted(RunTally& tally, std::function<std::string()> subnet = {});
  ~ErrorRecordsNoted();
  ErrorRecordsNoted(const ErrorRecordsNoted&) = delete;
  ErrorRecordsNoted& operator=(const ErrorRecordsNoted&) = delete;

 private:
  HandlerPtr handler_;
};

// While one lives on this thread, its ERROR records are not noted by
// ErrorRecordsNoted: the step notes the failure with its step and code.
class FailureNotedByStep {
 public:
  FailureNotedByStep();
  ~FailureNotedByStep();
  FailureNotedByStep(const FailureNotedByStep&) = delete;
  FailureNotedByStep& operator=(const FailureNotedByStep&) = delete;

 private:
  bool previous_;
};

struct RunSummary {
  std::string program;
  bool dry_run = false;
  const RunTally* tally = nullptr;
  Seconds wall_time{0};
  int exit_status = 0;
  // Shown after the paths, e.g. "to remove what was made, run"; empty: none.
  std::string next_step;
  std::vector<std::string> next_command;
};

// "45 s", "2 min 15 s", "1 h 3 min 5 s" (whole seconds, rounded down).
std::string durationText(Seconds duration);

// "2 instances", "1 key pair", "3 entries".
std::string countText(int count, const std::string& kind);

// One line per change that happened ("created 2 instances, 1 key pair";
// "would create ..." in a dry run, whose real creations come first as
// "created ... (a dry run makes these too)"), then the wall time and exit
// status, the paths and the next command. Each line starts with "<program>: ".
std::vector<std::string> summaryLines(const RunSummary& summary);

// The same as one JSON object, ending with a newline. Members: program,
// dry_run, exit_status, wall_time_seconds (a fraction, to the millisecond),
// the counts per kind created, adopted, removed, left, written (a dry run
// has would_create after created, and its created holds what it really
// made), paths, next_command (null: none), then errors ([{subnet, step,
// code, message}], null for what is not known), resources ({created: {kind:
// [{id, subnet}]}, ...} with the same members as the counts), entries
// ([{subnet, outcome}]) and s3_objects (["s3://..."]). Kinds and path
// labels are keys with "_" for spaces ("Elastic_IP", "key_file").
std::string summaryJson(const RunSummary& summary);

// The file the package logger writes to, or "" before the log is set up.
std::string logFilePath();

// Logs the summary's lines at INFO (console and log file) to `log`.
void logSummary(const RunSummary& summary, Logger& log);

// Runs `run` and hands its status to `summarize` however it ends: its own
// status, a ProgramExit's status, or 1 when it throws. A ProgramExit or an
// exception goes on to the caller after the summary.
int runWithSummary(const std::function<int()>& run, const std::function<void(int status)>& summarize);

// One line "<program>: error: cannot write the summary to <path>: <why>" on
// standard error and in the log files.
void reportSummaryNotWritten(const RunSummary& summary, const std::string& path, const std::string& why);

}  // namespace qvn::core
