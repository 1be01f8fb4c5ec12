#include "aws/retry.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <set>

#include "aws/text_codec.hpp"
#include "core/clock.hpp"

namespace qvn::aws {
namespace {

constexpr double kMaxBackoff = 20.0;
constexpr double kMinFillRate = 0.5;
constexpr double kLongestPause = 1.0;  // seconds of the limiter's clock
constexpr double kSmoothing = 0.8;
constexpr double kBucketsPerSecond = 2.0;  // the measured rate is sampled every 0.5 s
constexpr double kScale = 0.4;             // CUBIC constants as the SDKs use them
constexpr double kBeta = 0.7;
constexpr double kMaxRateAdjust = 2.0;

double scaled_steady_seconds() {
  static const auto start = std::chrono::steady_clock::now();
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  double scale = core::time_scale();
  return elapsed / std::max(scale, 1e-6);
}

}  // namespace

std::optional<RetryMode> parse_retry_mode(const std::string& text) {
  std::string mode = text::lower(text);
  if (mode == "standard") return RetryMode::Standard;
  if (mode == "adaptive") return RetryMode::Adaptive;
  if (mode == "legacy") return RetryMode::Legacy;
  return std::nullopt;
}

int default_max_attempts(RetryMode mode) { return mode == RetryMode::Legacy ? 5 : 3; }

bool is_throttling_error(long status, const std::string& code) {
  static const std::set<std::string> codes = {"Throttling",
                                              "ThrottlingException",
                                              "ThrottledException",
                                              "RequestThrottledException",
                                              "TooManyRequestsException",
                                              "ProvisionedThroughputExceededException",
                                              "TransactionInProgressException",
                                              "RequestLimitExceeded",
                                              "BandwidthLimitExceeded",
                                              "LimitExceededException",
                                              "RequestThrottled",
                                              "SlowDown",
                                              "PriorRequestNotComplete",
                                              "EC2ThrottledException"};
  return status == 429 || codes.count(code) > 0;
}

bool is_transient_error(long status, const std::string& code) {
  static const std::set<std::string> codes = {"RequestTimeout", "RequestTimeoutException", "PriorRequestNotComplete",
                                              "IDPCommunicationError"};
  return status == 500 || status == 502 || status == 503 || status == 504 || codes.count(code) > 0;
}

bool is_retryable_service_error(long status, const std::string& code) {
  return is_throttling_error(status, code) || is_transient_error(status, code);
}

bool is_expired_credentials_error(const std::string& code) {
  return code == "ExpiredToken" || code == "ExpiredTokenException";
}

double backoff_seconds(int attempts_made, double random01) {
  int exponent = std::clamp(attempts_made - 1, 0, 30);
  return std::min(random01 * std::pow(2.0, exponent), kMaxBackoff);
}

int RetryQuota::acquire(bool timeout) {
  int cost = timeout ? kTimeoutCost : kRetryCost;
  std::lock_guard lock(mutex_);
  if (available_ < cost) return 0;
  available_ -= cost;
  return cost;
}

void RetryQuota::on_success(int cost_of_last_retry) {
  std::lock_guard lock(mutex_);
  available_ = std::min(kCapacity, available_ + (cost_of_last_retry > 0 ? cost_of_last_retry : 1));
}

int RetryQuota::available() const {
  std::lock_guard lock(mutex_);
  return available_;
}

ClientRateLimiter::ClientRateLimiter(Clock clock) : clock_(std::move(clock)) {
  if (!clock_) clock_ = scaled_steady_seconds;
  last_fail_ = now();
  last_bucket_ = std::floor(last_fail_);
}

double ClientRateLimiter::now() const { return clock_(); }

void ClientRateLimiter::refill(double timestamp) {
  if (!last_refill_) {
    last_refill_ = timestamp;
    return;
  }
  const double added = (timestamp - *last_refill_) * fill_rate_;
  refilled_ += added;
  capacity_ = std::min(max_capacity_, capacity_ + added);
  last_refill_ = timestamp;
}

void ClientRateLimiter::set_rate(double rate) {
  fill_rate_ = std::max(rate, kMinFillRate);
  max_capacity_ = std::max(rate, 1.0);
  capacity_ = std::min(capacity_, max_capacity_);
}

double ClientRateLimiter::cubic_zero_point() const { return std::cbrt(w_max_ * (1 - kBeta) / kScale); }

void ClientRateLimiter::before_send() {
  std::unique_lock lock(mutex_);
  if (!enabled_) return;
  refill(now());
  // Take the token now, even on credit: each caller reserves the next free
  // slot, so no caller spins or starves. Its slot comes once the bucket has
  // been refilled by the debt it found; the wait is measured again after
  // every pause, so a send rate that recovers meanwhile shortens it.
  capacity_ -= 1;
  if (capacity_ >= 0) return;
  const double slot = refilled_ - capacity_;
  for (;;) {
    const double wait = (slot - refilled_) / fill_rate_;
    // A remainder below a microsecond is rounding, not a wait.
    if (wait <= 1e-6) return;
    // Pauses of at most a second, so that a faster rate is noticed soon.
    const double pause = std::min(wait, kLongestPause);
    lock.unlock();
    core::sleep_for(core::Seconds(pause));
    lock.lock();
    refill(now());
  }
}

void ClientRateLimiter::after_response(bool throttled) {
  std::lock_guard lock(mutex_);
  double timestamp = now();
  // Smoothed rate of answers, sampled in half-second buckets.
  double bucket = std::floor(timestamp * kBucketsPerSecond) / kBucketsPerSecond;
  ++count_;
  if (bucket > last_bucket_) {
    double current = count_ / (bucket - last_bucket_);
    measured_ = current * kSmoothing + measured_ * (1 - kSmoothing);
    count_ = 0;
    last_bucket_ = bucket;
  }
  double rate;
  if (!throttled) {
    double dt = timestamp - last_fail_;
    rate = kScale * std::pow(dt - cubic_zero_point(), 3) + w_max_;
  } else {
    double base = enabled_ ? std::min(measured_, fill_rate_) : measured_;
    w_max_ = base;
    last_fail_ = timestamp;
    rate = base * kBeta;
    enabled_ = true;
  }
  refill(timestamp);
  set_rate(std::min(rate, kMaxRateAdjust * measured_));
}

bool ClientRateLimiter::enabled() const {
  std::lock_guard lock(mutex_);
  return enabled_;
}

double ClientRateLimiter::send_rate() const {
  std::lock_guard lock(mutex_);
  return fill_rate_;
}

double ClientRateLimiter::measured_rate() const {
  std::lock_guard lock(mutex_);
  return measured_;
}

RequestRateLimiter::RequestRateLimiter(RateCeiling ceiling, Clock clock)
    : ceiling_(ceiling), clock_(std::move(clock)), tokens_(std::max(ceiling.capacity, 1.0)) {
  if (!clock_) clock_ = scaled_steady_seconds;
  ceiling_.capacity = std::max(ceiling_.capacity, 1.0);
  ceiling_.refill_per_second = std::max(ceiling_.refill_per_second, 0.01);
}

double RequestRateLimiter::acquire() {
  double wait = 0;
  {
    std::lock_guard lock(mutex_);
    const double timestamp = clock_();
    if (last_) tokens_ = std::min(ceiling_.capacity, tokens_ + (timestamp - *last_) * ceiling_.refill_per_second);
    last_ = timestamp;
    // Taken on credit: the debt is this caller's place in the queue.
    tokens_ -= 1;
    if (tokens_ < 0) wait = -tokens_ / ceiling_.refill_per_second;
  }
  if (wait > 0) core::sleep_for(core::Seconds(wait));
  return wait;
}

bool is_non_mutating_operation(const std::string& operation) {
  for (const char* prefix : {"Describe", "Get", "List", "Search"})
    if (operation.starts_with(prefix)) return true;
  return false;
}

ClientRateLimiter& RetryState::operation_limiter(const std::string& operation) {
  std::lock_guard lock(mutex_);
  auto& limiter = operation_limiters_[operation];
  if (!limiter) limiter = std::make_unique<ClientRateLimiter>();
  return *limiter;
}

RequestRateLimiter& RetryState::read_ceiling(const RateCeiling& ceiling) {
  std::lock_guard lock(mutex_);
  if (!read_ceiling_) read_ceiling_ = std::make_unique<RequestRateLimiter>(ceiling);
  return *read_ceiling_;
}

}  // namespace qvn::aws
