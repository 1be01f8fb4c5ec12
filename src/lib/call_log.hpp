#pragma once
// The toolkit's lines about the AWS calls of a session, on the
// "quorvane_testlibs.aws" logger: the AWS client tells its retries, waits,
// bucket redirects and renewed credentials to the session's listener, and
// this one writes them.
//
//   INFO   "  ec2 DescribeSubnets (us-east-1): first attempt refused (Throttling, HTTP 400), retrying"
//   INFO   "  sts AssumeRole (aws-global): ExpiredToken, sending again with fresh credentials"
//   DEBUG  "s3 GetObject (us-east-1): bucket b is in eu-west-2, signing for that region"
//
// and, per service and region, the progress lines of calls that keep being
// retried (lib/retry_progress.hpp).
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "aws/call_listener.hpp"
#include "lib/retry_progress.hpp"

namespace qvn {

class CallLog final : public aws::CallListener {
 public:
  void retrying(const aws::CallEvent& call, const aws::RetryEvent& retry) override;
  void credentials_renewed(const aws::CallEvent& call, const std::string& code) override;
  void bucket_moved(const aws::CallEvent& call, const std::string& bucket, const std::string& region) override;

 private:
  RetryProgress& progress(const aws::CallEvent& call);

  std::mutex mutex_;
  std::map<std::string, std::unique_ptr<RetryProgress>> progress_;  // by "service region"
};

// A call log for one session (and the sessions its credentials make).
std::shared_ptr<aws::CallListener> makeCallLog();

}  // namespace qvn
