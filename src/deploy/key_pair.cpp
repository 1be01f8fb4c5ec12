#include "deploy/key_pair.hpp"

#include <chrono>
#include <filesystem>
#include <stdexcept>

#include "aws/errors.hpp"
#include "core/logging.hpp"
#include "core/run_outcome.hpp"
#include "deploy/failure_report.hpp"
#include "deploy/resource_names.hpp"
#include "deploy/run_summary.hpp"
#include "deploy/tags.hpp"
#include "deploy/vpc_lookups.hpp"
#include "lib/file_writer.hpp"
#include "lib/s3.hpp"

namespace qvn::deploy {

namespace {

aws::DescribeKeyPairsRequest lookupRequest(const std::string& keyName) {
  aws::DescribeKeyPairsRequest request;
  request.Filters = {aws::Filter{"tag:Name", {names::kKeyPairTag}}, aws::Filter{"key-name", {keyName}}};
  request.IncludePublicKey = true;
  return request;
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
      if (entry.size() > prefix.size() && entry.starts_with(prefix) &&
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

std::string privateKeyPath(const DeployArgs& args, const std::string& vpcId) {
  return args.backup_folder + "/" + vpcId + "/" + names::keyPairName(vpcId) + ".pem";
}

void writePrivateFile(const std::string& path, const std::string& content) {
  writeFile(path, content, WriteRules::privateFile());
}

namespace {

void deletePair(const aws::Ec2Client& ec2_client, const std::string& keyName) {
  aws::DeleteKeyPairRequest remove;
  remove.KeyName = keyName;
  ec2_client.delete_key_pair(remove);
}

// How many of the tool's instances in the VPC, in any state but
// terminated, were launched with the pair.
std::size_t instancesUsingPair(const aws::Ec2Client& ec2_client, const std::string& vpcId, const std::string& keyName) {
  std::size_t users = 0;
  for (const ToolInstance& instance : toolInstancesInVpc(ec2_client, vpcId)) users += instance.key_name == keyName;
  return users;
}

// A found pair whose private key is not in the backup folder. The key is
// brought back from the bucket's copy when there is one; a pair that
// instances were launched with is kept as it is, whatever key is missing,
// since those instances accept no other. True when the pair is reused; false
// when nobody can log in with it and nothing uses it: the run that made it
// was stopped before it saved the key, and the pair is made again.
bool reuseWithoutLocalKey(const aws::Ec2Client& ec2_client, const S3BackupCmd& backup, const std::string& vpcId,
                          const std::string& keyName, const std::string& path) {
  Logger& log = packageLogger();
  const std::string file = keyName + ".pem";
  const bool has_bucket = backup.s3_bucket && !backup.s3_bucket->empty();
  if (const std::optional<std::string> copy = backup.readAFile(file)) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    writePrivateFile(path, *copy);
    log.info("  Restored private key " + path + " from " + backup.locationOf(file));
    return true;
  }
  const std::size_t users = instancesUsingPair(ec2_client, vpcId, keyName);
  if (users == 0) return false;
  log.warning("  **Alert** no private key of " + keyName + ": looked for " + path +
              (has_bucket ? " and " + backup.locationOf(file) : std::string(" (no --s3_bucket)")) + "; " +
              std::to_string(users) + (users == 1 ? " instance uses" : " instances use") +
              " the pair, which is kept as it is");
  return true;
}

// The bucket's copy of the new private key `path`; answers the object
// written. A copy the bucket holds already is of a pair of that name that no
// longer exists (this one is new). It is never overwritten: it is moved aside
// first, to "<key>.pem.replaced-<unix time>" beside it (through a 0600 file
// in the backup folder), so that a later run on another machine restores the
// key of the pair that exists and the old key is not lost.
std::optional<std::string> backUpNewKey(const S3BackupCmd& backup, const std::string& keyName,
                                        const std::string& path) {
  if (!backup.s3_bucket || backup.s3_bucket->empty()) return std::nullopt;
  const std::string file = keyName + ".pem";
  if (const std::optional<std::string> earlier = backup.readAFile(file)) {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const std::string aside =
        file + ".replaced-" + std::to_string(std::chrono::duration_cast<std::chrono::seconds>(now).count());
    writePrivateFile(std::filesystem::path(path).parent_path().string() + "/" + aside, *earlier);
    backup.uploadAFile(aside);
    packageLogger().warning("  **Alert** " + backup.locationOf(file) +
                            " held the key of an earlier pair of that name: kept as " + backup.locationOf(aside));
  }
  backup.uploadAFile(file);
  return backup.locationOf(file);
}

// Whether the tool's pair `keyName` exists and no instance was launched
// with it: a creation whose answer was lost made it, and nobody holds its key.
bool pairWithLostKey(const aws::Ec2Client& ec2_client, const std::string& vpcId, const std::string& keyName) {
  try {
    return !ec2_client.describe_key_pairs(lookupRequest(keyName)).KeyPairs.empty() &&
           instancesUsingPair(ec2_client, vpcId, keyName) == 0;
  } catch (const std::exception& e) {
    logError(failureText(e));
    return false;
  }
}

// Creates the pair and answers its private key, or nothing after a failure
// (reported). A retry that meets the pair its first attempt made
// ("InvalidKeyPair.Duplicate", the key gone with the lost answer) deletes
// that pair, when it is the tool's and no instance uses it, and makes it
// once more.
std::optional<std::string> newPairKey(const aws::Ec2Client& ec2_client, const aws::CreateKeyPairRequest& request,
                                      const std::string& vpcId) {
  Logger& log = packageLogger();
  const std::string& keyName = request.KeyName;
  for (bool again = true;; again = false) {
    try {
      return ec2_client.create_key_pair(request).KeyMaterial;
    } catch (const aws::ServiceError& e) {
      if (e.code() != "InvalidKeyPair.Duplicate") {
        reportFailure("create key pair " + keyName, e);
        return std::nullopt;
      }
      log.info("  Key pair " + keyName + " already existed");
      if (!again || !pairWithLostKey(ec2_client, vpcId, keyName)) {
        reportFailure("create key pair " + keyName, e);
        return std::nullopt;
      }
    } catch (const std::exception& e) {
      logFailure("create key pair " + keyName, e);
      return std::nullopt;
    }
    log.info("  Its private key was lost on the way: make the key pair again");
    try {
      deletePair(ec2_client, keyName);
    } catch (const std::exception& e) {
      logError(failureText(e));
      return std::nullopt;
    }
  }
}

}  // namespace

std::string createKeyPair(const RunContext& run) {
  Logger& log = packageLogger();
  const aws::Ec2Client& ec2_client = run.ec2;
  const std::string& vpcId = run.vpc_id;
  const DeployArgs& args = run.args;
  std::string keyName = names::keyPairName(vpcId);
  log.info("- Create key pair " + keyName);
  aws::DescribeKeyPairsResult found;
  try {
    found = ec2_client.describe_key_pairs(lookupRequest(keyName));
  } catch (const std::exception& e) {
    logFailure("look up key pair " + keyName, e);
    throw;
  }
  const std::string path = privateKeyPath(args, vpcId);
  const S3BackupCmd backup(run.s3, args.backup_folder, args.s3_bucket, vpcId);
  if (!args.dry_run) removeStaleKeyTemporaries(path);
  if (!found.KeyPairs.empty()) {
    log.info("  Key " + keyName + " already exist");
    if (args.dry_run || privateKeyFileExists(path) || reuseWithoutLocalKey(ec2_client, backup, vpcId, keyName, path)) {
      run.count(core::Change::Adopted, kinds::kKeyPair, keyName);
      if (!args.dry_run && privateKeyFileExists(path)) run.notePath(kinds::kKeyFile, path);
      return keyName;
    }
    // The tool's own pair (the lookup matched its tag), with its private key
    // nowhere and no instance launched with it: replaced.
    log.info("  No private key " + path + ": make the key pair again");
    try {
      deletePair(ec2_client, keyName);
    } catch (const std::exception& e) {
      logFailure("replace key pair " + keyName, e);
      throw ProgramExit{1};
    }
  }
  if (args.dry_run) {
    run.count(core::Change::Created, kinds::kKeyPair);
    return keyName;
  }

  aws::CreateKeyPairRequest request;
  request.KeyName = keyName;
  request.KeyType = "rsa";
  request.TagSpecifications = {nameTagSpecification("key-pair", names::kKeyPairTag)};
  request.KeyFormat = "pem";
  if (args.tag_resource) populateTags(request, *args.tag_resource);

  const std::optional<std::string> material = newPairKey(ec2_client, request, vpcId);
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
      deletePair(ec2_client, keyName);
    } catch (const std::exception& cleanup) {
      reportFailure("delete key pair " + keyName + " whose private key was not saved", cleanup);
    }
    throw;
  }
  run.count(core::Change::Created, kinds::kKeyPair, keyName);
  run.notePath(kinds::kKeyFile, path);
  if (const auto written = backUpNewKey(backup, keyName, path); written && run.tally != nullptr)
    run.tally->noteS3Object(*written);
  return keyName;
}

std::optional<std::string> findToolKeyPair(const aws::Ec2Client& ec2_client, const std::string& keyname) {
  const auto found = ec2_client.describe_key_pairs(lookupRequest(keyname));
  if (found.KeyPairs.empty()) return std::nullopt;
  return found.KeyPairs.front().KeyPairId.value_or("");
}

bool deleteKeyPair(const RunContext& run, const std::string& keyname) {
  Logger& log = packageLogger();
  const aws::Ec2Client& ec2_client = run.ec2;
  log.info("- Delete key pair " + keyname);
  const std::optional<std::string> id = findToolKeyPair(ec2_client, keyname);
  if (!id) {
    log.info("  Key not found: " + keyname);
    return true;
  }
  log.info("  " + *id);
  if (run.args.dry_run) {
    run.count(core::Change::Removed, kinds::kKeyPair);
    return true;
  }
  try {
    aws::DeleteKeyPairRequest request;
    request.KeyName = keyname;
    ec2_client.delete_key_pair(request);
    run.count(core::Change::Removed, kinds::kKeyPair, keyname);
    return true;
  } catch (const std::exception& e) {
    logFailure("delete key pair " + keyname, e);
    return false;
  }
}

void getPemKeyFromSSM(const aws::SsmClient& ssm_client, const std::string& pemkey, const DeployArgs& args) {
  Logger& log = packageLogger();
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
