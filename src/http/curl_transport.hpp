#pragma once
// The HttpTransport: HTTP/1.1 over libcurl (OpenSSL). TLS 1.2 at least, the
// peer's certificate and host name verified; AWS_CA_BUNDLE names a PEM file
// of certificate authorities to trust instead of the system's, unless the
// transport is made with TLS settings of its own. The proxy variables
// (https_proxy, http_proxy, all_proxy, no_proxy, in either case but
// http_proxy) are honoured. One instance serves any number of threads: each
// transfer takes an easy handle of a pool, whose kept-alive connections go
// with it; DNS answers and TLS sessions are shared by all of them.
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "http/http_transport.hpp"

namespace qvn::http {

struct ConnectionSettings {
  // A kept-alive connection idle for longer is not used again (below the
  // idle limits of NAT gateways, load balancers and proxies, which forget a
  // flow without telling either end).
  std::chrono::seconds idle_reuse_limit{60};
  // Names answered without asking the resolver, each "HOST:PORT:ADDRESS[,ADDRESS...]"
  // (an IPv6 address in brackets), tried in that order.
  std::vector<std::string> addresses;
};

class CurlTransport final : public HttpTransport {
 public:
  CurlTransport();
  explicit CurlTransport(TlsSettings tls, ConnectionSettings connections = {});
  ~CurlTransport() override;
  CurlTransport(const CurlTransport&) = delete;
  CurlTransport& operator=(const CurlTransport&) = delete;

  HttpResponse send(const HttpRequest& request) override;

 private:
  struct Impl;
  class Lease;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qvn::http
