#pragma once
// HttpTransport over libcurl (OpenSSL): TLS verification on, connections
// kept alive in a pool of easy handles, DNS and TLS sessions shared between
// them. One instance serves any number of threads. AWS_CA_BUNDLE names a
// PEM file of certificate authorities to trust instead of the system's.
#include <memory>

#include "aws/http_transport.hpp"

namespace qvn::aws {

class CurlTransport final : public HttpTransport {
 public:
  CurlTransport();
  ~CurlTransport() override;
  CurlTransport(const CurlTransport&) = delete;
  CurlTransport& operator=(const CurlTransport&) = delete;

  HttpResponse send(const HttpRequest& request) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qvn::aws
