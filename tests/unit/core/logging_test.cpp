#include "core/logging.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "core/clock.hpp"
#include "unit/core/log_capture.hpp"

namespace qvn {
namespace {

using test_support::CaptureHandler;

class LoggingTest : public ::testing::Test {
 protected:
  void SetUp() override { resetLoggingForTesting(); }
  void TearDown() override {
    resetLoggingForTesting();
    core::set_clock({});
  }
};

TEST_F(LoggingTest, DottedNamesFormATreeAndLevelsAreInherited) {
  Logger* pkg = getLogger("tree1");
  Logger* leaf = getLogger("tree1.bin.lib.s3");
  ASSERT_NE(leaf->parent(), nullptr);
  EXPECT_EQ(leaf->parent()->name(), "tree1.bin.lib");
  EXPECT_EQ(leaf->parent()->parent()->parent(), pkg);
  EXPECT_EQ(pkg->parent(), getLogger());
  EXPECT_EQ(getLogger("tree1.bin.lib.s3"), leaf) << "same name, same logger";

  EXPECT_EQ(leaf->getEffectiveLevel(), WARNING) << "root default";
  pkg->setLevel(DEBUG);
  EXPECT_EQ(leaf->getEffectiveLevel(), DEBUG);
  EXPECT_TRUE(leaf->isEnabledFor(DEBUG));
  getLogger("tree1.bin")->setLevel(ERROR);
  EXPECT_FALSE(leaf->isEnabledFor(WARNING)) << "nearest ancestor with a level wins";
}

TEST_F(LoggingTest, RecordsPropagateUpUntilALoggerStopsThem) {
  auto at_root = std::make_shared<CaptureHandler>();
  auto at_pkg = std::make_shared<CaptureHandler>();
  auto at_leaf = std::make_shared<CaptureHandler>();
  getLogger()->addHandler(at_root);
  getLogger("tree2")->addHandler(at_pkg);
  getLogger("tree2.child")->addHandler(at_leaf);
  getLogger("tree2")->setLevel(DEBUG);

  getLogger("tree2.child")->info("one");
  EXPECT_EQ(at_leaf->messages(), std::vector<std::string>{"one"});
  EXPECT_EQ(at_pkg->messages(), std::vector<std::string>{"one"});
  EXPECT_EQ(at_root->messages(), std::vector<std::string>{"one"});

  getLogger("tree2")->setPropagate(false);
  getLogger("tree2.child")->info("two");
  EXPECT_EQ(at_pkg->messages().size(), 2u);
  EXPECT_EQ(at_root->messages().size(), 1u) << "propagate false keeps records from the root";
}

TEST_F(LoggingTest, LoggerLevelAndHandlerThresholdsBothFilter) {
  auto all = std::make_shared<CaptureHandler>(NOTSET);
  auto errors_only = std::make_shared<CaptureHandler>(ERROR);
  Logger* log = getLogger("tree3");
  log->addHandler(all);
  log->addHandler(errors_only);
  log->setLevel(DETAIL);

  log->debug("debug");  // below the logger's level: no handler sees it
  log->detail("detail");
  log->warning("warning");
  log->error("error");
  log->critical("critical");
  EXPECT_EQ(all->messages(), (std::vector<std::string>{"detail", "warning", "error", "critical"}));
  EXPECT_EQ(errors_only->messages(), (std::vector<std::string>{"error", "critical"}));
  EXPECT_EQ(all->records()[0].levelno, DETAIL);
  EXPECT_EQ(all->records()[1].levelname, "WARNING");

  // The logger's own level is checked where the record is made, not at the
  // ancestors it passes through.
  auto at_parent = std::make_shared<CaptureHandler>();
  getLogger("tree4")->addHandler(at_parent);
  getLogger("tree4")->setLevel(CRITICAL);
  getLogger("tree4.c")->setLevel(INFO);
  getLogger("tree4.c")->info("passes");
  EXPECT_EQ(at_parent->messages(), std::vector<std::string>{"passes"});
}

TEST_F(LoggingTest, DisableDropsRecordsEverywhere) {
  auto sink = std::make_shared<CaptureHandler>();
  Logger* log = getLogger("tree5");
  log->addHandler(sink);
  log->setLevel(DEBUG);
  disable(WARNING);
  log->warning("dropped");
  log->error("kept");
  EXPECT_EQ(sink->messages(), std::vector<std::string>{"kept"});
}

TEST_F(LoggingTest, LazyMessagesAreBuiltOnlyWhenTheLevelIsEnabled) {
  auto sink = std::make_shared<CaptureHandler>();
  Logger* log = getLogger("tree5b");
  log->addHandler(sink);
  log->setLevel(INFO);
  int built = 0;
  log->logLazy(DEBUG, [&] {
    ++built;
    return std::string("costly");
  });
  EXPECT_EQ(built, 0);
  log->logLazy(INFO, [&] {
    ++built;
    return std::string("costly");
  });
  EXPECT_EQ(built, 1);
  EXPECT_EQ(sink->messages(), std::vector<std::string>{"costly"});
}

TEST_F(LoggingTest, WarningsWithoutAnyHandlerStillReachStandardError) {
  ::testing::internal::CaptureStderr();
  getLogger("nohandlers.x")->warning("nobody configured me");
  getLogger("nohandlers.x")->info("not shown");
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "nobody configured me\n");
}

TEST_F(LoggingTest, FormatsPlaceTimeAndMessage) {
  setenv("TZ", "UTC", 1);
  tzset();
  // 2024-01-15 12:00:00.123 UTC
  core::TimePoint t = std::chrono::system_clock::from_time_t(1705320000) + std::chrono::milliseconds(123);
  LogRecord record{"x", INFO, "INFO", "hello world", t};
  EXPECT_EQ(Formatter("%(asctime)s %(message)s").format(record), "2024-01-15 12:00:00,123 hello world");
  EXPECT_EQ(Formatter("%(message)s").format(record), "hello world");
  EXPECT_EQ(Formatter("%(levelname)s:%(name)s:%(levelno)s %% %(message)s").format(record), "INFO:x:20 % hello world");
  // A message that itself contains placeholders is not expanded again.
  record.message = "100% %(asctime)s";
  EXPECT_EQ(Formatter("%(message)s").format(record), "100% %(asctime)s");
  // Milliseconds keep three digits.
  record.created = std::chrono::system_clock::from_time_t(1705320000) + std::chrono::milliseconds(7);
  EXPECT_EQ(Formatter::formatTime(record.created), "2024-01-15 12:00:00,007");
}

TEST_F(LoggingTest, RecordsCarryTheInjectedClockTime) {
  core::TimePoint fixed = std::chrono::system_clock::from_time_t(1700000000);
  core::set_clock([&] { return fixed; });
  auto sink = std::make_shared<CaptureHandler>();
  getLogger("tree6")->addHandler(sink);
  getLogger("tree6")->error("e");
  ASSERT_EQ(sink->records().size(), 1u);
  EXPECT_EQ(sink->records()[0].created, fixed);
}

TEST_F(LoggingTest, RegisteredLevelsGetANameAndAnOperation) {
  auto sink = std::make_shared<CaptureHandler>();
  Logger* log = getLogger("tree7");
  log->addHandler(sink);
  log->setLevel(1);
  EXPECT_EQ(getLevelName(5), "Level 5");
  EXPECT_THROW(log->call("trace", "x"), AttributeError);
  EXPECT_FALSE(facilityHasName("TRACE"));

  registerLevel("TRACE", 5, "trace");
  EXPECT_EQ(getLevelName(5), "TRACE");
  EXPECT_EQ(levelConstant("TRACE"), 5);
  EXPECT_TRUE(facilityHasName("trace"));
  EXPECT_TRUE(loggerHasOperation("trace"));
  log->call("trace", "traced");
  log->call("info", "informed");
  ASSERT_EQ(sink->records().size(), 2u);
  EXPECT_EQ(sink->records()[0].levelno, 5);
  EXPECT_EQ(sink->records()[0].levelname, "TRACE");

  // The facility's own operation logs through the root logger.
  auto at_root = std::make_shared<CaptureHandler>();
  getLogger()->addHandler(at_root);
  getLogger()->setLevel(1);
  logging_call("trace", "from the facility");
  EXPECT_EQ(at_root->records().back().name, "root");
  EXPECT_EQ(at_root->records().back().levelno, 5);
}

TEST_F(LoggingTest, ConcurrentWritersNeverInterleaveWithinALine) {
  auto dir = std::filesystem::temp_directory_path() / ("qvn_log_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "concurrent.log").string();
  std::filesystem::remove(path);
  {
    auto file = std::make_shared<FileHandler>(path, "a");
    file->setFormatter(std::make_shared<Formatter>("%(asctime)s %(message)s"));
    Logger* log = getLogger("tree8");
    log->addHandler(file);
    log->setLevel(DEBUG);
    constexpr int kThreads = 8;
    constexpr int kRecords = 400;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([log, t] {
        const std::string body(200, static_cast<char>('a' + t));
        for (int i = 0; i < kRecords; ++i) log->info("T" + std::to_string(t) + " " + body);
      });
    }
    for (auto& th : threads) th.join();
    log->clearHandlers();
  }
  std::ifstream in(path);
  std::regex line_shape(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} T([0-7]) ([a-h])\2{199})");
  std::string line;
  int lines = 0;
  while (std::getline(in, line)) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, line_shape)) << "broken line: " << line.substr(0, 80);
    EXPECT_EQ(m[2].str()[0], 'a' + (m[1].str()[0] - '0'));
    ++lines;
  }
  EXPECT_EQ(lines, 8 * 400);
  std::filesystem::remove_all(dir);
}

TEST_F(LoggingTest, FileHandlerAppendsAndReportsAnUnopenableFile) {
  auto dir = std::filesystem::temp_directory_path() / ("qvn_logf_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "a.log").string();
  std::ofstream(path) << "earlier\n";
  {
    auto file = std::make_shared<FileHandler>(path, "a");
    getLogger("tree9")->addHandler(file);
    getLogger("tree9")->warning("later");
    getLogger("tree9")->clearHandlers();
  }
  std::ifstream in(path);
  std::string all((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(all, "earlier\nlater\n");
  try {
    FileHandler bad((dir / "missing" / "x.log").string());
    FAIL() << "opening a file in a missing folder must fail";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("missing/x.log"), std::string::npos);
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace qvn
