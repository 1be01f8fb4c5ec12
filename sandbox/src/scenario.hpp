#pragma once
// Scenario files: reading them, the keys and profiles they declare, and the
// AWS credentials and config files a client of the sandbox needs.
#include <string>

#include "service.hpp"

namespace qvn::sandbox {

// Reads and parses a scenario file; throws std::runtime_error naming the file.
Json load_scenario_file(const std::string& path);

// Refuses a scenario without the members every part relies on (account_id:
// 12 digits, region, profiles with keys); throws std::runtime_error.
void check_scenario(const Json& scenario);

// Registers the long-term keys of the scenario's profiles.
void register_scenario_keys(const Json& scenario, KeyRegistry& keys);

struct ClientFiles {
  std::string credentials_file;
  std::string config_file;
};
// Writes "credentials" and "config" in `dir` (mode 0600) with the scenario's
// profiles and region.
ClientFiles write_client_files(const Json& scenario, const std::string& dir);

}  // namespace qvn::sandbox
