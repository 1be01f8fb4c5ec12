#include "query_xml.hpp"

#include <cctype>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>

#include <openssl/evp.h>

namespace qvn::sandbox {

XmlReply::XmlReply(const std::string& root, const std::string& xmlns) {
  root_ = doc_.append_child(root.c_str());
  if (!xmlns.empty()) root_.append_attribute("xmlns") = xmlns.c_str();
}

pugi::xml_node XmlReply::add(pugi::xml_node parent, const std::string& name, const std::string& text) {
  auto node = parent.append_child(name.c_str());
  node.text().set(text.c_str());
  return node;
}

std::string XmlReply::str(bool declaration) const {
  std::ostringstream out;
  if (declaration) out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  doc_.save(out, "  ", pugi::format_indent | pugi::format_no_declaration);
  return out.str();
}

QueryReply::QueryReply(const std::string& operation, const std::string& xmlns, bool with_result)
    : xml_(operation + "Response", xmlns) {
  result_ = with_result ? xml_.root().append_child((operation + "Result").c_str()) : xml_.root();
}

AwsReply QueryReply::finish(const std::string& request_id) {
  auto meta = xml_.root().append_child("ResponseMetadata");
  XmlReply::add(meta, "RequestId", request_id);
  AwsReply reply;
  reply.content_type = "text/xml";
  reply.body = xml_.str();
  return reply;
}

AwsReply render_query_error(const ApiError& error, const std::string& request_id, const std::string& xmlns) {
  XmlReply xml("ErrorResponse", xmlns);
  auto err = xml.root().append_child("Error");
  XmlReply::add(err, "Type", error.status >= 500 ? "Receiver" : "Sender");
  XmlReply::add(err, "Code", error.code);
  XmlReply::add(err, "Message", error.what());
  XmlReply::add(xml.root(), "RequestId", request_id);
  AwsReply reply;
  reply.status = error.status;
  reply.content_type = "text/xml";
  reply.body = xml.str();
  return reply;
}

namespace {

std::tm utc(Clock::time_point t) {
  std::time_t secs = Clock::to_time_t(t);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  return tm;
}

std::string format(Clock::time_point t, const char* pattern) {
  std::tm tm = utc(t);
  char buf[64];
  std::strftime(buf, sizeof buf, pattern, &tm);
  return buf;
}

}  // namespace

std::string iso8601(Clock::time_point t) { return format(t, "%Y-%m-%dT%H:%M:%SZ"); }

std::string iso8601_millis(Clock::time_point t) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() % 1000;
  if (ms < 0) ms += 1000;
  char frac[8];
  std::snprintf(frac, sizeof frac, ".%03lldZ", static_cast<long long>(ms));
  return format(t, "%Y-%m-%dT%H:%M:%S") + frac;
}

std::string http_date(Clock::time_point t) { return format(t, "%a, %d %b %Y %H:%M:%S GMT"); }

double epoch_seconds(Clock::time_point t) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
  return static_cast<double>(ms) / 1000.0;
}

Clock::time_point parse_iso8601(const std::string& text) {
  std::tm tm{};
  int consumed = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                  &tm.tm_min, &tm.tm_sec, &consumed) != 6)
    throw std::invalid_argument("not an ISO 8601 time: " + text);
  std::string rest = text.substr(static_cast<std::size_t>(consumed));
  long long millis = 0;
  if (!rest.empty() && rest[0] == '.') {
    std::size_t i = 1;
    int digits = 0;
    while (i < rest.size() && std::isdigit(static_cast<unsigned char>(rest[i]))) {
      if (digits < 3) millis = millis * 10 + (rest[i] - '0'), ++digits;
      ++i;
    }
    while (digits++ < 3) millis *= 10;
    rest = rest.substr(i);
  }
  if (rest != "Z" && rest != "+00:00") throw std::invalid_argument("not a UTC time: " + text);
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  std::time_t secs = timegm(&tm);
  return Clock::from_time_t(secs) + std::chrono::milliseconds(millis);
}

std::string random_chars(std::size_t count, std::string_view alphabet) {
  static std::mutex mutex;
  static std::mt19937_64 engine{std::random_device{}()};
  std::lock_guard lock(mutex);
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  std::string out;
  out.reserve(count);
  for (std::size_t i = 0; i < count; ++i) out += alphabet[pick(engine)];
  return out;
}

std::string iam_unique_id(const std::string& prefix) { return prefix + random_chars(17, kUpperAlnum); }

std::string base64_encode(std::string_view data) {
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 2 < data.size(); i += 3) {
    unsigned v = (static_cast<unsigned char>(data[i]) << 16) | (static_cast<unsigned char>(data[i + 1]) << 8) |
                 static_cast<unsigned char>(data[i + 2]);
    out += kBase64Chars[(v >> 18) & 63];
    out += kBase64Chars[(v >> 12) & 63];
    out += kBase64Chars[(v >> 6) & 63];
    out += kBase64Chars[v & 63];
  }
  if (i < data.size()) {
    unsigned v = static_cast<unsigned char>(data[i]) << 16;
    bool two = i + 1 < data.size();
    if (two) v |= static_cast<unsigned char>(data[i + 1]) << 8;
    out += kBase64Chars[(v >> 18) & 63];
    out += kBase64Chars[(v >> 12) & 63];
    out += two ? kBase64Chars[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string base64_decode(std::string_view text) {
  if (text.size() % 4 != 0) throw std::invalid_argument("bad base64 length");
  std::string out;
  unsigned v = 0;
  int bits = 0;
  std::size_t pad = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '=') {
      if (i + 2 < text.size()) throw std::invalid_argument("bad base64 padding");
      ++pad;
      continue;
    }
    if (pad) throw std::invalid_argument("bad base64 padding");
    auto pos = kBase64Chars.find(c);
    if (pos == std::string_view::npos) throw std::invalid_argument("bad base64 character");
    v = (v << 6) | static_cast<unsigned>(pos);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((v >> bits) & 0xFF);
    }
  }
  return out;
}

namespace {
std::string digest(const EVP_MD* md, std::string_view data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(data.data(), data.size(), out, &len, md, nullptr);
  return std::string(reinterpret_cast<char*>(out), len);
}
}  // namespace

std::string sha256_hex(std::string_view data) { return hex(digest(EVP_sha256(), data)); }
std::string md5_raw(std::string_view data) { return digest(EVP_md5(), data); }

std::string hex(std::string_view bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string percent_encode(std::string_view text) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += digits[c >> 4];
      out += digits[c & 15];
    }
  }
  return out;
}

}  // namespace qvn::sandbox
