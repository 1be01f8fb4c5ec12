#include "aws/service_client.hpp"

#include <mutex>
#include <random>

#include "aws/call_listener.hpp"
#include "aws/debug_hook.hpp"
#include "aws/errors.hpp"
#include "aws/protocol.hpp"
#include "aws/protocol_rest_xml.hpp"
#include "aws/session.hpp"
#include "aws/sigv4.hpp"
#include "aws/text_codec.hpp"
#include "core/clock.hpp"

namespace qvn::aws {
namespace {

constexpr const char* kUserAgent = "quorvane-aws/1.0";

// What unanswered_attempts_of_last_call() tells, per thread.
thread_local int unanswered_in_last_call = 0;

struct UrlParts {
  std::string scheme;     // "https"
  std::string authority;  // host[:port], lower case, default port dropped
  std::string base_path;  // "" or "/prefix"
};

UrlParts split_url(const std::string& url) {
  UrlParts parts;
  auto scheme_end = url.find("://");
  parts.scheme = text::lower(url.substr(0, scheme_end));
  std::string rest = url.substr(scheme_end + 3);
  auto slash = rest.find('/');
  parts.authority = text::lower(rest.substr(0, slash));
  if (slash != std::string::npos) parts.base_path = rest.substr(slash);
  while (!parts.base_path.empty() && parts.base_path.back() == '/') parts.base_path.pop_back();
  std::string default_port = parts.scheme == "https" ? ":443" : ":80";
  if (parts.authority.ends_with(default_port)) parts.authority.resize(parts.authority.size() - default_port.size());
  return parts;
}

double random_unit() {
  static thread_local std::mt19937_64 engine{std::random_device{}()};
  return std::uniform_real_distribution<double>(0.0, 1.0)(engine);
}

}  // namespace

struct ServiceClient::Impl {
  std::shared_ptr<Session> session;
  ServiceId service;
  ClientOptions options;
  std::string region;  // the client's region ("aws-global" for IAM/STS without one)
  EndpointSettings settings;
  Endpoint endpoint;
  RetryConfig retry;
  std::shared_ptr<RetryState> retry_state;

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

  // S3: a bucket found in another region is reached there, by every client
  // of the session; anything else goes to the client's endpoint.
  Endpoint endpoint_for(const std::string& bucket) const {
    if (bucket.empty()) return endpoint;
    const std::optional<std::string> moved = session->bucket_region(bucket);
    return moved ? resolve_endpoint(service.name, *moved, settings) : endpoint;
  }

  // Resolve: the host and path of one attempt, and its query string.
  rest_xml::Address address_of(const OperationRequest& request, const Endpoint& target) const {
    const UrlParts url = split_url(target.url);
    if (service.protocol == Protocol::RestXml)
      return rest_xml::address(request, url.authority, url.base_path, url.scheme == "https", target,
                               settings.s3_addressing_style);
    return {url.authority, url.base_path + (request.path.empty() ? "/" : request.path)};
  }

  static std::string query_of(const OperationRequest& request) {
    std::string query;
    for (const auto& [name, value] : request.query)
      query +=
          (query.empty() ? "" : "&") + text::percent_encode(name, false) + "=" + text::percent_encode(value, false);
    return query;
  }

  // The wire request of one attempt: resolved, with the protocol's headers,
  // signed unless unsigned_requests.
  http::HttpRequest prepare(const OperationRequest& request, const std::string& body, const std::string& payload_hash,
                            const Endpoint& target, const std::string& invocation_id, int attempt,
                            std::optional<Credentials>* signed_with = nullptr) {
    const rest_xml::Address address = address_of(request, target);
    const std::string query = query_of(request);
    http::HttpRequest wire;
    wire.method = request.method;
    wire.url =
        split_url(target.url).scheme + "://" + address.authority + address.path + (query.empty() ? "" : "?" + query);
    wire.body = body;
    wire.upload_file = request.upload_file;
    wire.download_file = request.download_file;
    if (options.connect_timeout) wire.connect_timeout = *options.connect_timeout;
    if (options.read_timeout) wire.read_timeout = *options.read_timeout;

    wire.headers.emplace_back("Host", address.authority);
    for (const auto& header : request.headers) wire.headers.push_back(header);
    add_protocol_headers(service, request, wire.headers);
    wire.headers.emplace_back("User-Agent", kUserAgent);
    if (!options.unsigned_requests) {
      Credentials credentials = session->credentials();
      if (signed_with) *signed_with = credentials;
      sign(wire, address.path, query, payload_hash, target, credentials);
    }
    wire.headers.emplace_back("amz-sdk-invocation-id", invocation_id);
    wire.headers.emplace_back("amz-sdk-request",
                              "attempt=" + std::to_string(attempt) + "; max=" + std::to_string(retry.max_attempts));
    return wire;
  }

  // Sign: the date, the session token and (S3) the payload's hash as
  // headers, then SigV4's Authorization over them.
  void sign(http::HttpRequest& wire, const std::string& path, const std::string& query, const std::string& payload_hash,
            const Endpoint& target, const Credentials& credentials) const {
    const bool s3 = service.protocol == Protocol::RestXml;
    sigv4::Scope scope{sigv4::amz_date(std::chrono::system_clock::to_time_t(core::now())), target.signing_region,
                       target.signing_name};
    wire.headers.emplace_back("X-Amz-Date", scope.amz_date);
    if (!credentials.session_token.empty())
      wire.headers.emplace_back("X-Amz-Security-Token", credentials.session_token);
    if (s3 && http::find_header(wire.headers, "X-Amz-Content-SHA256").empty())
      wire.headers.emplace_back("X-Amz-Content-SHA256", payload_hash);
    sigv4::SignableRequest signable{wire.method, path, query, wire.headers, payload_hash};
    sigv4::SigningCredentials signing{credentials.access_key_id, credentials.secret_access_key,
                                      credentials.session_token};
    sigv4::SignOptions sign_options;
    sign_options.double_encode_path = !s3;
    wire.headers.emplace_back("Authorization", sigv4::sign(signable, signing, scope, sign_options).authorization);
  }

  std::string payload_hash_of(const OperationRequest& request, const std::string& body) const {
    if (service.protocol != Protocol::RestXml) return text::sha256_hex(body);
    return rest_xml::payload_hash(request, body, split_url(endpoint.url).scheme == "https");
  }

  std::string describe(const OperationRequest& request) const {
    return service.name + " " + request.operation + " (" + region + ")";
  }

  CallEvent event_of(const OperationRequest& request) const { return {service.name, region, request.operation}; }
  CallListener* listener() const { return session->listener().get(); }

  // What one call carries from one attempt to the next.
  struct Call {
    const OperationRequest& request;
    std::string body;
    std::string payload_hash;
    std::string invocation_id;
    int attempt = 1;
    int retry_cost = 0;  // what the last retry took from the budget
    bool redirected = false;
    std::optional<Credentials> signed_with{};  // the credentials of the last attempt
    bool renewed_credentials = false;
    int unanswered = 0;  // attempts sent again after no answer
  };

  // The send rate an operation waits for: its own when it is sent in
  // adaptive mode by itself, the client's in adaptive mode, none otherwise.
  ClientRateLimiter* send_rate_of(const std::string& operation) const {
    if (options.adaptive_operations.contains(operation)) return &retry_state->operation_limiter(operation);
    return retry.mode == RetryMode::Adaptive ? &retry_state->limiter : nullptr;
  }

  RequestRateLimiter* ceiling_of(const std::string& operation) const {
    if (!options.read_rate_ceiling || !is_non_mutating_operation(operation)) return nullptr;
    return &retry_state->read_ceiling(*options.read_rate_ceiling);
  }

  OperationResponse send(const OperationRequest& request) {
    Call call{request, wire_body(service, request), "", text::uuid4()};
    // Told when the call ends, answered or not (a call made while this one
    // is prepared, for credentials, tells its own before).
    struct TellUnanswered {
      const Call& call;
      ~TellUnanswered() { unanswered_in_last_call = call.unanswered; }
    } tell{call};
    call.payload_hash = payload_hash_of(request, call.body);
    ClientRateLimiter* send_rate = send_rate_of(request.operation);
    RequestRateLimiter* ceiling = ceiling_of(request.operation);
    for (;; ++call.attempt) {
      const Endpoint target = endpoint_for(request.bucket);
      if (send_rate) send_rate->before_send();
      if (ceiling) ceiling->acquire();
      // Signed after the waits, so that a long wait never sends a stale date.
      const http::HttpRequest wire =
          prepare(request, call.body, call.payload_hash, target, call.invocation_id, call.attempt, &call.signed_with);
      std::optional<http::HttpResponse> response = send_attempt(call, wire);
      if (!response) continue;  // a transport failure worth another attempt
      if (response->status >= 200 && response->status < 300) {
        if (send_rate) send_rate->after_response(false);
        retry_state->quota.on_success(call.retry_cost);
        return OperationResponse{response->status, std::move(response->headers), std::move(response->body)};
      }
      ServiceErrorInfo info =
          parse_error_response(service.protocol, response->status, response->headers, response->body);
      if (send_rate) send_rate->after_response(is_throttling_error(info.status, info.code));
      if (follow_region_redirect(call, target, info)) {
        --call.attempt;  // a redirect is not an attempt of its own
        continue;
      }
      if (renew_expired_credentials(call, info)) {
        --call.attempt;  // nor is a signature with fresh credentials
        continue;
      }
      if (retry_refusal(call, info)) continue;
      throw ServiceError(std::move(info), service.name, request.operation);
    }
  }

  // One attempt over the wire. A transport failure that may heal is waited
  // out and answered with nullopt; any other, or the last, is thrown naming
  // the endpoint that did not answer.
  std::optional<http::HttpResponse> send_attempt(Call& call, const http::HttpRequest& wire) {
    try {
      return send_http(*session->transport(), wire);
    } catch (const TransportError& error) {
      // Certificate and local file failures do not heal by themselves.
      const bool heals = error.kind() != TransportError::Kind::Tls && error.kind() != TransportError::Kind::Local;
      if (!heals) throw;
      const int cost = call.attempt < retry.max_attempts ? retry_state->quota.acquire(error.is_timeout()) : 0;
      if (cost == 0) throw unreachable(call, wire, error);
      call.retry_cost = cost;
      ++call.unanswered;
      RetryEvent retry;
      retry.host = split_url(wire.url).authority;
      retry.reason = error.what();
      back_off(call, retry);
      return std::nullopt;
    }
  }

  // The endpoint named as the one that did not answer, with what the
  // transport saw, so that the caller's message says where the call failed.
  TransportError unreachable(const Call& call, const http::HttpRequest& wire, const TransportError& error) const {
    if (error.kind() != TransportError::Kind::Connect && error.kind() != TransportError::Kind::Timeout &&
        error.kind() != TransportError::Kind::Other)
      return error;
    const std::string attempts = call.attempt == 1 ? "1 attempt" : std::to_string(call.attempt) + " attempts";
    return TransportError(error.kind(), service.name + " " + call.request.operation + ": the endpoint " +
                                            split_url(wire.url).authority + " did not answer (" + error.what() + "; " +
                                            attempts + ")");
  }

  // S3 names the region of a bucket that lives elsewhere (301
  // PermanentRedirect, 400 AuthorizationHeaderMalformed or
  // IllegalLocationConstraintException): the request is signed for that
  // region and sent once more, and the region is remembered for the session.
  bool follow_region_redirect(Call& call, const Endpoint& target, ServiceErrorInfo& info) {
    const OperationRequest& request = call.request;
    if (service.protocol != Protocol::RestXml || request.bucket.empty() || call.redirected) return false;
    if (!rest_xml::is_region_redirect(info)) return false;
    if (info.bucket_region.empty()) info.bucket_region = probe_bucket_region(call, target);
    if (info.bucket_region.empty() || info.bucket_region == target.signing_region) return false;
    session->remember_bucket_region(request.bucket, info.bucket_region);
    debug_event(describe(request) + ": bucket " + request.bucket + " is in " + info.bucket_region + ", following it");
    if (CallListener* told = listener()) told->bucket_moved(event_of(request), request.bucket, info.bucket_region);
    call.redirected = true;
    return true;
  }

  // A redirect that does not name the region (some answers to HEAD, some
  // compatible services): S3 names it in the x-amz-bucket-region header of
  // a HEAD of the bucket, whatever that answer's status.
  std::string probe_bucket_region(const Call& call, const Endpoint& target) {
    OperationRequest head;
    head.operation = "HeadBucket";
    head.method = "HEAD";
    head.path = "";
    head.bucket = call.request.bucket;
    try {
      const http::HttpRequest wire =
          prepare(head, "", rest_xml::kEmptyPayloadHash, target, call.invocation_id, call.attempt);
      return http::find_header(send_http(*session->transport(), wire).headers, "x-amz-bucket-region");
    } catch (const TransportError&) {
      return "";
    }
  }

  // Credentials that AWS calls expired (they ran out sooner than stated,
  // or the clocks disagree) are dropped by the session's source, and the
  // request is signed once more with fresh ones, as the SDKs do.
  bool renew_expired_credentials(Call& call, const ServiceErrorInfo& info) {
    if (call.renewed_credentials || !call.signed_with || !is_expired_credentials_error(info.code)) return false;
    if (!session->credentials_provider()->expire(*call.signed_with)) return false;
    call.renewed_credentials = true;
    debug_event(describe(call.request) + ": " + info.code + ", signing again with fresh credentials");
    if (CallListener* told = listener()) told->credentials_renewed(event_of(call.request), info.code);
    return true;
  }

  // A refusal that may pass (throttling, a transient error) is waited out
  // while attempts and the retry budget last.
  bool retry_refusal(Call& call, const ServiceErrorInfo& info) {
    if (!is_retryable_service_error(info.status, info.code) || call.attempt >= retry.max_attempts) return false;
    const int cost = retry_state->quota.acquire(false);
    if (cost == 0) {
      debug_event(describe(call.request) + ": retry budget spent, giving up");
      return false;
    }
    call.retry_cost = cost;
    RetryEvent retry;
    retry.answered = true;
    retry.status = info.status;
    retry.code = info.code;
    retry.reason = info.code + ", HTTP " + std::to_string(info.status);
    back_off(call, retry);
    return true;
  }

  // Tells the retry (the debug hook, the session's listener) and sleeps
  // before the next attempt.
  void back_off(const Call& call, RetryEvent retry) {
    retry.attempt = call.attempt;
    retry.delay_seconds = backoff_seconds(call.attempt, random_unit());
    const char* outcome = retry.answered ? "refused" : "failed";
    debug_event(describe(call.request) + ": attempt " + std::to_string(call.attempt) + " " + outcome + " (" +
                retry.reason + "), retrying in " + std::to_string(retry.delay_seconds) + " s");
    if (CallListener* told = listener()) told->retrying(event_of(call.request), retry);
    core::sleep_for(core::Seconds(retry.delay_seconds));
  }
};

ServiceClient::ServiceClient(std::shared_ptr<Session> session, ServiceId service, std::optional<std::string> region) {
  ClientOptions options;
  options.region = std::move(region);
  impl_ = std::make_unique<Impl>(std::move(session), std::move(service), std::move(options));
}

ServiceClient::ServiceClient(std::shared_ptr<Session> session, ServiceId service, ClientOptions options)
    : impl_(std::make_unique<Impl>(std::move(session), std::move(service), std::move(options))) {}

ServiceClient::~ServiceClient() = default;

namespace {

struct InFlight {
  std::mutex lock;
  std::vector<std::pair<std::string, int>> calls;
};

InFlight& inFlight() {
  static InFlight registry;
  return registry;
}

// Counts one call of `operation` as in flight while it lives.
class CallInFlight {
 public:
  explicit CallInFlight(const std::string& operation) : operation_(operation) { change(+1); }
  ~CallInFlight() { change(-1); }
  CallInFlight(const CallInFlight&) = delete;
  CallInFlight& operator=(const CallInFlight&) = delete;

 private:
  void change(int by) {
    InFlight& registry = inFlight();
    std::lock_guard<std::mutex> hold(registry.lock);
    for (auto& [name, count] : registry.calls) {
      if (name != operation_) continue;
      count += by;
      return;
    }
    registry.calls.emplace_back(operation_, by);
  }
  std::string operation_;
};

}  // namespace

int unanswered_attempts_of_last_call() { return unanswered_in_last_call; }

std::vector<std::pair<std::string, int>> calls_in_flight() {
  InFlight& registry = inFlight();
  std::lock_guard<std::mutex> hold(registry.lock);
  std::vector<std::pair<std::string, int>> now;
  for (const auto& call : registry.calls)
    if (call.second > 0) now.push_back(call);
  return now;
}

OperationResponse ServiceClient::send(const OperationRequest& request) {
  const CallInFlight counted(request.operation);
  return impl_->send(request);
}

const ServiceId& ServiceClient::service() const { return impl_->service; }

const std::string& ServiceClient::region() const { return impl_->region; }

}  // namespace qvn::aws
