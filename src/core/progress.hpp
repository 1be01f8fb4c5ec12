#pragma once
// Progress lines for the waits of a run, told at INFO at most once every
// 15 seconds on the scaled clock (see clock.hpp), so that a long wait is
// never a silent one and many workers waiting at once give one line, not
// one each.
//
//   core::Progress checks(log, "waiting for status checks", "instances ok");
//   checks.begin();          // a worker starts waiting for its instance
//   checks.tick();           // between its polls: a line if one is due
//   checks.end(true);        // its instance passed (false: it gave up)
//   -> "waiting for status checks: 41 of 64 instances ok (2 min 15 s)"
//
//   core::RepeatProgress retries(log);
//   retries.note("retrying throttled ec2 calls (us-east-1)");   // each retry
//   -> "retrying throttled ec2 calls (us-east-1): 12 retries so far (45 s)"
//
// Both are safe to share between threads. No line comes before the
// interval has passed since the wait began, nor sooner than the interval
// after the previous line. The durations are in scaled seconds (the run's
// own time), like every wait of the toolkit; a time scale of 0 counts as 1.
#include <mutex>
#include <optional>
#include <string>

#include "core/clock.hpp"
#include "core/logging.hpp"

namespace qvn::core {

inline constexpr Seconds kProgressInterval{15};

// Seconds on the run's own clock between two wall-clock instants.
Seconds scaledBetween(TimePoint from, TimePoint to);

// Decides when the next line is due: `interval` after the start, then
// `interval` after each line. Not locked: its owner holds the lock.
class LineSchedule {
 public:
  explicit LineSchedule(Seconds interval) : interval_(interval) {}
  void restart(TimePoint start);
  // Whether a line is due at `at`; when it is, `at` becomes the last line.
  bool take(TimePoint at);
  Seconds elapsed(TimePoint at) const;

 private:
  Seconds interval_;
  TimePoint start_{};
  TimePoint last_{};
};

// A wait for a number of things (instances, terminations) that several
// workers share: how many are waited for, how many arrived, how many were
// given up, since when.
class Progress {
 public:
  // `what`: "waiting for status checks"; `done_text`: "instances ok".
  Progress(Logger& log, std::string what, std::string done_text, Seconds interval = kProgressInterval);

  // `count` more are waited for; the first one starts the clock.
  void begin(int count = 1);
  // `count` of them ended: arrived (`reached`) or given up.
  void end(bool reached, int count = 1);
  // Logs the line when one is due and something is still waited for.
  void tick();

  // "waiting for status checks: 41 of 64 instances ok, 1 given up (2 min 15 s)".
  std::string line() const;
  int total() const;
  int done() const;

 private:
  std::string lineLocked(TimePoint at) const;

  Logger& log_;
  const std::string what_;
  const std::string done_text_;
  mutable std::mutex lock_;
  LineSchedule schedule_;
  bool started_ = false;
  int total_ = 0;
  int done_ = 0;
  int given_up_ = 0;
};

// One thing waited for in a Progress (which may be null: then nothing is
// told), for the length of a scope: it counts as given up unless reached()
// was called, so an exception or an interruption is never counted as done.
class Awaited {
 public:
  explicit Awaited(Progress* progress, int count = 1);
  ~Awaited();
  Awaited(const Awaited&) = delete;
  Awaited& operator=(const Awaited&) = delete;

  void tick() const;
  void reached();

 private:
  Progress* progress_;
  int count_;
  bool ended_ = false;
};

// A run of repeated events (retries of calls, attempts that found no
// answer): counted from the first one; when none came for `quiet`, the next
// one starts a new run from zero.
class RepeatProgress {
 public:
  // `unit`: "retries so far".
  explicit RepeatProgress(Logger& log, std::string unit = "retries so far", Seconds interval = kProgressInterval,
                          Seconds quiet = Seconds(60));

  // Counts one event of `what` ("retrying throttled ec2 calls (us-east-1)")
  // and logs the line when one is due.
  void note(const std::string& what);

  // The count of the current run (0 before the first event).
  int count() const;

 private:
  Logger& log_;
  const std::string unit_;
  const Seconds quiet_;
  mutable std::mutex lock_;
  LineSchedule schedule_;
  std::optional<TimePoint> last_event_;
  int count_ = 0;
};

}  // namespace qvn::core
