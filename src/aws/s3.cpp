#include "aws/s3.hpp"

#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <utility>

#include "aws/shape_xml.hpp"
#include "aws/text_codec.hpp"
#include "http/transport_error.hpp"

namespace qvn::aws {
namespace {

void decode(std::optional<std::string>& value) {
  if (value) value = text::url_decode(*value);
}

// Base64 MD5 of a file, read in pieces: S3 checks the upload against it.
std::string file_content_md5(const std::string& filename) {
  std::ifstream in(filename, std::ios::binary);
  if (!in) throw S3FileError("upload_file: cannot read " + filename + ": " + std::strerror(errno));
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1) {
    throw S3FileError("upload_file: MD5 is not available");
  }
  char buffer[64 * 1024];
  while (in) {
    in.read(buffer, sizeof buffer);
    if (in.gcount() > 0) EVP_DigestUpdate(ctx.get(), buffer, static_cast<std::size_t>(in.gcount()));
  }
  if (in.bad()) throw S3FileError("upload_file: error while reading " + filename);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(ctx.get(), digest, &length);
  return text::base64_encode(std::string_view(reinterpret_cast<const char*>(digest), length));
}

}  // namespace

std::string s3_key_path(const std::string& key) { return "/" + text::percent_encode(key, true); }

ServiceId S3Client::service_id() { return ServiceId{"s3", Protocol::RestXml, "2006-03-01", ""}; }

S3Client::S3Client(std::shared_ptr<OperationSender> sender) : sender_(std::move(sender)) {}

ListObjectsV2Result S3Client::list_objects_v2(const ListObjectsV2Request& request) const {
  OperationRequest op;
  op.operation = "ListObjectsV2";
  op.method = "GET";
  op.path = "";
  op.bucket = request.Bucket;
  op.query.emplace_back("list-type", "2");
  if (request.Delimiter) op.query.emplace_back("delimiter", *request.Delimiter);
  if (request.MaxKeys) op.query.emplace_back("max-keys", std::to_string(*request.MaxKeys));
  if (request.Prefix) op.query.emplace_back("prefix", *request.Prefix);
  if (request.ContinuationToken) op.query.emplace_back("continuation-token", *request.ContinuationToken);
  if (request.FetchOwner) op.query.emplace_back("fetch-owner", *request.FetchOwner ? "true" : "false");
  if (request.StartAfter) op.query.emplace_back("start-after", *request.StartAfter);
  op.query.emplace_back("encoding-type", "url");
  if (request.ExpectedBucketOwner) op.headers.emplace_back("x-amz-expected-bucket-owner", *request.ExpectedBucketOwner);

  const OperationResponse response = sender_->send(op);
  pugi::xml_document document;
  const pugi::xml_node root = xml::load(document, response.body, "ListBucketResult", "ListObjectsV2");
  ListObjectsV2Result result;
  shape::read_xml(root, result, shape::XmlDialect::RestXml);
  if (result.EncodingType == "url") {
    for (auto& object : result.Contents) decode(object.Key);
    for (auto& prefix : result.CommonPrefixes) decode(prefix.Prefix);
    decode(result.Prefix);
    decode(result.Delimiter);
    decode(result.StartAfter);
  }
  return result;
}

void S3Client::upload_file(const std::string& filename, const std::string& bucket, const std::string& key) const {
  std::error_code ec;
  if (std::filesystem::is_directory(filename, ec)) {
    throw S3FileError("upload_file: " + filename + " is a directory");
  }
  OperationRequest op;
  op.operation = "PutObject";
  op.method = "PUT";
  op.bucket = bucket;
  op.path = s3_key_path(key);
  op.headers.emplace_back("Content-MD5", file_content_md5(filename));
  op.upload_file = filename;
  sender_->send(op);
}

void S3Client::upload_file(const FileTransferRequest& request) const {
  upload_file(request.Filename, request.Bucket, request.Key);
}

void S3Client::download_file(const std::string& bucket, const std::string& key, const std::string& filename) const {
  // The transport writes the object beside the target and gives it the
  // target's name only once it has arrived whole: a failed or interrupted
  // download never leaves a truncated file under the real name.
  OperationRequest op;
  op.operation = "GetObject";
  op.method = "GET";
  op.bucket = bucket;
  op.path = s3_key_path(key);
  op.download_file = filename;
  try {
    sender_->send(op);
  } catch (const http::TransportError& error) {
    if (error.kind() != http::TransportError::Kind::Local) throw;
    throw S3FileError("download_file: " + std::string(error.what()));
  }
}

void S3Client::download_file(const FileTransferRequest& request) const {
  download_file(request.Bucket, request.Key, request.Filename);
}

namespace {

// A request about one object: `bucket`/`key`.
OperationRequest objectRequest(const char* operation, const char* method, const std::string& bucket,
                               const std::string& key) {
  OperationRequest op;
  op.operation = operation;
  op.method = method;
  op.bucket = bucket;
  op.path = s3_key_path(key);
  return op;
}

}  // namespace

GetObjectResult S3Client::get_object(const GetObjectRequest& request) const {
  GetObjectResult result;
  result.Body = sender_->send(objectRequest("GetObject", "GET", request.Bucket, request.Key)).body;
  return result;
}

DeleteObjectResult S3Client::delete_object(const DeleteObjectRequest& request) const {
  OperationRequest op = objectRequest("DeleteObject", "DELETE", request.Bucket, request.Key);
  if (request.VersionId) op.query.emplace_back("versionId", *request.VersionId);
  const OperationResponse response = sender_->send(op);
  DeleteObjectResult result;
  const std::string marker = http::find_header(response.headers, "x-amz-delete-marker");
  if (bool deleted = false; shape::xml_detail::parse_boolean(marker, deleted)) result.DeleteMarker = deleted;
  const std::string version = http::find_header(response.headers, "x-amz-version-id");
  if (!version.empty()) result.VersionId = version;
  return result;
}

}  // namespace qvn::aws
