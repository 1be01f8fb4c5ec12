#include "core/run_outcome.hpp"

namespace qvn {

namespace {

RunOutcome::Instance* theInstance() {
  // Function-local static: initialised exactly once, thread-safe.
  static RunOutcome::Instance instance;
  return &instance;
}

}  // namespace

RunSettings Globals;

RunOutcome::RunOutcome() : instance_(theInstance()) {}

int RunOutcome::getStatus() const { return instance_->status.load(std::memory_order_seq_cst); }

void RunOutcome::setStatus(int status) { instance_->status.store(status, std::memory_order_seq_cst); }

}  // namespace qvn
