#include "survey/survey_main.hpp"

#include <iostream>

#include "core/logging.hpp"
#include "core/run_outcome.hpp"
#include "lib/basekit.hpp"

namespace qvn::survey {

namespace {

constexpr const char* kPasswordOption = "--controller_password";
constexpr const char* kMask = "****";

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
  (void)log;

  // The AWS session, the output guard and the searches come here.
  return RunOutcome().getStatus();
}

int runSubnetSurvey(int argc, char** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  return runSubnetSurvey(arguments);
}

}  // namespace qvn::survey
