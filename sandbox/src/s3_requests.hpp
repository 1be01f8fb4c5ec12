#pragma once
// What the sandbox's S3 reads from a request and checks before it acts, and
// the shapes of its plain answers: path-style bucket and key, query and
// header look-up, the key encoding of encoding-type=url, S3's payload and
// integrity checks (x-amz-content-sha256, Content-MD5, x-amz-checksum-*).
#include <string>
#include <utility>

#include "query_xml.hpp"
#include "s3.hpp"

namespace qvn::sandbox::s3wire {

extern const char* const kXmlns;

// Bucket and key of a path-style request; the key is empty for bucket operations.
std::pair<std::string, std::string> split_path(const std::string& raw_path);

bool has_query(const Pairs& query, const std::string& name);
std::string query_value(const AwsCall& call, const std::string& name);
std::string header(const AwsCall& call, const std::string& name);

// How S3 writes keys and prefixes with encoding-type=url: form encoding
// (space as '+') that leaves '/' alone.
std::string url_encode_key(const std::string& text);

bool valid_utf8(const std::string& s);
bool valid_bucket_name(const std::string& name);

S3Error no_such_bucket(const std::string& name);
S3Error malformed_xml();

// The payload checks S3 makes before it accepts a request.
void check_payload(const AwsCall& call);
void check_content_md5(const AwsCall& call);
// Requests that S3 only accepts with an integrity check (Content-MD5 or one
// x-amz-checksum-* header), checked against the body.
void check_required_integrity(const AwsCall& call);

AwsReply xml_reply(const XmlReply& xml, const AwsCall& call);
AwsReply empty_reply(int status, const AwsCall& call);

}  // namespace qvn::sandbox::s3wire
