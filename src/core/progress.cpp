#include "core/progress.hpp"

#include <utility>

#include "core/run_summary.hpp"

namespace qvn::core {

Seconds scaledBetween(TimePoint from, TimePoint to) {
  const double scale = time_scale();
  const Seconds real = std::chrono::duration_cast<Seconds>(to - from);
  return scale > 0 ? real / scale : real;
}

void LineSchedule::restart(TimePoint start) {
  start_ = start;
  last_ = start;
}

bool LineSchedule::take(TimePoint at) {
  if (scaledBetween(last_, at) < interval_) return false;
  last_ = at;
  return true;
}

Seconds LineSchedule::elapsed(TimePoint at) const { return scaledBetween(start_, at); }

Progress::Progress(Logger& log, std::string what, std::string done_text, Seconds interval)
    : log_(log), what_(std::move(what)), done_text_(std::move(done_text)), schedule_(interval) {}

void Progress::begin(int count) {
  std::lock_guard lock(lock_);
  if (!started_) {
    schedule_.restart(now());
    started_ = true;
  }
  total_ += count;
}

void Progress::end(bool reached, int count) {
  std::lock_guard lock(lock_);
  (reached ? done_ : given_up_) += count;
}

void Progress::tick() {
  std::string text;
  {
    std::lock_guard lock(lock_);
    if (!started_ || done_ + given_up_ >= total_) return;
    const TimePoint at = now();
    if (!schedule_.take(at)) return;
    text = lineLocked(at);
  }
  log_.info(text);
}

std::string Progress::line() const {
  std::lock_guard lock(lock_);
  return lineLocked(now());
}

std::string Progress::lineLocked(TimePoint at) const {
  std::string text = what_ + ": " + std::to_string(done_) + " of " + std::to_string(total_) + " " + done_text_;
  if (given_up_ > 0) text += ", " + std::to_string(given_up_) + " given up";
  return text + " (" + durationText(started_ ? schedule_.elapsed(at) : Seconds(0)) + ")";
}

int Progress::total() const {
  std::lock_guard lock(lock_);
  return total_;
}

int Progress::done() const {
  std::lock_guard lock(lock_);
  return done_;
}

Awaited::Awaited(Progress* progress, int count) : progress_(progress), count_(count) {
  if (progress_) progress_->begin(count_);
}

Awaited::~Awaited() {
  if (progress_ && !ended_) progress_->end(false, count_);
}

void Awaited::tick() const {
  if (progress_) progress_->tick();
}

void Awaited::reached() {
  if (!progress_ || ended_) return;
  progress_->end(true, count_);
  ended_ = true;
}

RepeatProgress::RepeatProgress(Logger& log, std::string unit, Seconds interval, Seconds quiet)
    : log_(log), unit_(std::move(unit)), quiet_(quiet), schedule_(interval) {}

void RepeatProgress::note(const std::string& what) {
  std::string text;
  {
    std::lock_guard lock(lock_);
    const TimePoint at = now();
    if (!last_event_ || scaledBetween(*last_event_, at) > quiet_) {
      schedule_.restart(at);
      count_ = 0;
    }
    last_event_ = at;
    ++count_;
    if (!schedule_.take(at)) return;
    text = what + ": " + std::to_string(count_) + " " + unit_ + " (" + durationText(schedule_.elapsed(at)) + ")";
  }
  log_.info(text);
}

int RepeatProgress::count() const {
  std::lock_guard lock(lock_);
  return count_;
}

}  // namespace qvn::core
