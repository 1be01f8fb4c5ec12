#include "s3_requests.hpp"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string_view>

#include <openssl/evp.h>

#include "modules.hpp"
#include "query_xml.hpp"

namespace qvn::sandbox::s3wire {

const char* const kXmlns = "http://s3.amazonaws.com/doc/2006-03-01/";
namespace {

const char* const kEmptySha256 = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string decode_path(const std::string& raw) {
  std::string out;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '%' && i + 2 < raw.size() && std::isxdigit(static_cast<unsigned char>(raw[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(raw[i + 2]))) {
      out += static_cast<char>(std::stoi(raw.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += raw[i];
    }
  }
  return out;
}

}  // namespace

// Bucket and key of a path-style request; the key is empty for bucket operations.
std::pair<std::string, std::string> split_path(const std::string& raw_path) {
  std::string path = raw_path.empty() ? "/" : raw_path;
  auto q = path.find('?');
  if (q != std::string::npos) path = path.substr(0, q);
  if (path[0] == '/') path = path.substr(1);
  auto slash = path.find('/');
  if (slash == std::string::npos) return {decode_path(path), ""};
  return {decode_path(path.substr(0, slash)), decode_path(path.substr(slash + 1))};
}

bool has_query(const Pairs& query, const std::string& name) {
  return std::any_of(query.begin(), query.end(), [&](const auto& kv) { return kv.first == name; });
}

std::string query_value(const AwsCall& call, const std::string& name) {
  for (const auto& [k, v] : call.query)
    if (k == name) return v;
  return {};
}

std::string header(const AwsCall& call, const std::string& name) {
  auto it = call.headers.find(name);
  return it == call.headers.end() ? "" : it->second;
}

// How S3 writes keys and prefixes with encoding-type=url: form encoding
// (space as '+') that leaves '/' alone.
std::string url_encode_key(const std::string& text) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '*' || c == '/')
      out += static_cast<char>(c);
    else if (c == ' ')
      out += '+';
    else {
      out += '%';
      out += digits[c >> 4];
      out += digits[c & 15];
    }
  }
  return out;
}

bool valid_utf8(const std::string& s) {
  std::size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    std::size_t n = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : 99;
    if (n == 99 || i + n >= s.size() + (n ? 0 : 1)) return false;
    for (std::size_t k = 1; k <= n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) return false;
    i += n + 1;
  }
  return true;
}

namespace {

bool is_sha256_hex(const std::string& s) {
  return s.size() == 64 && std::all_of(s.begin(), s.end(), [](char c) {
           return std::isdigit(static_cast<unsigned char>(c)) || (c >= 'a' && c <= 'f');
         });
}

}  // namespace

S3Error no_such_bucket(const std::string& name) {
  return S3Error(404, "NoSuchBucket", "The specified bucket does not exist", {{"BucketName", name}});
}

// The payload checks S3 makes before it accepts a request.
void check_payload(const AwsCall& call) {
  if (has_query(call.query, "X-Amz-Signature")) return;  // presigned: the payload is unsigned
  auto it = call.headers.find("x-amz-content-sha256");
  if (it == call.headers.end())
    throw S3Error(400, "InvalidRequest", "Missing required header for this request: x-amz-content-sha256");
  const std::string& claimed = it->second;
  if (claimed == "UNSIGNED-PAYLOAD") return;
  if (claimed.starts_with("STREAMING-"))
    throw S3Error(501, "NotImplemented", "A header you provided implies functionality that is not implemented",
                  {{"Header", "x-amz-content-sha256"}});
  if (!is_sha256_hex(claimed))
    throw S3Error(400, "InvalidArgument",
                  "x-amz-content-sha256 must be UNSIGNED-PAYLOAD, STREAMING-AWS4-HMAC-SHA256-PAYLOAD, or a valid "
                  "sha256 value.",
                  {{"ArgumentName", "x-amz-content-sha256"}, {"ArgumentValue", claimed}});
  std::string computed = call.body.empty() ? kEmptySha256 : sha256_hex(call.body);
  if (claimed != computed)
    throw S3Error(400, "XAmzContentSHA256Mismatch",
                  "The provided 'x-amz-content-sha256' header does not match what was computed.",
                  {{"ClientComputedContentSHA256", claimed}, {"S3ComputedContentSHA256", computed}});
}

void check_content_md5(const AwsCall& call) {
  auto it = call.headers.find("content-md5");
  if (it == call.headers.end()) return;
  std::string sent;
  try {
    sent = base64_decode(it->second);
  } catch (const std::exception&) {
    sent.clear();
  }
  if (sent.size() != 16)
    throw S3Error(400, "InvalidDigest", "The Content-MD5 you specified was not valid.", {{"Content-MD5", it->second}});
  std::string computed = md5_raw(call.body);
  if (sent != computed)
    throw S3Error(400, "BadDigest", "The Content-MD5 you specified did not match what we received.",
                  {{"ExpectedDigest", hex(sent)}, {"CalculatedDigest", base64_encode(computed)}});
}

namespace {

// A reflected CRC of `data` (the S3 checksum algorithms CRC32, CRC32C, CRC64NVME).
std::uint64_t reflected_crc(std::string_view data, std::uint64_t polynomial, int bits) {
  const std::uint64_t mask = bits == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
  std::uint64_t crc = mask;
  for (unsigned char c : data) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? (crc >> 1) ^ polynomial : crc >> 1;
  }
  return (crc ^ mask) & mask;
}

std::string big_endian(std::uint64_t value, int bytes) {
  std::string out(static_cast<std::size_t>(bytes), '\0');
  for (int i = bytes - 1; i >= 0; --i, value >>= 8) out[static_cast<std::size_t>(i)] = static_cast<char>(value & 0xff);
  return out;
}

std::string evp_digest(const EVP_MD* md, std::string_view data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(data.data(), data.size(), out, &len, md, nullptr);
  return std::string(reinterpret_cast<const char*>(out), len);
}

}  // namespace

// Requests that S3 only accepts with an integrity check (Content-MD5 or one
// x-amz-checksum-* header), checked against the body.
void check_required_integrity(const AwsCall& call) {
  struct Algorithm {
    const char* header;
    const char* name;
    std::string (*compute)(std::string_view);
  };
  static const Algorithm algorithms[] = {
      {"x-amz-checksum-crc32", "CRC32",
       [](std::string_view d) { return big_endian(reflected_crc(d, 0xEDB88320u, 32), 4); }},
      {"x-amz-checksum-crc32c", "CRC32C",
       [](std::string_view d) { return big_endian(reflected_crc(d, 0x82F63B78u, 32), 4); }},
      {"x-amz-checksum-crc64nvme", "CRC64NVME",
       [](std::string_view d) { return big_endian(reflected_crc(d, 0x9A6C9329AC4BC9B5ull, 64), 8); }},
      {"x-amz-checksum-sha1", "SHA1", [](std::string_view d) { return evp_digest(EVP_sha1(), d); }},
      {"x-amz-checksum-sha256", "SHA256", [](std::string_view d) { return evp_digest(EVP_sha256(), d); }},
  };
  bool checked = call.headers.count("content-md5") > 0;
  check_content_md5(call);
  for (const auto& algorithm : algorithms) {
    auto it = call.headers.find(algorithm.header);
    if (it == call.headers.end()) continue;
    checked = true;
    std::string sent;
    try {
      sent = base64_decode(it->second);
    } catch (const std::exception&) {
      sent.clear();
    }
    std::string computed = algorithm.compute(call.body);
    if (sent.size() != computed.size())
      throw S3Error(400, "InvalidRequest", std::string("Value for ") + algorithm.header + " header is invalid.");
    if (sent != computed)
      throw S3Error(400, "BadDigest",
                    std::string("The ") + algorithm.name + " you specified did not match the calculated checksum.");
  }
  if (!checked) throw S3Error(400, "InvalidRequest", "Missing required header for this request: Content-MD5");
}

S3Error malformed_xml() {
  return S3Error(400, "MalformedXML",
                 "The XML you provided was not well-formed or did not validate against our published schema");
}

AwsReply xml_reply(const XmlReply& xml, const AwsCall& call) {
  AwsReply reply;
  reply.content_type = "application/xml";
  reply.body = xml.str(true);
  reply.headers.emplace_back("x-amz-request-id", call.request_id);
  return reply;
}

AwsReply empty_reply(int status, const AwsCall& call) {
  AwsReply reply;
  reply.status = status;
  reply.content_type = "";
  reply.headers.emplace_back("x-amz-request-id", call.request_id);
  return reply;
}

bool valid_bucket_name(const std::string& name) {
  if (name.size() < 3 || name.size() > 63) return false;
  if (!std::isalnum(static_cast<unsigned char>(name.front())) || !std::isalnum(static_cast<unsigned char>(name.back())))
    return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return std::islower(static_cast<unsigned char>(c)) || std::isdigit(static_cast<unsigned char>(c)) || c == '-' ||
           c == '.';
  });
}

}  // namespace qvn::sandbox::s3wire
