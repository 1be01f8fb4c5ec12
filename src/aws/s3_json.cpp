#include "aws/s3_json.hpp"

namespace qvn::aws {

std::vector<JsonOperation> s3_json_operations(const std::shared_ptr<S3Client>& c) {
  using Transfer = void (S3Client::*)(const FileTransferRequest&) const;
  return {
      json_operation("list_objects_v2", "ListObjectsV2", c, &S3Client::list_objects_v2),
      json_operation("upload_file", "PutObject", c, static_cast<Transfer>(&S3Client::upload_file)),
      json_operation("download_file", "GetObject", c, static_cast<Transfer>(&S3Client::download_file)),
      json_operation("delete_object", "DeleteObject", c, &S3Client::delete_object),
  };
}

}  // namespace qvn::aws
