#include "core/error_status_handler.hpp"

#include "core/run_outcome.hpp"

namespace qvn {

void ErrorStatusHandler::emit(const LogRecord& record) {
  if (record.levelno >= ERROR) RunOutcome().setStatus(1);
}

}  // namespace qvn
