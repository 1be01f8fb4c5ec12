#pragma once
// Process-wide run state: the exit status and the run-wide settings.
//
//   qvn::RunOutcome().setStatus(1);          // from any thread
//   return qvn::RunOutcome().getStatus();    // last value set, 0 if none
//   qvn::Globals.dry_run = args.dry_run;     // set once by the main flow
//   throw qvn::ProgramExit{1};               // end the program with status 1
#include <atomic>
#include <string>

namespace qvn {

// Singleton class for tracking the application exit code.
//
// RunOutcome() is a cheap handle on the one process-wide instance: the first
// construction creates it with status 0 (exactly once, even when two threads
// get there first together); later constructions return the same instance and
// change nothing. Two handles compare equal.
class RunOutcome {
 public:
  RunOutcome();

  // 0 until setStatus is called, then the most recent value.
  int getStatus() const;
  // Replaces the status unconditionally: the last call wins.
  void setStatus(int status);

  bool operator==(const RunOutcome& other) const { return instance_ == other.instance_; }

  struct Instance {
    std::atomic<int> status{0};
  };
  // The one instance (same address for every handle).
  const Instance* instance() const { return instance_; }

 private:
  Instance* instance_;
};

// Run-wide settings, assigned by the main flows before worker threads start
// and only read afterwards.
struct RunSettings {
  // Dry run: steps that would change AWS resources or S3 objects only log.
  std::atomic<bool> dry_run{false};
  // Path of the test configuration that the subnet searches write.
  std::string TEST_CONFIG;
};

extern RunSettings Globals;

// "End the program with status N": thrown on the main thread and turned into
// the exit status by main (see exitStatusOf in frame/program_main.hpp). A type
// of its own, not a std::exception: a step's `catch (std::exception&)` never
// takes an exit for a failure.
struct ProgramExit {
  explicit ProgramExit(int code) : status(code) {}
  int status;
};

}  // namespace qvn
