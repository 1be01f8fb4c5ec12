#include "lib/qvn_https.hpp"

#include <cstdlib>
#include <mutex>

#include "aws/text_codec.hpp"
#include "core/logging.hpp"
#include "http/transport_error.hpp"

namespace qvn {

namespace {

constexpr const char* kLogger = "quorvane_testlibs.bin.lib.qvn_https";

std::mutex transport_mutex;
std::shared_ptr<http::HttpTransport> chosen_transport;

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::shared_ptr<http::HttpTransport> controllerTransport() {
  std::lock_guard lock(transport_mutex);
  if (!chosen_transport) {
    http::TlsSettings tls = controllerTlsSettings();
    if (!tls.verify_peer) {
      getLogger(kLogger)->warning(
          "  **Alert** QUORVANE_CONTROLLER_INSECURE=1: the controller's certificate is not checked");
    }
    chosen_transport = http::make_http_transport(tls);
  }
  return chosen_transport;
}

std::string hostOf(const std::string& url) {
  std::string rest = url.substr(url.find("://") == std::string::npos ? 0 : url.find("://") + 3);
  return rest.substr(0, rest.find('/'));
}

}  // namespace

nlohmann::json ControllerResponse::json() const {
  try {
    return nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception&) {
    throw ControllerError("the controller's answer (HTTP " + std::to_string(status_code) + ") is not JSON");
  }
}

http::TlsSettings controllerTlsSettings() {
  http::TlsSettings tls;
  tls.ca_bundle = environment("QUORVANE_CONTROLLER_CA_BUNDLE");
  tls.verify_peer = environment("QUORVANE_CONTROLLER_INSECURE") != "1";
  return tls;
}

void setControllerTransport(std::shared_ptr<http::HttpTransport> transport) {
  std::lock_guard lock(transport_mutex);
  chosen_transport = std::move(transport);
}

std::string formEncode(const ControllerPayload& payload) {
  std::string text;
  for (const auto& [name, value] : payload) {
    if (!text.empty()) text += "&";
    text += aws::text::percent_encode(name, false) + "=" + aws::text::percent_encode(value.value_or(""), false);
  }
  return text;
}

ControllerResponse _send_quorvane_api(const std::string& api_endpoint_url, const std::string& request_method,
                                      const ControllerPayload& payload, const std::string& keyword_for_log,
                                      const std::string& indent) {
  http::HttpRequest request;
  request.method = request_method;
  request.connect_timeout = std::chrono::seconds(10);
  request.read_timeout = std::chrono::seconds(60);
  if (request_method == "GET") {
    request.url = api_endpoint_url + "?" + formEncode(payload);
  } else {
    request.url = api_endpoint_url;
    request.body = formEncode(payload);
    request.headers.emplace_back("Content-Type", "application/x-www-form-urlencoded");
  }
  std::string action;
  for (const auto& [name, value] : payload) {
    if (name == "action") action = value.value_or("");
  }
  Logger* log = getLogger(kLogger);
  log->debug(indent + keyword_for_log + request_method + " " + api_endpoint_url + " action=" + action);
  http::HttpResponse answer;
  try {
    answer = controllerTransport()->send(request);
  } catch (const http::TransportError& e) {
    if (e.kind() == http::TransportError::Kind::Tls) {
      throw ControllerTlsError(
          "the controller at " + hostOf(api_endpoint_url) + " was not trusted (" + e.what() +
          "); set QUORVANE_CONTROLLER_CA_BUNDLE to a PEM file with the controller's CA certificate, "
          "or QUORVANE_CONTROLLER_INSECURE=1 to skip the check");
    }
    throw ControllerError("the controller at " + hostOf(api_endpoint_url) + " did not answer: " + e.what());
  }
  log->debug(indent + keyword_for_log + "HTTP " + std::to_string(answer.status));
  return ControllerResponse{answer.status, std::move(answer.body)};
}

}  // namespace qvn
