#pragma once
// Checks an AWS request's SigV4 signature the way AWS does, and answers with
// the refusal each service uses (EC2 AuthFailure, IAM/STS
// InvalidClientTokenId, S3 InvalidAccessKeyId, SSM UnrecognizedClientException,
// SignatureDoesNotMatch, ExpiredToken, ...).
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "service.hpp"

namespace qvn::sandbox {

// The parts of "AWS4-HMAC-SHA256 Credential=AKID/date/region/service/aws4_request,
// SignedHeaders=a;b, Signature=hex".
struct Authorization {
  std::string access_key;
  std::string date;  // yyyymmdd of the scope
  std::string region;
  std::string service;
  std::vector<std::string> signed_headers;
  std::string signature;
};
std::optional<Authorization> parse_authorization(const std::string& header);

// A request as received, for the signature check.
struct SignedRequest {
  std::string method;
  std::string raw_path;                                      // as sent, without the query
  std::string raw_query;                                     // as sent, without '?'
  std::vector<std::pair<std::string, std::string>> headers;  // as sent
  std::string body;
};

// Verifies the signature with the key's secret; returns the caller's
// identity or throws the service's ApiError. `now` is the sandbox's clock.
Identity verify_request(const SignedRequest& request, const Authorization& auth, const KeyRegistry& keys,
                        Clock::time_point now);

// The refusal for a request that names a service but carries no usable
// Authorization header.
ApiError missing_authentication(const std::string& service);

}  // namespace qvn::sandbox
