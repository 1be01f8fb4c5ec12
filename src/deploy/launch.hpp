#pragma once
// The test instance of one test subnet: two network interfaces (the
// gateway subnet's first, where it gets its public address, and the
// private test subnet's), found again by its Name tag and its gateway
// subnet, so a repeated deployment adopts it instead of launching another.
//
// createEc2 runs in a worker thread of its own; everything it is given is
// shared read-only with the other workers except its entry of the test
// configuration, which only it writes. It never ends the process: its
// expected failures are logged and end the worker, the others are thrown to
// the worker's boundary (see orchestration).
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "aws/ec2.hpp"
#include "core/progress.hpp"
#include "deploy/run_context.hpp"
#include "deploy/vpc_lookups.hpp"
#include "lib/test_config.hpp"

namespace qvn::deploy {

// EC2 kept refusing a launch with "InvalidParameterValue" about its
// instance profile, on every attempt.
class InvalidParameterValueException : public std::exception {
 public:
  const char* what() const noexcept override {
    return "RunInstances was refused with InvalidParameterValue on every attempt";
  }
};

inline constexpr int kLaunchAttempts = 6;
inline constexpr double kLaunchRetrySeconds = 10;
inline constexpr int kPublicIpRounds = 2;
inline constexpr double kPublicIpWaitSeconds = 5;

// What every launch of the VPC shares, made once on the calling thread
// before the first worker starts.
struct SharedLaunchInputs {
  std::optional<std::string> sg_id;
  std::optional<std::string> sg_id_private_inf;
  std::optional<std::string> key_name;
  std::optional<std::string> instance_profile;
};

// What one launch works with (the arguments of createEc2, by name): the
// run (clients, arguments, the image, the VPC whose tag the Elastic IP
// gets), what the VPC's launches share, and its own entry.
struct Ec2Launch {
  const RunContext* run = nullptr;
  SharedLaunchInputs shared;
  std::string gw_subnet_id;
  std::string private_subnet_id;
  std::string spoke_gw_ip;  // accepted, not used by the launch
  ConfigEntry* test_config = nullptr;  // the entry; gets ec2_ip, ec2_2nd_private_ip
  // The status-check wait that every launch of the run shares (progress
  // lines); none: the wait is not told.
  core::Progress* status_checks = nullptr;
};

// Held while a launch records its addresses in its entry, and by whoever
// writes the configuration out while launches may still run.
std::timed_mutex& entryRecordLock();

// The shared progress of the status-check waits of a deployment.
std::unique_ptr<core::Progress> statusCheckProgress();

// The RunInstances request of a launch (no request is sent).
aws::RunInstancesRequest launchRequest(const Ec2Launch& launch, const std::optional<std::string>& profile);

// Launches or adopts the test instance of `launch.gw_subnet_id`, waits until
// its status checks pass (an adopted instance that is still pending or
// initializing too), gives it an Elastic IP when it has no public address
// and records its addresses in the entry. An adopted instance that is
// stopped is left alone and nothing is recorded. Once the run is
// interrupted, nothing is launched and the waits end; the entry then stays
// as it is.
void createEc2(const Ec2Launch& launch);

// One launch with up to kLaunchAttempts tries, kLaunchRetrySeconds apart,
// while EC2 answers "InvalidParameterValue" about the instance profile (one
// created moments ago is not visible to EC2 yet); after the last such
// answer InvalidParameterValueException is thrown. Any other refusal (a
// wrong instance type is InvalidParameterValue too) or failure is logged at
// ERROR with EC2's message and gives nothing at once, and so does an
// interruption during the pause.
std::optional<std::string> createEc2WithRetry(const aws::Ec2Client& ec2_client, const aws::RunInstancesRequest& data);

}  // namespace qvn::deploy
