#pragma once
// S3 request and result structures, with AWS's member names (see shape.hpp).
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "aws/shape.hpp"

#define F QVN_FIELD

namespace qvn::aws {

// One listed object (the API's "Object").
struct S3Object {
  std::optional<std::string> Key{};
  std::optional<std::string> LastModified;  // ISO 8601, as sent
  std::optional<std::string> ETag;          // with its double quotes, as sent
  std::optional<long long> Size{};
  std::optional<std::string> StorageClass{};
  static constexpr auto fields() {
    using T = S3Object;
    return std::tuple{F(T, Key), F(T, LastModified), F(T, ETag), F(T, Size), F(T, StorageClass)};
  }
};

struct CommonPrefix {
  std::optional<std::string> Prefix{};
  static constexpr auto fields() { return std::tuple{F(CommonPrefix, Prefix)}; }
};

struct ListObjectsV2Request {
  std::string Bucket{};
  std::optional<std::string> Delimiter{};
  std::optional<int> MaxKeys{};
  std::optional<std::string> Prefix{};
  std::optional<std::string> ContinuationToken{};
  std::optional<bool> FetchOwner{};
  std::optional<std::string> StartAfter{};
  std::optional<std::string> ExpectedBucketOwner{};
  static constexpr auto fields() {
    using T = ListObjectsV2Request;
    return std::tuple{F(T, Bucket),     F(T, Delimiter),          F(T, MaxKeys),
                      F(T, Prefix),     F(T, ContinuationToken),  F(T, FetchOwner),
                      F(T, StartAfter), F(T, ExpectedBucketOwner)};
  }
};

// Keys, prefixes, the delimiter and StartAfter come decoded (the client asks
// S3 to URL-encode them so that any key survives the XML).
struct ListObjectsV2Result {
  std::optional<bool> IsTruncated{};
  std::vector<S3Object> Contents;
  std::optional<std::string> Name{};
  std::optional<std::string> Prefix{};
  std::optional<std::string> Delimiter{};
  std::optional<int> MaxKeys{};
  std::vector<CommonPrefix> CommonPrefixes{};
  std::optional<std::string> EncodingType{};
  std::optional<int> KeyCount{};
  std::optional<std::string> ContinuationToken{};
  std::optional<std::string> NextContinuationToken{};
  std::optional<std::string> StartAfter{};
  static constexpr auto fields() {
    using T = ListObjectsV2Result;
    return std::tuple{F(T, IsTruncated),
                      F(T, Contents).flat(),
                      F(T, Name),
                      F(T, Prefix),
                      F(T, Delimiter),
                      F(T, MaxKeys),
                      F(T, CommonPrefixes).flat(),
                      F(T, EncodingType),
                      F(T, KeyCount),
                      F(T, ContinuationToken),
                      F(T, NextContinuationToken),
                      F(T, StartAfter)};
  }
};

// upload_file and download_file: a local file and an object.
struct FileTransferRequest {
  std::string Filename{};
  std::string Bucket{};
  std::string Key{};
  static constexpr auto fields() {
    return std::tuple{F(FileTransferRequest, Filename), F(FileTransferRequest, Bucket), F(FileTransferRequest, Key)};
  }
};

struct GetObjectRequest {
  std::string Bucket{};
  std::string Key{};
  static constexpr auto fields() { return std::tuple{F(GetObjectRequest, Bucket), F(GetObjectRequest, Key)}; }
};

// A small object read whole into memory.
struct GetObjectResult {
  std::string Body{};
  static constexpr auto fields() { return std::tuple{F(GetObjectResult, Body)}; }
};

struct DeleteObjectRequest {
  std::string Bucket{};
  std::string Key{};
  std::optional<std::string> VersionId{};
  static constexpr auto fields() {
    return std::tuple{F(DeleteObjectRequest, Bucket), F(DeleteObjectRequest, Key), F(DeleteObjectRequest, VersionId)};
  }
};

// From the response headers x-amz-delete-marker and x-amz-version-id.
struct DeleteObjectResult {
  std::optional<bool> DeleteMarker{};
  std::optional<std::string> VersionId{};
  static constexpr auto fields() {
    return std::tuple{F(DeleteObjectResult, DeleteMarker), F(DeleteObjectResult, VersionId)};
  }
};

}  // namespace qvn::aws

#undef F
