#include "server_limits.hpp"

#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <limits>
#include <stdexcept>

#include <httplib.h>

#include "core/clock.hpp"

namespace qvn::sandbox {

// ---- connections -----------------------------------------------------------

void keep_connections_fast(httplib::Server& http) {
  http.set_tcp_nodelay(true);
  http.set_keep_alive_max_count(std::numeric_limits<size_t>::max());
  http.set_keep_alive_timeout(kKeepAliveIdleSeconds);
}

std::vector<PortSocket> sockets_on_port(int port) {
  std::vector<PortSocket> found;
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return found;
  while (dirent* entry = readdir(dir)) {
    const int fd = std::atoi(entry->d_name);
    if (fd <= 2) continue;
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 || addr.sin_family != AF_INET ||
        ntohs(addr.sin_port) != port)
      continue;
    int listening = 0;
    socklen_t optlen = sizeof listening;
    if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &optlen) != 0) continue;
    found.push_back({fd, listening != 0});
  }
  closedir(dir);
  return found;
}

void shut_down_connections(int port) {
  if (port <= 0) return;
  for (const PortSocket& socket : sockets_on_port(port))
    if (!socket.listening) shutdown(socket.fd, SHUT_RDWR);
}

void drop_connection(int port, int remote_port) {
  for (const PortSocket& socket : sockets_on_port(port)) {
    if (socket.listening) continue;
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    if (getpeername(socket.fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0 && ntohs(peer.sin_port) == remote_port)
      shutdown(socket.fd, SHUT_RDWR);
  }
}

namespace {

int default_status(const std::string& code) {
  if (code == "RequestLimitExceeded" || code == "SlowDown" || code == "ServiceUnavailable" || code == "Unavailable")
    return 503;
  if (code == "InternalError" || code == "InternalFailure" || code == "ServiceFailure" || code == "InternalServerError")
    return 500;
  if (code == "Throttling" || code == "ThrottlingException") return 400;
  return 400;
}

}  // namespace

FaultRule parse_fault(const Json& j) {
  if (!j.is_object()) throw std::invalid_argument("a fault is a JSON object");
  FaultRule r;
  r.service = j.value("service", std::string("*"));
  r.operation = j.value("operation", std::string("*"));
  if (j.contains("error")) {
    const Json& e = j["error"];
    if (e.is_string()) {
      r.code = e.get<std::string>();
    } else if (e.is_object() && e.contains("code")) {
      r.code = e["code"].get<std::string>();
      r.message = e.value("message", std::string());
      if (e.contains("status")) r.status = e["status"].get<int>();
    } else {
      throw std::invalid_argument("\"error\" needs a \"code\"");
    }
    if (!e.is_object() || !e.contains("status")) r.status = default_status(*r.code);
    if (r.status < 400 || r.status > 599) throw std::invalid_argument("\"status\" of an error is between 400 and 599");
    if (r.message.empty()) r.message = "Injected fault: " + *r.code;
  }
  if (j.contains("dry_run")) {
    if (!j["dry_run"].is_boolean()) throw std::invalid_argument("\"dry_run\" is true or false");
    r.dry_run = j["dry_run"].get<bool>();
  }
  if (j.contains("drop_answer")) {
    if (!j["drop_answer"].is_boolean()) throw std::invalid_argument("\"drop_answer\" is true or false");
    r.drop_answer = j["drop_answer"].get<bool>();
    if (r.drop_answer && r.code)
      throw std::invalid_argument("a fault answers with an \"error\" or drops the answer (\"drop_answer\"), not both");
  }
  r.probability = j.value("probability", 1.0);
  if (r.probability < 0 || r.probability > 1) throw std::invalid_argument("\"probability\" is between 0 and 1");
  r.remaining = j.value("count", -1);
  if (j.contains("latency_ms")) {
    const Json& l = j["latency_ms"];
    if (l.is_number()) {
      r.latency_min_ms = r.latency_max_ms = l.get<double>();
    } else if (l.is_object()) {
      r.latency_min_ms = l.value("min", 0.0);
      r.latency_max_ms = l.value("max", r.latency_min_ms);
    } else {
      throw std::invalid_argument("\"latency_ms\" is a number or {\"min\", \"max\"}");
    }
    if (r.latency_min_ms < 0 || r.latency_max_ms < r.latency_min_ms)
      throw std::invalid_argument("latency bounds must satisfy 0 <= min <= max");
  }
  if (!r.code && !r.drop_answer && r.latency_max_ms <= 0)
    throw std::invalid_argument("a fault needs an \"error\", a \"drop_answer\" or a \"latency_ms\"");
  return r;
}

Json fault_json(const FaultRule& r) {
  Json j = {{"service", r.service}, {"operation", r.operation}};
  if (r.code) j["error"] = {{"code", *r.code}, {"status", r.status}, {"message", r.message}};
  if (r.drop_answer) j["drop_answer"] = true;
  if (r.dry_run) j["dry_run"] = *r.dry_run;
  j["probability"] = r.probability;
  j["count"] = r.remaining;
  if (r.latency_max_ms > 0) j["latency_ms"] = {{"min", r.latency_min_ms}, {"max", r.latency_max_ms}};
  return j;
}

void FaultInjector::add(FaultRule rule) {
  std::lock_guard lock(mutex_);
  rules_.push_back(std::move(rule));
}

void FaultInjector::clear() {
  std::lock_guard lock(mutex_);
  rules_.clear();
}

std::vector<FaultRule> FaultInjector::rules() const {
  std::lock_guard lock(mutex_);
  return rules_;
}

FaultInjector::Decision FaultInjector::decide(const std::string& service, const std::string& operation,
                                              bool dry_run) {
  std::lock_guard lock(mutex_);
  Decision d;
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (auto& r : rules_) {
    if ((r.service != "*" && r.service != service) || (r.operation != "*" && r.operation != operation) ||
        (r.dry_run && *r.dry_run != dry_run) || r.remaining == 0)
      continue;
    if (r.latency_max_ms > 0) {
      std::uniform_real_distribution<double> pick(r.latency_min_ms, r.latency_max_ms);
      d.latency_ms += r.latency_min_ms == r.latency_max_ms ? r.latency_min_ms : pick(rng_);
      if (!r.code && !r.drop_answer && r.remaining > 0) --r.remaining;
    }
    if (r.code && !d.error && unit(rng_) < r.probability) {
      d.error.emplace(r.status, *r.code, r.message);
      if (r.remaining > 0) --r.remaining;
    } else if (r.drop_answer && !d.error && !d.drop_answer && unit(rng_) < r.probability) {
      d.drop_answer = true;
      if (r.remaining > 0) --r.remaining;
    }
  }
  std::erase_if(rules_, [](const FaultRule& r) { return r.remaining == 0; });
  return d;
}

RateLimiter::RateLimiter() {
  specs_["RunInstances"] = {5, 2};
  specs_["mutating"] = {200, 5};
  specs_["describe"] = {100, 20};
}

std::string RateLimiter::api_class(const std::string& operation) {
  if (operation == "RunInstances") return "RunInstances";
  if (operation.starts_with("Describe") || operation.starts_with("Get") || operation.starts_with("List"))
    return "describe";
  return "mutating";
}

void RateLimiter::configure(const Json& config) {
  if (!config.is_object()) throw std::invalid_argument("rate limits are a JSON object");
  std::lock_guard lock(mutex_);
  // All or nothing: a refused configuration leaves the limits as they were.
  bool enabled = enabled_;
  auto specs = specs_;
  if (config.contains("enabled")) {
    if (!config["enabled"].is_boolean()) throw std::invalid_argument("\"enabled\" is true or false");
    enabled = config["enabled"].get<bool>();
  }
  for (const char* name : {"RunInstances", "mutating", "describe"}) {
    if (!config.contains(name)) continue;
    const Json& b = config[name];
    if (!b.is_object()) throw std::invalid_argument(std::string("\"") + name + "\" is a JSON object");
    for (const char* member : {"burst", "refill_per_second"})
      if (b.contains(member) && !b[member].is_number())
        throw std::invalid_argument(std::string("\"") + member + "\" is a number");
    BucketSpec spec{b.value("burst", specs[name].burst), b.value("refill_per_second", specs[name].refill_per_second)};
    if (spec.burst < 0 || spec.refill_per_second < 0)
      throw std::invalid_argument("bucket sizes and refill rates are not negative");
    specs[name] = spec;
  }
  enabled_ = enabled;
  specs_ = std::move(specs);
  buckets_.clear();
}

Json RateLimiter::config() const {
  std::lock_guard lock(mutex_);
  Json j = {{"enabled", enabled_}};
  for (const auto& [name, spec] : specs_)
    j[name] = {{"burst", spec.burst}, {"refill_per_second", spec.refill_per_second}};
  return j;
}

void RateLimiter::reset() {
  std::lock_guard lock(mutex_);
  enabled_ = false;
  specs_.clear();
  specs_["RunInstances"] = {5, 2};
  specs_["mutating"] = {200, 5};
  specs_["describe"] = {100, 20};
  buckets_.clear();
}

bool RateLimiter::admit(const std::string& service, const std::string& account, const std::string& region,
                        const std::string& operation, Clock::time_point now) {
  if (service != "ec2") return true;
  std::lock_guard lock(mutex_);
  if (!enabled_) return true;
  const std::string cls = api_class(operation);
  const BucketSpec& spec = specs_[cls];
  const std::string key = account + "/" + region + "/" + cls;
  auto [it, fresh] = buckets_.try_emplace(key);
  State& s = it->second;
  if (fresh) {
    s.tokens = spec.burst;
    s.last = now;
  }
  const double scale = core::time_scale();
  const double elapsed = std::chrono::duration<double>(now - s.last).count();
  const double rate = scale > 0 ? spec.refill_per_second / scale : spec.burst;
  s.tokens = std::min(spec.burst, s.tokens + std::max(0.0, elapsed) * rate);
  s.last = now;
  if (s.tokens < 1) return false;
  s.tokens -= 1;
  return true;
}

}  // namespace qvn::sandbox
