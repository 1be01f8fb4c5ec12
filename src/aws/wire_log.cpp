#include "aws/wire_log.hpp"

#include <strings.h>
#include <nlohmann/json.hpp>

#include <array>
#include <ostream>
#include <string_view>

namespace qvn::aws {
namespace {

constexpr const char* kRedacted = "<redacted>";

// Names of members, elements, form fields and headers whose values are
// secrets, compared without case.
bool secret_name(std::string_view name) {
  static constexpr std::array<std::string_view, 17> names = {"SecretAccessKey",
                                                             "aws_secret_access_key",
                                                             "SessionToken",
                                                             "Token",
                                                             "AccessToken",
                                                             "WebIdentityToken",
                                                             "KeyMaterial",
                                                             "PrivateKey",
                                                             "Password",
                                                             "Value",
                                                             "SAMLAssertion",
                                                             "TokenCode",
                                                             "X-Amz-Security-Token",
                                                             "x-aws-ec2-metadata-token",
                                                             "x-amz-sso_bearer_token",
                                                             "Cookie",
                                                             "Set-Cookie"};
  for (const auto secret : names)
    if (name.size() == secret.size() && strncasecmp(name.data(), secret.data(), name.size()) == 0) return true;
  return false;
}

std::string_view local_name(std::string_view name) {
  const auto colon = name.rfind(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

// In XML answers a <Value> is a tag's value, not a parameter's: kept.
bool xml_secret(std::string_view name) { return secret_name(name) && strncasecmp(name.data(), "value", 5) != 0; }

void redact_json(nlohmann::json& value) {
  if (value.is_object()) {
    for (auto& [key, member] : value.items()) {
      if (secret_name(key) && !member.is_structured())
        member = kRedacted;
      else
        redact_json(member);
    }
  } else if (value.is_array()) {
    for (auto& item : value) redact_json(item);
  }
}

// <SecretAccessKey>...</SecretAccessKey> (with or without a namespace
// prefix): the text between the tags is replaced. Elements of other names
// are kept as sent, XML tag values of EC2 resources included.
std::string redact_xml(const std::string& body) {
  std::string out;
  std::size_t at = 0;
  while (at < body.size()) {
    const auto open = body.find('<', at);
    if (open == std::string::npos) break;
    const auto close = body.find('>', open);
    if (close == std::string::npos) break;
    out.append(body, at, close + 1 - at);
    at = close + 1;
    std::string_view tag(body.data() + open + 1, close - open - 1);
    if (tag.empty() || tag.front() == '/' || tag.front() == '?' || tag.front() == '!' || tag.back() == '/') continue;
    const std::string_view name = tag.substr(0, tag.find_first_of(" \t\r\n"));
    if (!xml_secret(local_name(name))) continue;
    const auto end = body.find("</" + std::string(name), at);
    if (end == std::string::npos) continue;
    out += kRedacted;
    at = end;
  }
  out.append(body, at, std::string::npos);
  return out;
}

// name=value&...: the values of secret fields are replaced.
std::string redact_form(const std::string& body) {
  std::string out;
  std::size_t start = 0;
  while (start <= body.size()) {
    auto end = body.find('&', start);
    if (end == std::string::npos) end = body.size();
    const std::string_view field(body.data() + start, end - start);
    const auto eq = field.find('=');
    if (!out.empty() || start > 0) out += '&';
    if (eq != std::string_view::npos && secret_name(field.substr(0, eq))) {
      out.append(field.substr(0, eq + 1));
      out += kRedacted;
    } else {
      out.append(field);
    }
    start = end + 1;
  }
  return out;
}

// -----BEGIN ... PRIVATE KEY----- ... -----END ... PRIVATE KEY-----
std::string redact_private_keys(std::string text) {
  std::size_t at = 0;
  while ((at = text.find("-----BEGIN ", at)) != std::string::npos) {
    const auto label_end = text.find("-----", at + 11);
    if (label_end == std::string::npos) break;
    if (text.compare(label_end - 11, 11, "PRIVATE KEY") != 0) {
      at = label_end;
      continue;
    }
    const auto end = text.find("-----END ", label_end);
    const auto end_close = end == std::string::npos ? std::string::npos : text.find("-----", end + 9);
    const std::size_t stop = end_close == std::string::npos ? text.size() : end_close + 5;
    text.replace(at, stop - at, kRedacted);
    at += 10;
  }
  return text;
}

bool looks_like_form(const std::string& body) {
  return body.find('=') != std::string::npos && body.find('<') == std::string::npos && body.find('{') != 0 &&
         body.find('\n') == std::string::npos;
}

}  // namespace

std::string redacted_header(const std::string& name, const std::string& value) {
  if (strcasecmp(name.c_str(), "Authorization") == 0) {
    // AWS4-HMAC-SHA256 Credential=..., SignedHeaders=..., Signature=<hex>
    const auto signature = value.find("Signature=");
    if (value.starts_with("AWS4-HMAC-SHA256 ") && signature != std::string::npos)
      return value.substr(0, signature + 10) + kRedacted;
    return kRedacted;
  }
  return secret_name(name) ? kRedacted : value;
}

std::string redacted_body(const std::string& body) {
  if (body.empty()) return body;
  nlohmann::json document = nlohmann::json::parse(body, nullptr, false);
  if (!document.is_discarded() && document.is_structured()) {
    redact_json(document);
    return redact_private_keys(document.dump());
  }
  const std::string shown = looks_like_form(body) ? redact_form(body) : redact_xml(body);
  return redact_private_keys(shown);
}

WireLogTransport::WireLogTransport(std::shared_ptr<http::HttpTransport> next, std::ostream& out)
    : next_(std::move(next)), out_(out) {}

void WireLogTransport::write(const std::string& text) {
  std::lock_guard lock(mutex_);
  out_ << text << std::flush;
}

http::HttpResponse WireLogTransport::send(const http::HttpRequest& request) {
  std::string shown = "> " + request.method + " " + request.url + "\n";
  for (const auto& [name, value] : request.headers) shown += "> " + name + ": " + redacted_header(name, value) + "\n";
  if (!request.upload_file.empty())
    shown += "> (body from " + request.upload_file + ")\n";
  else if (!request.body.empty())
    shown += "> " + redacted_body(request.body) + "\n";
  write(shown);

  http::HttpResponse response = next_->send(request);
  shown = "< " + std::to_string(response.status) + "\n";
  for (const auto& [name, value] : response.headers) shown += "< " + name + ": " + redacted_header(name, value) + "\n";
  // The metadata service answers its session token as the whole body.
  const bool token_answer = request.url.find("/latest/api/token") != std::string::npos;
  if (!request.download_file.empty() && response.body.empty())
    shown += "< (body to " + request.download_file + ")\n";
  else if (!response.body.empty())
    shown += "< " + (token_answer ? std::string(kRedacted) : redacted_body(response.body)) + "\n";
  write(shown);
  return response;
}

}  // namespace qvn::aws
