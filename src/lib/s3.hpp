#pragma once
// S3 transfer: per-VPC folder backup to and from a bucket, listing with
// paging, deletion under a key prefix, and S3BackupCmd, which binds a client,
// a local backup folder, a bucket and a VPC id together.
//
//   S3BackupCmd cmd(s3_client, "backups", bucket, "vpc-1");
//   cmd.uploadAFile("k.pem");   // backups/vpc-1/k.pem -> s3://bucket/backups/vpc-1/k.pem
//   cmd.upload();               // every file below backups/vpc-1
//   cmd.download();             // the VPC's objects back into backups/vpc-1
//   for (const auto& [key, modified] : listAllFiles(s3_client, bucket, "backups/")) ...
//
// Bucket layout: "backups/" + vpc_id + "/" + the path below the local folder
// backupdir + "/" + vpc_id. Paths are plain text joined with "/".
//
// Every transfer and deletion reads Globals.dry_run afresh: a dry run lists and
// logs as a real run does but transfers, deletes and creates nothing.
// An absent client (std::nullopt) or bucket (std::nullopt or empty) is logged
// as an "**Alert**" at INFO or WARNING; every other failure (an S3 refusal, a
// local file that cannot be read or written) is thrown to the caller.
// Logger: quorvane_testlibs.bin.lib.s3.
#include <cstddef>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "aws/s3.hpp"

namespace qvn {

using OptS3Client = std::optional<aws::S3Client>;
using OptText = std::optional<std::string>;

// One listed object: its key and LastModified as S3 reports it.
using S3ListItem = std::pair<std::string, std::string>;

// The objects of a bucket under a prefix, fetched page by page while the
// caller iterates (a page is requested only when the previous one has been
// consumed). Single pass: begin() may be called once.
class S3Listing {
 public:
  S3Listing(OptS3Client s3_client, std::string bucket, std::string prefix, std::string suffix, std::string contains);

  class iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = S3ListItem;
    using difference_type = std::ptrdiff_t;
    using pointer = const S3ListItem*;
    using reference = const S3ListItem&;

    iterator() = default;
    reference operator*() const;
    pointer operator->() const { return &**this; }
    iterator& operator++();
    void operator++(int) { ++*this; }
    bool operator==(const iterator& other) const { return listing_ == other.listing_; }

   private:
    friend class S3Listing;
    explicit iterator(S3Listing* listing) : listing_(listing) {}
    S3Listing* listing_ = nullptr;  // null at the end
  };

  iterator begin();
  iterator end() { return iterator(); }

 private:
  // Moves to the next matching object, requesting pages as needed; false at the end.
  bool advance();

  OptS3Client client_;
  aws::ListObjectsV2Request request_;
  std::string suffix_;
  std::string contains_;
  aws::ListObjectsV2Result page_;
  std::size_t index_ = 0;
  bool started_ = false;
  bool last_page_ = false;
  S3ListItem current_;
};

// The objects whose key starts with `prefix`, contains `contains` and ends
// with `suffix` (empty: any), in the service's order, every page followed.
S3Listing listAllFiles(const OptS3Client& s3_client, const std::string& bucket, const std::string& prefix = "",
                       const std::string& suffix = "", const std::string& contains = "");

// Deletes every object whose key starts with `folder_key`, one by one while listing.
void deleteFolder(const OptS3Client& s3_client, const std::string& s3_bucket, const std::string& folder_key);

// Uploads backupdir/vpc_id/filename to the key "backups/" + vpc_id + "/" + filename.
void uploadFile(const OptS3Client& s3_client, const std::string& backupdir, const std::string& vpc_id,
                const std::string& filename, const OptText& s3_bucket);

// Uploads every file below backupdir/vpc_id (top-down, in the file system's
// order), each to "backups/" + its path below backupdir.
void uploadAllFiles(const OptS3Client& s3_client, const std::string& backupdir, const std::string& vpc_id,
                    const OptText& s3_bucket);

// Brings the objects under "backups/" + vpc_id + "/" into target_location/vpc_id,
// except those ending with ".log", ".tfstate" or ".backup".
void downloadAllFiles(const OptS3Client& s3_client, const OptText& s3_bucket, const std::string& vpc_id,
                      const std::string& target_location);

// Downloads `key` (which starts with `prefix`) to dest + "/" + its path below
// `prefix`, creating missing folders. A key whose path below the prefix would
// leave `dest` (a ".." or "." segment, a leading "/") is refused with
// std::invalid_argument; a folder marker (key ending with "/") only gets its folder.
void downloadBucketObj(const aws::S3Client& s3_client, const std::string& bucket, const std::string& dest,
                       const std::string& prefix, const std::string& key);

class S3BackupCmd {
 public:
  S3BackupCmd(OptS3Client s3_client, std::string backupdir, OptText s3_bucket, OptText vpc_id = std::nullopt);

  // uploadAllFiles of backupdir/vpc_id.
  void upload() const;
  // downloadAllFiles into backupdir/vpc_id, the folder that upload() reads.
  void download() const;
  // uploadFile of the file `filename` (a bare name) inside backupdir/vpc_id.
  void uploadAFile(const std::string& filename) const;
  // The bytes of the bucket's copy of `filename` ("backups/" + vpc_id + "/"
  // + filename), or nothing when the bucket holds none. Read whole into
  // memory (small files such as keys); never written anywhere. Without a
  // client or bucket: nothing. Other refusals are thrown.
  std::optional<std::string> readAFile(const std::string& filename) const;
  // "s3://" + bucket + "/backups/" + vpc_id + "/" + filename.
  std::string locationOf(const std::string& filename) const;

  const OptS3Client s3_client;
  const std::string backupdir;
  const OptText s3_bucket;
  const OptText vpc_id;

 private:
  // The VPC id; an operation without one is refused (std::invalid_argument).
  const std::string& vpc() const;
};

}  // namespace qvn
