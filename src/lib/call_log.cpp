#include "lib/call_log.hpp"

#include "core/logging.hpp"

namespace qvn {
namespace {

Logger* aws_log() { return getLogger("quorvane_testlibs.aws"); }

std::string describe(const aws::CallEvent& call) {
  return call.service + " " + call.operation + " (" + call.region + ")";
}

}  // namespace

RetryProgress& CallLog::progress(const aws::CallEvent& call) {
  std::lock_guard hold(mutex_);
  std::unique_ptr<RetryProgress>& slot = progress_[call.service + " " + call.region];
  if (!slot) slot = std::make_unique<RetryProgress>();
  return *slot;
}

// The run of retries first, then the second attempt announced with its
// reason, so that a slow call is never a silent one.
void CallLog::retrying(const aws::CallEvent& call, const aws::RetryEvent& retry) {
  if (retry.answered)
    progress(call).refused(call.service, call.region, retry.status, retry.code);
  else
    progress(call).unanswered(retry.host);
  if (retry.attempt == 1) {
    const char* outcome = retry.answered ? "refused" : "failed";
    aws_log()->info("  " + describe(call) + ": first attempt " + outcome + " (" + retry.reason + "), retrying");
  }
}

void CallLog::credentials_renewed(const aws::CallEvent& call, const std::string& code) {
  aws_log()->info("  " + describe(call) + ": " + code + ", sending again with fresh credentials");
}

void CallLog::bucket_moved(const aws::CallEvent& call, const std::string& bucket, const std::string& region) {
  aws_log()->debug(describe(call) + ": bucket " + bucket + " is in " + region + ", signing for that region");
}

std::shared_ptr<aws::CallListener> makeCallLog() { return std::make_shared<CallLog>(); }

}  // namespace qvn
