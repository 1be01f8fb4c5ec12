#pragma once
// A transport that shows every exchange it passes on, for `qvn-aws --debug`:
// the request line, its headers and body, then the status line, the answer's
// headers and body, one line each, on the given stream.
//
// Nothing that could open an account is shown: the signature of the
// Authorization header, security and metadata tokens, secret keys, passwords,
// private key material and SSM parameter values read "<redacted>". Bodies
// streamed from or to a file are named, not shown.
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>

#include "http/http_transport.hpp"

namespace qvn::aws {

class WireLogTransport final : public http::HttpTransport {
 public:
  WireLogTransport(std::shared_ptr<http::HttpTransport> next, std::ostream& out);
  http::HttpResponse send(const http::HttpRequest& request) override;

 private:
  void write(const std::string& text);

  std::shared_ptr<http::HttpTransport> next_;
  std::ostream& out_;
  std::mutex mutex_;
};

// A header's value as it may be shown.
std::string redacted_header(const std::string& name, const std::string& value);

// A body as it may be shown: secrets in JSON members, XML elements, form
// fields and PEM private key blocks replaced.
std::string redacted_body(const std::string& body);

}  // namespace qvn::aws
