// The loading model and load_ordered_tests, on hand-made test classes.
#include "test_utils/case_sequencer.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qvn::case_sequencer {
namespace {

TestMethod method(const std::string& name, int line, const std::string& file = "module.cpp") {
  return TestMethod{name, file, line, {}};
}

std::vector<std::string> ids(const TestSuite& suite) {
  std::vector<std::string> result;
  for (const auto& test_case : suite.cases()) result.push_back(test_case.id());
  return result;
}

// A module's standard collection, from the default loader.
TestSuite standard(const std::vector<const TestClass*>& classes) {
  return default_loader().load_tests_from_module(classes);
}

TestSuite ordered(const TestSuite& standard_tests) {
  return load_ordered_tests(default_loader(), standard_tests, "test*.cpp");
}

TEST(LoadOrderedTests, DeclarationOrderBeatsNameOrder) {
  TestClass login("Login", "module.cpp");
  login.add_method(method("test_b", 10));
  login.add_method(method("test_a", 20));
  login.add_method(method("test_c", 15));
  auto standard_tests = standard({&login});
  EXPECT_EQ(ids(standard_tests), (std::vector<std::string>{"Login.test_a", "Login.test_b", "Login.test_c"}));
  EXPECT_EQ(ids(ordered(standard_tests)), (std::vector<std::string>{"Login.test_b", "Login.test_c", "Login.test_a"}));
}

TEST(LoadOrderedTests, ClassesKeepTheLoadersOrderAndResultIsFlat) {
  TestClass zeta("Zeta", "module.cpp");
  zeta.add_method(method("test_y", 5));
  zeta.add_method(method("test_x", 6));
  TestClass alpha("Alpha", "module.cpp");
  alpha.add_method(method("test_2", 40));
  alpha.add_method(method("test_1", 41));
  // Built by hand in an order no loader would choose: Zeta first.
  TestSuite standard_tests;
  standard_tests.add(default_loader().load_tests_from_class(zeta));
  standard_tests.add(default_loader().load_tests_from_class(alpha));

  auto result = ordered(standard_tests);
  EXPECT_EQ(ids(result), (std::vector<std::string>{"Zeta.test_y", "Zeta.test_x", "Alpha.test_2", "Alpha.test_1"}));
  ASSERT_EQ(result.size(), 4u);
  for (const auto& member : result.members()) EXPECT_TRUE(std::holds_alternative<TestCase>(member));
  EXPECT_EQ(ids(standard({&zeta, &alpha})),
            (std::vector<std::string>{"Alpha.test_1", "Alpha.test_2", "Zeta.test_x", "Zeta.test_y"}));
}

TEST(LoadOrderedTests, InheritedMethodsKeepTheBaseLine) {
  TestClass base("Base", "module.cpp");
  base.add_method(method("test_one", 10));
  base.add_method(method("test_three", 30));
  TestClass derived("Derived", "module.cpp", &base);
  derived.add_method(method("test_two", 20));
  auto result = ordered(standard({&base, &derived}));
  EXPECT_EQ(ids(result), (std::vector<std::string>{"Base.test_one", "Base.test_three", "Derived.test_one",
                                                   "Derived.test_two", "Derived.test_three"}));
  // The inherited cases belong to the derived class but run the base's method.
  auto cases = result.cases();
  EXPECT_EQ(&cases[2].test_class(), &derived);
  EXPECT_EQ(&cases[2].method(), base.find_method("test_one"));
}

TEST(LoadOrderedTests, OverrideTakesItsOwnLine) {
  TestClass base("Base", "module.cpp");
  base.add_method(method("test_one", 10));
  base.add_method(method("test_two", 20));
  TestClass derived("Derived", "module.cpp", &base);
  derived.add_method(method("test_two", 5));
  EXPECT_EQ(ids(ordered(standard({&derived}))), (std::vector<std::string>{"Derived.test_two", "Derived.test_one"}));
}

TEST(LoadOrderedTests, SameLineInDifferentFilesFallsBackToName) {
  TestClass base("Base", "base_fixture.hpp");
  base.add_method(method("test_zulu", 12, "base_fixture.hpp"));
  base.add_method(method("test_alpha", 30, "base_fixture.hpp"));
  TestClass derived("Derived", "module.cpp", &base);
  derived.add_method(method("test_mike", 12));
  derived.add_method(method("test_bravo", 12));
  EXPECT_EQ(ids(ordered(standard({&derived}))), (std::vector<std::string>{"Derived.test_bravo", "Derived.test_mike",
                                                                          "Derived.test_zulu", "Derived.test_alpha"}));
}

TEST(LoadOrderedTests, ResultHoldsNewCasesOfTheSameMethods) {
  TestClass login("Login", "module.cpp");
  login.add_method(method("test_a", 3));
  auto standard_tests = standard({&login});
  auto result = ordered(standard_tests);
  ASSERT_EQ(result.cases().size(), 1u);
  EXPECT_EQ(&result.cases()[0].test_class(), &login);
  EXPECT_EQ(result.cases()[0].line(), 3);
  EXPECT_EQ(standard_tests.cases().size(), 1u);  // the input is left as it was
}

TEST(LoadOrderedTests, EmptyModulesAndClasses) {
  EXPECT_EQ(ordered(TestSuite()).size(), 0u);
  TestClass empty("Empty", "module.cpp");
  auto standard_tests = standard({&empty});
  EXPECT_EQ(standard_tests.size(), 1u);
  EXPECT_EQ(ordered(standard_tests).size(), 0u);
}

TEST(LoadOrderedTests, BareCaseIsRefused) {
  TestClass login("Login", "module.cpp");
  login.add_method(method("test_a", 3));
  TestSuite standard_tests;
  standard_tests.add(default_loader().load_tests_from_class(login));
  standard_tests.add(TestCase(login, "test_a"));
  try {
    ordered(standard_tests);
    FAIL() << "a bare test case was accepted";
  } catch (const SequencerError& error) {
    EXPECT_STREQ(error.what(),
                 "load_ordered_tests: member 2 of the standard tests is a bare test case "
                 "(Login.test_a), not a suite of test cases");
  }
}

TEST(LoadOrderedTests, SuiteNestedDeeperIsRefused) {
  TestClass login("Login", "module.cpp");
  login.add_method(method("test_a", 3));
  TestSuite module = standard({&login});
  TestSuite outer;
  outer.add(module);  // suites of suites of cases: one level too deep
  try {
    ordered(outer);
    FAIL() << "a nested suite was accepted";
  } catch (const SequencerError& error) {
    EXPECT_STREQ(error.what(),
                 "load_ordered_tests: suite 1 of the standard tests holds a nested suite, "
                 "not test cases");
  }
}

TEST(LoadOrderedTests, CaseWithoutItsMethodIsRefused) {
  TestClass login("Login", "module.cpp");
  login.add_method(method("test_a", 3));
  TestSuite inner;
  inner.add(TestCase(login, "test_a"));
  inner.add(TestCase(login, "test_gone"));
  TestSuite standard_tests;
  standard_tests.add(inner);
  try {
    ordered(standard_tests);
    FAIL() << "a case without its method was accepted";
  } catch (const SequencerError& error) {
    EXPECT_STREQ(error.what(), "test class Login has no test method test_gone");
  }
}

TEST(TestClassModel, MethodLookupAndNames) {
  TestClass base("Base", "module.cpp");
  base.add_method(method("test_b", 1));
  base.add_method(method("test_a", 2));
  TestClass derived("Derived", "module.cpp", &base);
  derived.add_method(method("test_b", 9));
  derived.add_method(method("test_c", 8));
  EXPECT_EQ(derived.method_names(), (std::vector<std::string>{"test_a", "test_b", "test_c"}));
  EXPECT_EQ(derived.find_method("test_b")->line, 9);
  EXPECT_EQ(derived.find_method("test_a")->line, 2);
  EXPECT_EQ(base.find_method("test_c"), nullptr);

  // Redefining a method replaces it rather than adding a second case.
  base.add_method(method("test_a", 7));
  EXPECT_EQ(base.method_names(), (std::vector<std::string>{"test_a", "test_b"}));
  EXPECT_EQ(base.find_method("test_a")->line, 7);
}

TEST(TestClassModel, ClassWithoutFactoryCannotMakeTests) {
  TestClass plain("Plain", "module.cpp");
  plain.add_method(method("test_a", 1));
  EXPECT_THROW(TestCase(plain, "test_a").create(), SequencerError);
  EXPECT_THROW(plain.register_test(*plain.find_method("test_a")), SequencerError);
}

TEST(TestSuiteModel, CasesAreCollectedDepthFirst) {
  TestClass login("Login", "module.cpp");
  TestSuite inner;
  inner.add(TestCase(login, "test_2"));
  inner.add(TestCase(login, "test_3"));
  TestSuite outer;
  outer.add(TestCase(login, "test_1"));
  outer.add(inner);
  outer.add(TestCase(login, "test_4"));
  EXPECT_EQ(ids(outer), (std::vector<std::string>{"Login.test_1", "Login.test_2", "Login.test_3", "Login.test_4"}));
}

}  // namespace
}  // namespace qvn::case_sequencer
