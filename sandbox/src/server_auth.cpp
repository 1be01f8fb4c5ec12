#include "server_auth.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "aws/sigv4.hpp"

namespace qvn::sandbox {

namespace {

std::string trim(std::string s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.erase(s.begin());
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
  return s;
}

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t pos = text.find(sep, start);
    out.push_back(text.substr(start, pos - start));
    if (pos == std::string::npos) break;
    start = pos + 1;
  }
  return out;
}

std::string header(const SignedRequest& r, const std::string& name) {
  for (const auto& [k, v] : r.headers)
    if (lower(k) == name) return v;
  return {};
}

// Every refusal below, in the terms of the service that refuses.
ApiError unknown_key(const std::string& service) {
  if (service == "ec2")
    return ApiError(401, "AuthFailure", "AWS was not able to validate the provided access credentials");
  if (service == "s3")
    return ApiError(403, "InvalidAccessKeyId", "The AWS Access Key Id you provided does not exist in our records.");
  if (service == "ssm")
    return ApiError(400, "UnrecognizedClientException", "The security token included in the request is invalid.");
  return ApiError(403, "InvalidClientTokenId", "The security token included in the request is invalid.");
}

ApiError bad_token(const std::string& service) {
  if (service == "s3") return ApiError(400, "InvalidToken", "The provided token is malformed or otherwise invalid.");
  return unknown_key(service);
}

ApiError expired_token(const std::string& service) {
  if (service == "ssm")
    return ApiError(400, "ExpiredTokenException", "The security token included in the request is expired");
  return ApiError(service == "s3" || service == "ec2" ? 400 : 403, "ExpiredToken",
                  "The security token included in the request is expired");
}

ApiError signature_mismatch(const std::string& service) {
  const std::string message =
      "The request signature we calculated does not match the signature you provided. Check "
      "your AWS Secret Access Key and signing method. Consult the service documentation for "
      "details.";
  if (service == "ssm") return ApiError(400, "InvalidSignatureException", message);
  return ApiError(403, "SignatureDoesNotMatch", message);
}

ApiError incomplete(const std::string& service, const std::string& message) {
  if (service == "s3") return ApiError(400, "AuthorizationHeaderMalformed", message);
  if (service == "ssm") return ApiError(400, "IncompleteSignatureException", message);
  return ApiError(400, "IncompleteSignature", message);
}

ApiError skewed(const std::string& service, const std::string& amz_date) {
  const std::string message = "Signature expired: " + amz_date + " is now earlier or later than the allowed 5 minutes.";
  if (service == "ec2") return ApiError(400, "RequestExpired", "Request has expired.");
  if (service == "s3")
    return ApiError(403, "RequestTimeTooSkewed",
                    "The difference between the request time and the current time is too large.");
  if (service == "ssm") return ApiError(400, "InvalidSignatureException", message);
  return ApiError(403, "SignatureDoesNotMatch", message);
}

std::optional<Clock::time_point> parse_amz_date(const std::string& text) {
  if (text.size() != 16 || text[8] != 'T' || text[15] != 'Z') return std::nullopt;
  std::tm tm{};
  try {
    tm.tm_year = std::stoi(text.substr(0, 4)) - 1900;
    tm.tm_mon = std::stoi(text.substr(4, 2)) - 1;
    tm.tm_mday = std::stoi(text.substr(6, 2));
    tm.tm_hour = std::stoi(text.substr(9, 2));
    tm.tm_min = std::stoi(text.substr(11, 2));
    tm.tm_sec = std::stoi(text.substr(13, 2));
  } catch (const std::exception&) {
    return std::nullopt;
  }
  return Clock::from_time_t(timegm(&tm));
}

bool same(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

}  // namespace

std::optional<Authorization> parse_authorization(const std::string& value) {
  const std::string scheme = "AWS4-HMAC-SHA256";
  if (!value.starts_with(scheme)) return std::nullopt;
  Authorization a;
  bool have_credential = false, have_headers = false, have_signature = false;
  for (const auto& part : split(value.substr(scheme.size()), ',')) {
    const std::string item = trim(part);
    auto eq = item.find('=');
    if (eq == std::string::npos) return std::nullopt;
    const std::string key = item.substr(0, eq);
    const std::string val = item.substr(eq + 1);
    if (key == "Credential") {
      auto scope = split(val, '/');
      if (scope.size() != 5 || scope[4] != "aws4_request") return std::nullopt;
      a.access_key = scope[0];
      a.date = scope[1];
      a.region = scope[2];
      a.service = scope[3];
      have_credential = true;
    } else if (key == "SignedHeaders") {
      a.signed_headers = split(val, ';');
      have_headers = true;
    } else if (key == "Signature") {
      a.signature = val;
      have_signature = true;
    }
  }
  if (!have_credential || !have_headers || !have_signature || a.access_key.empty()) return std::nullopt;
  return a;
}

ApiError missing_authentication(const std::string& service) {
  if (service == "ec2")
    return ApiError(401, "AuthFailure", "AWS was not able to validate the provided access credentials");
  if (service == "s3") return ApiError(403, "AccessDenied", "Access Denied");
  if (service == "ssm") return ApiError(400, "MissingAuthenticationTokenException", "Missing Authentication Token");
  return ApiError(403, "MissingAuthenticationToken", "Request is missing Authentication Token");
}

Identity verify_request(const SignedRequest& request, const Authorization& auth, const KeyRegistry& keys,
                        Clock::time_point now) {
  const std::string& service = auth.service;
  const std::string amz_date = header(request, "x-amz-date");
  if (amz_date.empty())
    throw incomplete(service,
                     "Authorization header requires existence of either a 'X-Amz-Date' "
                     "or a 'Date' header.");
  auto when = parse_amz_date(amz_date);
  if (!when || amz_date.substr(0, 8) != auth.date)
    throw incomplete(service, "Credential should be scoped to a valid date: '" + auth.date + "'.");
  auto identity = keys.find(auth.access_key);
  if (!identity) throw unknown_key(service);
  if (std::find(auth.signed_headers.begin(), auth.signed_headers.end(), "host") == auth.signed_headers.end())
    throw signature_mismatch(service);
  if (now - *when > std::chrono::minutes(5) || *when - now > std::chrono::minutes(5)) throw skewed(service, amz_date);

  aws::sigv4::SignableRequest signable;
  signable.method = request.method;
  signable.path = request.raw_path.empty() ? "/" : request.raw_path;
  signable.query = request.raw_query;
  signable.headers = request.headers;
  std::string payload_hash = header(request, "x-amz-content-sha256");
  if (payload_hash.empty()) payload_hash = aws::sigv4::sha256_hex(request.body);
  signable.payload_hash = payload_hash;
  aws::sigv4::SigningCredentials credentials{identity->access_key, identity->secret_key, identity->session_token};
  aws::sigv4::Scope scope{amz_date, auth.region, service};
  aws::sigv4::SignOptions options;
  options.double_encode_path = service != "s3";
  options.signed_headers = auth.signed_headers;
  const auto expected = aws::sigv4::sign(signable, credentials, scope, options);
  if (!same(expected.signature, auth.signature)) throw signature_mismatch(service);

  // Temporary credentials: the token must come along, and must still be valid.
  if (!identity->session_token.empty()) {
    if (!same(header(request, "x-amz-security-token"), identity->session_token)) throw bad_token(service);
    if (identity->expires && *identity->expires <= now) throw expired_token(service);
  }
  return *identity;
}

}  // namespace qvn::sandbox
