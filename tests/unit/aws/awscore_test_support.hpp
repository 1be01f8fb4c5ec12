#pragma once
// Shared pieces of the AWS client's unit tests: a scripted transport, an
// isolated environment (no AWS_* variables, config files in a temporary
// folder, metadata service off) and a fixed clock.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "aws/operation.hpp"
#include "core/clock.hpp"
#include "http/http_transport.hpp"

extern char** environ;

namespace qvn::aws::testing {

class FakeTransport : public http::HttpTransport {
 public:
  std::function<http::HttpResponse(const http::HttpRequest&)> handler;

  http::HttpResponse send(const http::HttpRequest& request) override {
    std::function<http::HttpResponse(const http::HttpRequest&)> current;
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(request);
      current = handler;
    }
    if (current) return current(request);
    return http::HttpResponse{200, {}, ""};
  }

  std::vector<http::HttpRequest> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<http::HttpRequest> requests_;
};

inline http::HttpResponse answer(long status, std::string body, HeaderList headers = {}) {
  return http::HttpResponse{status, std::move(headers), std::move(body)};
}

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void write_file(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// 2024-01-15 12:00:00 UTC, the time of the golden requests.
// EC2's service identity as the clients under test use it.
inline const ServiceId kEc2{"ec2", Protocol::Ec2, "2016-11-15", ""};

inline core::TimePoint fixed_time() { return core::TimePoint(std::chrono::seconds(1705320000)); }

// Every test starts from a clean AWS environment and gets the old one back.
class AwsEnvironmentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (char** entry = environ; *entry; ++entry) {
      std::string text = *entry;
      std::string name = text.substr(0, text.find('='));
      if (name.starts_with("AWS_")) saved_[name] = std::getenv(name.c_str());
    }
    for (const auto& [name, value] : saved_) unsetenv(name.c_str());
    folder_ = std::filesystem::temp_directory_path() /
              ("awscore-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
    std::filesystem::create_directories(folder_);
    set("HOME", folder_.string());
    set("AWS_CONFIG_FILE", (folder_ / "config").string());
    set("AWS_SHARED_CREDENTIALS_FILE", (folder_ / "credentials").string());
    set("AWS_EC2_METADATA_DISABLED", "true");
    transport_ = std::make_shared<FakeTransport>();
  }

  void TearDown() override {
    for (char** entry = environ; *entry; ++entry) {
      std::string text = *entry;
      std::string name = text.substr(0, text.find('='));
      if (name.starts_with("AWS_") && !saved_.count(name)) extra_.push_back(name);
    }
    for (const auto& name : extra_) unsetenv(name.c_str());
    for (const auto& [name, value] : saved_) {
      if (value)
        setenv(name.c_str(), value->c_str(), 1);
      else
        unsetenv(name.c_str());
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
    core::set_clock({});
    core::set_sleep_function({});
  }

  void set(const std::string& name, const std::string& value) {
    if (!saved_.count(name)) {
      const char* old = std::getenv(name.c_str());
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    setenv(name.c_str(), value.c_str(), 1);
  }

  void unset(const std::string& name) {
    if (!saved_.count(name)) {
      const char* old = std::getenv(name.c_str());
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    unsetenv(name.c_str());
  }

  void write_config(const std::string& text) { write_file(folder_ / "config", text); }
  void write_credentials(const std::string& text) { write_file(folder_ / "credentials", text); }

  std::filesystem::path folder_;
  std::shared_ptr<FakeTransport> transport_;

 private:
  std::map<std::string, std::optional<std::string>> saved_;
  std::vector<std::string> extra_;
  static inline int counter_ = 0;
};

}  // namespace qvn::aws::testing
