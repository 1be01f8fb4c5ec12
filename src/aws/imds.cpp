#include "aws/imds.hpp"

#include "aws/endpoints.hpp"
#include "aws/errors.hpp"
#include "aws/text_codec.hpp"

namespace qvn::aws {
namespace {

constexpr int kTokenTtlSeconds = 21600;

std::optional<std::string> setting(const char* variable, const ConfigSection* profile, const char* key) {
  if (auto value = env(variable)) return value;
  if (profile) return profile->get(key);
  return std::nullopt;
}

}  // namespace

ImdsSettings ImdsSettings::from_environment(const ConfigSection* profile) {
  ImdsSettings settings;
  if (auto disabled = env("AWS_EC2_METADATA_DISABLED")) settings.disabled = text::lower(*disabled) == "true";
  if (auto v1 = setting("AWS_EC2_METADATA_V1_DISABLED", profile, "ec2_metadata_v1_disabled"))
    settings.v1_disabled = text::lower(*v1) == "true";
  auto mode = setting("AWS_EC2_METADATA_SERVICE_ENDPOINT_MODE", profile, "ec2_metadata_service_endpoint_mode");
  if (mode && text::lower(*mode) == "ipv6") settings.endpoint = "http://[fd00:ec2::254]";
  if (auto endpoint = setting("AWS_EC2_METADATA_SERVICE_ENDPOINT", profile, "ec2_metadata_service_endpoint"))
    settings.endpoint = checked_endpoint_url(*endpoint, "AWS_EC2_METADATA_SERVICE_ENDPOINT");
  if (auto timeout = setting("AWS_METADATA_SERVICE_TIMEOUT", profile, "metadata_service_timeout")) {
    try {
      double seconds = std::stod(*timeout);
      if (seconds > 0) settings.timeout = std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
    } catch (const std::exception&) {
      throw ConfigError("invalid metadata service timeout \"" + *timeout + "\"");
    }
  }
  if (auto attempts = setting("AWS_METADATA_SERVICE_NUM_ATTEMPTS", profile, "metadata_service_num_attempts")) {
    try {
      settings.attempts = std::max(1, std::stoi(*attempts));
    } catch (const std::exception&) {
      throw ConfigError("invalid metadata service attempts \"" + *attempts + "\"");
    }
  }
  return settings;
}

ImdsClient::ImdsClient(std::shared_ptr<http::HttpTransport> transport, ImdsSettings settings)
    : transport_(transport ? std::move(transport) : http::default_http_transport()), settings_(std::move(settings)) {}

std::optional<std::string> ImdsClient::token(bool renew) {
  std::lock_guard lock(mutex_);
  auto now = std::chrono::steady_clock::now();
  if (!renew && token_ && now < token_expiry_) return token_;
  if (!renew && token_unsupported_) return std::nullopt;
  http::HttpRequest request;
  request.method = "PUT";
  request.url = settings_.endpoint + "/latest/api/token";
  request.headers = {{"x-aws-ec2-metadata-token-ttl-seconds", std::to_string(kTokenTtlSeconds)}};
  request.connect_timeout = settings_.timeout;
  request.read_timeout = settings_.timeout;
  http::HttpResponse response;
  try {
    response = send_http(*transport_, request);
  } catch (const TransportError&) {
    // A hop limit of 1 seen from a container makes the PUT time out: fall
    // back to requests without a token.
    if (settings_.v1_disabled) throw;
    token_unsupported_ = true;
    return std::nullopt;
  }
  if (response.status == 200 && !response.body.empty()) {
    token_ = response.body;
    // Renew a minute before the service forgets it.
    token_expiry_ = now + std::chrono::seconds(kTokenTtlSeconds - 60);
    token_unsupported_ = false;
    return token_;
  }
  if ((response.status == 403 || response.status == 404 || response.status == 405) && !settings_.v1_disabled) {
    token_unsupported_ = true;
    return std::nullopt;
  }
  throw TransportError(TransportError::Kind::Other, "the instance metadata service refused a session token (HTTP " +
                                                        std::to_string(response.status) + ")");
}

http::HttpResponse ImdsClient::get_once(const std::string& path, const std::optional<std::string>& token) {
  http::HttpRequest request;
  request.method = "GET";
  request.url = settings_.endpoint + path;
  if (token) request.headers = {{"x-aws-ec2-metadata-token", *token}};
  request.connect_timeout = settings_.timeout;
  request.read_timeout = settings_.timeout;
  return send_http(*transport_, request);
}

http::HttpResponse ImdsClient::get(const std::string& path) {
  if (settings_.disabled) throw ConfigError("the instance metadata service is disabled (AWS_EC2_METADATA_DISABLED)");
  http::HttpResponse response;
  for (int attempt = 1; attempt <= settings_.attempts; ++attempt) {
    auto current = token(false);
    response = get_once(path, current);
    if (response.status == 401 && current) {
      // The token expired or was revoked: one more try with a fresh one.
      response = get_once(path, token(true));
    }
    if (response.status == 200 && !response.body.empty()) return response;
  }
  return response;
}

std::optional<std::string> ImdsClient::document(const std::string& path) {
  http::HttpResponse response = get(path);
  if (response.status != 200) return std::nullopt;
  return std::move(response.body);
}

http::HttpResponse fetch_imds_document(const std::string& path, std::shared_ptr<http::HttpTransport> transport) {
  ImdsClient client(std::move(transport), ImdsSettings::from_environment());
  return client.get(path);
}

}  // namespace qvn::aws
