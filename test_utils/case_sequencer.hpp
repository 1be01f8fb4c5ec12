#pragma once
// Runs the test methods of a GoogleTest fixture class in the order in which
// they are written in the source, instead of the name order of a default
// loader.
//
// Writing a test module (one .cpp file):
//
//   class LoginTests : public testing::Test {
//    public:                        // test methods must be public
//     void test_b();
//     void test_a();
//   };
//   QVN_TEST_CLASS(LoginTests);
//
//   QVN_TEST_METHOD(LoginTests, test_b) { ... }   // runs first
//   QVN_TEST_METHOD(LoginTests, test_a) { ... }
//
//   class MoreLoginTests : public LoginTests {
//    public:
//     void test_c();
//   };
//   QVN_TEST_CLASS(MoreLoginTests, LoginTests);   // inherits test_b, test_a
//   QVN_TEST_METHOD(MoreLoginTests, test_c) { ... }
//
//   QVN_TEST_MODULE(qvn::case_sequencer::load_ordered_tests);  // last line
//
// A test method's declaration line is the line of its QVN_TEST_METHOD, where
// its definition starts. An inherited method keeps the line (and file) where
// its base class defines it, so inherited and own methods interleave by line.
//
// QVN_TEST_MODULE, placed after every class and method of the file, builds
// the standard collection of the file's classes (one suite per class, classes
// and methods in name order, as xUnit loaders do), hands it to the hook, and
// registers the hook's result with GoogleTest (testing::RegisterTest) in that
// order; GoogleTest then runs the cases in exactly that order (unless
// --gtest_shuffle is given). When the hook fails, the module registers a
// single failing test "<file stem>.load_tests" carrying the error instead.
//
// Registration happens while the program starts, before main(). A base class
// used by the classes of another file must therefore be defined, with its
// QVN_TEST_CLASS and QVN_TEST_METHOD lines, in a header that file includes:
// the macros make those definitions inline, and inline definitions included
// above QVN_TEST_MODULE are registered before it runs.
//
// Per-test SetUp()/TearDown() and the fixture's static SetUpTestSuite() /
// TearDownTestSuite() work as with TEST_F.
#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace qvn::case_sequencer {

class SequencerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One test method of a class: its name, where its definition starts, and how
// to run it on a fixture object of the class (or of a class derived from it).
struct TestMethod {
  std::string name;
  std::string file;
  int line = 0;
  std::function<void(testing::Test&)> body;
};

// A test class: a fixture type with its own test methods and, optionally, the
// test class it derives from.
class TestClass {
 public:
  // Makes a fresh fixture object that runs `body` as its test body.
  using Factory = std::function<testing::Test*(std::function<void(testing::Test&)> body)>;
  // Registers one test with GoogleTest under the fixture's own type.
  using Registrar = std::function<void(const std::string& suite, const std::string& name, const std::string& file,
                                       int line, std::function<testing::Test*()> make)>;

  TestClass(std::string name, std::string file, const TestClass* base = nullptr, Factory factory = {},
            Registrar registrar = {});

  const std::string& name() const { return name_; }
  // The file the class is declared in: the module it belongs to.
  const std::string& file() const { return file_; }
  const TestClass* base() const { return base_; }

  // Adds a method of this class; a second method of the same name replaces
  // the first.
  void add_method(TestMethod method);

  // The method this class runs for `name`: its own, else the nearest base
  // class's; nullptr when none has it.
  const TestMethod* find_method(std::string_view name) const;

  // The names of all test methods, own and inherited, each once, in name order.
  std::vector<std::string> method_names() const;

  // A fresh fixture object running `body`; fails when the class has no factory.
  std::unique_ptr<testing::Test> create(const TestMethod& method) const;

  // Registers `method` as the GoogleTest test "<class>.<method name>".
  void register_test(const TestMethod& method) const;

  // Set once by QVN_TEST_CLASS.
  void declare(std::string name, std::string file, const TestClass* base);

 private:
  std::string name_;
  std::string file_;
  const TestClass* base_ = nullptr;
  Factory factory_;
  Registrar registrar_;
  std::vector<TestMethod> methods_;
};

// One runnable test: a test class and the name of one of its test methods.
class TestCase {
 public:
  TestCase(const TestClass& test_class, std::string method_name);

  const TestClass& test_class() const { return *class_; }
  const std::string& method_name() const { return method_name_; }
  std::string id() const { return class_->name() + "." + method_name_; }

  // The method the case runs; fails when the class has no such method.
  const TestMethod& method() const;
  int line() const { return method().line; }
  // A fresh fixture object for this case.
  std::unique_ptr<testing::Test> create() const { return class_->create(method()); }

 private:
  const TestClass* class_;
  std::string method_name_;
};

// An ordered collection of test cases and of further suites.
class TestSuite {
 public:
  using Member = std::variant<TestCase, std::shared_ptr<const TestSuite>>;

  TestSuite() = default;
  explicit TestSuite(std::vector<TestCase> cases);

  void add(TestCase test_case);
  void add(TestSuite suite);

  const std::vector<Member>& members() const { return members_; }
  std::size_t size() const { return members_.size(); }
  // Every test case, depth first, in order.
  std::vector<TestCase> cases() const;

 private:
  std::vector<Member> members_;
};

// The standard collection, in the name order of xUnit loaders.
class TestLoader {
 public:
  virtual ~TestLoader() = default;
  // One case per test method (own and inherited), in method-name order.
  virtual TestSuite load_tests_from_class(const TestClass& test_class) const;
  // One suite per class, classes in name order (equal names keep their order).
  virtual TestSuite load_tests_from_module(const std::vector<const TestClass*>& classes) const;
};

const TestLoader& default_loader();

// The signature of a test-loading hook.
using LoadHook =
    std::function<TestSuite(const TestLoader& loader, const TestSuite& standard_tests, std::string_view pattern)>;

// The loading hook that orders each class's cases by declaration line (equal
// lines by method name) and keeps the order of the classes. `standard_tests`
// must hold suites of test cases only; a bare test case, a suite nested one
// level deeper or a case whose method cannot be found is a SequencerError.
// Returns one flat suite of new test cases. `loader` and `pattern` are not used.
TestSuite load_ordered_tests(const TestLoader& loader, const TestSuite& standard_tests, std::string_view pattern);

// The classes declared (QVN_TEST_CLASS) in `file`, in declaration order.
std::vector<const TestClass*> module_classes(std::string_view file);

// The standard collection of the module `file`, passed through `hook` (when
// set). Errors of the hook are passed on.
TestSuite load_module(std::string_view file, const LoadHook& hook, const TestLoader& loader = default_loader());

// Registers the cases of `suite`, in order, with GoogleTest.
void register_suite(const TestSuite& suite);

// load_module + register_suite; a failure of either registers one failing
// test "<file stem>.load_tests" with the error text. Returns true when the
// module's own cases were registered.
bool register_module(std::string_view file, const LoadHook& hook, const TestLoader& loader = default_loader());

namespace detail {

// Runs `body` as the test body of a `Fixture` object.
template <class Fixture>
class MethodRunner final : public Fixture {
 public:
  explicit MethodRunner(std::function<void(testing::Test&)> body) : body_(std::move(body)) {}

 private:
  void TestBody() override { body_(*this); }
  std::function<void(testing::Test&)> body_;
};

// The one record of `Fixture`, created on first use.
template <class Fixture>
TestClass& class_record() {
  static_assert(std::is_base_of_v<testing::Test, Fixture>, "a sequenced test class must derive from testing::Test");
  static TestClass record(
      "", "", nullptr,
      [](std::function<void(testing::Test&)> body) -> testing::Test* {
        return new MethodRunner<Fixture>(std::move(body));
      },
      [](const std::string& suite, const std::string& name, const std::string& file, int line,
         std::function<testing::Test*()> make) {
        testing::RegisterTest(suite.c_str(), name.c_str(), nullptr, nullptr, file.c_str(), line,
                              [make]() -> Fixture* { return static_cast<Fixture*>(make()); });
      });
  return record;
}

// Adds a class to the registry of its module.
void add_to_registry(const TestClass& test_class);

template <class Fixture, class Base = void>
const TestClass& declare_class(const char* name, const char* file) {
  const TestClass* base = nullptr;
  if constexpr (!std::is_void_v<Base>) {
    static_assert(std::is_base_of_v<Base, Fixture>, "the base test class must be a base of the class");
    base = &class_record<Base>();
  }
  TestClass& record = class_record<Fixture>();
  record.declare(name, file, base);
  add_to_registry(record);
  return record;
}

template <class Fixture>
bool declare_method(const char* name, const char* file, int line, void (Fixture::*method)()) {
  class_record<Fixture>().add_method(
      TestMethod{name, file, line, [method](testing::Test& test) { (dynamic_cast<Fixture&>(test).*method)(); }});
  return true;
}

}  // namespace detail
}  // namespace qvn::case_sequencer

// QVN_TEST_CLASS(Class) or QVN_TEST_CLASS(Class, BaseClass): declares a test
// class of this file (the base must be declared with QVN_TEST_CLASS too).
#define QVN_TEST_CLASS(Class, ...)                                             \
  inline const ::qvn::case_sequencer::TestClass& qvn_sequenced_class_##Class = \
      ::qvn::case_sequencer::detail::declare_class<Class __VA_OPT__(, ) __VA_ARGS__>(#Class, __FILE__)

// QVN_TEST_METHOD(Class, method) { body }: defines the public member
// `void Class::method()` declared in the class and records it as a test
// method declared on this line.
#define QVN_TEST_METHOD(Class, method)                                                                   \
  inline const bool qvn_sequenced_method_##Class##_##method =                                            \
      ::qvn::case_sequencer::detail::declare_method<Class>(#method, __FILE__, __LINE__, &Class::method); \
  inline void Class::method()

// QVN_TEST_MODULE(hook): registers the test classes of this file through
// `hook` (for example qvn::case_sequencer::load_ordered_tests). Place it after
// every class and method of the file, once per file.
#define QVN_TEST_MODULE(hook)                                          \
  static const bool qvn_sequenced_module_registered [[maybe_unused]] = \
      ::qvn::case_sequencer::register_module(__FILE__, hook)
