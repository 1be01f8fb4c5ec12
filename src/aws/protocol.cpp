#include "aws/protocol.hpp"

#include "aws/protocol_json.hpp"
#include "aws/protocol_query.hpp"
#include "aws/text_codec.hpp"

namespace qvn::aws {

std::string wire_body(const ServiceId& service, const OperationRequest& request) {
  if (service.protocol == Protocol::Ec2 || service.protocol == Protocol::Query)
    return query::form_body(service, request);
  return request.body;
}

void add_protocol_headers(const ServiceId& service, const OperationRequest& request, HeaderList& headers) {
  if (service.protocol == Protocol::Ec2 || service.protocol == Protocol::Query) query::add_headers(headers);
  if (service.protocol == Protocol::Json) json_protocol::add_headers(service, request, headers);
}

ServiceErrorInfo parse_error_response(Protocol protocol, long status, const HeaderList& headers,
                                      const std::string& body) {
  ServiceErrorInfo info;
  info.status = status;
  std::string content = text::trim(body);
  bool parsed = false;
  if (!content.empty() && !content.starts_with("<html") && !content.starts_with("<HTML")) {
    if (protocol == Protocol::Json) {
      parsed = json_protocol::read_error(content, headers, info);
    } else {
      parsed = query::read_error(content, info);  // S3's <Error> is one of its wrappers
    }
  } else if (protocol == Protocol::Json) {
    parsed = json_protocol::read_error("", headers, info);
  }
  if (!parsed) {
    // Services that answer without a readable document may still name the
    // code in a header.
    info.code = json_protocol::bare_error_code(http::find_header(headers, "x-amzn-ErrorType"));
    parsed = !info.code.empty();
  }
  if (!parsed) {
    // No usable error document (HEAD, empty 5xx, an HTML page from a proxy):
    // the status stands for the code, as the SDKs do.
    info.code = std::to_string(status);
    if (info.message.empty()) info.message = http_reason_phrase(status);
  }
  if (info.request_id.empty()) info.request_id = http::find_header(headers, "x-amzn-RequestId");
  if (info.request_id.empty()) info.request_id = http::find_header(headers, "x-amz-request-id");
  std::string region = http::find_header(headers, "x-amz-bucket-region");
  if (!region.empty()) info.bucket_region = region;
  return info;
}

}  // namespace qvn::aws
