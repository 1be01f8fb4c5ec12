#include "lib/basekit.hpp"

#include <gtest/gtest.h>

#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <regex>

#include "core/logsetup.hpp"
#include "core/run_outcome.hpp"
#include "unit/core/log_capture.hpp"

namespace qvn {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    out.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

class CommonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetLoggingForTesting();
    logging_config() = defaultLoggingConfig();
    dir_ = fs::temp_directory_path() / ("qvn_common_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    resetLoggingForTesting();
    logging_config() = defaultLoggingConfig();
    RunOutcome().setStatus(0);
    fs::remove_all(dir_);
  }
  fs::path dir_;
};

TEST_F(CommonTest, InitLogLocationWiresConsoleFileAndErrorStatus) {
  const std::string folder = (dir_ / "out").string() + "/";  // trailing slash: out//log
  ::testing::internal::CaptureStderr();
  Common::initLogLocation(folder);
  Logger* pkg = getLogger("quorvane_testlibs");
  Logger* lib = getLogger("quorvane_testlibs.bin.lib.s3");
  lib->call("detail", "a detail");
  lib->debug("a debug");
  pkg->warning("a warning");
  EXPECT_EQ(RunOutcome().getStatus(), 0);
  pkg->error("  **Error** an error");
  getLogger("foreign.sdk")->error("foreign error");
  getLogger("foreign.sdk")->critical("foreign critical");
  std::string console = ::testing::internal::GetCapturedStderr();

  EXPECT_TRUE(fs::is_directory(dir_ / "out" / "log"));
  EXPECT_EQ(logging_config().handler("logConsoleHandler").filename, folder + "/log/quorvane_testlibs.log");
  EXPECT_EQ(console, "a detail\na warning\n  **Error** an error\nforeign critical\n");
  auto file = lines(readFile(dir_ / "out" / "log" / "quorvane_testlibs.log"));
  ASSERT_EQ(file.size(), 3u) << "no debug, nothing from outside the package tree";
  std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} )");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(file[0], m, stamp));
  EXPECT_EQ(m.position(0), 0);
  EXPECT_EQ(file[0].substr(m.length(0)), "a detail");
  EXPECT_EQ(file[2].substr(m.length(0)), "  **Error** an error");
  EXPECT_EQ(RunOutcome().getStatus(), 1) << "an ERROR record fails the run";

  // A second call in the same process is refused and changes nothing.
  try {
    Common::initLogLocation((dir_ / "other").string());
    FAIL() << "second initLogLocation must fail";
  } catch (const AttributeError& e) {
    EXPECT_STREQ(e.what(), "DETAIL already defined in logging module");
  }
  EXPECT_FALSE(fs::exists(dir_ / "other"));
}

TEST_F(CommonTest, InitLogLocationAppendsToAnEarlierLog) {
  fs::create_directories(dir_ / "log");
  std::ofstream(dir_ / "log" / "quorvane_testlibs.log") << "earlier run\n";
  ::testing::internal::CaptureStderr();
  Common::initLogLocation(dir_.string());
  getLogger("quorvane_testlibs")->info("this run");
  ::testing::internal::GetCapturedStderr();
  auto file = lines(readFile(dir_ / "log" / "quorvane_testlibs.log"));
  ASSERT_EQ(file.size(), 2u);
  EXPECT_EQ(file[0], "earlier run");
}

TEST_F(CommonTest, InitLogLocationReportsAFileWhereTheLogFolderShouldBe) {
  std::ofstream(dir_ / "log") << "not a folder";
  try {
    Common::initLogLocation(dir_.string());
    FAIL() << "a file named log must fail";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("cannot open log file " + dir_.string() + "/log/quorvane_testlibs.log"),
              std::string::npos)
        << e.what();
  }
  resetLoggingForTesting();  // the failed call had already added DETAIL
  std::ofstream(dir_ / "blocker") << "file";
  try {
    Common::initLogLocation((dir_ / "blocker" / "sub").string());
    FAIL() << "a file in the way of a parent folder must fail";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("cannot create log folder " + (dir_ / "blocker" / "sub").string() + "/log: "),
              std::string::npos)
        << e.what();
  }
}

TEST_F(CommonTest, AddLoggingLevelRefusesNamesInUseAndChangesNothing) {
  auto expectRefusal = [](const std::string& level, int num, std::optional<std::string> method,
                          const std::string& text) {
    try {
      Common::addLoggingLevel(level, num, method);
      ADD_FAILURE() << level << " should have been refused";
    } catch (const AttributeError& e) {
      EXPECT_EQ(std::string(e.what()), text);
    }
  };
  expectRefusal("INFO", 21, std::nullopt, "INFO already defined in logging module");
  expectRefusal("LOG", 22, std::nullopt, "log already defined in logging module");
  expectRefusal("NEWLEVEL", 23, "info", "info already defined in logging module");
  EXPECT_FALSE(facilityHasName("NEWLEVEL")) << "a refused call leaves no level behind";
  expectRefusal("OTHER", 24, "setLevel", "setLevel already defined in logger class");
  EXPECT_FALSE(facilityHasName("OTHER"));
  EXPECT_EQ(getLevelName(24), "Level 24");

  Common::addLoggingLevel("TRACE", 5);
  EXPECT_EQ(levelConstant("TRACE"), 5);
  EXPECT_TRUE(loggerHasOperation("trace"));
  expectRefusal("TRACE", 5, std::nullopt, "TRACE already defined in logging module");

  Common::addLoggingLevel("NOTICE", 25, "");  // empty method name: lower-cased level name
  EXPECT_TRUE(loggerHasOperation("notice"));
  Common::addLoggingLevel("AUDIT", 35, "audit_event");
  auto sink = std::make_shared<test_support::CaptureHandler>();
  getLogger("addlevel")->addHandler(sink);
  getLogger("addlevel")->call("audit_event", "audited");
  ASSERT_EQ(sink->records().size(), 1u);
  EXPECT_EQ(sink->records()[0].levelname, "AUDIT");
}

TEST_F(CommonTest, CommandBannerIsSevenInfoRecords) {
  auto sink = std::make_shared<test_support::CaptureHandler>();
  getLogger("quorvane_testlibs")->addHandler(sink);
  getLogger("quorvane_testlibs")->setLevel(DEBUG);
  Common::logCommandOptions("probe_deploy --test_config a.json");
  Common::logCommandOptions("");
  const std::string row(45, '#');
  auto records = sink->records();
  ASSERT_EQ(records.size(), 14u);
  std::vector<std::string> expected{"", row, "", "probe_deploy --test_config a.json", "", row, ""};
  for (std::size_t i = 0; i < 7; ++i) {
    EXPECT_EQ(records[i].message, expected[i]);
    EXPECT_EQ(records[i].levelno, INFO);
    EXPECT_EQ(records[i].name, "quorvane_testlibs.bin.lib.basekit");
  }
  EXPECT_EQ(records[10].message, "") << "an empty command still fills the middle line";
  EXPECT_EQ(records[12].message, row);
}

TEST(RemovePrefixTest, RemovesALeadingPrefixOnce) {
  EXPECT_EQ(Common::remove_prefix("backups/vpc-1/a.log", "backups/"), "vpc-1/a.log");
  EXPECT_EQ(Common::remove_prefix("a/b", "x/"), "a/b");
  EXPECT_EQ(Common::remove_prefix("a/b", ""), "a/b");
  EXPECT_EQ(Common::remove_prefix("abab", "ab"), "ab");
  EXPECT_EQ(Common::remove_prefix("ab", "abc"), "ab");
  EXPECT_EQ(Common::remove_prefix("xab", "ab"), "xab");
}

TEST(LoggingConfigTest, StoredConfigurationMatchesTheToolkitLayout) {
  LoggingConfig config = defaultLoggingConfig();
  EXPECT_EQ(config.version, 1);
  EXPECT_EQ(config.handler("consoleHandler").level, INFO);
  EXPECT_EQ(config.handler("logConsoleHandler").filename, "quorvane_testlibs.log");
  EXPECT_EQ(config.handler("logConsoleHandler").formatter, "simpleTime");
  EXPECT_EQ(config.handler("errorStatusHandler").level, ERROR);
  const LoggerConfig& pkg = config.logger("quorvane_testlibs");
  EXPECT_EQ(pkg.level, DEBUG);
  EXPECT_FALSE(pkg.propagate);
  EXPECT_EQ(pkg.handlers, (std::vector<std::string>{"consoleHandler", "logConsoleHandler", "errorStatusHandler"}));
  EXPECT_EQ(config.root.level, CRITICAL);
  EXPECT_EQ(config.root.handlers, std::vector<std::string>{"consoleHandler"});
}

TEST(LoggingConfigTest, AMisnamedHandlerIsRefusedBeforeAnyLoggerChanges) {
  resetLoggingForTesting();
  LoggingConfig config = defaultLoggingConfig();
  config.handler("logConsoleHandler").filename = "/dev/null";
  config.logger("quorvane_testlibs").handlers.push_back("noSuchHandler");
  EXPECT_THROW(applyLoggingConfig(config), std::invalid_argument);
  EXPECT_TRUE(getLogger("quorvane_testlibs")->handlers().empty());
  EXPECT_EQ(getLogger()->level(), WARNING);
  resetLoggingForTesting();
}

}  // namespace
}  // namespace qvn
