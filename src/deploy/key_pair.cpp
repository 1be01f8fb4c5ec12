#include "deploy/key_pair.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "aws/errors.hpp"
#include "core/logging.hpp"
#include "core/run_outcome.hpp"
#include "deploy/failure_report.hpp"
#include "deploy/tags.hpp"
#include "lib/s3.hpp"

namespace qvn::deploy {

namespace {

aws::DescribeKeyPairsRequest lookupRequest(const std::string& keyName) {
  aws::DescribeKeyPairsRequest request;
  request.Filters = {aws::Filter{"tag:Name", {kKeyPairTag}}, aws::Filter{"key-name", {keyName}}};
  request.IncludePublicKey = true;
  return request;
}

std::string systemError(const std::string& what, const std::string& path, int error) {
  return what + " " + path + ": " + std::strerror(error);
}

// Temporary files of a key written to `path` by an earlier run that was
// killed before it could rename or remove them: ".qvn-tmp.<name>.<unique>",
// and ".<name>.<unique>" of older versions. Only names built from this
// key's own file name are touched.
void removeStaleKeyTemporaries(const std::string& path) {
  namespace fs = std::filesystem;
  const fs::path target(path);
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  const std::string name = target.filename().string();
  const std::string prefixes[] = {".qvn-tmp." + name + ".", "." + name + "."};
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string entry = it->path().filename().string();
    for (const std::string& prefix : prefixes) {
      if (entry.size() > prefix.size() && entry.compare(0, prefix.size(), prefix) == 0 &&
          it->symlink_status().type() == fs::file_type::regular) {
        std::error_code ignored;
        fs::remove(it->path(), ignored);
        break;
      }
    }
  }
}

bool privateKeyFileExists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec);
}

}  // namespace

std::string keyPairName(const std::string& vpcId) { return "quorvane-test-ec2-key-pair-" + vpcId; }

std::string privateKeyPath(const DeployArgs& args, const std::string& vpcId) {
  return args.backup_folder + "/" + vpcId + "/" + keyPairName(vpcId) + ".pem";
}

void writePrivateFile(const std::string& path, const std::string& content) {
  const std::filesystem::path target(path);
  const std::filesystem::path folder = target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
  std::string pattern = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  // mkstemp makes the file with O_EXCL and mode 0600: nobody else can open
  // it, and no earlier file or link is reused.
  const int fd = ::mkstemp(name.data());
  if (fd < 0) throw std::runtime_error(systemError("cannot create a private key file beside", path, errno));
  const std::string temporary(name.data());
  auto fail = [&](const std::string& what) {
    const int error = errno;
    ::close(fd);
    ::unlink(temporary.c_str());
    throw std::runtime_error(systemError(what, path, error));
  };
  if (::fchmod(fd, 0600) != 0) fail("cannot set the mode of");
  std::size_t written = 0;
  while (written < content.size()) {
    const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("cannot write");
    }
    written += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0) fail("cannot write");
  if (::close(fd) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    throw std::runtime_error(systemError("cannot write", path, error));
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    throw std::runtime_error(systemError("cannot replace", path, error));
  }
}

std::string createKeyPair(const aws::Ec2Client& ec2_client, const std::optional<aws::S3Client>& s3_client,
                          const std::string& vpcId, const DeployArgs& args) {
  Logger& log = *getLogger("quorvane_testlibs");
  const std::string keyName = keyPairName(vpcId);
  log.info("- Create key pair " + keyName);
  aws::DescribeKeyPairsResult found;
  try {
    found = ec2_client.describe_key_pairs(lookupRequest(keyName));
  } catch (const std::exception& e) {
    log.error("  **Error** " + failureText(e));
    throw;
  }
  const std::string path = privateKeyPath(args, vpcId);
  if (!args.dry_run) removeStaleKeyTemporaries(path);
  if (!found.KeyPairs.empty()) {
    log.info("  Key " + keyName + " already exist");
    if (args.dry_run || privateKeyFileExists(path)) return keyName;
    // The tool's own pair (the lookup matched its tag), but its private key
    // never reached this folder: the run that made it was stopped first. A
    // pair nobody can log in with is replaced.
    log.info("  No private key " + path + ": make the key pair again");
    try {
      aws::DeleteKeyPairRequest remove;
      remove.KeyName = keyName;
      ec2_client.delete_key_pair(remove);
    } catch (const std::exception& e) {
      log.error("  **Error** " + failureText(e));
      throw ProgramExit{1};
    }
  }
  if (args.dry_run) return keyName;

  aws::CreateKeyPairRequest request;
  request.KeyName = keyName;
  request.KeyType = "rsa";
  request.TagSpecifications = {nameTagSpecification("key-pair", kKeyPairTag)};
  request.KeyFormat = "pem";
  if (args.tag_resource) populateTags(request, *args.tag_resource);

  std::optional<std::string> material;
  try {
    material = ec2_client.create_key_pair(request).KeyMaterial;
  } catch (const aws::ServiceError& e) {
    if (e.code() == "InvalidKeyPair.Duplicate") log.info("  Key pair " + keyName + " already existed");
    reportFailure("create key pair " + keyName, e);
  } catch (const std::exception& e) {
    log.error("  **Error** " + failureText(e));
  }
  if (!material) {
    log.error("  Failed to create private key");
    throw ProgramExit{1};
  }
  log.info("  done");

  try {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    writePrivateFile(path, *material + "\n");
  } catch (const std::exception& e) {
    // The private key exists nowhere else: give the pair up so that the next
    // run creates a new one instead of reusing a pair nobody can log in with.
    try {
      aws::DeleteKeyPairRequest remove;
      remove.KeyName = keyName;
      ec2_client.delete_key_pair(remove);
    } catch (const std::exception& cleanup) {
      reportFailure("delete key pair " + keyName + " whose private key was not saved", cleanup);
    }
    throw;
  }
  if (args.s3_bucket && !args.s3_bucket->empty())
    S3BackupCmd(s3_client, args.backup_folder, args.s3_bucket, vpcId).uploadAFile(keyName + ".pem");
  return keyName;
}

void deleteKeyPair(const aws::Ec2Client& ec2_client, const std::string& keyname, const DeployArgs& args) {
  Logger& log = *getLogger("quorvane_testlibs");
  log.info("- Delete key pair " + keyname);
  const auto found = ec2_client.describe_key_pairs(lookupRequest(keyname));
  if (found.KeyPairs.empty()) {
    log.info("  Key not found: " + keyname);
    return;
  }
  log.info("  " + found.KeyPairs.front().KeyPairId.value_or(""));
  if (args.dry_run) return;
  try {
    aws::DeleteKeyPairRequest request;
    request.KeyName = keyname;
    ec2_client.delete_key_pair(request);
  } catch (const std::exception& e) {
    log.error("  **Error** " + failureText(e));
  }
}

void getPemKeyFromSSM(const aws::SsmClient& ssm_client, const std::string& pemkey, const DeployArgs& args) {
  Logger& log = *getLogger("quorvane_testlibs");
  log.info("- Download pem key " + pemkey + " from SSM");
  if (!args.key_name || args.key_name->empty())
    throw std::invalid_argument("no --key_name to write the key of " + pemkey + " to");
  aws::GetParameterRequest request;
  request.Name = pemkey;
  request.WithDecryption = true;
  const auto answer = ssm_client.get_parameter(request);
  if (!answer.Parameter || !answer.Parameter->Value)
    throw std::runtime_error("SSM parameter " + pemkey + " came without a value");
  writePrivateFile(*args.key_name, *answer.Parameter->Value);
}

}  // namespace qvn::deploy
