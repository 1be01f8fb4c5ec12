#include "core/clock.hpp"

#include "core/interrupt.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace qvn::core {
namespace {

// The longest pause once the run is interrupted.
constexpr Seconds kInterruptedPause{0.01};

struct ClockState {
  std::mutex mutex;
  bool scale_known = false;
  double scale = 1.0;
  std::function<void(Seconds)> sleeper;
  std::function<TimePoint()> clock;
};

ClockState& state() {
  static ClockState instance;
  return instance;
}

double scale_from_environment() {
  const char* text = std::getenv("QUORVANE_TIME_SCALE");
  if (text == nullptr || *text == '\0') return 1.0;
  try {
    std::size_t used = 0;
    double value = std::stod(text, &used);
    if (used != std::string(text).size() || !std::isfinite(value) || value < 0) return 1.0;
    return value;
  } catch (const std::exception&) {
    return 1.0;
  }
}

}  // namespace

double time_scale() {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  if (!s.scale_known) {
    s.scale = scale_from_environment();
    s.scale_known = true;
  }
  return s.scale;
}

void set_time_scale(double factor) {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  if (factor < 0) {
    s.scale_known = false;
  } else {
    s.scale = factor;
    s.scale_known = true;
  }
}

void sleep_for(Seconds duration) {
  Seconds scaled = duration * time_scale();
  std::function<void(Seconds)> sleeper;
  {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    sleeper = s.sleeper;
  }
  if (sleeper) {
    sleeper(scaled);
  } else if (scaled.count() > 0) {
    if (!interrupted()) {
      sleep_unless_interrupted(scaled);
    } else {
      // Interrupted: waits end early, yet a loop that sleeps between tries
      // must not spin the processor while it winds down.
      std::this_thread::sleep_for(std::min(scaled, kInterruptedPause));
    }
  }
}

void set_sleep_function(std::function<void(Seconds)> sleeper) {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  s.sleeper = std::move(sleeper);
}

TimePoint now() {
  std::function<TimePoint()> clock;
  {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    clock = s.clock;
  }
  return clock ? clock() : std::chrono::system_clock::now();
}

void set_clock(std::function<TimePoint()> clock) {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  s.clock = std::move(clock);
}

}  // namespace qvn::core
