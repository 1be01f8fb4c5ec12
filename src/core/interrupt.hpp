#pragma once
// Interruption by SIGINT or SIGTERM, for both programs.
//
// The first signal only records itself (an atomic flag, set by an
// async-signal-safe handler) and wakes every interruptible sleep: new work
// is not started, waits end early, and the AWS calls in flight finish. The
// program then reports the interruption and ends with 128 + the signal
// (130 for SIGINT, 143 for SIGTERM). A second signal ends the process with
// 128 + that signal (_exit: no cleanup, files written by replacement stay
// whole): at once, or, when the program has set its notices, once their
// `second` has written the run's last words.
//
// Notices run on a thread of their own that the handler wakes (the handler
// itself only writes a byte to a pipe): `first` right after the first
// signal, `second` after a second one, bounded by kLastWordsLimit. A
// third signal, or one while no notices are set, ends the process at once.
//
//   core::install_interrupt_handlers();          // main thread, at start
//   if (core::interrupted()) return;             // between steps
//   core::sleep_unless_interrupted(Seconds(5));  // false when woken early
#include <chrono>
#include <functional>
#include <string>

namespace qvn::core {

// How long the last words after a second signal may take.
inline constexpr std::chrono::milliseconds kLastWordsLimit{2000};

struct InterruptNotices {
  std::function<void()> first;
  std::function<void()> second;
};

// Sets the notices until the object goes (it waits for a notice that is
// being told). One at a time.
class InterruptNoticesScope {
 public:
  explicit InterruptNoticesScope(InterruptNotices notices);
  ~InterruptNoticesScope();
  InterruptNoticesScope(const InterruptNoticesScope&) = delete;
  InterruptNoticesScope& operator=(const InterruptNoticesScope&) = delete;
};

// The second signal's number, 0 when none.
int second_interrupt_signal();

// "SIGINT", or "SIGINT, then SIGTERM (calls in flight abandoned)" after a
// second signal.
std::string interruption_signals_text();

// True for the first caller only: the one that writes the run's last lines
// (its closing record and summary). Others must not write them again.
bool claim_run_ending();

// Tells the notices' `first` now unless it was told already (it is told
// once): a run that ends before the notices' thread got to it calls this
// first, so its last lines come after it.
void tell_first_interrupt_notice();

// Installs the handlers for SIGINT and SIGTERM (idempotent).
void install_interrupt_handlers();

// Whether a signal arrived (or request_interrupt was called).
bool interrupted();

// The first signal's number, 0 when none.
int interrupt_signal();

// 128 + interrupt_signal(); 0 when not interrupted.
int interrupted_exit_status();

// "SIGINT", "SIGTERM" or "signal N".
const char* interrupt_signal_name();

// What the handler does for a first signal: record `signal` and wake every
// sleeper. Tests use it in place of a real signal.
void request_interrupt(int signal);

// Forgets an interruption and the claim of the run's ending (tests only).
void reset_interrupt_for_testing();

// Sleeps for `duration` of real time unless interrupted before or during
// it; returns false when it ended because of an interruption.
bool sleep_unless_interrupted(std::chrono::duration<double> duration);

}  // namespace qvn::core
