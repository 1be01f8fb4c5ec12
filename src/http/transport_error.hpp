#pragma once
// The one failure of the HTTP layer: no answer could be had (DNS, connect,
// TLS, time limit, or a local file of the transfer). An answer with any
// HTTP status is not a failure here; what a status means is the caller's
// business.
#include <stdexcept>
#include <string>

namespace qvn::http {

class TransportError : public std::runtime_error {
 public:
  // Local: a file to upload or download could not be read or written.
  enum class Kind { Connect, Timeout, Tls, Local, Other };
  TransportError(Kind kind, const std::string& what) : std::runtime_error(what), kind_(kind) {}
  Kind kind() const { return kind_; }
  bool is_timeout() const { return kind_ == Kind::Timeout; }

 private:
  Kind kind_;
};

}  // namespace qvn::http
