#include "survey/survey_main.hpp"

#include <filesystem>
#include <iostream>
#include <stdexcept>

#include "aws/ec2.hpp"
#include "aws/s3.hpp"
#include "core/logging.hpp"
#include "core/run_outcome.hpp"
#include "lib/basekit.hpp"
#include "lib/nat.hpp"
#include "lib/qvn_cred.hpp"
#include "lib/spoke.hpp"
#include "lib/test_config.hpp"
#include "survey/password_prompt.hpp"
#include "survey/survey_session.hpp"

namespace qvn::survey {

namespace {

constexpr const char* kPasswordOption = "--controller_password";
constexpr const char* kMask = "****";
constexpr const char* kPasswordPrompt = "Enter Quorvane Controller Password: ";

SearchArgs searchArgsOf(const SurveyArgs& args) {
  return SearchArgs{args.vpc, args.s3_bucket, args.backup_folder, args.output_test_config};
}

// Stops the run with status 0 when an earlier run left its result at the
// output path; otherwise makes the path's folders and names it as the file
// the searches write.
void claimOutputPath(const std::string& path, Logger& log) {
  namespace fs = std::filesystem;
  if (fs::exists(fs::symlink_status(path))) {
    log.info("- Found " + path);
    throw ProgramExit{0};
  }
  TestConfig::prepare_write(path);
  Globals.TEST_CONFIG = path;
}

void surveySpokes(const SurveyArgs& args, const aws::Ec2Client& ec2_client) {
  const std::string controller = args.controller_ip.value_or("");
  const std::string user = args.controller_user.value_or("");
  std::string password = args.controller_password.value_or("");
  if (password.empty()) password = readPasswordFromTerminal(kPasswordPrompt);
  const std::string CID = get_quorvane_cid(controller, user, password);
  const std::string gateway = args.spoke_gw_name.value_or("");
  if (args.horizontal_scaling) {
    Spoke::findHsSpokes(searchArgsOf(args), ec2_client, "https://" + controller + "/v2/api", CID, gateway);
  } else {
    Spoke::findClassicSpokes(searchArgsOf(args), ec2_client, "https://" + controller + "/v1/api", CID, gateway);
  }
}

}  // namespace

std::string commandText(const std::vector<std::string>& arguments) {
  const std::string inline_form = std::string(kPasswordOption) + "=";
  std::string text = std::string(kSurveyProgram) + " ";
  bool mask_next = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (i > 0) text += " ";
    const std::string& argument = arguments[i];
    if (mask_next) {
      text += kMask;
      mask_next = false;
    } else if (argument == kPasswordOption) {
      text += argument;
      mask_next = true;
    } else if (argument.rfind(inline_form, 0) == 0) {
      text += inline_form + kMask;
    } else {
      text += argument;
    }
  }
  return text;
}

Logger& beginSubnetSurvey(const SurveyArgs& args, const std::vector<std::string>& arguments) {
  Common::initLogLocation(args.backup_folder);
  Common::logCommandOptions(commandText(arguments));
  return *getLogger("quorvane_testlibs");
}

int runSubnetSurvey(const std::vector<std::string>& arguments) {
  const SurveyArgs args = parseSurveyArgs(arguments, std::cout, std::cerr);
  Logger& log = beginSubnetSurvey(args, arguments);

  const AwsSessionResult started = start_aws_session(args.assume_role, args.profile);
  if (const auto* failure = std::get_if<std::string>(&started)) throw std::runtime_error(*failure);
  const aws::Ec2Client ec2_client(std::get<AwsSession>(started).session, args.region);
  const aws::S3Client s3_client(aws::Session::create(aws::SessionOptions{args.profile, std::nullopt, nullptr}));

  if (!args.output_test_config.empty()) claimOutputPath(args.output_test_config, log);

  if (args.subparser_name == "natgw") {
    Nat::findNatGws(searchArgsOf(args), ec2_client, s3_client);
  } else {
    surveySpokes(args, ec2_client);
  }
  return RunOutcome().getStatus();
}

int runSubnetSurvey(int argc, char** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  return runSubnetSurvey(arguments);
}

}  // namespace qvn::survey
