#pragma once
// A handler that keeps what it receives, for tests of the logging facility.
#include <mutex>
#include <string>
#include <vector>

#include "core/logging.hpp"

namespace qvn::test_support {

class CaptureHandler : public Handler {
 public:
  explicit CaptureHandler(int level = NOTSET) : Handler(level) {}

  std::vector<LogRecord> records() const {
    std::lock_guard lock(mutex_);
    return records_;
  }
  std::vector<std::string> messages() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& r : records_) out.push_back(r.message);
    return out;
  }

 protected:
  void emit(const LogRecord& record) override {
    std::lock_guard lock(mutex_);
    records_.push_back(record);
  }

 private:
  mutable std::mutex mutex_;
  std::vector<LogRecord> records_;
};

}  // namespace qvn::test_support
