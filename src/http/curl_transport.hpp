#pragma once
// HttpTransport over libcurl (OpenSSL): TLS verification on, connections
// kept alive in a pool of easy handles, DNS and TLS sessions shared between
// them. One instance serves any number of threads. AWS_CA_BUNDLE names a
// PEM file of certificate authorities to trust instead of the system's,
// unless the transport is made with TLS settings of its own. Making one costs
// nothing: libcurl's global state, the shared DNS and TLS session cache and
// the TLS library start with the first request.
#include <memory>
#include <string>

#include "http/http_transport.hpp"

namespace qvn::http {

class CurlTransport final : public HttpTransport {
 public:
  CurlTransport();
  explicit CurlTransport(TlsSettings tls);
  ~CurlTransport() override;
  CurlTransport(const CurlTransport&) = delete;
  CurlTransport& operator=(const CurlTransport&) = delete;

  HttpResponse send(const HttpRequest& request) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qvn::http
