#pragma once
// The text encodings of the AWS client, each written once: percent-encoding
// of URL parts and form fields, the URL decoding S3 applies to listed keys,
// hex, the digests that are sent as hex (SHA-256, SHA-1), base64, random
// UUIDs, trimming and ASCII lower case (header look-up is http::find_header).
#include <optional>
#include <string>
#include <string_view>

namespace qvn::aws::text {

// Percent-encodes every byte but A-Z a-z 0-9 - _ . ~ (and '/' when
// keep_slash), upper-case hex.
std::string percent_encode(std::string_view text, bool keep_slash);

// A form field the way the SDKs write one: percent_encode, with a space as '+'.
std::string form_encode(std::string_view text);

// Decodes %XX sequences and '+' as a space (form/URL decoding). A '%' not
// followed by two hex digits is kept as it is.
std::string url_decode(std::string_view text);

// Decodes %XX sequences only ('+' stays '+'), as for RFC 3986 encoding.
std::string percent_decode(std::string_view text);

std::string base64_encode(std::string_view bytes);

// Every byte as two lower-case hex digits.
std::string hex(std::string_view bytes);

// Digests in lower-case hex.
std::string sha256_hex(std::string_view data);
std::string sha1_hex(std::string_view data);
// Of a file's content, read in pieces; nullopt when it cannot be read.
std::optional<std::string> sha256_file_hex(const std::string& path);

// Without the leading and trailing blanks (space, tab, CR, LF).
std::string trim(std::string_view text);

// ASCII letters in lower case; every other byte as it is.
std::string lower(std::string_view text);

// A random (version 4) UUID in lower-case hex: "3f0c1b2a-9d8e-4f7a-b6c5-d4e3f2a1b0c9".
std::string uuid4();

}  // namespace qvn::aws::text
