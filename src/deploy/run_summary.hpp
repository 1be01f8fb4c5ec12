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

// The kind of a left-over item as the teardown names it ("instance i-1
// running in subnet-1", "Elastic IP ...", "role ...").
const char* leftoverKind(const std::string& item);

}  // namespace qvn::deploy
