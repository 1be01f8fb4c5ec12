#include "test_utils/case_sequencer.hpp"

#include <algorithm>
#include <map>
#include <mutex>
#include <tuple>

namespace qvn::case_sequencer {
namespace {

struct Registry {
  std::mutex mutex;
  std::vector<const TestClass*> classes;
};

Registry& registry() {
  static Registry instance;
  return instance;
}

// "tests/unit/x/login_test.cpp" -> "login_test"; anything but letters,
// digits and '_' becomes '_', so the name is a valid GoogleTest suite name.
std::string file_stem(std::string_view file) {
  std::size_t slash = file.find_last_of('/');
  if (slash != std::string_view::npos) file.remove_prefix(slash + 1);
  std::size_t dot = file.find('.');
  std::string stem(file.substr(0, dot));
  for (char& c : stem) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!plain) c = '_';
  }
  return stem.empty() ? "module" : stem;
}

// Stands in for a module whose loading failed, so the run reports the error.
class LoadFailure final : public testing::Test {
 public:
  explicit LoadFailure(std::string message) : message_(std::move(message)) {}

 private:
  void TestBody() override { FAIL() << message_; }
  std::string message_;
};

void register_load_failure(std::string_view file, const std::string& message) {
  std::string suite = file_stem(file);
  std::string text = "loading the tests of " + std::string(file) + " failed: " + message;
  testing::RegisterTest(suite.c_str(), "load_tests", nullptr, nullptr, std::string(file).c_str(), 0,
                        [text]() -> testing::Test* { return new LoadFailure(text); });
}

// A sort record of load_ordered_tests.
struct SortRecord {
  int line;
  const TestClass* test_class;
  std::string method_name;
};

}  // namespace

// ------------------------------------------------------------------ TestClass

TestClass::TestClass(std::string name, std::string file, const TestClass* base, Factory factory, Registrar registrar)
    : name_(std::move(name)),
      file_(std::move(file)),
      base_(base),
      factory_(std::move(factory)),
      registrar_(std::move(registrar)) {}

void TestClass::declare(std::string name, std::string file, const TestClass* base) {
  name_ = std::move(name);
  file_ = std::move(file);
  base_ = base;
}

void TestClass::add_method(TestMethod method) {
  for (auto& existing : methods_) {
    if (existing.name == method.name) {
      existing = std::move(method);
      return;
    }
  }
  methods_.push_back(std::move(method));
}

const TestMethod* TestClass::find_method(std::string_view name) const {
  for (const TestClass* level = this; level != nullptr; level = level->base_) {
    for (const auto& method : level->methods_) {
      if (method.name == name) return &method;
    }
  }
  return nullptr;
}

std::vector<std::string> TestClass::method_names() const {
  std::vector<std::string> names;
  for (const TestClass* level = this; level != nullptr; level = level->base_) {
    for (const auto& method : level->methods_) names.push_back(method.name);
  }
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

std::unique_ptr<testing::Test> TestClass::create(const TestMethod& method) const {
  if (!factory_) throw SequencerError("test class " + name_ + " cannot make test objects");
  return std::unique_ptr<testing::Test>(factory_(method.body));
}

void TestClass::register_test(const TestMethod& method) const {
  if (!registrar_) throw SequencerError("test class " + name_ + " cannot register tests");
  const Factory& factory = factory_;
  auto body = method.body;
  registrar_(name_, method.name, method.file, method.line,
             [factory, body]() -> testing::Test* { return factory(body); });
}

// ------------------------------------------------------------------- TestCase

TestCase::TestCase(const TestClass& test_class, std::string method_name)
    : class_(&test_class), method_name_(std::move(method_name)) {}

const TestMethod& TestCase::method() const {
  const TestMethod* found = class_->find_method(method_name_);
  if (found == nullptr) {
    throw SequencerError("test class " + class_->name() + " has no test method " + method_name_);
  }
  return *found;
}

// ------------------------------------------------------------------ TestSuite

TestSuite::TestSuite(std::vector<TestCase> cases) {
  members_.reserve(cases.size());
  for (auto& test_case : cases) members_.emplace_back(std::move(test_case));
}

void TestSuite::add(TestCase test_case) { members_.emplace_back(std::move(test_case)); }

void TestSuite::add(TestSuite suite) { members_.emplace_back(std::make_shared<const TestSuite>(std::move(suite))); }

std::vector<TestCase> TestSuite::cases() const {
  std::vector<TestCase> result;
  for (const auto& member : members_) {
    if (const auto* test_case = std::get_if<TestCase>(&member)) {
      result.push_back(*test_case);
    } else {
      auto inner = std::get<std::shared_ptr<const TestSuite>>(member)->cases();
      result.insert(result.end(), inner.begin(), inner.end());
    }
  }
  return result;
}

// ----------------------------------------------------------------- TestLoader

TestSuite TestLoader::load_tests_from_class(const TestClass& test_class) const {
  TestSuite suite;
  for (auto& name : test_class.method_names()) suite.add(TestCase(test_class, name));
  return suite;
}

TestSuite TestLoader::load_tests_from_module(const std::vector<const TestClass*>& classes) const {
  std::vector<const TestClass*> sorted = classes;
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const TestClass* a, const TestClass* b) { return a->name() < b->name(); });
  TestSuite module;
  for (const TestClass* test_class : sorted) module.add(load_tests_from_class(*test_class));
  return module;
}

const TestLoader& default_loader() {
  static const TestLoader loader;
  return loader;
}

// --------------------------------------------------------- load_ordered_tests

TestSuite load_ordered_tests(const TestLoader& /*loader*/, const TestSuite& standard_tests,
                             std::string_view /*pattern*/) {
  std::vector<TestCase> ordered_cases;
  std::size_t position = 0;
  for (const auto& member : standard_tests.members()) {
    ++position;
    if (const auto* bare = std::get_if<TestCase>(&member)) {
      throw SequencerError("load_ordered_tests: member " + std::to_string(position) +
                           " of the standard tests is a bare test case (" + bare->id() +
                           "), not a suite of test cases");
    }
    const TestSuite& test_suite = *std::get<std::shared_ptr<const TestSuite>>(member);
    std::vector<SortRecord> ordered;
    for (const auto& inner : test_suite.members()) {
      const auto* test_case = std::get_if<TestCase>(&inner);
      if (test_case == nullptr) {
        throw SequencerError("load_ordered_tests: suite " + std::to_string(position) +
                             " of the standard tests holds a nested suite, not test cases");
      }
      ordered.push_back({test_case->line(), &test_case->test_class(), test_case->method_name()});
    }
    // Records of one class suite share their class; should a suite mix
    // classes, equal lines fall back to the class name.
    std::stable_sort(ordered.begin(), ordered.end(), [](const SortRecord& a, const SortRecord& b) {
      return std::forward_as_tuple(a.line, a.test_class->name(), a.method_name) <
             std::forward_as_tuple(b.line, b.test_class->name(), b.method_name);
    });
    for (auto& record : ordered) ordered_cases.emplace_back(*record.test_class, record.method_name);
  }
  return TestSuite(std::move(ordered_cases));
}

// -------------------------------------------------------------------- modules

namespace detail {

void add_to_registry(const TestClass& test_class) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  if (std::find(r.classes.begin(), r.classes.end(), &test_class) == r.classes.end()) {
    r.classes.push_back(&test_class);
  }
}

}  // namespace detail

std::vector<const TestClass*> module_classes(std::string_view file) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  std::vector<const TestClass*> result;
  for (const TestClass* test_class : r.classes) {
    if (test_class->file() == file) result.push_back(test_class);
  }
  return result;
}

TestSuite load_module(std::string_view file, const LoadHook& hook, const TestLoader& loader) {
  TestSuite standard = loader.load_tests_from_module(module_classes(file));
  if (!hook) return standard;
  return hook(loader, standard, "");
}

void register_suite(const TestSuite& suite) {
  auto cases = suite.cases();
  // Check every case before registering any, so a bad suite registers nothing.
  for (const auto& test_case : cases) test_case.method();
  for (const auto& test_case : cases) test_case.test_class().register_test(test_case.method());
}

bool register_module(std::string_view file, const LoadHook& hook, const TestLoader& loader) {
  try {
    register_suite(load_module(file, hook, loader));
    return true;
  } catch (const std::exception& error) {
    register_load_failure(file, error.what());
    return false;
  }
}

}  // namespace qvn::case_sequencer
