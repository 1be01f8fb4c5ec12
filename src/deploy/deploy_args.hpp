#pragma once
// The command line of probe_deploy and its options record.
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "frame/usage_text.hpp"

namespace qvn::deploy {

inline constexpr const char* kDeployProgram = "probe_deploy";
inline constexpr const char* kDeployDescription = "Deploy test EC2 in test subnets";

// The parsed command line, built once and read-only afterwards. Texts are
// kept exactly as given (not trimmed or checked); absent options are nullopt.
struct DeployArgs {
  bool revert = false;
  bool dry_run = false;
  std::optional<std::string> account;  // accepted and ignored
  std::optional<std::string> region;
  std::optional<std::string> private_subnet_id;
  std::optional<std::string> key_name;
  std::optional<std::string> s3_bucket;
  std::optional<std::string> assume_role;
  std::optional<std::string> profile;
  std::optional<std::string> ec2_role;
  std::string test_config;  // required
  std::optional<std::string> output_test_config;
  std::optional<std::string> tag_resource;
  std::string instance_type = "t3.micro";
  std::string image = "al2023-ami-2023.3.20240108.0-kernel-6.1-x86_64";
  std::optional<std::string> workflow_account_role;
  std::string backup_folder = "./backups";
  std::optional<std::string> summary_json;
};

// The options in the order of the usage text.
const std::vector<OptionSpec>& deployOptionTable();

// Parses the arguments that follow the program name.
// -h/--help: the help goes to `out`, then ProgramExit{0} is thrown; so does
// --version with "probe_deploy <version>".
// A parse error: the usage line and "probe_deploy: error: <why>" go to
// `err`, then ProgramExit{2} is thrown. Nothing is logged either way. A
// deployment (no --revert) without --output_test_config is such an error.
DeployArgs parseDeployArgs(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

}  // namespace qvn::deploy
