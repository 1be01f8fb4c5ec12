#include "aws/protocol_json.hpp"

#include "aws/text_codec.hpp"

namespace qvn::aws {

std::string sdk_json_text(const nlohmann::ordered_json& value) {
  if (value.is_object()) {
    std::string out = "{";
    bool first = true;
    for (const auto& [key, member] : value.items()) {
      if (!first) out += ", ";
      first = false;
      out += nlohmann::ordered_json(key).dump(-1, ' ', true) + ": " + sdk_json_text(member);
    }
    return out + "}";
  }
  if (value.is_array()) {
    std::string out = "[";
    for (std::size_t i = 0; i < value.size(); ++i) out += (i ? ", " : "") + sdk_json_text(value[i]);
    return out + "]";
  }
  return value.dump(-1, ' ', true);
}

namespace json_protocol {

void add_headers(const ServiceId& service, const OperationRequest& request, HeaderList& headers) {
  if (http::find_header(headers, "X-Amz-Target").empty())
    headers.emplace_back("X-Amz-Target", service.target_prefix + "." + request.operation);
  if (http::find_header(headers, "Content-Type").empty())
    headers.emplace_back("Content-Type", "application/x-amz-json-1.1");
}

std::string bare_error_code(std::string type) {
  if (auto hash = type.rfind('#'); hash != std::string::npos) type = type.substr(hash + 1);
  if (auto colon = type.find(':'); colon != std::string::npos) type = type.substr(0, colon);
  return text::trim(type);
}

bool read_error(const std::string& body, const HeaderList& headers, ServiceErrorInfo& info) {
  std::string query_error = http::find_header(headers, "x-amzn-query-error");
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

}  // namespace json_protocol

}  // namespace qvn::aws
