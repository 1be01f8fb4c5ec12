#pragma once
// The one clock and the one sleep of the toolkit.
//
// Every wait (retry backoff, waiter delays, fixed pauses) goes through
// qvn::core::sleep_for, which multiplies the duration by QUORVANE_TIME_SCALE
// (default 1). Tests and the demo set a small factor to run real flows in
// seconds; unit tests can replace the sleep and the clock altogether.
#include <chrono>
#include <functional>

namespace qvn::core {

using Seconds = std::chrono::duration<double>;
using TimePoint = std::chrono::system_clock::time_point;

// The factor read from QUORVANE_TIME_SCALE (a non-negative number; anything
// else, or unset, means 1). Read once, on first use.
double time_scale();

// Overrides the factor (tests); a negative value restores the environment's.
void set_time_scale(double factor);

// Sleeps for `duration` times the time scale, through the installed sleep.
// The real sleep ends early when the run is interrupted (SIGINT, SIGTERM;
// see interrupt.hpp), and once interrupted pauses at most 10 ms.
void sleep_for(Seconds duration);

// Replaces the real sleep; the function receives the already scaled duration.
// An empty function restores the real sleep.
void set_sleep_function(std::function<void(Seconds)> sleeper);

// Wall-clock time, through the installed clock.
TimePoint now();

// Replaces the clock (tests); an empty function restores the system clock.
void set_clock(std::function<TimePoint()> clock);

}  // namespace qvn::core
