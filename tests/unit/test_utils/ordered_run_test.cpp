// Sequenced fixtures registered with GoogleTest, and checks that GoogleTest
// really runs them in declaration order. The run order is checked in a child
// run of this same program, so the check holds however the parent is run
// (whole, filtered, or one test at a time by ctest).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "test_utils/case_sequencer.hpp"

namespace {

// Prints which test is running and which method body it runs.
void note_body(const char* method) {
  const auto* info = testing::UnitTest::GetInstance()->current_test_info();
  std::printf("[ body     ] %s.%s runs %s\n", info->test_suite_name(), info->name(), method);
  std::fflush(stdout);
}

class SeqOrder : public testing::Test {
 public:
  void test_b();
  void test_a();

 protected:
  void SetUp() override { prepared = true; }
  bool prepared = false;
};
QVN_TEST_CLASS(SeqOrder);

QVN_TEST_METHOD(SeqOrder, test_b) {
  EXPECT_TRUE(prepared);
  note_body("SeqOrder::test_b");
}

QVN_TEST_METHOD(SeqOrder, test_a) {
  EXPECT_TRUE(prepared);
  note_body("SeqOrder::test_a");
}

class SeqBase : public testing::Test {
 public:
  void test_one();
  void test_three();
  static void SetUpTestSuite() { ++suite_set_ups; }
  static inline int suite_set_ups = 0;
};

class SeqDerived : public SeqBase {
 public:
  void test_two();
};

QVN_TEST_CLASS(SeqBase);
QVN_TEST_CLASS(SeqDerived, SeqBase);

QVN_TEST_METHOD(SeqBase, test_one) {
  EXPECT_GE(suite_set_ups, 1);
  note_body("SeqBase::test_one");
}

QVN_TEST_METHOD(SeqDerived, test_two) { note_body("SeqDerived::test_two"); }

QVN_TEST_METHOD(SeqBase, test_three) { note_body("SeqBase::test_three"); }

QVN_TEST_MODULE(qvn::case_sequencer::load_ordered_tests);

const std::vector<std::string> kExpectedOrder = {"SeqBase.test_one",    "SeqBase.test_three",    "SeqDerived.test_one",
                                                 "SeqDerived.test_two", "SeqDerived.test_three", "SeqOrder.test_b",
                                                 "SeqOrder.test_a"};

struct ChildRun {
  int status = -1;
  std::vector<std::string> lines;
};

// Runs this program again with `arguments` (and `environment` assignments)
// and returns its exit status and output lines.
ChildRun run_self(const std::string& arguments, const std::string& environment = "") {
  std::array<char, 4096> self{};
  ssize_t length = ::readlink("/proc/self/exe", self.data(), self.size() - 1);
  ChildRun run;
  if (length <= 0) return run;
  std::string command = environment + " '" + std::string(self.data(), length) +
                        "' --gtest_color=no --gtest_shuffle=0 --gtest_repeat=1 " + arguments + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  std::string line;
  for (int c; (c = std::fgetc(pipe)) != EOF;) {
    if (c == '\n') {
      run.lines.push_back(line);
      line.clear();
    } else {
      line += static_cast<char>(c);
    }
  }
  int raw = ::pclose(pipe);
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return run;
}

std::vector<std::string> lines_after(const std::vector<std::string>& lines, const std::string& mark) {
  std::vector<std::string> result;
  for (const auto& line : lines) {
    if (line.rfind(mark, 0) == 0) result.push_back(line.substr(mark.size()));
  }
  return result;
}

TEST(OrderedRun, RegisteredInDeclarationOrder) {
  std::vector<std::string> registered;
  auto* unit = testing::UnitTest::GetInstance();
  for (int s = 0; s < unit->total_test_suite_count(); ++s) {
    const auto* suite = unit->GetTestSuite(s);
    std::string name = suite->name();
    if (name != "SeqBase" && name != "SeqDerived" && name != "SeqOrder") continue;
    for (int t = 0; t < suite->total_test_count(); ++t) {
      registered.push_back(name + "." + suite->GetTestInfo(t)->name());
    }
  }
  EXPECT_EQ(registered, kExpectedOrder);
}

TEST(OrderedRun, GoogleTestRunsCasesInDeclarationOrder) {
  auto run = run_self("--gtest_filter='SeqBase.*:SeqDerived.*:SeqOrder.*'");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(lines_after(run.lines, "[ RUN      ] "), kExpectedOrder);
  // Each case ran the method it names; inherited cases ran the base's body.
  EXPECT_EQ(lines_after(run.lines, "[ body     ] "), (std::vector<std::string>{
                                                         "SeqBase.test_one runs SeqBase::test_one",
                                                         "SeqBase.test_three runs SeqBase::test_three",
                                                         "SeqDerived.test_one runs SeqBase::test_one",
                                                         "SeqDerived.test_two runs SeqDerived::test_two",
                                                         "SeqDerived.test_three runs SeqBase::test_three",
                                                         "SeqOrder.test_b runs SeqOrder::test_b",
                                                         "SeqOrder.test_a runs SeqOrder::test_a",
                                                     }));
}

TEST(OrderedRun, FailedLoadingIsReportedAsAFailingTest) {
  auto run = run_self("--gtest_filter='broken_module_test.*'", "QVN_TEST_BROKEN_MODULE=1");
  EXPECT_EQ(run.status, 1);
  bool reported = false;
  for (const auto& line : run.lines) {
    if (line.find("broken_module_test.cpp failed: load_ordered_tests: member 2 of the standard "
                  "tests is a bare test case (SeqBroken.test_a), not a suite of test cases") != std::string::npos) {
      reported = true;
    }
  }
  EXPECT_TRUE(reported);
  EXPECT_EQ(lines_after(run.lines, "[ RUN      ] "), (std::vector<std::string>{"broken_module_test.load_tests"}));
}

TEST(OrderedRun, ModuleHoldsTheClassesOfItsFile) {
  auto classes = qvn::case_sequencer::module_classes(__FILE__);
  std::vector<std::string> names;
  for (const auto* test_class : classes) names.push_back(test_class->name());
  EXPECT_EQ(names, (std::vector<std::string>{"SeqOrder", "SeqBase", "SeqDerived"}));
}

}  // namespace
