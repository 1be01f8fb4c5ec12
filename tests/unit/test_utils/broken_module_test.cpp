// A module whose loader hands load_ordered_tests a bare test case. It is
// registered only in the child run of OrderedRun.FailedLoadingIsReportedAsAFailingTest
// (QVN_TEST_BROKEN_MODULE=1), where its failure is the expected outcome.
#include <gtest/gtest.h>

#include <cstdlib>

#include "test_utils/case_sequencer.hpp"

namespace {

using qvn::case_sequencer::TestCase;
using qvn::case_sequencer::TestClass;
using qvn::case_sequencer::TestLoader;
using qvn::case_sequencer::TestSuite;

class SeqBroken : public testing::Test {
 public:
  void test_a();
};
QVN_TEST_CLASS(SeqBroken);
QVN_TEST_METHOD(SeqBroken, test_a) { ADD_FAILURE() << "must not run: its module failed to load"; }

// Appends a bare case after the usual class suites.
class BareCaseLoader : public TestLoader {
 public:
  TestSuite load_tests_from_module(const std::vector<const TestClass*>& classes) const override {
    TestSuite module = TestLoader::load_tests_from_module(classes);
    module.add(TestCase(*classes.front(), "test_a"));
    return module;
  }
};

const bool broken_module_registered [[maybe_unused]] =
    std::getenv("QVN_TEST_BROKEN_MODULE") != nullptr &&
    qvn::case_sequencer::register_module(__FILE__, qvn::case_sequencer::load_ordered_tests, BareCaseLoader());

}  // namespace
