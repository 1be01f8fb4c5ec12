#include "lib/s3.hpp"

#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "core/logging.hpp"
#include "core/run_outcome.hpp"
#include "lib/basekit.hpp"

namespace qvn {

namespace fs = std::filesystem;

namespace {

Logger* s3Log() { return getLogger("quorvane_testlibs.bin.lib.s3"); }

bool dryRun() { return Globals.dry_run.load(); }

bool hasBucket(const OptText& bucket) { return bucket && !bucket->empty(); }

bool keptLocally(const std::string& key) {
  return key.ends_with(".log") || key.ends_with(".tfstate") || key.ends_with(".backup");
}

// A path below a prefix that stays inside the folder it is joined to: not
// absolute and without "." or ".." segments.
bool staysInside(const std::string& relative) {
  if (!relative.empty() && relative.front() == '/') return false;
  std::size_t start = 0;
  while (start <= relative.size()) {
    std::size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    const std::string segment = relative.substr(start, end - start);
    if (segment == "." || segment == "..") return false;
    start = end + 1;
  }
  return true;
}

void makeFolders(const std::string& path) {
  std::error_code ec;
  if (fs::exists(fs::symlink_status(path, ec))) return;
  if (dryRun()) return;
  fs::create_directories(path, ec);
  if (ec) throw fs::filesystem_error("cannot create the folder " + path, path, ec);
}

void uploadOne(const aws::S3Client& client, const std::string& backupdir, const std::string& path,
               const std::string& bucket) {
  const std::string key = Common::remove_prefix(path, backupdir + "/");
  s3Log()->info("  " + path + " to " + bucket + "/backups/" + key);
  if (!dryRun()) client.upload_file(path, bucket, "backups/" + key);
}

// Top-down walk: a folder's files in the order the file system lists them,
// then each of its subfolders the same way. Links to folders are not followed;
// a folder that cannot be read yields nothing.
void walkFiles(const std::string& root, std::vector<std::string>& files) {
  std::error_code ec;
  fs::directory_iterator it(root, ec);
  if (ec) return;
  std::vector<std::string> folders;
  for (const fs::directory_iterator end; it != end; it.increment(ec)) {
    if (ec) break;
    const std::string name = it->path().filename().string();
    std::error_code kind_ec;
    const bool is_link = it->is_symlink(kind_ec);
    const bool is_folder = it->is_directory(kind_ec);
    if (is_folder && is_link) continue;
    if (is_folder) {
      folders.push_back(name);
    } else {
      files.push_back(root + "/" + name);
    }
  }
  for (const auto& folder : folders) walkFiles(root + "/" + folder, files);
}

}  // namespace

// ---- listing ----

S3Listing::S3Listing(OptS3Client s3_client, std::string bucket, std::string prefix, std::string suffix,
                     std::string contains)
    : client_(std::move(s3_client)), suffix_(std::move(suffix)), contains_(std::move(contains)) {
  request_.Bucket = std::move(bucket);
  request_.Prefix = std::move(prefix);
}

S3Listing::iterator S3Listing::begin() {
  if (started_) throw std::logic_error("an S3 listing can be iterated only once");
  started_ = true;
  if (!client_) {
    s3Log()->warning("  **Alert** failed to listAllFiles - no access to S3.");
    return end();
  }
  last_page_ = false;
  index_ = 0;
  page_ = client_->list_objects_v2(request_);
  return advance() ? iterator(this) : end();
}

bool S3Listing::advance() {
  for (;;) {
    while (index_ < page_.Contents.size()) {
      const aws::S3Object& object = page_.Contents[index_++];
      const std::string key = object.Key.value_or("");
      if (key.find(contains_) == std::string::npos) continue;
      if (!suffix_.empty() && !key.ends_with(suffix_)) continue;
      current_ = {key, object.LastModified.value_or("")};
      return true;
    }
    // The listing ends where S3 gives no continuation token.
    if (!page_.NextContinuationToken) return false;
    request_.ContinuationToken = *page_.NextContinuationToken;
    page_ = client_->list_objects_v2(request_);
    index_ = 0;
  }
}

const S3ListItem& S3Listing::iterator::operator*() const {
  if (!listing_) throw std::out_of_range("S3 listing iterator at its end");
  return listing_->current_;
}

S3Listing::iterator& S3Listing::iterator::operator++() {
  if (listing_ && !listing_->advance()) listing_ = nullptr;
  return *this;
}

S3Listing listAllFiles(const OptS3Client& s3_client, const std::string& bucket, const std::string& prefix,
                       const std::string& suffix, const std::string& contains) {
  return S3Listing(s3_client, bucket, prefix, suffix, contains);
}

// ---- deletion ----

void deleteFolder(const OptS3Client& s3_client, const std::string& s3_bucket, const std::string& folder_key) {
  for (const auto& [key, modified] : listAllFiles(s3_client, s3_bucket, folder_key)) {
    s3Log()->info("  " + key);
    if (!dryRun()) s3_client->delete_object(aws::DeleteObjectRequest{s3_bucket, key, std::nullopt});
  }
}

// ---- upload ----

void uploadFile(const OptS3Client& s3_client, const std::string& backupdir, const std::string& vpc_id,
                const std::string& filename, const OptText& s3_bucket) {
  if (!s3_client) return;
  const std::string absolutePath = backupdir + "/" + vpc_id + "/" + filename;
  s3Log()->info("- Upload " + absolutePath + " to S3");
  if (!hasBucket(s3_bucket)) {
    s3Log()->info("  **Alert** failed to read S3 bucket name for upload");
    return;
  }
  uploadOne(*s3_client, backupdir, absolutePath, *s3_bucket);
}

void uploadAllFiles(const OptS3Client& s3_client, const std::string& backupdir, const std::string& vpc_id,
                    const OptText& s3_bucket) {
  if (!s3_client) return;
  const std::string absolutePath = backupdir + "/" + vpc_id;
  s3Log()->info("- Upload " + absolutePath + " to S3");
  if (!hasBucket(s3_bucket)) {
    s3Log()->info("  **Alert** failed to read S3 bucket name for upload");
    return;
  }
  std::vector<std::string> files;
  walkFiles(absolutePath, files);
  for (const auto& file : files) uploadOne(*s3_client, backupdir, file, *s3_bucket);
}

// ---- download ----

void downloadBucketObj(const aws::S3Client& s3_client, const std::string& bucket, const std::string& dest,
                       const std::string& prefix, const std::string& key) {
  if (!key.starts_with(prefix)) {
    throw std::invalid_argument("S3 key " + key + " does not start with " + prefix);
  }
  const std::string relative = key.substr(prefix.size());
  if (!staysInside(relative)) {
    throw std::invalid_argument("S3 key " + key + " leads outside " + dest);
  }
  const std::size_t li = key.rfind('/');
  const std::string subfolder =
      li == std::string::npos || li < prefix.size() ? std::string() : key.substr(prefix.size(), li - prefix.size());
  makeFolders(dest + "/" + subfolder);
  // A folder marker has nothing to write beyond its folder.
  if (relative.empty() || relative.back() == '/') return;
  s3_client.download_file(bucket, key, dest + "/" + relative);
}

void downloadAllFiles(const OptS3Client& s3_client, const OptText& s3_bucket, const std::string& vpc_id,
                      const std::string& target_location) {
  if (!hasBucket(s3_bucket)) {
    s3Log()->warning("  **Alert** failed to read S3 bucket name for download");
    return;
  }
  const std::string target_folder = target_location + "/" + vpc_id;
  s3Log()->info("- Download S3 " + *s3_bucket + "/" + vpc_id + " to " + target_folder);
  const std::string s3BucketPrefix = "backups/" + vpc_id + "/";
  makeFolders(target_folder);
  for (const auto& [key, modified] : listAllFiles(s3_client, *s3_bucket, s3BucketPrefix)) {
    if (keptLocally(key)) continue;
    if (!staysInside(key.substr(s3BucketPrefix.size()))) {
      s3Log()->warning("  **Alert** skipped " + key + ": its path leads outside " + target_folder);
      continue;
    }
    s3Log()->info("  " + key);
    if (!dryRun()) downloadBucketObj(*s3_client, *s3_bucket, target_folder, s3BucketPrefix, key);
  }
}

// ---- S3BackupCmd ----

S3BackupCmd::S3BackupCmd(OptS3Client s3_client, std::string backupdir, OptText s3_bucket, OptText vpc_id)
    : s3_client(std::move(s3_client)),
      backupdir(std::move(backupdir)),
      s3_bucket(std::move(s3_bucket)),
      vpc_id(std::move(vpc_id)) {}

const std::string& S3BackupCmd::vpc() const {
  if (!vpc_id || vpc_id->empty()) throw std::invalid_argument("S3BackupCmd: no VPC id to name the backup folder");
  return *vpc_id;
}

void S3BackupCmd::upload() const { uploadAllFiles(s3_client, backupdir, vpc(), s3_bucket); }

void S3BackupCmd::download() const { downloadAllFiles(s3_client, s3_bucket, vpc(), backupdir); }

void S3BackupCmd::uploadAFile(const std::string& filename) const {
  uploadFile(s3_client, backupdir, vpc(), filename, s3_bucket);
}

std::optional<std::string> S3BackupCmd::readAFile(const std::string& filename) const {
  if (!s3_client || !hasBucket(s3_bucket)) return std::nullopt;
  aws::GetObjectRequest request;
  request.Bucket = *s3_bucket;
  request.Key = "backups/" + vpc() + "/" + filename;
  try {
    return s3_client->get_object(request).Body;
  } catch (const aws::ServiceError& refusal) {
    if (refusal.code() == "NoSuchKey") return std::nullopt;
    throw;
  }
}

std::string S3BackupCmd::locationOf(const std::string& filename) const {
  return "s3://" + s3_bucket.value_or("") + "/backups/" + vpc() + "/" + filename;
}

}  // namespace qvn
