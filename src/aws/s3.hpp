#pragma once
// The S3 client: list_objects_v2 (one page per call), upload_file and
// download_file (streamed between a local file and one object, in a single
// request) and delete_object.
//
// A refusal is thrown by the sender as ServiceError; a local file that
// cannot be read or written throws S3FileError; an unreadable listing
// throws ResponseParseError.
#include <memory>
#include <optional>
#include <string>

#include "aws/errors.hpp"
#include "aws/s3_model.hpp"
#include "aws/service_client.hpp"
#include "aws/xml.hpp"

namespace qvn::aws {

class S3FileError : public AwsError {
 public:
  using AwsError::AwsError;
};

class S3Client {
 public:
  static ServiceId service_id();

  explicit S3Client(std::shared_ptr<OperationSender> sender);
  // A client that sends through a ServiceClient of the session.
  S3Client(std::shared_ptr<Session> session, std::optional<std::string> region = std::nullopt);

  // One page; pass the previous page's NextContinuationToken as
  // ContinuationToken for the next one.
  ListObjectsV2Result list_objects_v2(const ListObjectsV2Request& request) const;

  // Uploads the file `filename` to `bucket`/`key`.
  void upload_file(const std::string& filename, const std::string& bucket, const std::string& key) const;
  void upload_file(const FileTransferRequest& request) const;

  // Downloads `bucket`/`key` into `filename`, replacing it only once the
  // whole object has arrived.
  void download_file(const std::string& bucket, const std::string& key, const std::string& filename) const;
  void download_file(const FileTransferRequest& request) const;

  // The object's bytes, held in memory (for small objects; a missing one
  // is the ServiceError "NoSuchKey").
  GetObjectResult get_object(const GetObjectRequest& request) const;

  DeleteObjectResult delete_object(const DeleteObjectRequest& request) const;

  OperationSender& sender() const { return *sender_; }

 private:
  std::shared_ptr<OperationSender> sender_;
};

// The path of an object key: "/" followed by the key with every byte but
// A-Z a-z 0-9 - _ . ~ and '/' percent-encoded ("a b+c.txt" -> "/a%20b%2Bc.txt").
std::string s3_key_path(const std::string& key);

}  // namespace qvn::aws
