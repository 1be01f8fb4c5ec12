#include "aws/sigv4.hpp"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <ctime>
#include <map>
#include <stdexcept>

#include "aws/text_codec.hpp"

namespace qvn::aws::sigv4 {
namespace {

constexpr const char* kAlgorithm = "AWS4-HMAC-SHA256";

std::string hmac(std::string_view key, std::string_view data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(data.data()),
       data.size(), out, &length);
  return std::string(reinterpret_cast<char*>(out), length);
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Trims the value and collapses every run of white space to one blank.
std::string normalise_value(std::string_view value) {
  std::string out;
  bool pending_space = false;
  for (char c : value) {
    if (is_space(c)) {
      pending_space = !out.empty();
      continue;
    }
    if (pending_space) out.push_back(' ');
    pending_space = false;
    out.push_back(c);
  }
  return out;
}

// Removes dot segments and collapses repeated slashes ("/a//./b/../c" -> "/a/c").
std::string normalise_path(std::string_view path) {
  if (path.empty()) return "/";
  std::vector<std::string> segments;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    std::string segment(path.substr(start, end - start));
    if (segment == "..") {
      if (!segments.empty()) segments.pop_back();
    } else if (!segment.empty() && segment != ".") {
      segments.push_back(std::move(segment));
    }
    start = end + 1;
  }
  std::string out;
  for (const auto& segment : segments) out += "/" + segment;
  bool trailing = path.back() == '/' || path.ends_with("/.") || path.ends_with("/..");
  if (out.empty()) return "/";
  if (trailing) out += "/";
  return out;
}

std::string canonical_uri(const std::string& path, bool double_encode) {
  if (!double_encode) return path.empty() ? "/" : path;
  return uri_encode(normalise_path(path), true);
}

std::string canonical_query(std::string_view query) {
  std::vector<std::pair<std::string, std::string>> pairs;
  std::size_t start = 0;
  while (start < query.size()) {
    std::size_t end = query.find('&', start);
    if (end == std::string_view::npos) end = query.size();
    std::string_view pair = query.substr(start, end - start);
    if (!pair.empty()) {
      std::size_t eq = pair.find('=');
      std::string_view name = pair.substr(0, eq);
      std::string_view value = eq == std::string_view::npos ? std::string_view{} : pair.substr(eq + 1);
      pairs.emplace_back(uri_encode(text::percent_decode(name), false), uri_encode(text::percent_decode(value), false));
    }
    start = end + 1;
  }
  std::sort(pairs.begin(), pairs.end());
  std::string out;
  for (const auto& [name, value] : pairs) {
    if (!out.empty()) out += '&';
    out += name + "=" + value;
  }
  return out;
}

bool excluded_by_default(const std::string& name) {
  static const char* excluded[] = {"authorization",   "user-agent",        "expect",
                                   "content-length",  "transfer-encoding", "accept",
                                   "accept-encoding", "connection",        "x-amzn-trace-id"};
  for (const char* e : excluded)
    if (name == e) return true;
  return name.starts_with("amz-sdk-");
}

}  // namespace

std::string Scope::credential_scope() const {
  return amz_date.substr(0, 8) + "/" + region + "/" + service + "/aws4_request";
}

std::string amz_date(long long epoch_seconds) {
  std::time_t t = static_cast<std::time_t>(epoch_seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y%m%dT%H%M%SZ", &tm);
  return buffer;
}

Signature sign(const SignableRequest& request, const SigningCredentials& credentials, const Scope& scope,
               const SignOptions& options) {
  // Lower-case name -> values in the order they were sent.
  std::map<std::string, std::vector<std::string>> headers;
  for (const auto& [name, value] : request.headers) headers[text::lower(name)].push_back(normalise_value(value));
  if (!headers.count("x-amz-date")) headers["x-amz-date"].push_back(scope.amz_date);
  if (!credentials.session_token.empty() && !headers.count("x-amz-security-token"))
    headers["x-amz-security-token"].push_back(credentials.session_token);
  if (!headers.count("host")) throw std::invalid_argument("request to sign has no Host header");

  std::vector<std::string> signed_names;
  if (options.signed_headers) {
    for (const auto& name : *options.signed_headers) signed_names.push_back(text::lower(name));
  } else {
    for (const auto& [name, values] : headers)
      if (!excluded_by_default(name)) signed_names.push_back(name);
  }
  std::sort(signed_names.begin(), signed_names.end());
  signed_names.erase(std::unique(signed_names.begin(), signed_names.end()), signed_names.end());

  Signature result;
  std::string canonical_headers;
  for (const auto& name : signed_names) {
    std::string joined;
    auto found = headers.find(name);
    if (found != headers.end()) {
      for (const auto& value : found->second) joined += (joined.empty() ? "" : ",") + value;
    }
    canonical_headers += name + ":" + joined + "\n";
    result.signed_headers += (result.signed_headers.empty() ? "" : ";") + name;
  }

  result.canonical_request = request.method + "\n" + canonical_uri(request.path, options.double_encode_path) + "\n" +
                             canonical_query(request.query) + "\n" + canonical_headers + "\n" + result.signed_headers +
                             "\n" + request.payload_hash;
  std::string scope_text = scope.credential_scope();
  result.string_to_sign =
      std::string(kAlgorithm) + "\n" + scope.amz_date + "\n" + scope_text + "\n" + sha256_hex(result.canonical_request);

  std::string key = hmac("AWS4" + credentials.secret_access_key, scope.amz_date.substr(0, 8));
  key = hmac(key, scope.region);
  key = hmac(key, scope.service);
  key = hmac(key, "aws4_request");
  std::string raw = hmac(key, result.string_to_sign);
  result.signature = text::hex(raw);
  result.authorization = std::string(kAlgorithm) + " Credential=" + credentials.access_key_id + "/" + scope_text +
                         ", SignedHeaders=" + result.signed_headers + ", Signature=" + result.signature;
  return result;
}

}  // namespace qvn::aws::sigv4
