#include "aws/waiters.hpp"

#include <algorithm>
#include <functional>
#include <optional>
#include <vector>

#include "aws/errors.hpp"
#include "core/clock.hpp"

namespace qvn::aws {
namespace {

enum class State { Success, Failure, Retry };

struct Verdict {
  State state;
  std::string detail;  // for a failure
};

// After an attempt that decided nothing: the hook, then the delay.
void pause(const WaiterConfig& config) {
  if (config.between_polls) config.between_polls();
  core::sleep_for(config.delay);
}

// Polls until an acceptor decides. `attempt` returns the verdict of one
// call, or nothing when no acceptor matched (keep waiting).
void run_waiter(const std::string& name, const WaiterConfig& config,
                const std::function<std::optional<Verdict>()>& attempt) {
  const int max_attempts = config.max_attempts < 1 ? 1 : config.max_attempts;
  const int answered = std::clamp(config.attempts_answered, 0, max_attempts - 1);
  if (answered > 0) pause(config);
  for (int n = answered + 1;; ++n) {
    if (config.abandon_when && config.abandon_when())
      throw WaiterError(name, WaiterError::Reason::Abandoned, "abandoned before attempt " + std::to_string(n));
    const std::optional<Verdict> verdict = attempt();
    if (verdict && verdict->state == State::Success) return;
    if (verdict && verdict->state == State::Failure) {
      throw WaiterError(name, WaiterError::Reason::TerminalFailure, verdict->detail);
    }
    if (n >= max_attempts) throw WaiterError(name, WaiterError::Reason::MaxAttempts, "Max attempts exceeded");
    pause(config);
  }
}

std::string reason_text(WaiterError::Reason reason, const std::string& detail) {
  if (reason == WaiterError::Reason::TerminalFailure) {
    return "Waiter encountered a terminal failure state: " + detail;
  }
  return detail;
}

bool all_equal(const std::vector<std::string>& values, const std::string& expected) {
  if (values.empty()) return false;
  for (const auto& v : values) {
    if (v != expected) return false;
  }
  return true;
}

bool any_equal(const std::vector<std::string>& values, const std::string& expected) {
  for (const auto& v : values) {
    if (v == expected) return true;
  }
  return false;
}

std::string matched_failure(const std::string& expression, const std::string& value) {
  return "For expression \"" + expression + "\" we matched expected path: \"" + value + "\" at least once";
}

std::string unexpected_error(const ServiceError& e) { return "An error occurred (" + e.code() + "): " + e.message(); }

}  // namespace

WaiterError::WaiterError(const std::string& waiter, Reason reason, const std::string& detail)
    : AwsError("Waiter " + waiter + " failed: " + reason_text(reason, detail)), waiter_(waiter), reason_(reason) {}

void wait_instance_status_ok(const Ec2Client& ec2, const DescribeInstanceStatusRequest& request,
                             const WaiterConfig& config) {
  static const std::string kName = "InstanceStatusOk";
  run_waiter(kName, config, [&]() -> std::optional<Verdict> {
    DescribeInstanceStatusResult result;
    try {
      result = ec2.describe_instance_status(request, Pages::One);
    } catch (const ServiceError& e) {
      if (e.code() == "InvalidInstanceID.NotFound") return Verdict{State::Retry, {}};
      throw WaiterError(kName, WaiterError::Reason::ServiceError, unexpected_error(e));
    }
    std::vector<std::string> statuses;
    for (const auto& s : result.InstanceStatuses) {
      if (s.InstanceStatus && s.InstanceStatus->Status) statuses.push_back(*s.InstanceStatus->Status);
    }
    if (all_equal(statuses, "ok")) return Verdict{State::Success, {}};
    return std::nullopt;
  });
}

void wait_instance_terminated(const Ec2Client& ec2, const DescribeInstancesRequest& request,
                              const WaiterConfig& config) {
  static const std::string kName = "InstanceTerminated";
  static const std::string kPath = "Reservations[].Instances[].State.Name";
  run_waiter(kName, config, [&]() -> std::optional<Verdict> {
    DescribeInstancesResult result;
    try {
      result = ec2.describe_instances(request, Pages::One);
    } catch (const ServiceError& e) {
      throw WaiterError(kName, WaiterError::Reason::ServiceError, unexpected_error(e));
    }
    std::vector<std::string> states;
    for (const auto& reservation : result.Reservations) {
      for (const auto& instance : reservation.Instances) {
        if (instance.State && instance.State->Name) states.push_back(*instance.State->Name);
      }
    }
    if (all_equal(states, "terminated")) return Verdict{State::Success, {}};
    for (const char* bad : {"pending", "stopping"}) {
      if (any_equal(states, bad)) return Verdict{State::Failure, matched_failure(kPath, bad)};
    }
    return std::nullopt;
  });
}

}  // namespace qvn::aws
