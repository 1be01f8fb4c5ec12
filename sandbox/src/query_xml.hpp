#pragma once
// Wire helpers shared by the XML services of the sandbox (IAM, STS and S3):
// building response documents, rendering the query protocol's
// ErrorResponse, AWS's time formats, and the opaque identifiers AWS hands out.
#include <string>
#include <string_view>

#include <pugixml.hpp>

#include "service.hpp"

namespace qvn::sandbox {

// One XML response under construction: a root element with the service's
// namespace, children added through pugixml.
class XmlReply {
 public:
  XmlReply(const std::string& root, const std::string& xmlns);
  pugi::xml_node root() { return root_; }
  // Appends <name>text</name> to `parent` and returns the new element.
  static pugi::xml_node add(pugi::xml_node parent, const std::string& name, const std::string& text);
  // The document as sent, with or without the XML declaration.
  std::string str(bool declaration = false) const;

 private:
  pugi::xml_document doc_;
  pugi::xml_node root_;
};

// The query protocol's answer: <OpResponse><OpResult>...</OpResult>
// <ResponseMetadata><RequestId>..</RequestId></ResponseMetadata></OpResponse>.
class QueryReply {
 public:
  QueryReply(const std::string& operation, const std::string& xmlns, bool with_result = true);
  // The <OpResult> element (the root when the operation has no output).
  pugi::xml_node result() { return result_; }
  AwsReply finish(const std::string& request_id);

 private:
  XmlReply xml_;
  pugi::xml_node result_;
};

// <ErrorResponse><Error><Type/><Code/><Message/></Error><RequestId/></ErrorResponse>
// Type is "Receiver" for 5xx refusals, "Sender" otherwise.
AwsReply render_query_error(const ApiError& error, const std::string& request_id, const std::string& xmlns);

// "2024-01-15T12:00:00Z" (seconds precision, as IAM and STS write times).
std::string iso8601(Clock::time_point t);
// "2024-01-15T12:00:00.000Z" (S3 listings).
std::string iso8601_millis(Clock::time_point t);
// "Mon, 15 Jan 2024 12:00:00 GMT" (HTTP dates).
std::string http_date(Clock::time_point t);
// Seconds since the epoch with milliseconds (JSON protocol timestamps).
double epoch_seconds(Clock::time_point t);
// Parses "YYYY-MM-DDTHH:MM:SS[.fff]Z"; throws std::invalid_argument.
Clock::time_point parse_iso8601(const std::string& text);

// `count` random characters of `alphabet` (thread-safe).
std::string random_chars(std::size_t count, std::string_view alphabet);
inline constexpr std::string_view kUpperAlnum = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
inline constexpr std::string_view kBase64Chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
// IAM-style unique id: prefix ("AROA", "ANPA", ...) and 17 upper-case characters.
std::string iam_unique_id(const std::string& prefix);

std::string base64_encode(std::string_view data);
// Throws std::invalid_argument on malformed input.
std::string base64_decode(std::string_view text);

// Lowercase hex SHA-256 and raw MD5 of `data`.
std::string sha256_hex(std::string_view data);
std::string md5_raw(std::string_view data);
std::string hex(std::string_view bytes);

// RFC 3986 encoding (A-Z a-z 0-9 - _ . ~ bare), as IAM writes policy documents.
std::string percent_encode(std::string_view text);

}  // namespace qvn::sandbox
