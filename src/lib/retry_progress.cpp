#include "lib/retry_progress.hpp"

#include "aws/retry.hpp"
#include "core/logging.hpp"

namespace qvn {

RetryProgress::RetryProgress()
    : refusals_(*getLogger("quorvane_testlibs.aws"), "retries so far"),
      silences_(*getLogger("quorvane_testlibs.aws"), "attempts without an answer") {}

void RetryProgress::refused(const std::string& service, const std::string& region, long status,
                            const std::string& code) {
  const std::string why = code.empty() ? "HTTP " + std::to_string(status) : code;
  const std::string calls =
      aws::is_throttling_error(status, code) ? "throttled " + service + " calls" : service + " calls refused with " + why;
  refusals_.note("retrying " + calls + " (" + region + ")");
}

void RetryProgress::unanswered(const std::string& host) { silences_.note("waiting for " + host + " to answer"); }

}  // namespace qvn
