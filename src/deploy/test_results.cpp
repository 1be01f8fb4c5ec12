#include "deploy/test_results.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "aws/errors.hpp"
#include "core/logging.hpp"
#include "lib/file_writer.hpp"
#include "lib/test_config.hpp"

namespace qvn {

namespace fs = std::filesystem;

namespace {

bool passed(std::string_view content) {
  constexpr std::string_view blanks = " \t\n\r\v\f";
  const auto first = content.find_first_not_of(blanks);
  if (first == std::string_view::npos) return false;
  const auto last = content.find_last_not_of(blanks);
  return content.substr(first, last - first + 1) == "PASS";
}

// A private folder for the downloads, removed with everything in it.
class DownloadFolder {
 public:
  DownloadFolder() {
    std::string pattern = (fs::temp_directory_path() / "qvn-results.XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
      throw std::runtime_error("cannot create a download folder in " + fs::temp_directory_path().string() + ": " +
                               std::strerror(errno));
    }
    path_ = pattern;
  }
  ~DownloadFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  DownloadFolder(const DownloadFolder&) = delete;
  DownloadFolder& operator=(const DownloadFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The object's bytes, downloaded into the private folder and read back from there.
std::string fetch(const aws::S3Client& s3_client, const std::string& bucket, const std::string& key,
                  const DownloadFolder& folder) {
  const std::string file = folder.path() + "/object";
  s3_client.download_file(bucket, key, file);
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read the downloaded " + key + " in " + file);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw std::runtime_error("cannot read the downloaded " + key + " in " + file);
  return bytes;
}

// Leaves `bytes` in the scratch file; false (reported) when that cannot be
// done safely: the file is replaced, never written through a link, and a
// FIFO or device placed there is refused. No scratch folder: nothing is left.
bool leaveScratch(const std::string& folder, const std::string& name, const std::string& bytes) {
  if (folder.empty()) return true;
  const std::string path = folder + "/" + name;
  try {
    writeFile(path, bytes, WriteRules::scratch());
    return true;
  } catch (const FileWriteError& e) {
    packageLogger().info("  **Error** cannot write " + path + " safely: " + e.reason());
    return false;
  }
}

std::string objectName(const std::string& bucket, const std::string& key) { return "s3://" + bucket + "/" + key; }

// Why an object could not be had: "no ... object" for a missing one, AWS's
// text otherwise.
std::string unreadable(const aws::ServiceError& e, const std::string& what, const std::string& object) {
  if (e.code() == "NoSuchKey") return "no " + what + " object " + object;
  return "cannot read the " + what + " object " + object + ": " + e.what();
}

// The first line of a result (at most 80 characters), quoted, for the
// reason of a failure.
std::string firstLineQuoted(const std::string& content) {
  std::string text = content.substr(0, content.find_first_of("\r\n"));
  if (text.size() > 80) text = text.substr(0, 80) + "...";
  return "\"" + text + "\"";
}

// One object of a subnet: its text, or nothing when it cannot be had (the
// refusal is logged with the object's name, and `reason` says why).
std::optional<std::string> readObject(const aws::S3Client& s3_client, const std::string& bucket,
                                      const std::string& key, const std::string& what, std::string& reason) {
  try {
    DownloadFolder folder;
    return fetch(s3_client, bucket, key, folder);
  } catch (const aws::ServiceError& e) {
    packageLogger().info(std::string(e.what()) + " (" + objectName(bucket, key) + ")");
    reason = unreadable(e, what, objectName(bucket, key));
    return std::nullopt;
  }
}

// Examines one subnet. Both objects are read, so that a missing result is
// reported as missing even when the log is missing too.
SubnetResult checkSubnet(const aws::S3Client& s3_client, const TestResultsArgs& args, const std::string& subnet_id,
                         const std::string& tag) {
  packageLogger().info("- Test ping and traceroute in " + subnet_id);
  const std::string log_key = "log-" + tag + ".txt";
  const std::string result_key = "result-" + tag + ".txt";
  SubnetResult subnet;
  subnet.subnet_id = subnet_id;
  subnet.tag = tag;
  subnet.result_object = objectName(args.s3_bucket, result_key);
  subnet.log_object = objectName(args.s3_bucket, log_key);
  std::string log_reason, result_reason, scratch_reason;
  subnet.log = readObject(s3_client, args.s3_bucket, log_key, "log", log_reason);
  if (subnet.log) {
    if (!leaveScratch(args.scratch_folder, "log.txt", *subnet.log)) scratch_reason = "log.txt cannot be left";
    packageLogger().info(*subnet.log);
  }
  subnet.result = readObject(s3_client, args.s3_bucket, result_key, "result", result_reason);
  if (subnet.result) {
    if (!leaveScratch(args.scratch_folder, "result.txt", *subnet.result)) scratch_reason = "result.txt cannot be left";
    if (!passed(*subnet.result)) result_reason = "the result reads " + firstLineQuoted(*subnet.result);
    packageLogger().info(*subnet.result);
  }
  for (const std::string* reason : {&result_reason, &log_reason, &scratch_reason})
    if (subnet.failure.empty()) subnet.failure = *reason;
  if (!subnet.passed()) packageLogger().info("  " + subnet_id + " failed: " + subnet.failure);
  return subnet;
}

}  // namespace

std::vector<SubnetResult> TestResultsCount::failing() const {
  std::vector<SubnetResult> failed;
  for (const auto& subnet : subnets)
    if (!subnet.passed()) failed.push_back(subnet);
  return failed;
}

std::string deduceTag(const TestResultsArgs& args, const nlohmann::ordered_json* test_config) {
  const std::string workflow_tag = args.tag.empty() ? std::string() : args.tag;
  if (!test_config) return "-" + workflow_tag;
  const auto gw_name = test_config->find("gw_name");
  if (!test_config->is_object() || gw_name == test_config->end() || !gw_name->is_string()) {
    throw std::invalid_argument("test configuration entry without a text member \"gw_name\"");
  }
  return gw_name->get<std::string>() + "-" + workflow_tag;
}

TestResultsCount collectS3TestResults(const aws::S3Client& s3_client, const TestResultsArgs& args) {
  TestResultsCount count;
  const auto check = [&](const std::string& subnet_id, const std::string& tag) {
    count.subnets.push_back(checkSubnet(s3_client, args, subnet_id, tag));
    ++count.examined;
    if (count.subnets.back().passed()) ++count.passed;
  };
  if (!args.test_config.empty()) {
    TestConfig config = TestConfig::read(args.test_config);
    config.require_strings({"private_subnet_id", "gw_name"});
    for (auto& entry : config.entries()) check(entry.string("private_subnet_id"), deduceTag(args, &entry.json()));
  } else {
    check(args.private_subnet_id, deduceTag(args));
  }
  return count;
}

int getS3TestResults(const aws::S3Client& s3_client, const TestResultsArgs& args) {
  return collectS3TestResults(s3_client, args).allPassed() ? 0 : 1;
}

}  // namespace qvn
