#pragma once
// Retry policy of the AWS client: the SDKs' "standard" mode (retry quota,
// capped exponential backoff with jitter) and "adaptive" mode (standard
// plus a client-side send rate that backs off on throttling, CUBIC style).
//
// The quota and the rate limiter live in a RetryState that the session
// shares between every client of the same service and region, so that all
// worker threads of a run draw from one budget and one send rate.
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace qvn::aws {

enum class RetryMode { Standard, Adaptive, Legacy };

struct RetryConfig {
  RetryMode mode = RetryMode::Standard;
  int max_attempts = 3;  // the first attempt included
};

// "standard", "adaptive", "legacy" (case-insensitive); nullopt otherwise.
std::optional<RetryMode> parse_retry_mode(const std::string& text);
// Default attempts of a mode: 3 (standard, adaptive), 5 (legacy).
int default_max_attempts(RetryMode mode);

bool is_throttling_error(long status, const std::string& code);
bool is_transient_error(long status, const std::string& code);
// Whether a refused request may be sent again (throttling or transient).
bool is_retryable_service_error(long status, const std::string& code);
// Whether AWS refused the request's credentials as expired (ExpiredToken,
// ExpiredTokenException): worth one more attempt with fresh ones.
bool is_expired_credentials_error(const std::string& code);

// Seconds to wait before the next attempt, `attempts_made` >= 1:
// random01 * 2^(attempts_made-1), at most 20.
double backoff_seconds(int attempts_made, double random01);

// The SDKs' retry budget: 500 tokens, a retry costs 5 (10 after a time-out),
// a successful retry gives its cost back, a first-try success adds 1.
class RetryQuota {
 public:
  static constexpr int kCapacity = 500;
  static constexpr int kRetryCost = 5;
  static constexpr int kTimeoutCost = 10;

  // Takes the cost of one retry; 0 when the budget is spent (no retry).
  int acquire(bool timeout);
  void on_success(int cost_of_last_retry);
  int available() const;

 private:
  mutable std::mutex mutex_;
  int available_ = kCapacity;
};

// Client-side send rate of the adaptive mode (token bucket with a CUBIC
// rate). Off until the first throttling answer; from then on every send
// takes a token, waiting (through qvn::core::sleep_for) for its turn when
// none is left.
class ClientRateLimiter {
 public:
  // Seconds on a monotonic scale. The default is the steady clock divided
  // by QUORVANE_TIME_SCALE, so that scaled runs keep the same shape.
  using Clock = std::function<double()>;
  explicit ClientRateLimiter(Clock clock = {});

  void before_send();
  void after_response(bool throttled);

  bool enabled() const;
  double send_rate() const;      // tokens per second of the bucket
  double measured_rate() const;  // smoothed rate of answers

 private:
  double now() const;
  void refill(double timestamp);
  void set_rate(double rate);
  double cubic_zero_point() const;

  Clock clock_;
  mutable std::mutex mutex_;
  bool enabled_ = false;
  // Token bucket.
  double fill_rate_ = 0.5;
  double max_capacity_ = 1;
  double capacity_ = 0;
  std::optional<double> last_refill_;
  double refilled_ = 0;  // tokens added since the start, for the reserved slots
  // Measured rate.
  double measured_ = 0;
  double last_bucket_ = 0;
  int count_ = 0;
  // CUBIC.
  double w_max_ = 0.5;
  double last_fail_ = 0;
};

// A ceiling on the rate of a group of requests, below the service's own
// bucket: `capacity` requests at once, then `refill_per_second`.
struct RateCeiling {
  double capacity = 100;
  double refill_per_second = 20;
};

// The token bucket of a RateCeiling, full at the start. Every request takes
// a token, and one that finds none reserves the next and waits for it
// (through qvn::core::sleep_for), so callers go out in the order they came.
class RequestRateLimiter {
 public:
  using Clock = ClientRateLimiter::Clock;
  explicit RequestRateLimiter(RateCeiling ceiling, Clock clock = {});

  // Takes a token, waiting until it is there; returns the seconds waited
  // on the limiter's clock.
  double acquire();
  const RateCeiling& ceiling() const { return ceiling_; }

 private:
  RateCeiling ceiling_;
  Clock clock_;
  std::mutex mutex_;
  double tokens_;
  std::optional<double> last_;
};

// Whether an operation only reads (Describe*, Get*, List*, Search*): EC2
// counts these in one bucket of their own.
bool is_non_mutating_operation(const std::string& operation);

// What the clients of one service and region in a session share.
class RetryState {
 public:
  RetryQuota quota;
  ClientRateLimiter limiter;  // the client's send rate in adaptive mode

  // The send rate of an operation sent in adaptive mode on its own (created
  // on first use), so that its throttling slows no other operation.
  ClientRateLimiter& operation_limiter(const std::string& operation);
  // The ceiling on the non-mutating requests, made by the first client that
  // asks for one; later clients share it whatever they ask.
  RequestRateLimiter& read_ceiling(const RateCeiling& ceiling);

 private:
  std::mutex mutex_;
  std::map<std::string, std::unique_ptr<ClientRateLimiter>> operation_limiters_;
  std::unique_ptr<RequestRateLimiter> read_ceiling_;
};

}  // namespace qvn::aws
