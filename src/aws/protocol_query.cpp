#include "aws/protocol_query.hpp"

#include <pugixml.hpp>

#include "aws/text_codec.hpp"
#include "aws/xml.hpp"

namespace qvn::aws::query {
namespace {

// Fills `info` from the error element (Code, Message, Type, ...).
void read_error_element(pugi::xml_node error, ServiceErrorInfo& info) {
  info.code = xml::child_text(error, "Code");
  info.message = xml::child_text(error, "Message");
  info.error_type = xml::child_text(error, "Type");
  if (info.request_id.empty()) info.request_id = xml::child_text(error, "RequestId");
  if (info.bucket_region.empty()) info.bucket_region = xml::child_text(error, "Region");
}

// The <Error> element of any wrapper the SDKs read: a bare <Error> (S3),
// <Response><Errors><Error> (EC2), <ErrorResponse><Error> (IAM, STS) and
// <ErrorResponse><Errors><Error> (EC2's list inside the query wrapper, as some
// compatible services answer).
pugi::xml_node find_error_element(pugi::xml_node root) {
  if (xml::local_name(root) == "Error") return root;
  if (pugi::xml_node error = xml::child(root, "Error")) return error;
  if (xml::local_name(root) == "Errors") return xml::child(root, "Error");
  return xml::child(xml::child(root, "Errors"), "Error");
}

}  // namespace

std::string form_body(const ServiceId& service, const OperationRequest& request) {
  std::string body =
      "Action=" + text::form_encode(request.operation) + "&Version=" + text::form_encode(service.api_version);
  for (const auto& [name, value] : request.form) body += "&" + text::form_encode(name) + "=" + text::form_encode(value);
  return body;
}

void add_headers(HeaderList& headers) {
  if (http::find_header(headers, "Content-Type").empty())
    headers.emplace_back("Content-Type", "application/x-www-form-urlencoded; charset=utf-8");
}

bool read_error(const std::string& body, ServiceErrorInfo& info) {
  pugi::xml_document doc;
  if (!doc.load_buffer(body.data(), body.size())) return false;
  pugi::xml_node root = doc.document_element();
  if (!root) return false;
  pugi::xml_node error = find_error_element(root);
  if (!error) return false;
  info.request_id = xml::child_text(root, "RequestId");
  if (info.request_id.empty()) info.request_id = xml::child_text(root, "RequestID");
  read_error_element(error, info);
  info.code = text::trim(info.code);
  return !info.code.empty();
}

}  // namespace qvn::aws::query
