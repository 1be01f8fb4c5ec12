#pragma once
// Small text encodings used by the service clients: percent-encoding of URL
// parts, the URL decoding S3 applies to listed keys, base64, random UUIDs,
// ASCII lower case (header look-up is http::find_header).
#include <string>
#include <string_view>

namespace qvn::aws::text {

// Percent-encodes every byte but A-Z a-z 0-9 - _ . ~ (and '/' when
// keep_slash), upper-case hex.
std::string percent_encode(std::string_view text, bool keep_slash);

// Decodes %XX sequences and '+' as a space (form/URL decoding). A '%' not
// followed by two hex digits is kept as it is.
std::string url_decode(std::string_view text);

// Decodes %XX sequences only ('+' stays '+'), as for RFC 3986 encoding.
std::string percent_decode(std::string_view text);

std::string base64_encode(std::string_view bytes);

// ASCII letters in lower case; every other byte as it is.
std::string lower(std::string_view text);

// A random (version 4) UUID in lower-case hex: "3f0c1b2a-9d8e-4f7a-b6c5-d4e3f2a1b0c9".
std::string uuid4();

}  // namespace qvn::aws::text
