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
// it to an OperationSender; ServiceClient is the real sender. Tests give the
// typed clients a fake sender.
#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "aws/retry.hpp"
#include "http/http_transport.hpp"

namespace qvn::aws {

class Session;

enum class Protocol { Ec2, Query, Json, RestXml };

// What a service is on the wire.
struct ServiceId {
  std::string name;  // endpoint prefix and signing name: "ec2", "iam", "sts", "ssm", "s3"
  Protocol protocol;
  std::string api_version;    // "2016-11-15" (empty for S3 and SSM)
  std::string target_prefix;  // JSON protocol: "AmazonSSM"; empty otherwise
};

using HeaderList = http::HeaderList;

struct OperationRequest {
  std::string operation;  // API name: "DescribeSubnets", "GetObject"
  std::string method = "POST";
  std::string path = "/";  // percent-encoded; for S3 the key part only ("/a%2Bb.txt" or "")
  std::string bucket{};    // S3: put in the host or the path by the endpoint rules
  HeaderList query{};      // decoded name/value pairs; the sender encodes them
  // EC2 and query protocols: the decoded form fields after Action and Version
  // ("SubnetId.1" = "subnet-1", ...). The sender writes the body the SDKs'
  // way: Action=<operation>&Version=<api_version>&<fields>, space as '+',
  // everything but A-Z a-z 0-9 - _ . ~ percent-encoded in upper-case hex,
  // and sets the form Content-Type.
  HeaderList form{};
  HeaderList headers{};  // protocol headers: Content-Type, X-Amz-Target, Content-MD5, ...
  std::string body{};
  std::string upload_file{};    // S3: stream the body from this file instead of `body`
  std::string download_file{};  // S3: stream a 2xx body into this file instead of memory
};

struct OperationResponse {
  long status = 0;
  HeaderList headers;
  std::string body;  // empty when streamed to download_file
  // Case-insensitive header look-up; empty when absent.
  std::string header(const std::string& name) const;
};

class OperationSender {
 public:
  virtual ~OperationSender() = default;
  // Sends the request (signed, retried as the SDKs do) and returns a 2xx
  // response. Throws ServiceError for an AWS refusal and TransportError when
  // no answer could be had.
  virtual OperationResponse send(const OperationRequest& request) = 0;
  virtual const ServiceId& service() const = 0;
  // The client's region (the signing region may differ, as for IAM).
  virtual const std::string& region() const = 0;
};

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
