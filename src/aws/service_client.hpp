#pragma once
// The seam between the typed service clients (EC2, IAM, STS, SSM, S3) and the
// machinery that sends a request: endpoint resolution, signing, retries,
// error parsing and the HTTP transport.
//
// Additions by the client machinery (additive only): ClientOptions and the
// ServiceClient constructor taking them (per-client region, endpoint, retry
// overrides, time limits, unsigned requests); errors live in aws/errors.hpp,
// sessions in aws/session.hpp.
//
// A typed client serialises its request into an OperationRequest and hands
// it to an OperationSender (aws/operation.hpp); ServiceClient is the real
// sender. Tests give the typed clients a fake sender.
#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "aws/operation.hpp"
#include "aws/retry.hpp"

namespace qvn::aws {

class Session;

// The calls every ServiceClient of the process is sending right now, by
// operation ("RunInstances", 2), in the order first sent. Retries of one
// call count once.
std::vector<std::pair<std::string, int>> calls_in_flight();

// How many attempts of the last call that this thread sent through a
// ServiceClient went without an answer and were sent again (a reset, a read
// time-out: such an attempt may have been carried out). A caller whose call
// meets what it asked for already ("EntityAlreadyExists", "NotFound") tells
// by it that an earlier attempt of its own did the work.
int unanswered_attempts_of_last_call();

// Per-client settings; every member is optional and falls back to the
// session's (and so to the environment's and profile's) setting.
struct ClientOptions {
  std::optional<std::string> region;
  std::optional<std::string> endpoint_url;  // beats every configured override
  std::optional<int> max_attempts;          // the first attempt included
  std::optional<bool> adaptive_retries;     // true: adaptive mode, false: standard
  // Operations sent in adaptive mode whatever the client's mode, each with a
  // send rate of its own, so that one operation's throttling ("RunInstances")
  // never slows another (the status polls). Shared by the session's clients
  // of the same service and region.
  std::set<std::string> adaptive_operations;
  // A ceiling on the rate of the non-mutating calls (Describe*, Get*, List*,
  // Search*), shared by the session's clients of the same service and region
  // (the first client to set one fixes it), so that a burst of look-ups
  // stays inside the service's own bucket instead of being throttled.
  std::optional<RateCeiling> read_rate_ceiling;
  std::optional<std::chrono::milliseconds> connect_timeout;  // default 10 s
  std::optional<std::chrono::milliseconds> read_timeout;     // default 60 s
  bool unsigned_requests = false;                            // send without credentials (web identity)
};

// The real sender: one per typed client, sharing the session's credentials
// and HTTP connections. Safe to use from many threads at once.
class ServiceClient final : public OperationSender {
 public:
  ServiceClient(std::shared_ptr<Session> session, ServiceId service, std::optional<std::string> region = std::nullopt);
  ServiceClient(std::shared_ptr<Session> session, ServiceId service, ClientOptions options);
  ~ServiceClient() override;
  OperationResponse send(const OperationRequest& request) override;
  const ServiceId& service() const override;
  const std::string& region() const override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qvn::aws
