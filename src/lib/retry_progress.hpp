#pragma once
// Progress lines for calls that keep being retried: one run of refusals
// (throttling, transient errors) and one of attempts that found no answer,
// per service and region (kept by the session's call log, lib/call_log.hpp,
// that every client and thread of the session shares), each told at INFO on the
// "quorvane_testlibs.aws" logger at most once every 15 scaled seconds:
//
//   retrying throttled ec2 calls (us-east-1): 12 retries so far (45 s)
//   waiting for ec2.us-east-1.amazonaws.com to answer: 6 attempts without an answer (1 min 5 s)
//
// A run starts with its first retry and ends after a minute without one.
// The lines name the service, region and host only: no request content.
#include <string>

#include "core/progress.hpp"

namespace qvn {

class RetryProgress {
 public:
  RetryProgress();

  // A refused call of `service` in `region` will be sent again.
  void refused(const std::string& service, const std::string& region, long status, const std::string& code);
  // An attempt to reach `host` found no answer; the call will be sent again.
  void unanswered(const std::string& host);

  int refusals() const { return refusals_.count(); }
  int silences() const { return silences_.count(); }

 private:
  core::RepeatProgress refusals_;
  core::RepeatProgress silences_;
};

}  // namespace qvn
