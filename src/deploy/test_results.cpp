#include "deploy/test_results.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
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
// FIFO or device placed there is refused.
bool leaveScratch(const std::string& path, const std::string& bytes) {
  try {
    writeFile(path, bytes, WriteRules::scratch());
    return true;
  } catch (const FileWriteError& e) {
    packageLogger().info("  **Error** cannot write " + path + " safely: " + e.reason());
    return false;
  }
}

// The object a refusal concerns, named after AWS's own text.
std::string refusalText(const aws::ServiceError& e, const std::string& bucket, const std::string& key) {
  return std::string(e.what()) + " (s3://" + bucket + "/" + key + ")";
}

// Examines one subnet; false when it failed.
bool checkSubnet(const aws::S3Client& s3_client, const TestResultsArgs& args, const std::string& subnet_id,
                 const std::string& tag) {
  packageLogger().info("- Test ping and traceroute in " + subnet_id);
  const std::string result_key = "result-" + tag + ".txt";
  const std::string log_key = "log-" + tag + ".txt";
  bool ok = true;
  std::string key = log_key;
  try {
    DownloadFolder folder;
    const std::string log = fetch(s3_client, args.s3_bucket, log_key, folder);
    ok = leaveScratch(args.scratch_folder + "/log.txt", log) && ok;
    packageLogger().info(log);
    key = result_key;
    const std::string result = fetch(s3_client, args.s3_bucket, result_key, folder);
    ok = leaveScratch(args.scratch_folder + "/result.txt", result) && ok;
    if (!passed(result)) ok = false;
    packageLogger().info(result);
  } catch (const aws::ServiceError& e) {
    packageLogger().info(refusalText(e, args.s3_bucket, key));
    ok = false;
  }
  return ok;
}

}  // namespace

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
    ++count.examined;
    if (checkSubnet(s3_client, args, subnet_id, tag)) ++count.passed;
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
