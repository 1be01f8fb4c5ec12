#pragma once
#include "core/logging.hpp"

namespace qvn {

// Logging handler that ties logged errors to the exit status: every record it
// receives at or above its threshold (ERROR in the logging configuration)
// sets RunOutcome's status to 1, so a run that logged an error does not end
// as a success.
class ErrorStatusHandler : public Handler {
 public:
  explicit ErrorStatusHandler(int level = ERROR) : Handler(level) {}

 protected:
  void emit(const LogRecord& record) override;
};

}  // namespace qvn
