#include "http/http_transport.hpp"

#include <strings.h>

#include "http/curl_transport.hpp"

namespace qvn::http {

std::shared_ptr<HttpTransport> make_http_transport() { return std::make_shared<CurlTransport>(); }

std::shared_ptr<HttpTransport> make_http_transport(const TlsSettings& tls) {
  return std::make_shared<CurlTransport>(tls);
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
