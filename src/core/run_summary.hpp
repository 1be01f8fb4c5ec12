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

// Counts per change and kind ("instance", "Elastic IP", ...), and the paths
// a run wants named at its end. Safe to use from several threads.
class RunTally {
 public:
  void add(Change change, const std::string& kind, int count = 1);
  int count(Change change, const std::string& kind) const;
  // The kinds counted for `change`, in the order they were first counted.
  std::vector<std::pair<std::string, int>> counts(Change change) const;
  // Nothing was counted at all.
  bool empty() const;

  // The last path noted under `label` wins; an empty path is not noted.
  void notePath(const std::string& label, const std::string& path);
  std::vector<std::pair<std::string, std::string>> paths() const;

 private:
  mutable std::mutex lock_;
  std::map<Change, std::vector<std::pair<std::string, int>>> counts_;
  std::vector<std::pair<std::string, std::string>> paths_;
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

// The same as one JSON object (members: program, dry_run, exit_status,
// wall_time_seconds, created, adopted, removed, left, written, paths,
// next_command; a dry run has would_create after created, and its created
// holds what it really made), ending with a newline.
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
