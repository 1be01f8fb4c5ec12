#include "aws/service_client.hpp"

#include <openssl/evp.h>

#include <fstream>
#include <map>
#include <mutex>
#include <random>

#include "aws/debug_hook.hpp"
#include "aws/errors.hpp"
#include "aws/session.hpp"
#include "aws/sigv4.hpp"
#include "aws/uuid.hpp"
#include "core/clock.hpp"

namespace qvn::aws {
namespace {

constexpr const char* kUserAgent = "quorvane-aws/1.0";
constexpr const char* kEmptyHash = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string form_encode(const std::string& text) {
  std::string out;
  for (char c : text) out += c == ' ' ? std::string("+") : sigv4::uri_encode(std::string(1, c), false);
  return out;
}

std::string lower(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool has_header(const HeaderList& headers, const std::string& name) {
  return !find_header(headers, name).empty();
}

std::string sha256_file_hex(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw TransportError(TransportError::Kind::Local, "cannot read " + path);
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr);
  std::vector<char> buffer(1 << 16);
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    if (in.gcount() > 0) EVP_DigestUpdate(context.get(), buffer.data(), static_cast<size_t>(in.gcount()));
  }
  if (in.bad()) throw TransportError(TransportError::Kind::Local, "cannot read " + path);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(context.get(), digest, &length);
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out.push_back(digits[digest[i] >> 4]);
    out.push_back(digits[digest[i] & 0x0f]);
  }
  return out;
}

struct UrlParts {
  std::string scheme;     // "https"
  std::string authority;  // host[:port], lower case, default port dropped
  std::string base_path;  // "" or "/prefix"
};

UrlParts split_url(const std::string& url) {
  UrlParts parts;
  auto scheme_end = url.find("://");
  parts.scheme = lower(url.substr(0, scheme_end));
  std::string rest = url.substr(scheme_end + 3);
  auto slash = rest.find('/');
  parts.authority = lower(rest.substr(0, slash));
  if (slash != std::string::npos) parts.base_path = rest.substr(slash);
  while (!parts.base_path.empty() && parts.base_path.back() == '/') parts.base_path.pop_back();
  std::string default_port = parts.scheme == "https" ? ":443" : ":80";
  if (parts.authority.ends_with(default_port))
    parts.authority.resize(parts.authority.size() - default_port.size());
  return parts;
}

double random_unit() {
  static thread_local std::mt19937_64 engine{std::random_device{}()};
  return std::uniform_real_distribution<double>(0.0, 1.0)(engine);
}

bool is_region_redirect(const ServiceErrorInfo& info) {
  if (info.bucket_region.empty()) return false;
  return info.status == 301 || info.status == 307 || info.code == "PermanentRedirect" ||
         info.code == "AuthorizationHeaderMalformed" || info.code == "IllegalLocationConstraintException";
}

}  // namespace

std::string OperationResponse::header(const std::string& name) const { return find_header(headers, name); }

struct ServiceClient::Impl {
  std::shared_ptr<Session> session;
  ServiceId service;
  ClientOptions options;
  std::string region;  // the client's region ("aws-global" for IAM/STS without one)
  EndpointSettings settings;
  Endpoint endpoint;
  RetryConfig retry;
  std::shared_ptr<RetryState> retry_state;
  std::mutex bucket_mutex;
  std::map<std::string, Endpoint> bucket_endpoints;  // S3 buckets found in another region

  Impl(std::shared_ptr<Session> s, ServiceId id, ClientOptions o)
      : session(std::move(s)), service(std::move(id)), options(std::move(o)) {
    if (!session) throw ConfigError("a service client needs a session");
    std::optional<std::string> wanted = options.region ? options.region : session->region();
    settings = session->endpoint_settings(service.name);
    if (options.endpoint_url) settings.endpoint_url = checked_endpoint_url(*options.endpoint_url, "endpoint URL");
    endpoint = resolve_endpoint(service.name, wanted, settings);
    region = wanted.value_or("aws-global");
    retry = session->retry_config();
    if (options.adaptive_retries) retry.mode = *options.adaptive_retries ? RetryMode::Adaptive : RetryMode::Standard;
    if (options.max_attempts) {
      if (*options.max_attempts < 1) throw ConfigError("max attempts must be at least 1");
      retry.max_attempts = *options.max_attempts;
    }
    retry_state = session->retry_state(service.name, endpoint.signing_region);
  }

  Endpoint endpoint_for(const std::string& bucket) {
    if (bucket.empty()) return endpoint;
    std::lock_guard lock(bucket_mutex);
    auto found = bucket_endpoints.find(bucket);
    return found == bucket_endpoints.end() ? endpoint : found->second;
  }

  void remember_bucket_region(const std::string& bucket, const std::string& bucket_region) {
    Endpoint moved = resolve_endpoint(service.name, bucket_region, settings);
    std::lock_guard lock(bucket_mutex);
    bucket_endpoints[bucket] = moved;
  }

  std::string body_of(const OperationRequest& request) const {
    if (service.protocol != Protocol::Ec2 && service.protocol != Protocol::Query) return request.body;
    std::string body = "Action=" + form_encode(request.operation) + "&Version=" + form_encode(service.api_version);
    for (const auto& [name, value] : request.form) body += "&" + form_encode(name) + "=" + form_encode(value);
    return body;
  }

  // Builds the wire request of one attempt (signed unless unsigned_requests).
  HttpRequest prepare(const OperationRequest& request, const std::string& body,
                      const std::string& payload_hash, const Endpoint& target,
                      const std::string& invocation_id, int attempt) {
    UrlParts url = split_url(target.url);
    bool s3 = service.protocol == Protocol::RestXml;
    std::string path = request.path;
    if (s3 && !request.bucket.empty()) {
      if (path == "/") path.clear();  // no key: the bucket itself
      bool https = url.scheme == "https";
      bool virtual_host = settings.s3_addressing_style == "virtual" ||
                          (settings.s3_addressing_style == "auto" && !target.custom &&
                           s3_virtual_host_compatible(request.bucket, https));
      if (virtual_host) {
        url.authority = request.bucket + "." + url.authority;
        path = url.base_path + (path.empty() ? "/" : path);
      } else {
        path = url.base_path + "/" + sigv4::uri_encode(request.bucket, false) + path;
      }
    } else {
      path = url.base_path + (path.empty() ? "/" : path);
    }
    std::string query;
    for (const auto& [name, value] : request.query)
      query += (query.empty() ? "" : "&") + sigv4::uri_encode(name, false) + "=" + sigv4::uri_encode(value, false);

    HttpRequest wire;
    wire.method = request.method;
    wire.url = url.scheme + "://" + url.authority + path + (query.empty() ? "" : "?" + query);
    wire.body = body;
    wire.upload_file = request.upload_file;
    wire.download_file = request.download_file;
    if (options.connect_timeout) wire.connect_timeout = *options.connect_timeout;
    if (options.read_timeout) wire.read_timeout = *options.read_timeout;

    wire.headers.emplace_back("Host", url.authority);
    for (const auto& header : request.headers) wire.headers.push_back(header);
    if ((service.protocol == Protocol::Ec2 || service.protocol == Protocol::Query) &&
        !has_header(wire.headers, "Content-Type"))
      wire.headers.emplace_back("Content-Type", "application/x-www-form-urlencoded; charset=utf-8");
    if (service.protocol == Protocol::Json) {
      if (!has_header(wire.headers, "X-Amz-Target"))
        wire.headers.emplace_back("X-Amz-Target", service.target_prefix + "." + request.operation);
      if (!has_header(wire.headers, "Content-Type"))
        wire.headers.emplace_back("Content-Type", "application/x-amz-json-1.1");
    }
    wire.headers.emplace_back("User-Agent", kUserAgent);
    if (!options.unsigned_requests) {
      Credentials credentials = session->credentials();
      sigv4::Scope scope{sigv4::amz_date(std::chrono::system_clock::to_time_t(core::now())),
                         target.signing_region, target.signing_name};
      wire.headers.emplace_back("X-Amz-Date", scope.amz_date);
      if (!credentials.session_token.empty())
        wire.headers.emplace_back("X-Amz-Security-Token", credentials.session_token);
      if (s3 && !has_header(wire.headers, "X-Amz-Content-SHA256"))
        wire.headers.emplace_back("X-Amz-Content-SHA256", payload_hash);
      sigv4::SignableRequest signable{request.method, path, query, wire.headers, payload_hash};
      sigv4::SigningCredentials signing{credentials.access_key_id, credentials.secret_access_key,
                                        credentials.session_token};
      sigv4::SignOptions sign_options;
      sign_options.double_encode_path = !s3;
      wire.headers.emplace_back("Authorization", sigv4::sign(signable, signing, scope, sign_options).authorization);
    }
    wire.headers.emplace_back("amz-sdk-invocation-id", invocation_id);
    wire.headers.emplace_back("amz-sdk-request", "attempt=" + std::to_string(attempt) +
                                                     "; max=" + std::to_string(retry.max_attempts));
    return wire;
  }

  std::string payload_hash_of(const OperationRequest& request, const std::string& body) const {
    if (service.protocol != Protocol::RestXml) return sigv4::sha256_hex(body);
    std::string given = find_header(request.headers, "X-Amz-Content-SHA256");
    if (!given.empty()) return given;
    bool https = split_url(endpoint.url).scheme == "https";
    bool checksummed = has_header(request.headers, "Content-MD5");
    for (const auto& [name, value] : request.headers)
      if (lower(name).starts_with("x-amz-checksum-")) checksummed = true;
    // Over https with a body checksum, S3 payloads go unsigned, as the SDKs send them.
    if (https && checksummed) return "UNSIGNED-PAYLOAD";
    if (!request.upload_file.empty()) return sha256_file_hex(request.upload_file);
    return body.empty() ? kEmptyHash : sigv4::sha256_hex(body);
  }

  std::string describe(const OperationRequest& request) const {
    return service.name + " " + request.operation + " (" + region + ")";
  }

  OperationResponse send(const OperationRequest& request) {
    const std::string body = body_of(request);
    const std::string payload_hash = payload_hash_of(request, body);
    const std::string invocation_id = make_uuid();
    bool adaptive = retry.mode == RetryMode::Adaptive;
    bool redirected = false;
    int retry_cost = 0;
    for (int attempt = 1;; ++attempt) {
      Endpoint target = endpoint_for(request.bucket);
      HttpRequest wire = prepare(request, body, payload_hash, target, invocation_id, attempt);
      if (adaptive) retry_state->limiter.before_send();
      HttpResponse response;
      try {
        response = session->transport()->send(wire);
      } catch (const TransportError& error) {
        // Certificate and local file failures do not heal by themselves.
        bool retryable = error.kind() != TransportError::Kind::Tls && error.kind() != TransportError::Kind::Local;
        if (!retryable || attempt >= retry.max_attempts) throw;
        int cost = retry_state->quota.acquire(error.is_timeout());
        if (cost == 0) throw;
        retry_cost = cost;
        double delay = backoff_seconds(attempt, random_unit());
        debug_event(describe(request) + ": attempt " + std::to_string(attempt) + " failed (" + error.what() +
                    "), retrying in " + std::to_string(delay) + " s");
        core::sleep_for(core::Seconds(delay));
        continue;
      }
      if (response.status >= 200 && response.status < 300) {
        if (adaptive) retry_state->limiter.after_response(false);
        retry_state->quota.on_success(retry_cost);
        return OperationResponse{response.status, std::move(response.headers), std::move(response.body)};
      }
      ServiceErrorInfo info = parse_error_response(service.protocol, response.status, response.headers, response.body);
      if (adaptive) retry_state->limiter.after_response(is_throttling_error(info.status, info.code));
      if (service.protocol == Protocol::RestXml && !request.bucket.empty() && !redirected &&
          !target.custom && is_region_redirect(info) && info.bucket_region != target.signing_region) {
        // The bucket lives in another region: follow it once, without
        // counting an attempt, and remember it for the next calls.
        remember_bucket_region(request.bucket, info.bucket_region);
        debug_event(describe(request) + ": bucket " + request.bucket + " is in " + info.bucket_region +
                    ", following it");
        redirected = true;
        --attempt;
        continue;
      }
      if (is_retryable_service_error(info.status, info.code) && attempt < retry.max_attempts) {
        int cost = retry_state->quota.acquire(false);
        if (cost > 0) {
          retry_cost = cost;
          double delay = backoff_seconds(attempt, random_unit());
          debug_event(describe(request) + ": attempt " + std::to_string(attempt) + " refused (" + info.code +
                      ", HTTP " + std::to_string(info.status) + "), retrying in " + std::to_string(delay) + " s");
          core::sleep_for(core::Seconds(delay));
          continue;
        }
        debug_event(describe(request) + ": retry budget spent, giving up");
      }
      throw ServiceError(std::move(info), service.name, request.operation);
    }
  }
};

ServiceClient::ServiceClient(std::shared_ptr<Session> session, ServiceId service,
                             std::optional<std::string> region) {
  ClientOptions options;
  options.region = std::move(region);
  impl_ = std::make_unique<Impl>(std::move(session), std::move(service), std::move(options));
}

ServiceClient::ServiceClient(std::shared_ptr<Session> session, ServiceId service, ClientOptions options)
    : impl_(std::make_unique<Impl>(std::move(session), std::move(service), std::move(options))) {}

ServiceClient::~ServiceClient() = default;

OperationResponse ServiceClient::send(const OperationRequest& request) { return impl_->send(request); }

const ServiceId& ServiceClient::service() const { return impl_->service; }

const std::string& ServiceClient::region() const { return impl_->region; }

}  // namespace qvn::aws
