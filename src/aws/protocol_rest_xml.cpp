#include "aws/protocol_rest_xml.hpp"

#include "aws/text_codec.hpp"

namespace qvn::aws::rest_xml {

Address address(const OperationRequest& request, const std::string& authority, const std::string& base_path, bool https,
                const Endpoint& target, const std::string& addressing_style) {
  std::string path = request.path;
  if (request.bucket.empty()) return {authority, base_path + (path.empty() ? "/" : path)};
  if (path == "/") path.clear();  // no key: the bucket itself
  const bool virtual_host = addressing_style == "virtual" || (addressing_style == "auto" && !target.custom &&
                                                              s3_virtual_host_compatible(request.bucket, https));
  if (virtual_host) return {request.bucket + "." + authority, base_path + (path.empty() ? "/" : path)};
  return {authority, base_path + "/" + text::percent_encode(request.bucket, false) + path};
}

std::string payload_hash(const OperationRequest& request, const std::string& body, bool https) {
  std::string given = http::find_header(request.headers, "X-Amz-Content-SHA256");
  if (!given.empty()) return given;
  bool checksummed = !http::find_header(request.headers, "Content-MD5").empty();
  for (const auto& [name, value] : request.headers)
    if (text::lower(name).starts_with("x-amz-checksum-")) checksummed = true;
  if (https && checksummed) return "UNSIGNED-PAYLOAD";
  if (!request.upload_file.empty()) {
    std::optional<std::string> digest = text::sha256_file_hex(request.upload_file);
    if (!digest) throw TransportError(TransportError::Kind::Local, "cannot read " + request.upload_file);
    return *digest;
  }
  return body.empty() ? kEmptyPayloadHash : text::sha256_hex(body);
}

bool is_region_redirect(const ServiceErrorInfo& info) {
  return info.status == 301 || info.status == 307 || info.code == "PermanentRedirect" ||
         info.code == "AuthorizationHeaderMalformed" || info.code == "IllegalLocationConstraintException";
}

}  // namespace qvn::aws::rest_xml
