#pragma once
// The rest-xml wire protocol (S3): the bucket in the host or the path, the
// payload's hash as a header of its own, regions named by redirects. Its
// error documents are read as the query protocol's (protocol_query.hpp).
#include <string>

#include "aws/endpoints.hpp"
#include "aws/errors.hpp"
#include "aws/operation.hpp"

namespace qvn::aws::rest_xml {

// SHA-256 of no bytes, in hex.
inline constexpr const char* kEmptyPayloadHash = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

struct Address {
  std::string authority;  // host[:port], the bucket's name first when virtual-hosted
  std::string path;       // percent-encoded, from the root of the host
};

// Where a request goes. With a bucket: "virtual" puts it in the host, "path"
// first in the path, "auto" in the host when the name allows it (and never
// for an endpoint of the caller's own). `base_path` is the endpoint's own
// ("" or "/prefix").
Address address(const OperationRequest& request, const std::string& authority, const std::string& base_path, bool https,
                const Endpoint& target, const std::string& addressing_style);

// The X-Amz-Content-SHA256 of a request: the caller's own, UNSIGNED-PAYLOAD
// over https for a body with a checksum header (as the SDKs send it), else
// the hash of the body or of the file to upload. Throws TransportError
// (Local) for a file that cannot be read.
std::string payload_hash(const OperationRequest& request, const std::string& body, bool https);

// A refusal that names (or may name) another region for the bucket: 301,
// 307, PermanentRedirect, AuthorizationHeaderMalformed,
// IllegalLocationConstraintException.
bool is_region_redirect(const ServiceErrorInfo& info);

}  // namespace qvn::aws::rest_xml
