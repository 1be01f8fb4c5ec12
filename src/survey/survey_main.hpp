#pragma once
// The main flow of subnet_survey.
#include <string>
#include <vector>

#include "core/logging.hpp"
#include "survey/survey_args.hpp"

namespace qvn::survey {

// "subnet_survey " followed by the arguments joined by single blanks, with
// the value of --controller_password written as "****".
std::string commandText(const std::vector<std::string>& arguments);

// The opening of every run, once the command line is parsed: log set-up and
// the command banner (password masked). Returns the package logger.
Logger& beginSubnetSurvey(const SurveyArgs& args, const std::vector<std::string>& arguments);

// The whole flow for the arguments after the program name; returns the exit
// status or throws ProgramExit.
int runSubnetSurvey(const std::vector<std::string>& arguments);

}  // namespace qvn::survey
