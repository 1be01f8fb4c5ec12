#pragma once
// The command line of subnet_survey and its options record.
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "frame/usage_text.hpp"

namespace qvn::survey {

inline constexpr const char* kSurveyProgram = "subnet_survey";
inline constexpr const char* kSurveyDescription = "find subnet with spoke gw inside";

struct SurveyArgs {
  // Options of the program, given before the sub-command.
  std::string vpc;  // required
  std::optional<std::string> profile;
  std::string assume_role;  // required
  std::string region;       // required
  std::string output_test_config = "subnet.config";
  std::string backup_folder = "backups";
  std::optional<std::string> s3_bucket;
  std::optional<std::string> summary_json;
  // Search again and replace an existing output file.
  bool force = false;
  // "spoke" or "natgw".
  std::optional<std::string> subparser_name;
  // Options of the spoke sub-command (absent or false for natgw).
  std::optional<std::string> controller_ip;
  std::optional<std::string> controller_user;
  std::optional<std::string> controller_password;
  std::optional<std::string> spoke_gw_name;
  bool horizontal_scaling = false;
};

const std::vector<OptionSpec>& surveyOptionTable();
const std::vector<OptionSpec>& spokeOptionTable();
const std::vector<SubcommandSpec>& surveySubcommands();

// Parses the arguments that follow the program name. Program options come
// before the sub-command, the sub-command's own after it. A sub-command is
// required; spoke requires --controller_ip, --controller_user and
// --spoke_gw_name; --output_test_config must not be empty.
// -h/--help (of the program or of a sub-command): help to `out`, then
// ProgramExit{0}; --version: "subnet_survey <version>" to `out`, then
// ProgramExit{0}. A parse error: the usage line and
// "subnet_survey: error: <why>" to `err`, then ProgramExit{2}.
SurveyArgs parseSurveyArgs(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

}  // namespace qvn::survey
