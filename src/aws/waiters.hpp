#pragma once
// EC2 waiters with the SDKs' definitions: poll an operation (one page per
// attempt, the same request each time) until an acceptor decides.
//
// instance_status_ok: DescribeInstanceStatus every 15 s, at most 40 times;
// success when every InstanceStatuses[].InstanceStatus.Status is "ok";
// InvalidInstanceID.NotFound means try again.
// instance_terminated: DescribeInstances every 15 s, at most 40 times;
// success when every Reservations[].Instances[].State.Name is "terminated",
// failure as soon as one is "pending" or "stopping".
//
// An empty list matches nothing (keep waiting). A service error that no
// acceptor expects, a failure acceptor and running out of attempts throw
// WaiterError. Transport failures propagate unchanged. The pauses go
// through qvn::core::sleep_for.
#include <chrono>
#include <functional>
#include <string>

#include "aws/ec2.hpp"
#include "aws/errors.hpp"

namespace qvn::aws {

class WaiterError : public AwsError {
 public:
  enum class Reason { TerminalFailure, ServiceError, MaxAttempts, Abandoned };
  WaiterError(const std::string& waiter, Reason reason, const std::string& detail);
  const std::string& waiter() const { return waiter_; }
  Reason reason() const { return reason_; }

 private:
  std::string waiter_;
  Reason reason_;
};

struct WaiterConfig {
  std::chrono::duration<double> delay = std::chrono::seconds(15);
  int max_attempts = 40;
  // Called after each poll that decided nothing, before the pause (progress
  // lines of a long wait); may be empty.
  std::function<void()> between_polls{};
  // Attempts the caller has already made by other means: the answer of the
  // call that started the change told the state an immediate poll would
  // have. The waiter then pauses before its first poll and counts these
  // against max_attempts, so the timing stays the SDKs'.
  int attempts_answered = 0;
  // Asked before every poll; when it answers true, the wait ends there
  // without polling again: WaiterError with Reason::Abandoned (the caller
  // was told to stop, e.g. by a signal). May be empty.
  std::function<bool()> abandon_when{};
};

void wait_instance_status_ok(const Ec2Client& ec2, const DescribeInstanceStatusRequest& request,
                             const WaiterConfig& config = {});
void wait_instance_terminated(const Ec2Client& ec2, const DescribeInstancesRequest& request,
                              const WaiterConfig& config = {});

}  // namespace qvn::aws
