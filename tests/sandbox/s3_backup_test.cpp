// The S3 backup transfer against the sandbox's S3 over HTTP: uploads of one
// file and of a folder tree, downloads that leave local-only files behind,
// listings of several pages, deletion under a prefix, dry runs, and the
// absent client and bucket.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "core/run_outcome.hpp"
#include "ec2_test_server.hpp"
#include "lib/s3.hpp"
#include "unit/core/log_capture.hpp"

namespace qvn::sandbox {
namespace {

using namespace qvn::sandbox::testing;
namespace fs = std::filesystem;

const std::string kBucket = "quorvane-backups-123456789012";

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

class S3BackupTest : public SandboxServerTest {
 protected:
  void SetUp() override {
    scratch = fs::temp_directory_path() / ("qvn_s3_backup_" + std::to_string(::getpid()) + "_" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(scratch);
    fs::create_directories(scratch);
    Globals.dry_run = false;
    capture = std::make_shared<test_support::CaptureHandler>();
    getLogger("quorvane_testlibs.bin.lib.s3")->addHandler(capture);
    getLogger("quorvane_testlibs.bin.lib.s3")->setLevel(DEBUG);
  }
  void TearDown() override {
    getLogger("quorvane_testlibs.bin.lib.s3")->removeHandler(capture);
    getLogger("quorvane_testlibs.bin.lib.s3")->setLevel(NOTSET);
    Globals.dry_run = false;
    fs::remove_all(scratch);
    SandboxServerTest::TearDown();
  }

  // A sandbox whose bucket holds `objects` (key -> body), listing `page_size` keys a page.
  void startS3(const std::map<std::string, std::string>& objects = {}, int page_size = 1000) {
    Json scenario = load_scenario_file(scenario_path("empty.json"));
    Json list = Json::array();
    for (const auto& [key, body] : objects) list.push_back({{"key", key}, {"body", body}});
    scenario["s3"] = {{"page_size", page_size}, {"buckets", {{{"name", kBucket}, {"objects", list}}}}};
    std::vector<std::unique_ptr<Service>> extra;
    extra.push_back(make_s3_service());
    start(scenario, std::move(extra));
  }

  aws::S3Client client() const {
    aws::SessionOptions options;
    options.region = "us-east-1";
    return aws::S3Client(aws::Session::from_credentials(kCiKey, kCiSecret, "", options));
  }

  // The bucket's objects as the sandbox holds them: key -> body.
  std::map<std::string, std::string> objects() {
    std::map<std::string, std::string> out;
    const Json state = get_json("/_sandbox/state");
    for (const auto& bucket : state["services"]["s3"]["buckets"]) {
      if (bucket["name"] != kBucket) continue;
      for (const auto& o : bucket["objects"]) out[o["key"]] = o.value("body", std::string());
    }
    return out;
  }
  std::size_t requests(const std::string& operation) {
    return get_json("/_sandbox/requests?service=s3&operation=" + operation)["requests"].size();
  }
  std::vector<std::string> messages() const { return capture->messages(); }
  std::vector<int> levels() const {
    std::vector<int> out;
    for (const auto& r : capture->records()) out.push_back(r.levelno);
    return out;
  }

  fs::path scratch;
  std::shared_ptr<test_support::CaptureHandler> capture;
};

// ---- upload ----

TEST_F(S3BackupTest, UploadAFileLandsUnderBackupsVpcWithItsTwoInfoLines) {
  startS3();
  const std::string backupdir = (scratch / "backups").string();
  write(backupdir + "/vpc-1/k.pem", "-----KEY-----\n");
  S3BackupCmd cmd(client(), backupdir, kBucket, "vpc-1");
  cmd.uploadAFile("k.pem");

  EXPECT_EQ(objects(), (std::map<std::string, std::string>{{"backups/vpc-1/k.pem", "-----KEY-----\n"}}));
  const std::string path = backupdir + "/vpc-1/k.pem";
  EXPECT_EQ(messages(), (std::vector<std::string>{"- Upload " + path + " to S3",
                                                  "  " + path + " to " + kBucket + "/backups/vpc-1/k.pem"}));
  EXPECT_EQ(levels(), (std::vector<int>{INFO, INFO}));
}

TEST_F(S3BackupTest, BackupFolderWithTrailingSlashStillGivesTheVpcKey) {
  startS3();
  const std::string backupdir = (scratch / "out").string() + "/";
  write(backupdir + "vpc-1/k.pem", "key");
  uploadFile(client(), backupdir, "vpc-1", "k.pem", kBucket);
  EXPECT_EQ(objects(), (std::map<std::string, std::string>{{"backups/vpc-1/k.pem", "key"}}));
  EXPECT_EQ(messages().at(0), "- Upload " + backupdir + "/vpc-1/k.pem to S3");
}

TEST_F(S3BackupTest, KeysWithSpacesAndPlusSurviveTheRoundTrip) {
  startS3();
  const std::string backupdir = (scratch / "b").string();
  write(backupdir + "/vpc-1/sub dir/a+b c.txt", "plus and space");
  write(backupdir + "/vpc-1/100%+.txt", "percent");
  S3BackupCmd(client(), backupdir, kBucket, "vpc-1").upload();
  EXPECT_EQ(objects(), (std::map<std::string, std::string>{{"backups/vpc-1/sub dir/a+b c.txt", "plus and space"},
                                                           {"backups/vpc-1/100%+.txt", "percent"}}));

  const std::string target = (scratch / "restore").string();
  downloadAllFiles(client(), kBucket, "vpc-1", target);
  EXPECT_EQ(slurp(target + "/vpc-1/sub dir/a+b c.txt"), "plus and space");
  EXPECT_EQ(slurp(target + "/vpc-1/100%+.txt"), "percent");
}

TEST_F(S3BackupTest, FolderTreeUploadsTopDownWithEveryFileAndNoFolders) {
  startS3();
  const std::string backupdir = (scratch / "backups").string();
  write(backupdir + "/vpc-1/top.txt", "t");
  write(backupdir + "/vpc-1/sub/a.txt", "a");
  write(backupdir + "/vpc-1/sub/deeper/b.txt", "b");
  fs::create_directories(backupdir + "/vpc-1/empty");
  write(backupdir + "/vpc-2/other.txt", "not this VPC");
  uploadAllFiles(client(), backupdir, "vpc-1", kBucket);

  EXPECT_EQ(objects(), (std::map<std::string, std::string>{{"backups/vpc-1/top.txt", "t"},
                                                           {"backups/vpc-1/sub/a.txt", "a"},
                                                           {"backups/vpc-1/sub/deeper/b.txt", "b"}}));
  const auto lines = messages();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "- Upload " + backupdir + "/vpc-1 to S3");
  EXPECT_EQ(lines[1], "  " + backupdir + "/vpc-1/top.txt to " + kBucket + "/backups/vpc-1/top.txt");
  // A folder's files come before its subfolders' files.
  auto at = [&](const std::string& file) {
    for (std::size_t i = 0; i < lines.size(); ++i)
      if (lines[i].find(file + " to ") != std::string::npos) return i;
    return lines.size();
  };
  EXPECT_LT(at("/sub/a.txt"), at("/sub/deeper/b.txt"));
}

TEST_F(S3BackupTest, MissingFolderUploadsNothingAndAMissingFileIsAnError) {
  startS3();
  const std::string backupdir = (scratch / "none").string();
  uploadAllFiles(client(), backupdir, "vpc-1", kBucket);
  EXPECT_EQ(messages(), std::vector<std::string>{"- Upload " + backupdir + "/vpc-1 to S3"});
  EXPECT_THROW(uploadFile(client(), backupdir, "vpc-1", "absent.pem", kBucket), aws::S3FileError);
  EXPECT_TRUE(objects().empty());
}

TEST_F(S3BackupTest, AbsentBucketStopsUploadsAfterTheirFirstLineAndNeverCallsS3) {
  startS3();
  const std::string backupdir = (scratch / "backups").string();
  write(backupdir + "/vpc-1/k.pem", "key");
  for (const OptText& bucket : {OptText{}, OptText{""}}) {
    capture = std::make_shared<test_support::CaptureHandler>();
    getLogger("quorvane_testlibs.bin.lib.s3")->addHandler(capture);
    S3BackupCmd cmd(client(), backupdir, bucket, "vpc-1");
    cmd.uploadAFile("k.pem");
    cmd.upload();
    EXPECT_EQ(messages(), (std::vector<std::string>{"- Upload " + backupdir + "/vpc-1/k.pem to S3",
                                                    "  **Alert** failed to read S3 bucket name for upload",
                                                    "- Upload " + backupdir + "/vpc-1 to S3",
                                                    "  **Alert** failed to read S3 bucket name for upload"}));
    EXPECT_EQ(levels(), (std::vector<int>{INFO, INFO, INFO, INFO}));

    cmd.download();
    EXPECT_EQ(messages().back(), "  **Alert** failed to read S3 bucket name for download");
    EXPECT_EQ(levels().back(), WARNING);
    getLogger("quorvane_testlibs.bin.lib.s3")->removeHandler(capture);
  }
  EXPECT_EQ(requests(""), 0u);
  EXPECT_FALSE(fs::exists(backupdir + "/vpc-1/sub"));
}

TEST_F(S3BackupTest, AbsentClientUploadsSilentlyAndListsNothingWithOneWarning) {
  startS3({{"backups/vpc-1/a.txt", "a"}});
  const std::string backupdir = (scratch / "backups").string();
  write(backupdir + "/vpc-1/k.pem", "key");
  S3BackupCmd cmd(std::nullopt, backupdir, kBucket, "vpc-1");
  cmd.uploadAFile("k.pem");
  cmd.upload();
  EXPECT_TRUE(messages().empty());

  deleteFolder(std::nullopt, kBucket, "backups/");
  EXPECT_EQ(messages(), std::vector<std::string>{"  **Alert** failed to listAllFiles - no access to S3."});
  EXPECT_EQ(levels(), std::vector<int>{WARNING});

  const std::string target = (scratch / "restore").string();
  downloadAllFiles(std::nullopt, kBucket, "vpc-1", target);
  EXPECT_EQ(messages().at(1), "- Download S3 " + kBucket + "/vpc-1 to " + target + "/vpc-1");
  EXPECT_EQ(messages().at(2), "  **Alert** failed to listAllFiles - no access to S3.");
  EXPECT_TRUE(fs::is_directory(target + "/vpc-1"));
  EXPECT_TRUE(fs::is_empty(target + "/vpc-1"));
  EXPECT_EQ(requests(""), 0u);
  EXPECT_EQ(objects().size(), 1u);
}

TEST_F(S3BackupTest, DryRunUploadLogsTheSameAndSendsNothing) {
  startS3();
  const std::string backupdir = (scratch / "backups").string();
  write(backupdir + "/vpc-1/k.pem", "key");
  write(backupdir + "/vpc-1/sub/a.txt", "a");
  Globals.dry_run = true;
  S3BackupCmd cmd(client(), backupdir, kBucket, "vpc-1");
  cmd.uploadAFile("k.pem");
  cmd.upload();
  EXPECT_EQ(messages().size(), 5u);
  EXPECT_EQ(messages().at(1), "  " + backupdir + "/vpc-1/k.pem to " + kBucket + "/backups/vpc-1/k.pem");
  EXPECT_EQ(requests("PutObject"), 0u);
  EXPECT_TRUE(objects().empty());
}

// ---- download ----

TEST_F(S3BackupTest, DownloadBringsTheTreeBackAndLeavesLocalOnlyFilesInTheBucket) {
  startS3({{"backups/vpc-1/k.pem", "key"},
           {"backups/vpc-1/sub/a.txt", "a"},
           {"backups/vpc-1/run.log", "log"},
           {"backups/vpc-1/x.tfstate", "state"},
           {"backups/vpc-1/y.backup", "old"},
           {"backups/vpc-1/notes.log.txt", "kept: only the ending counts"},
           {"backups/vpc-10/other.txt", "another VPC"}});
  const std::string target = (scratch / "target").string();
  S3BackupCmd(client(), target, kBucket, "vpc-1").download();

  EXPECT_EQ(slurp(target + "/vpc-1/k.pem"), "key");
  EXPECT_EQ(slurp(target + "/vpc-1/sub/a.txt"), "a");
  EXPECT_EQ(slurp(target + "/vpc-1/notes.log.txt"), "kept: only the ending counts");
  std::set<std::string> local;
  for (const auto& e : fs::recursive_directory_iterator(target))
    if (e.is_regular_file()) local.insert(fs::relative(e.path(), target).string());
  EXPECT_EQ(local, (std::set<std::string>{"vpc-1/k.pem", "vpc-1/sub/a.txt", "vpc-1/notes.log.txt"}));

  const auto lines = messages();
  EXPECT_EQ(lines.front(), "- Download S3 " + kBucket + "/vpc-1 to " + target + "/vpc-1");
  for (const auto& line : lines) {
    EXPECT_EQ(line.find("run.log"), std::string::npos);
    EXPECT_EQ(line.find("tfstate"), std::string::npos);
    EXPECT_EQ(line.find("y.backup"), std::string::npos);
  }
  EXPECT_EQ(lines.size(), 4u);
}

TEST_F(S3BackupTest, DownloadReplacesAnExistingFile) {
  startS3({{"backups/vpc-1/k.pem", "new"}});
  const std::string target = (scratch / "target").string();
  write(target + "/vpc-1/k.pem", "old and longer");
  downloadAllFiles(client(), kBucket, "vpc-1", target);
  EXPECT_EQ(slurp(target + "/vpc-1/k.pem"), "new");
}

TEST_F(S3BackupTest, DryRunDownloadListsButCreatesAndWritesNothing) {
  startS3({{"backups/vpc-1/sub/a.txt", "a"}});
  const std::string target = (scratch / "target").string();
  Globals.dry_run = true;
  downloadAllFiles(client(), kBucket, "vpc-1", target);
  EXPECT_FALSE(fs::exists(target));
  EXPECT_EQ(messages().back(), "  backups/vpc-1/sub/a.txt");
  EXPECT_EQ(requests("GetObject"), 0u);
}

TEST_F(S3BackupTest, KeysThatWouldLeaveTheTargetFolderAreNotWritten) {
  startS3({{"backups/vpc-1/../../escaped.txt", "outside"},
           {"backups/vpc-1/sub/./x.txt", "dot"},
           {"backups/vpc-1/folder/", ""},
           {"backups/vpc-1/fine.txt", "fine"}});
  const std::string target = (scratch / "deep" / "target").string();
  downloadAllFiles(client(), kBucket, "vpc-1", target);
  EXPECT_FALSE(fs::exists(scratch / "escaped.txt"));
  EXPECT_FALSE(fs::exists(scratch / "deep" / "escaped.txt"));
  EXPECT_EQ(slurp(target + "/vpc-1/fine.txt"), "fine");
  EXPECT_TRUE(fs::is_directory(target + "/vpc-1/folder"));
  int alerts = 0;
  for (const auto& line : messages()) alerts += line.rfind("  **Alert** skipped ", 0) == 0;
  EXPECT_EQ(alerts, 2);
  EXPECT_THROW(downloadBucketObj(client(), kBucket, target, "backups/vpc-1/", "backups/vpc-1/../../escaped.txt"),
               std::invalid_argument);
  EXPECT_THROW(downloadBucketObj(client(), kBucket, target, "backups/vpc-2/", "backups/vpc-1/fine.txt"),
               std::invalid_argument);
}

// ---- listing and deletion ----

TEST_F(S3BackupTest, ListingFollowsEveryPageOnceInTheServicesOrder) {
  std::map<std::string, std::string> stored;
  for (int i = 0; i < 7; ++i) stored["backups/vpc-1/f" + std::to_string(i) + ".txt"] = "x";
  stored["elsewhere/f.txt"] = "x";
  startS3(stored, 3);

  std::vector<std::string> keys;
  for (const auto& [key, modified] : listAllFiles(client(), kBucket, "backups/")) {
    keys.push_back(key);
    EXPECT_FALSE(modified.empty()) << key;
  }
  std::vector<std::string> expected;
  for (int i = 0; i < 7; ++i) expected.push_back("backups/vpc-1/f" + std::to_string(i) + ".txt");
  EXPECT_EQ(keys, expected);
  EXPECT_EQ(requests("ListObjectsV2"), 3u);
  const auto listed = get_json("/_sandbox/requests?service=s3&operation=ListObjectsV2")["requests"];
  EXPECT_EQ(listed[0].dump().find("continuation-token"), std::string::npos);
  EXPECT_NE(listed[1].dump().find("continuation-token"), std::string::npos);
}

TEST_F(S3BackupTest, ListingFiltersByContainsAndSuffixAndAsksForPagesOnlyWhenConsumed) {
  std::map<std::string, std::string> stored;
  for (int i = 0; i < 6; ++i) stored["r/result-" + std::to_string(i) + (i % 2 ? ".txt" : ".json")] = "x";
  startS3(stored, 2);

  std::vector<std::string> keys;
  for (const auto& item : listAllFiles(client(), kBucket, "r/", ".txt", "result-")) keys.push_back(item.first);
  EXPECT_EQ(keys, (std::vector<std::string>{"r/result-1.txt", "r/result-3.txt", "r/result-5.txt"}));

  server->log().clear();
  auto listing = listAllFiles(client(), kBucket, "r/");
  auto it = listing.begin();
  EXPECT_EQ(it->first, "r/result-0.json");
  EXPECT_EQ(requests("ListObjectsV2"), 1u);
}

TEST_F(S3BackupTest, DeleteFolderRemovesExactlyThePrefixAndDryRunOnlyLogs) {
  std::map<std::string, std::string> stored;
  for (int i = 0; i < 5; ++i) stored["backups/vpc-1/k" + std::to_string(i)] = "x";
  stored["backups/vpc-10/keep"] = "x";
  stored["backups/vpc-1 b/keep"] = "x";
  startS3(stored, 2);

  Globals.dry_run = true;
  deleteFolder(client(), kBucket, "backups/vpc-1/");
  EXPECT_EQ(messages().size(), 5u);
  EXPECT_EQ(objects().size(), 7u);
  EXPECT_EQ(requests("DeleteObject"), 0u);

  Globals.dry_run = false;
  deleteFolder(client(), kBucket, "backups/vpc-1/");
  EXPECT_EQ(messages().at(5), "  backups/vpc-1/k0");
  EXPECT_EQ(objects(),
            (std::map<std::string, std::string>{{"backups/vpc-10/keep", "x"}, {"backups/vpc-1 b/keep", "x"}}));
}

TEST_F(S3BackupTest, AMissingBucketIsThrownToTheCaller) {
  startS3();
  const std::string backupdir = (scratch / "backups").string();
  write(backupdir + "/vpc-1/k.pem", "key");
  EXPECT_EQ(refusal([&] { uploadFile(client(), backupdir, "vpc-1", "k.pem", std::string("no-such-bucket")); }),
            "NoSuchBucket");
  EXPECT_EQ(refusal([&] { deleteFolder(client(), "no-such-bucket", "backups/"); }), "NoSuchBucket");
  EXPECT_THROW(S3BackupCmd(client(), backupdir, kBucket).uploadAFile("k.pem"), std::invalid_argument);
}

}  // namespace
}  // namespace qvn::sandbox
