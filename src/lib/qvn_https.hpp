#pragma once
// Requests to the controller's HTTPS API.
//
//   ControllerPayload payload{{"action", "list_vpcs_summary"}, {"CID", cid}};
//   ControllerResponse r = _send_quorvane_api(url, "GET", payload, "keyword---", "    ");
//   nlohmann::json body = r.json();
//
// A GET carries the payload in the query string, a POST in a form body (so
// secrets such as the login password never appear in a URL). Members keep
// their order; an absent value is sent as an empty one ("gateway_name=").
//
// The controller's certificate is checked against the system's CAs, or those
// of the PEM file in QUORVANE_CONTROLLER_CA_BUNDLE. QUORVANE_CONTROLLER_INSECURE=1
// turns the check off and logs a WARNING the first time the controller is
// reached. Each request has time limits (connect 10 s, silence 60 s).
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "http/http_transport.hpp"

namespace qvn {

using ControllerPayload = std::vector<std::pair<std::string, std::optional<std::string>>>;

// The controller could not be reached or did not answer usefully.
class ControllerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The controller's certificate was not trusted: nothing was sent.
class ControllerTlsError : public ControllerError {
 public:
  using ControllerError::ControllerError;
};

struct ControllerResponse {
  long status_code = 0;
  std::string text;
  // The body parsed as JSON; ControllerError when it is not JSON.
  nlohmann::json json() const;
};

// The trust settings that the environment asks for.
http::TlsSettings controllerTlsSettings();

// Replaces the transport used for the controller (tests); null restores the
// one made from the environment on next use.
void setControllerTransport(std::shared_ptr<http::HttpTransport> transport);

// Sends one request. Throws ControllerTlsError when the certificate is not
// trusted, ControllerError for any other failure to get an answer. The
// answer is returned whatever its HTTP status.
ControllerResponse _send_quorvane_api(const std::string& api_endpoint_url, const std::string& request_method,
                                      const ControllerPayload& payload, const std::string& keyword_for_log,
                                      const std::string& indent);

// "a=1&b=x%20y": the payload as form fields, values percent-encoded.
std::string formEncode(const ControllerPayload& payload);

}  // namespace qvn
