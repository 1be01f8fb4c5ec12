#pragma once
// What a service client tells about a call while it runs: the retries it
// waits out, a bucket found in another region, credentials renewed after
// AWS called them expired. The client never logs by itself; a session
// carries one listener (SessionOptions::listener), and the program above
// turns these events into its own lines. Events never carry secrets or
// request content: the service, region, operation, host and AWS's code.
#include <string>

namespace qvn::aws {

// The call an event belongs to.
struct CallEvent {
  std::string service;    // "ec2"
  std::string region;     // the client's region ("aws-global" for IAM/STS without one)
  std::string operation;  // "DescribeSubnets"
};

// One attempt that failed; the call is sent again after `delay_seconds`.
struct RetryEvent {
  int attempt = 1;        // the attempt that failed, the first being 1
  bool answered = false;  // true: refused by AWS (status, code); false: no answer (host, reason)
  long status = 0;
  std::string code;    // AWS's error code; may be empty
  std::string host;    // the endpoint that did not answer ("ec2.us-east-1.amazonaws.com")
  std::string reason;  // "RequestLimitExceeded, HTTP 400" or the transport's message
  double delay_seconds = 0;
};

class CallListener {
 public:
  virtual ~CallListener() = default;
  // Told before the pause that precedes the next attempt.
  virtual void retrying(const CallEvent& call, const RetryEvent& retry) = 0;
  // AWS called the credentials expired; the call is signed again with fresh ones.
  virtual void credentials_renewed(const CallEvent& call, const std::string& code) = 0;
  // S3: the bucket lives in `region`; the call is signed for it and sent there.
  virtual void bucket_moved(const CallEvent& call, const std::string& bucket, const std::string& region) = 0;
};

}  // namespace qvn::aws
