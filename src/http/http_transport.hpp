#pragma once
// The HTTP seam below the AWS client and the controller access. The real
// transport is CurlTransport; tests give its users a fake one to capture
// requests and script answers.
#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qvn::http {

// Header (or query) name/value pairs in the order they are sent.
using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
  std::string method = "GET";
  std::string url;     // absolute, already encoded: "https://host/path?query"
  HeaderList headers;  // sent as given (Host included when the caller signs it)
  std::string body;
  std::string upload_file;  // stream the body from this file instead of `body`
  // Stream a 2xx body into this file instead of memory. The file appears
  // only once the whole body has arrived (its length, or the chunked end);
  // on failure nothing is left there and an earlier file stays as it was.
  std::string download_file;
  // Name lookup, TCP connect and TLS handshake together.
  std::chrono::milliseconds connect_timeout{std::chrono::seconds(10)};
  // Longest time without receiving a byte once connected.
  std::chrono::milliseconds read_timeout{std::chrono::seconds(60)};
  // The whole exchange, however steadily the bytes come.
  std::chrono::milliseconds total_timeout{std::chrono::minutes(15)};
};

struct HttpResponse {
  long status = 0;
  HeaderList headers;
  std::string body;  // empty when streamed to download_file
  std::string header(const std::string& name) const;
};

class HttpTransport {
 public:
  virtual ~HttpTransport() = default;
  // Sends one request and returns whatever status came back. Throws
  // TransportError when no answer could be had. Safe to call from many
  // threads at once.
  virtual HttpResponse send(const HttpRequest& request) = 0;
};

// Trust settings for endpoints that are not AWS's (a private service with a
// certificate of its own).
struct TlsSettings {
  std::string ca_bundle;    // PEM file of trusted CAs; empty: the system's
  bool verify_peer = true;  // false: no certificate or host name check at all
};

// A real transport (CurlTransport). Without settings it trusts what AWS
// endpoints need: the system's authorities, or the PEM file AWS_CA_BUNDLE
// names.
std::shared_ptr<HttpTransport> make_http_transport();
std::shared_ptr<HttpTransport> make_http_transport(const TlsSettings& tls);

// The process-wide transport of make_http_transport (created on first use).
std::shared_ptr<HttpTransport> default_http_transport();

// Case-insensitive look-up in a header list; empty when absent.
std::string find_header(const HeaderList& headers, const std::string& name);

}  // namespace qvn::http
