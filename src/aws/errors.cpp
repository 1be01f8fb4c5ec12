#include "aws/errors.hpp"

#include "aws/xml.hpp"

#include <nlohmann/json.hpp>
#include <pugixml.hpp>

#include <strings.h>

#include <cstring>

namespace qvn::aws {
namespace {

using xml::child;

std::string text_of(const pugi::xml_node& node, std::string_view name) { return xml::text(xml::child(node, name)); }

std::string trimmed(const std::string& text) {
  auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

std::string header_value(const HeaderList& headers, const char* name) {
  for (const auto& [key, value] : headers)
    if (strcasecmp(key.c_str(), name) == 0) return value;
  return "";
}

// Fills `info` from the error element (Code, Message, Type, ...).
void read_error_element(pugi::xml_node error, ServiceErrorInfo& info) {
  info.code = text_of(error, "Code");
  info.message = text_of(error, "Message");
  info.error_type = text_of(error, "Type");
  if (info.request_id.empty()) info.request_id = text_of(error, "RequestId");
  if (info.bucket_region.empty()) info.bucket_region = text_of(error, "Region");
}

// The <Error> element of any wrapper the SDKs read: a bare <Error> (S3),
// <Response><Errors><Error> (EC2), <ErrorResponse><Error> (IAM, STS) and
// <ErrorResponse><Errors><Error> (EC2's list inside the query wrapper, as some
// compatible services answer).
pugi::xml_node find_error_element(pugi::xml_node root) {
  if (xml::local_name(root) == "Error") return root;
  if (pugi::xml_node error = child(root, "Error")) return error;
  if (xml::local_name(root) == "Errors") return child(root, "Error");
  return child(child(root, "Errors"), "Error");
}

bool parse_xml(const std::string& body, ServiceErrorInfo& info) {
  pugi::xml_document doc;
  if (!doc.load_buffer(body.data(), body.size())) return false;
  pugi::xml_node root = doc.document_element();
  if (!root) return false;
  pugi::xml_node error = find_error_element(root);
  if (!error) return false;
  info.request_id = text_of(root, "RequestId");
  if (info.request_id.empty()) info.request_id = text_of(root, "RequestID");
  read_error_element(error, info);
  info.code = trimmed(info.code);
  return !info.code.empty();
}

// "x-amzn-ErrorType: Code:http://internal.amazon.com/..." and
// "aws.protocoltests#Code" both name the code alone.
std::string bare_error_code(std::string type) {
  if (auto hash = type.rfind('#'); hash != std::string::npos) type = type.substr(hash + 1);
  if (auto colon = type.find(':'); colon != std::string::npos) type = type.substr(0, colon);
  return trimmed(type);
}

bool parse_json(const std::string& body, const HeaderList& headers, ServiceErrorInfo& info) {
  std::string query_error = header_value(headers, "x-amzn-query-error");
  auto document = nlohmann::json::parse(body, nullptr, false);
  if (document.is_object()) {
    std::string type;
    if (document.contains("__type") && document["__type"].is_string())
      type = document["__type"];
    else if (document.contains("code") && document["code"].is_string())
      type = document["code"];
    info.code = bare_error_code(type);
    for (const char* key : {"message", "Message", "errorMessage"}) {
      if (document.contains(key) && document[key].is_string()) {
        info.message = document[key];
        break;
      }
    }
  }
  if (!query_error.empty()) {
    auto semi = query_error.find(';');
    info.code = query_error.substr(0, semi);
    if (semi != std::string::npos) info.error_type = query_error.substr(semi + 1);
  }
  return !info.code.empty();
}

}  // namespace

ServiceError::ServiceError(ServiceErrorInfo info, std::string service, std::string operation)
    : AwsError("An error occurred (" + info.code + ") when calling the " + operation +
               " operation: " + (info.message.empty() ? std::string("Unknown") : info.message)),
      info_(std::move(info)),
      service_(std::move(service)),
      operation_(std::move(operation)) {}

std::string http_reason_phrase(long status) {
  switch (status) {
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 304:
      return "Not Modified";
    case 307:
      return "Temporary Redirect";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 409:
      return "Conflict";
    case 412:
      return "Precondition Failed";
    case 413:
      return "Payload Too Large";
    case 416:
      return "Requested Range Not Satisfiable";
    case 429:
      return "Too Many Requests";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    default:
      return "";
  }
}

ServiceErrorInfo parse_error_response(Protocol protocol, long status, const HeaderList& headers,
                                      const std::string& body) {
  ServiceErrorInfo info;
  info.status = status;
  std::string content = trimmed(body);
  bool parsed = false;
  if (!content.empty() && !content.starts_with("<html") && !content.starts_with("<HTML")) {
    if (protocol == Protocol::Json) {
      parsed = parse_json(content, headers, info);
    } else {
      parsed = parse_xml(content, info);
    }
  } else if (protocol == Protocol::Json) {
    parsed = parse_json("", headers, info);
  }
  if (!parsed) {
    // Services that answer without a readable document may still name the
    // code in a header.
    info.code = bare_error_code(header_value(headers, "x-amzn-ErrorType"));
    parsed = !info.code.empty();
  }
  if (!parsed) {
    // No usable error document (HEAD, empty 5xx, an HTML page from a proxy):
    // the status stands for the code, as the SDKs do.
    info.code = std::to_string(status);
    if (info.message.empty()) info.message = http_reason_phrase(status);
  }
  if (info.request_id.empty()) info.request_id = header_value(headers, "x-amzn-RequestId");
  if (info.request_id.empty()) info.request_id = header_value(headers, "x-amz-request-id");
  std::string region = header_value(headers, "x-amz-bucket-region");
  if (!region.empty()) info.bucket_region = region;
  return info;
}

http::HttpResponse send_http(http::HttpTransport& transport, const http::HttpRequest& request) {
  try {
    return transport.send(request);
  } catch (const http::TransportError& error) {
    throw TransportError(error);
  }
}

}  // namespace qvn::aws
