#pragma once
// The EC2 instance metadata service, with the IMDSv2 session token flow:
// PUT /latest/api/token first; when that is refused (403, 404, 405) or times
// out, fall back to plain GETs as the SDKs do. A 401 on a GET fetches a new
// token once.
//
// Address: AWS_EC2_METADATA_SERVICE_ENDPOINT (or the profile's
// ec2_metadata_service_endpoint), else http://169.254.169.254 (IPv6 with
// AWS_EC2_METADATA_SERVICE_ENDPOINT_MODE=IPv6). AWS_EC2_METADATA_DISABLED=true
// turns it off. Time limit 1 s per request (AWS_METADATA_SERVICE_TIMEOUT),
// 1 attempt (AWS_METADATA_SERVICE_NUM_ATTEMPTS).
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "aws/config_files.hpp"
#include "http/http_transport.hpp"

namespace qvn::aws {

struct ImdsSettings {
  std::string endpoint = "http://169.254.169.254";
  bool disabled = false;
  bool v1_disabled = false;  // AWS_EC2_METADATA_V1_DISABLED: no fallback without a token
  std::chrono::milliseconds timeout{1000};
  int attempts = 1;

  // From the environment, then the profile (may be null).
  static ImdsSettings from_environment(const ConfigSection* profile = nullptr);
};

class ImdsClient {
 public:
  ImdsClient(std::shared_ptr<http::HttpTransport> transport, ImdsSettings settings);

  // GET of a metadata path ("/latest/dynamic/instance-identity/document").
  // Returns the last answer, whatever its status; retries (up to the
  // attempts) on a non-200 answer or an empty body. Throws ConfigError when
  // the service is disabled and TransportError when it cannot be reached.
  http::HttpResponse get(const std::string& path);
  // The body of a metadata path that the service answers with 200 (an empty
  // one included); nullopt for any other answer (no such document, no
  // metadata service behind the address). Throws as get does.
  std::optional<std::string> document(const std::string& path);

  const ImdsSettings& settings() const { return settings_; }

 private:
  std::optional<std::string> token(bool renew);
  http::HttpResponse get_once(const std::string& path, const std::optional<std::string>& token);

  std::shared_ptr<http::HttpTransport> transport_;
  ImdsSettings settings_;
  std::mutex mutex_;
  std::optional<std::string> token_;
  std::chrono::steady_clock::time_point token_expiry_{};
  bool token_unsupported_ = false;
};

// One metadata document (for example the instance identity document) through
// the IMDSv2 flow, with the environment's settings. See ImdsClient::get.
http::HttpResponse fetch_imds_document(const std::string& path,
                                       std::shared_ptr<http::HttpTransport> transport = nullptr);

}  // namespace qvn::aws
