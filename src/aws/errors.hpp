#pragma once
// The failures the AWS client reports.
//
// ServiceError: AWS answered and refused (an HTTP status of 300 or more with
// an error document). TransportError: no answer could be had (DNS, connect,
// TLS, time limit; the HTTP layer's failure, carried as an AwsError). CredentialsError: no usable credentials, or a
// profile that does not exist or cannot be used. ConfigError: a setting the client cannot work with (no region, a bad
// endpoint URL, ...). The other kinds of AwsError live beside what raises them: ResponseParseError (xml.hpp, an answer
// that cannot be read), PaginationError (paginator.hpp), WaiterError (waiters.hpp) and S3FileError (s3.hpp, a local
// file of a transfer). A caller that catches AwsError has seen every failure of the client.
//
// No message built here ever carries a secret key or a session token.
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "aws/operation.hpp"
#include "http/http_transport.hpp"
#include "http/transport_error.hpp"

namespace qvn::aws {

class AwsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ServiceErrorInfo {
  long status = 0;
  std::string code;  // "InvalidKeyPair.Duplicate"; the HTTP status as text when the body has none
  std::string message;
  std::string request_id;
  std::string error_type;     // query protocol's Sender/Receiver, when given
  std::string bucket_region;  // S3: x-amz-bucket-region header or <Region> element
};

class ServiceError : public AwsError {
 public:
  ServiceError(ServiceErrorInfo info, std::string service, std::string operation);

  long status() const { return info_.status; }
  const std::string& code() const { return info_.code; }
  const std::string& message() const { return info_.message; }
  const std::string& request_id() const { return info_.request_id; }
  const std::string& error_type() const { return info_.error_type; }
  const std::string& bucket_region() const { return info_.bucket_region; }
  const std::string& service() const { return service_; }
  const std::string& operation() const { return operation_; }
  const ServiceErrorInfo& info() const { return info_; }

 private:
  ServiceErrorInfo info_;
  std::string service_;
  std::string operation_;
};

// The HTTP layer's failure as the client reports it: every request the
// client sends goes through send_http, which rethrows an
// http::TransportError as this one.
class TransportError : public AwsError {
 public:
  // Local: a file to upload or download could not be read or written.
  using Kind = http::TransportError::Kind;
  TransportError(Kind kind, const std::string& what) : AwsError(what), kind_(kind) {}
  explicit TransportError(const http::TransportError& cause) : AwsError(cause.what()), kind_(cause.kind()) {}
  Kind kind() const { return kind_; }
  bool is_timeout() const { return kind_ == Kind::Timeout; }

 private:
  Kind kind_;
};

class CredentialsError : public AwsError {
 public:
  using AwsError::AwsError;
};

class ConfigError : public AwsError {
 public:
  using AwsError::AwsError;
};

// Sends one request over `transport`; a failure to get an answer is thrown
// as aws::TransportError.
http::HttpResponse send_http(http::HttpTransport& transport, const http::HttpRequest& request);

// The text of a common HTTP status ("Service Unavailable"); empty if unknown.
std::string http_reason_phrase(long status);

}  // namespace qvn::aws
