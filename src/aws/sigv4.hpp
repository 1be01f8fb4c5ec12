#pragma once
// AWS Signature Version 4.
//
// The signer works on a request exactly as it goes on the wire: the path and
// query string as sent, the headers as sent (Host included) and the payload
// hash. It is used by the client to sign and by the local sandbox to verify.
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "aws/text_codec.hpp"

namespace qvn::aws::sigv4 {

using Header = std::pair<std::string, std::string>;

struct SigningCredentials {
  std::string access_key_id;
  std::string secret_access_key;
  std::string session_token;  // empty: none
};

struct SignableRequest {
  std::string method;           // "POST"
  std::string path;             // as sent, percent-encoded once: "/", "/bucket/a%2Bb.txt"
  std::string query;            // as sent, without '?': "list-type=2&prefix=a%2F"
  std::vector<Header> headers;  // as sent; must contain Host (and X-Amz-Date once signed)
  std::string payload_hash;     // lowercase hex SHA-256 of the body, or "UNSIGNED-PAYLOAD"
};

struct Scope {
  std::string amz_date;                  // "20240115T120000Z"
  std::string region;                    // signing region: "us-east-1"
  std::string service;                   // signing name: "ec2", "s3", ...
  std::string credential_scope() const;  // "20240115/us-east-1/ec2/aws4_request"
};

struct SignOptions {
  // S3 signs the path as sent; every other service normalises it and
  // encodes it a second time.
  bool double_encode_path = true;
  // Which headers to sign (lower-case names). Absent: every header sent
  // except those a transport may add or change (user-agent, expect,
  // content-length, transfer-encoding, accept, accept-encoding, connection,
  // amz-sdk-*, x-amzn-trace-id). The sandbox passes the list it received.
  std::optional<std::vector<std::string>> signed_headers;
};

struct Signature {
  std::string canonical_request;
  std::string string_to_sign;
  std::string signed_headers;  // "content-type;host;x-amz-date"
  std::string signature;       // lowercase hex
  std::string authorization;   // the Authorization header value
};

Signature sign(const SignableRequest& request, const SigningCredentials& credentials, const Scope& scope,
               const SignOptions& options = {});

// Lowercase hex SHA-256 of `data` (the codec's).
inline std::string sha256_hex(std::string_view data) { return text::sha256_hex(data); }

// "YYYYMMDDTHHMMSSZ" for a UTC time given as seconds since the epoch.
std::string amz_date(long long epoch_seconds);

// Percent-encoding with only A-Z a-z 0-9 - _ . ~ left bare (and '/' too
// when keep_slash), upper-case hex. This is SigV4's URI encoding, the
// codec's percent-encoding.
inline std::string uri_encode(std::string_view text, bool keep_slash) { return text::percent_encode(text, keep_slash); }

}  // namespace qvn::aws::sigv4
