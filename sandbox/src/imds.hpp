#pragma once
// The sandbox's EC2 instance metadata service, mounted under /latest/ on the
// sandbox's port: IMDSv2 session tokens, the instance identity document, a
// few meta-data items and the instance role's rotating credentials.
//
// Scenario member "metadata": {"mode": "optional" | "required" | "off" |
// "disabled", "instance_id", "instance_type", "image_id",
// "availability_zone", "private_ip", "account_id", "region", "role",
// "credential_lifetime_seconds"}. "required" answers 401 to a request
// without a valid token; "off" answers 404 to everything (no metadata
// service on this host); "disabled" answers 403 (the service switched off
// on the instance).
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "service.hpp"
#include "sts.hpp"

namespace qvn::sandbox {

// What the metadata service answers, without the HTTP around it.
class InstanceMetadata {
 public:
  explicit InstanceMetadata(World& world) : world_(world) {}

  struct Answer {
    int status = 200;
    std::string content_type = "text/plain";
    std::string body;
    Pairs headers;
  };
  // PUT /latest/api/token.
  Answer put_token(const std::optional<std::string>& ttl_header, bool forwarded);
  // GET of `path` (below /latest/), with the token header if one was sent.
  Answer get(const std::string& path, const std::optional<std::string>& token);

 private:
  Json config() const;  // the scenario's "metadata", with defaults filled in
  Answer credentials(const Json& cfg, const std::string& role);

  World& world_;
  std::mutex mutex_;
  std::map<std::string, Clock::time_point> tokens_;  // token -> expiry
  std::optional<TemporaryCredentials> credentials_;
  std::string credentials_role_;
};

}  // namespace qvn::sandbox
