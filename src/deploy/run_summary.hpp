#pragma once
// What probe_deploy counts while it runs, and the summary it ends with.
#include <string>
#include <vector>

#include "core/clock.hpp"
#include "core/logging.hpp"
#include "core/run_summary.hpp"

namespace qvn::deploy {

namespace kinds {
inline constexpr const char* kInstance = "instance";
inline constexpr const char* kElasticIp = "Elastic IP";
inline constexpr const char* kGroup = "security group";
inline constexpr const char* kKeyPair = "key pair";
inline constexpr const char* kIamObject = "IAM object";
inline constexpr const char* kKeyFile = "key file";
inline constexpr const char* kOutputConfig = "output configuration";
inline constexpr const char* kLogFile = "log file";
}  // namespace kinds

// Counts one change in the run's tally; nothing without a tally. With an
// id the resource is kept by it, with the test subnet of the worker that
// changed it (none for what the run's own thread changes).
void countChange(core::RunTally* tally, core::Change change, const char* kind, const std::string& id = "");

// One resource that a teardown leaves behind or keeps: its kind (one of
// kinds::), its id (instance id, allocation id, group id, key pair name,
// IAM name or policy ARN) and the words that name it in the log ("instance
// i-1 running in subnet-1", "Elastic IP 203.0.113.7 eipalloc-1",
// "role quorvane-test-ec2-role").
struct Leftover {
  const char* kind = "";
  std::string id;
  std::string description;
};
using Leftovers = std::vector<Leftover>;

// The descriptions of `items`, in order.
std::vector<std::string> descriptionsOf(const Leftovers& items);

}  // namespace qvn::deploy
