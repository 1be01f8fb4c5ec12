#pragma once
// What the sandbox adds to the services' own behaviour: injected faults
// (an error for the next N calls or with a probability, added latency, an
// answer lost after the call was carried out) and
// EC2-like request-rate limits (token buckets per API class, per account and
// region); and how its HTTP layer treats connections.
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "service.hpp"

namespace httplib {
class Server;
}  // namespace httplib

namespace qvn::sandbox {

// ---- connections -----------------------------------------------------------

// How long an idle connection is kept: longer than an HTTP client keeps an
// idle connection in its pool (libcurl: 118 s), so it is the client that
// decides when a connection ends, as with AWS's own endpoints.
inline constexpr int kKeepAliveIdleSeconds = 120;

// Answers at loopback speed: TCP_NODELAY on the listening socket (every
// accepted socket inherits it, so an answer's body never waits for the
// client's delayed ACK of its header) and connections kept alive for any
// number of requests, closed only after kKeepAliveIdleSeconds of silence.
void keep_connections_fast(httplib::Server& http);

// The TCP sockets of this process bound to 127.0.0.1:port: the listening
// socket and the connections it accepted.
struct PortSocket {
  int fd = -1;
  bool listening = false;
};
std::vector<PortSocket> sockets_on_port(int port);

// Ends every connection accepted on `port` (shutdown, both ways): a server
// thread waiting on an idle kept-alive connection wakes up at once, so a
// stop does not wait for the connection's idle time-out.
void shut_down_connections(int port);

// Ends the one connection accepted on `port` from the client's `remote_port`
// (shutdown, both ways), so that its request is never answered: the client
// sees the connection close after it sent the request.
void drop_connection(int port, int remote_port);

struct FaultRule {
  std::string service = "*";    // signing name or "*"
  std::string operation = "*";  // API operation or "*"
  // The error to answer with; none: latency only.
  std::optional<std::string> code;
  int status = 400;
  std::string message;
  double probability = 1.0;  // per matching call
  int remaining = -1;        // calls (or failures) left; -1: no limit
  double latency_min_ms = 0;
  double latency_max_ms = 0;
  // Carry the call out, then close the connection without an answer.
  bool drop_answer = false;
  // Only EC2 calls with (true) or without (false) DryRun; none: every call.
  std::optional<bool> dry_run;
};

// Parses one rule of the control API / scenario form; throws
// std::invalid_argument with a one-line reason.
FaultRule parse_fault(const Json& j);
Json fault_json(const FaultRule& rule);

class FaultInjector {
 public:
  void add(FaultRule rule);
  void clear();
  std::vector<FaultRule> rules() const;
  // What to do with one call: a delay (milliseconds, unscaled) and maybe an
  // error, or else maybe its answer lost after it was carried out.
  struct Decision {
    double latency_ms = 0;
    std::optional<ApiError> error;
    bool drop_answer = false;
  };
  Decision decide(const std::string& service, const std::string& operation, bool dry_run = false);

 private:
  mutable std::mutex mutex_;
  std::vector<FaultRule> rules_;
  std::mt19937_64 rng_{std::random_device{}()};
};

struct BucketSpec {
  double burst = 0;
  double refill_per_second = 0;
};

// EC2's request throttling: RunInstances has a bucket of its own, other
// mutating calls share one and Describe calls share one. Refill rates are
// sandbox seconds, so they speed up with a smaller time scale.
class RateLimiter {
 public:
  RateLimiter();
  // {"enabled": bool, "RunInstances": {"burst": 5, "refill_per_second": 2}, "mutating": ..., "describe": ...}
  void configure(const Json& config);
  Json config() const;
  void reset();
  // False when the caller's bucket for this operation is empty.
  bool admit(const std::string& service, const std::string& account, const std::string& region,
             const std::string& operation, Clock::time_point now);
  static std::string api_class(const std::string& operation);

 private:
  struct State {
    double tokens = 0;
    Clock::time_point last{};
  };
  mutable std::mutex mutex_;
  bool enabled_ = false;
  std::map<std::string, BucketSpec> specs_;
  std::map<std::string, State> buckets_;
};

}  // namespace qvn::sandbox
