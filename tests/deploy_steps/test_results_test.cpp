// Result collection against the sandbox's S3: the pass/fail decision, the
// tags, missing objects, several subnets and the scratch files.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <cstdlib>
#include <map>

#include <pugixml.hpp>

#include "deploy/test_results.hpp"
#include "deploy/test_results_report.hpp"
#include "lib/test_config.hpp"
#include "sandbox/ec2_test_server.hpp"
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

class TestResultsTest : public SandboxServerTest {
 protected:
  void SetUp() override {
    scratch = fs::temp_directory_path() / ("qvn_results_" + std::to_string(::getpid()) + "_" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(scratch);
    fs::create_directories(scratch);
    capture = std::make_shared<test_support::CaptureHandler>();
    getLogger("quorvane_testlibs")->addHandler(capture);
    saved_level = getLogger("quorvane_testlibs")->level();
    getLogger("quorvane_testlibs")->setLevel(DEBUG);
    args.s3_bucket = kBucket;
    args.scratch_folder = scratch.string();
  }
  void TearDown() override {
    getLogger("quorvane_testlibs")->removeHandler(capture);
    getLogger("quorvane_testlibs")->setLevel(saved_level);
    fs::remove_all(scratch);
    SandboxServerTest::TearDown();
  }

  void startS3(const std::map<std::string, std::string>& objects) {
    Json scenario = load_scenario_file(scenario_path("empty.json"));
    Json list = Json::array();
    for (const auto& [key, body] : objects) list.push_back({{"key", key}, {"body", body}});
    scenario["s3"] = {{"buckets", {{{"name", kBucket}, {"objects", list}}}}};
    std::vector<std::unique_ptr<Service>> extra;
    extra.push_back(make_s3_service());
    start(scenario, std::move(extra));
  }
  aws::S3Client client() const {
    aws::SessionOptions options;
    options.region = "us-east-1";
    return aws::S3Client(aws::Session::from_credentials(kCiKey, kCiSecret, "", options));
  }
  // A test configuration of entries (gw_name, private_subnet_id).
  std::string config(const std::vector<std::pair<std::string, std::string>>& entries) {
    TestConfig document;
    for (const auto& [gw, subnet] : entries) {
      document.append({{"gw_name", gw}, {"private_subnet_id", subnet}, {"gw_subnet_id", "subnet-gw"}});
    }
    const std::string path = (scratch / "deployed.config").string();
    document.write(path);
    return path;
  }
  int collect() { return getS3TestResults(client(), args); }
  std::vector<std::string> messages() const { return capture->messages(); }
  std::size_t gets() { return get_json("/_sandbox/requests?service=s3&operation=GetObject")["requests"].size(); }

  TestResultsArgs args;
  int saved_level = NOTSET;
  fs::path scratch;
  std::shared_ptr<test_support::CaptureHandler> capture;
};

TEST(DeduceTag, GatewayNameAndWorkflowTagWithOrWithoutAnEntry) {
  TestResultsArgs args;
  const nlohmann::ordered_json entry = {{"gw_name", "spoke1"}};
  EXPECT_EQ(deduceTag(args, &entry), "spoke1-");
  EXPECT_EQ(deduceTag(args), "-");
  args.tag = "run42";
  EXPECT_EQ(deduceTag(args, &entry), "spoke1-run42");
  EXPECT_EQ(deduceTag(args), "-run42");
  const nlohmann::ordered_json nameless = {{"private_subnet_id", "subnet-1"}};
  EXPECT_THROW(deduceTag(args, &nameless), std::invalid_argument);
}

TEST_F(TestResultsTest, PassOnlyWhenTheTrimmedResultIsExactlyPass) {
  const std::vector<std::pair<std::string, int>> cases = {
      {"PASS", 0},      {"PASS\n", 0}, {"  PASS \r\n", 0}, {"\tPASS\t", 0}, {"pass", 1}, {"PASSED", 1},
      {"PASS PASS", 1}, {"", 1},       {"FAIL\n", 1},      {"P ASS", 1}};
  std::map<std::string, std::string> objects;
  std::vector<std::pair<std::string, std::string>> entries;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const std::string gw = "gw" + std::to_string(i);
    objects["log-" + gw + "-t.txt"] = "log of " + gw;
    objects["result-" + gw + "-t.txt"] = cases[i].first;
  }
  startS3(objects);
  args.tag = "t";
  for (std::size_t i = 0; i < cases.size(); ++i) {
    args.private_subnet_id = "subnet-" + std::to_string(i);
    args.test_config = config({{"gw" + std::to_string(i), args.private_subnet_id}});
    EXPECT_EQ(collect(), cases[i].second) << "result \"" << cases[i].first << "\"";
  }
}

TEST_F(TestResultsTest, EverySubnetIsReadAndAnyFailureFailsTheRun) {
  startS3({{"log-gw1-run.txt", "ping ok\n"},
           {"result-gw1-run.txt", "PASS\n"},
           {"log-gw2-run.txt", "ping lost\n"},  // no result object
           {"log-gw3-run.txt", "ping ok\n"},
           {"result-gw3-run.txt", "PASS"}});
  args.tag = "run";
  args.test_config = config({{"gw1", "subnet-1"}, {"gw2", "subnet-2"}, {"gw3", "subnet-3"}});
  EXPECT_EQ(collect(), 1);

  const auto lines = messages();
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[0], "- Test ping and traceroute in subnet-1");
  EXPECT_EQ(lines[1], "ping ok\n");
  EXPECT_EQ(lines[2], "PASS\n");
  EXPECT_EQ(lines[3], "- Test ping and traceroute in subnet-2");
  EXPECT_EQ(lines[4], "ping lost\n");  // the log is still reported
  EXPECT_NE(lines[5].find("NoSuchKey"), std::string::npos) << lines[5];
  // The refusal names the object that is missing.
  EXPECT_NE(lines[5].find("s3://" + kBucket + "/result-gw2-run.txt"), std::string::npos) << lines[5];
  EXPECT_EQ(lines[6], "  subnet-2 failed: no result object s3://" + kBucket + "/result-gw2-run.txt");
  EXPECT_EQ(lines[7], "- Test ping and traceroute in subnet-3");
  for (const auto& r : capture->records()) EXPECT_EQ(r.levelno, INFO) << r.message;
  // The scratch files hold the last subnet's objects.
  EXPECT_EQ(slurp(scratch / "log.txt"), "ping ok\n");
  EXPECT_EQ(slurp(scratch / "result.txt"), "PASS");

  // Without the failing subnet the same objects pass.
  args.test_config = config({{"gw1", "subnet-1"}, {"gw3", "subnet-3"}});
  EXPECT_EQ(collect(), 0);

  // The count behind "N of M subnets passed".
  args.test_config = config({{"gw1", "subnet-1"}, {"gw2", "subnet-2"}, {"gw3", "subnet-3"}, {"gw4", "subnet-4"}});
  const TestResultsCount count = collectS3TestResults(client(), args);
  EXPECT_EQ(count.examined, 4);
  EXPECT_EQ(count.passed, 2);
  EXPECT_FALSE(count.allPassed());
  const auto failing = count.failing();
  ASSERT_EQ(failing.size(), 2u);
  EXPECT_EQ(failing[0].subnet_id, "subnet-2");
  EXPECT_EQ(failing[0].log, "ping lost\n");
  EXPECT_FALSE(failing[0].result);
  // Neither object: the missing result is the reason, and the missing log is named too.
  EXPECT_EQ(failing[1].failure, "no result object s3://" + kBucket + "/result-gw4-run.txt");
  bool log_named = false;
  for (const auto& line : messages())
    log_named = log_named || line.find("s3://" + kBucket + "/log-gw4-run.txt") != std::string::npos;
  EXPECT_TRUE(log_named) << "a missing log is named as well";
  EXPECT_EQ(messages().back(), "  subnet-4 failed: no result object s3://" + kBucket + "/result-gw4-run.txt");
}

// The reports a CI system reads: the closing lines, JSON, and JUnit XML
// that a JUnit schema accepts, one testcase per subnet.
TEST_F(TestResultsTest, ReportsNameEveryFailingSubnetWithItsReason) {
  startS3({{"log-gw1-ci.txt", "ping ok <&>\n"},
           {"result-gw1-ci.txt", "PASS\n"},
           {"log-gw2-ci.txt", "ping lost\n"},
           {"result-gw2-ci.txt", "FAIL: 3 of 3 lost\nmore\n"},
           {"result-gw4-ci.txt", "PASS"}});  // no log object
  args.tag = "ci";
  args.test_config =
      config({{"gw1", "subnet-1"}, {"gw2", "subnet-2"}, {"gw3", "subnet-3"}, {"gw4", "subnet-4"}});
  const TestResultsCount count = collectS3TestResults(client(), args);
  EXPECT_EQ(resultLines(count),
            (std::vector<std::string>{"1 of 4 subnets passed",
                                      "  FAILED subnet-2: the result reads \"FAIL: 3 of 3 lost\"",
                                      "  FAILED subnet-3: no result object s3://" + kBucket + "/result-gw3-ci.txt",
                                      "  FAILED subnet-4: no log object s3://" + kBucket + "/log-gw4-ci.txt"}));

  const auto json = resultsJson(count);
  EXPECT_EQ(json["examined"], 4);
  EXPECT_EQ(json["failed"], 3);
  EXPECT_TRUE(json["subnets"][0]["failure"].is_null());
  EXPECT_EQ(json["subnets"][1]["result"], "FAIL: 3 of 3 lost\nmore\n");
  EXPECT_TRUE(json["subnets"][2]["result"].is_null());

  const fs::path report = scratch / "results.xml";
  std::ofstream(report) << junitReport(count, kBucket);
  pugi::xml_document document;
  ASSERT_TRUE(document.load_file(report.c_str()));
  const auto suite = document.child("testsuites").child("testsuite");
  EXPECT_EQ(std::string(suite.attribute("tests").value()), "4");
  EXPECT_EQ(std::string(suite.attribute("failures").value()), "3");
  std::vector<std::string> names, failures;
  for (const auto& testcase : suite.children("testcase")) {
    names.emplace_back(testcase.attribute("name").value());
    failures.emplace_back(testcase.child("failure").attribute("type").value());
  }
  EXPECT_EQ(names, (std::vector<std::string>{"subnet-1", "subnet-2", "subnet-3", "subnet-4"}));
  EXPECT_EQ(failures, (std::vector<std::string>{"", "NotPassed", "NoResult", "NoLog"}));
  const std::string out = suite.first_child().child("system-out").text().get();
  EXPECT_NE(out.find("ping ok <&>"), std::string::npos) << out;
  EXPECT_NE(out.find("s3://" + kBucket + "/result-gw1-ci.txt"), std::string::npos) << out;

  if (std::system("command -v xmllint >/dev/null 2>&1") != 0) GTEST_SKIP() << "xmllint (libxml2-utils) is missing";
  const std::string check = "xmllint --noout --schema " + std::string(QVN_SOURCE_DIR) +
                            "/tests/fixtures/junit.xsd " + report.string() + " 2>" + (scratch / "lint").string();
  EXPECT_EQ(std::system(check.c_str()), 0) << slurp(scratch / "lint");
}

TEST_F(TestResultsTest, OneSubnetWithoutConfigurationUsesTheBareTag) {
  startS3({{"log--nightly.txt", "log"}, {"result--nightly.txt", "PASS"}, {"result--.txt", "PASS"}});
  args.private_subnet_id = "subnet-9";
  args.tag = "nightly";
  EXPECT_EQ(collect(), 0);
  ASSERT_FALSE(messages().empty());
  EXPECT_EQ(messages().front(), "- Test ping and traceroute in subnet-9");
  args.tag = "";
  EXPECT_EQ(collect(), 1);  // "log--.txt" is missing
}

TEST_F(TestResultsTest, EmptyConfigurationReadsNothingAndPasses) {
  startS3({});
  args.test_config = config({});
  EXPECT_EQ(collect(), 0);
  EXPECT_EQ(gets(), 0u);
  EXPECT_TRUE(messages().empty());
}

TEST_F(TestResultsTest, BadConfigurationIsRefusedBeforeAnyDownload) {
  startS3({{"log-gw1-.txt", "log"}, {"result-gw1-.txt", "PASS"}});
  const std::string path = (scratch / "bad.config").string();
  std::ofstream(path) << R"([{"gw_name": "gw1", "private_subnet_id": "subnet-1"}, {"private_subnet_id": "subnet-2"}])";
  args.test_config = path;
  EXPECT_THROW(collect(), TestConfigError);
  std::ofstream(path, std::ios::trunc) << "{not json";
  EXPECT_THROW(collect(), TestConfigError);
  EXPECT_EQ(gets(), 0u);
}

// A link placed where a scratch file goes is replaced, never written through.
TEST_F(TestResultsTest, SymbolicLinksAtTheScratchPathsAreReplacedNotFollowed) {
  startS3({{"log-gw1-.txt", "the log"}, {"result-gw1-.txt", "PASS\n"}});
  const fs::path victim = scratch / "victim.txt";
  std::ofstream(victim) << "precious";
  fs::create_symlink(victim, scratch / "log.txt");
  fs::create_symlink(scratch / "nowhere", scratch / "result.txt");
  args.test_config = config({{"gw1", "subnet-1"}});
  EXPECT_EQ(collect(), 0);
  EXPECT_EQ(slurp(victim), "precious");
  EXPECT_FALSE(fs::exists(scratch / "nowhere"));
  EXPECT_FALSE(fs::is_symlink(scratch / "log.txt"));
  EXPECT_EQ(slurp(scratch / "log.txt"), "the log");
  EXPECT_EQ(slurp(scratch / "result.txt"), "PASS\n");
}

// A FIFO planted at a scratch path in a shared folder is refused at once,
// never waited on nor replaced.
TEST_F(TestResultsTest, AFifoAtAScratchPathFailsTheSubnetWithoutWaiting) {
  startS3({{"log-gw1-.txt", "the log"}, {"result-gw1-.txt", "PASS"}});
  ASSERT_EQ(::mkfifo((scratch / "log.txt").c_str(), 0600), 0);
  args.test_config = config({{"gw1", "subnet-1"}});
  EXPECT_EQ(collect(), 1);
  EXPECT_TRUE(fs::is_fifo(scratch / "log.txt"));
  EXPECT_EQ(slurp(scratch / "result.txt"), "PASS");
}

// A scratch file that cannot be replaced is reported and fails its subnet,
// though the result itself read PASS; the decision comes from the download.
TEST_F(TestResultsTest, ScratchFileThatCannotBeWrittenFailsTheSubnet) {
  startS3({{"log-gw1-.txt", "the log"}, {"result-gw1-.txt", "PASS"}});
  fs::create_directories(scratch / "result.txt" / "occupied");  // a folder in the way
  args.test_config = config({{"gw1", "subnet-1"}});
  EXPECT_EQ(collect(), 1);
  bool reported = false;
  for (const auto& line : messages())
    reported = reported || line.rfind("  **Error** cannot write " + (scratch / "result.txt").string(), 0) == 0;
  EXPECT_TRUE(reported);
  EXPECT_EQ(slurp(scratch / "log.txt"), "the log");

  fs::remove_all(scratch / "result.txt");
  args.scratch_folder = (scratch / "absent-folder").string();
  EXPECT_EQ(collect(), 1);
}

}  // namespace
}  // namespace qvn::sandbox
