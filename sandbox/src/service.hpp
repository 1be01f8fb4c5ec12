#pragma once
// What every stand-in service of the sandbox implements, and the state the
// services share (the world): accounts and their keys, and the few facts one
// service asks of another.
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace qvn::sandbox {

using Json = nlohmann::ordered_json;
using Pairs = std::vector<std::pair<std::string, std::string>>;
using Clock = std::chrono::system_clock;

// One AWS request, after routing and the signature check.
struct AwsCall {
  std::string service;     // signing name from the credential scope: ec2, iam, sts, ssm, s3
  std::string region;      // region from the credential scope
  std::string access_key;  // the caller's access key id
  std::string account_id;  // the account that key belongs to
  std::string caller_arn;  // the caller's identity (user or assumed-role ARN)
  std::string method;
  std::string path;                            // decoded path, without the query
  std::string raw_path;                        // the path as sent
  Pairs query;                                 // decoded query parameters, in order
  std::map<std::string, std::string> headers;  // lower-case names
  std::string body;
  Pairs form;             // decoded form body (EC2, IAM, STS)
  std::string operation;  // Action, the X-Amz-Target operation, or the S3 operation name
  std::string request_id;

  // First form field (or query parameter) of that name; empty when absent.
  std::string param(const std::string& name) const {
    for (const auto& [k, v] : form)
      if (k == name) return v;
    for (const auto& [k, v] : query)
      if (k == name) return v;
    return {};
  }
  bool has_param(const std::string& name) const {
    for (const auto& [k, v] : form)
      if (k == name) return true;
    for (const auto& [k, v] : query)
      if (k == name) return true;
    return false;
  }
};

struct AwsReply {
  int status = 200;
  std::string content_type = "text/xml";
  Pairs headers;
  std::string body;
};

// An AWS refusal; each service renders it in its protocol's error format.
struct ApiError : std::runtime_error {
  int status;
  std::string code;
  ApiError(int http_status, std::string error_code, const std::string& message)
      : std::runtime_error(message), status(http_status), code(std::move(error_code)) {}
};

// The query protocol's (IAM, STS) refusal of a malformed parameter.
inline ApiError validation(const std::string& message) { return ApiError(400, "ValidationError", message); }

// ASCII letters in lower case (header names, flags); other bytes as they are.
inline std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return s;
}

// A key the sandbox accepts: the scenario's long-term keys and the temporary
// credentials its STS issues.
struct Identity {
  std::string access_key;
  std::string secret_key;
  std::string session_token;  // empty for long-term keys
  std::string account_id;
  std::string arn;
  std::optional<Clock::time_point> expires;
};

class KeyRegistry {
 public:
  void add(Identity identity) {
    std::lock_guard lock(mutex_);
    keys_[identity.access_key] = std::move(identity);
  }
  std::optional<Identity> find(const std::string& access_key) const {
    std::lock_guard lock(mutex_);
    auto it = keys_.find(access_key);
    if (it == keys_.end()) return std::nullopt;
    return it->second;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    keys_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, Identity> keys_;
};

// What EC2 asks of IAM when a launch names an instance profile.
class InstanceProfileDirectory {
 public:
  virtual ~InstanceProfileDirectory() = default;
  // When the account's instance profile of that name was created; nullopt if none.
  virtual std::optional<Clock::time_point> instance_profile_created(const std::string& account_id,
                                                                    const std::string& name) const = 0;
};

class World;

// One stand-in AWS service (its state, its operations, its error format).
class Service {
 public:
  virtual ~Service() = default;
  virtual std::string name() const = 0;  // "ec2"
  // Answers one call; throws ApiError for AWS's refusals.
  virtual AwsReply handle(const AwsCall& call) = 0;
  // The refusal in this service's wire format (EC2 Response/Errors/Error,
  // query ErrorResponse/Error, S3 Error, JSON __type).
  virtual AwsReply render_error(const ApiError& error, const std::string& request_id) const = 0;
  // Forgets everything and loads the service's part of a scenario.
  virtual void load(const Json& scenario, World& world) = 0;
  // The service's state, for the control API.
  virtual Json dump() const = 0;
  // Whether the service answers this operation (fault rules naming another
  // one are refused). Services that do not say accept every name.
  virtual bool has_operation(const std::string& operation) const {
    (void)operation;
    return true;
  }
};

// Shared by all services of one sandbox.
class World {
 public:
  KeyRegistry keys;
  Json scenario;                                       // the scenario as loaded; written only through set_scenario
  const InstanceProfileDirectory* profiles = nullptr;  // set by the IAM service

  // A scenario may be loaded while requests are answered: readers outside
  // the server's own lock take a copy, or one text member, under this lock.
  void set_scenario(Json loaded) {
    std::lock_guard lock(scenario_mutex_);
    scenario = std::move(loaded);
  }
  Json scenario_snapshot() const {
    std::lock_guard lock(scenario_mutex_);
    return scenario;
  }
  std::string scenario_text(const std::string& member, const std::string& fallback) const {
    std::lock_guard lock(scenario_mutex_);
    return scenario.value(member, fallback);
  }

 private:
  mutable std::mutex scenario_mutex_;
};

}  // namespace qvn::sandbox
