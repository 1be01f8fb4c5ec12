#pragma once
// HttpTransport straight over the system's sockets: HTTP/1.1 with
// connections kept alive per origin, TLS by OpenSSL (peer and host name
// verified, SNI). It knows no proxies: make_http_transport() picks
// CurlTransport when the environment names one. AWS_CA_BUNDLE is honoured
// as by CurlTransport. Making one costs nothing; the TLS context is made by
// the first https request.
#include <memory>

#include "http/http_transport.hpp"

namespace qvn::http {

class SocketTransport final : public HttpTransport {
 public:
  SocketTransport();
  explicit SocketTransport(TlsSettings tls);
  ~SocketTransport() override;
  SocketTransport(const SocketTransport&) = delete;
  SocketTransport& operator=(const SocketTransport&) = delete;

  HttpResponse send(const HttpRequest& request) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qvn::http
