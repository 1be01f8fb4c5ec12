#pragma once
// Interruption by SIGINT or SIGTERM, for both programs.
//
// The first signal only records itself (an atomic flag, set by an
// async-signal-safe handler) and wakes every interruptible sleep: new work
// is not started, waits end early, and the AWS calls in flight finish. The
// program then reports the interruption and ends with 128 + the signal
// (130 for SIGINT, 143 for SIGTERM). A second signal ends the process at
// once with 128 + that signal (_exit: no cleanup, files written by
// replacement stay whole).
//
//   core::install_interrupt_handlers();          // main thread, at start
//   if (core::interrupted()) return;             // between steps
//   core::sleep_unless_interrupted(Seconds(5));  // false when woken early
#include <chrono>

namespace qvn::core {

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

// Forgets an interruption (tests only).
void reset_interrupt_for_testing();

// Sleeps for `duration` of real time unless interrupted before or during
// it; returns false when it ended because of an interruption.
bool sleep_unless_interrupted(std::chrono::duration<double> duration);

}  // namespace qvn::core
