#pragma once
// The sandbox's S3 over rest-xml with path-style addressing (/bucket/key):
// buckets and objects, ListObjectsV2 with prefixes, delimiters and
// continuation, object put/get/head/delete with AWS's integrity checks.
#include <map>
#include <mutex>
#include <string>

#include "service.hpp"

namespace qvn::sandbox {

// An S3 refusal with the extra elements S3 puts in its <Error> (Key,
// BucketName, Region, ...) and extra response headers.
struct S3Error : ApiError {
  Pairs elements;
  Pairs headers;
  S3Error(int http_status, std::string error_code, const std::string& message, Pairs extra_elements = {},
          Pairs extra_headers = {})
      : ApiError(http_status, std::move(error_code), message),
        elements(std::move(extra_elements)),
        headers(std::move(extra_headers)) {}
};

// The S3 operation a path-style request stands for ("ListObjectsV2",
// "PutObject", ...), from its method, raw path and query.
std::string s3_operation_name(const std::string& method, const std::string& raw_path, const Pairs& query);

struct S3Object {
  std::string body, content_type = "binary/octet-stream", etag;  // etag with its quotes
  Clock::time_point last_modified;
  Pairs metadata;  // x-amz-meta-* headers, names in lower case
};

struct S3Bucket {
  std::string name, region, account_id;  // empty region: answers in every region
  Clock::time_point created;
  std::map<std::string, S3Object> objects;  // by key, in S3's (byte) order
};

class S3Service final : public Service {
 public:
  std::string name() const override { return "s3"; }
  AwsReply handle(const AwsCall& call) override;
  AwsReply render_error(const ApiError& error, const std::string& request_id) const override;
  void load(const Json& scenario, World& world) override;
  Json dump() const override;

 private:
  S3Bucket& bucket(const AwsCall& call, const std::string& name);
  AwsReply list_buckets(const AwsCall& call);
  AwsReply create_bucket(const AwsCall& call, const std::string& name);
  AwsReply delete_bucket(const AwsCall& call, const std::string& name);
  AwsReply head_bucket(const AwsCall& call, const std::string& name);
  AwsReply list_objects_v2(const AwsCall& call, const std::string& name);
  AwsReply put_object(const AwsCall& call, const std::string& name, const std::string& key);
  AwsReply get_object(const AwsCall& call, const std::string& name, const std::string& key, bool head);
  AwsReply delete_object(const AwsCall& call, const std::string& name, const std::string& key);
  AwsReply delete_objects(const AwsCall& call, const std::string& name);

  mutable std::mutex mutex_;
  std::map<std::string, S3Bucket> buckets_;
  std::size_t page_size_ = 1000;
  std::string default_account_;
};

}  // namespace qvn::sandbox
