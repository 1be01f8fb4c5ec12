#include "http/http_transport.hpp"

#include <strings.h>

#include <cstdlib>

#include "http/curl_transport.hpp"
#include "http/socket_transport.hpp"

namespace qvn::http {
namespace {

// libcurl reads these (http_proxy only in lower case); so does the choice.
bool proxy_configured() {
  for (const char* name : {"https_proxy", "HTTPS_PROXY", "http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
    if (const char* value = std::getenv(name); value && *value) return true;
  return false;
}

}  // namespace

std::shared_ptr<HttpTransport> make_http_transport() {
  if (proxy_configured()) return std::make_shared<CurlTransport>();
  return std::make_shared<SocketTransport>();
}

std::shared_ptr<HttpTransport> make_http_transport(const TlsSettings& tls) {
  if (proxy_configured()) return std::make_shared<CurlTransport>(tls);
  return std::make_shared<SocketTransport>(tls);
}

std::shared_ptr<HttpTransport> default_http_transport() {
  static std::shared_ptr<HttpTransport> transport = make_http_transport();
  return transport;
}

std::string find_header(const HeaderList& headers, const std::string& name) {
  for (const auto& [key, value] : headers)
    if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
  return "";
}

std::string HttpResponse::header(const std::string& name) const { return find_header(headers, name); }

}  // namespace qvn::http
