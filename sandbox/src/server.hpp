#pragma once
// The sandbox's HTTP server: one port on 127.0.0.1 that answers AWS requests
// (routed by the service in the SigV4 credential scope, signature verified),
// the plain-HTTP stand-ins mounted on it, and the control API under
// /_sandbox/ (state, request log, scenario, reset, faults, holds, rate limits).
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "server_holds.hpp"
#include "server_limits.hpp"
#include "service.hpp"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace qvn::sandbox {

// The request log: what was asked, by whom, and the answer's status. Secrets
// in parameters are replaced by "<redacted>".
class RequestLog {
 public:
  explicit RequestLog(size_t capacity = 20000) : capacity_(capacity) {}
  void add(Json entry);
  Json entries(const std::string& service, const std::string& operation) const;
  size_t size() const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::deque<Json> entries_;
  size_t capacity_;
};

struct ServerOptions {
  int threads = 256;   // connections served at once
  int backlog = 1024;  // pending connections
};

class SandboxServer {
 public:
  explicit SandboxServer(ServerOptions options = {});
  ~SandboxServer();
  SandboxServer(const SandboxServer&) = delete;
  SandboxServer& operator=(const SandboxServer&) = delete;

  void add_service(std::unique_ptr<Service> service);
  // For the plain-HTTP stand-ins; call before start().
  httplib::Server& http();
  World& world() { return world_; }

  // Forgets all state and loads a scenario: keys, every service's part,
  // faults and rate limits. Throws std::exception on a bad scenario; the
  // scenario loaded before is then loaded again, so that no mix of the two
  // is left behind.
  void load_scenario(const Json& scenario);
  // The scenario as loaded, again.
  void reset();

  // Listens on 127.0.0.1 (port 0: a free one) in a background thread; returns the port.
  int start(int port);
  void stop();
  int port() const { return port_; }

  // Answers one AWS request (signature check, faults, rate limits, the
  // service, the request log). The HTTP layer calls it for every request
  // that is not for the control API or a stand-in.
  void serve_aws(const httplib::Request& req, httplib::Response& res);

  RequestLog& log() { return log_; }
  FaultInjector& faults() { return faults_; }
  HoldBoard& holds() { return holds_; }
  RateLimiter& rate_limits() { return limiter_; }

 private:
  bool is_aws_request(const httplib::Request& req) const;
  void mount_control();
  void apply_scenario(const Json& scenario);
  // Refuses (std::invalid_argument) a fault rule naming a service or an
  // operation that the sandbox does not answer: it would never fire.
  FaultRule checked_fault(const Json& rule) const;
  void check_operation(const std::string& service, const std::string& operation) const;
  Json state() const;

  ServerOptions options_;
  std::unique_ptr<httplib::Server> http_;
  World world_;
  std::map<std::string, std::unique_ptr<Service>> services_;
  mutable std::mutex scenario_mutex_;
  RequestLog log_;
  FaultInjector faults_;
  HoldBoard holds_;
  RateLimiter limiter_;
  std::thread listener_;
  int port_ = 0;
};

// The S3 operation of a path-style request ("ListObjectsV2", "PutObject", ...).
std::string s3_operation(const std::string& method, const std::string& path, const Pairs& query);

// Parameters as the request log shows them, with secrets redacted.
Json loggable_parameters(const AwsCall& call);

}  // namespace qvn::sandbox
