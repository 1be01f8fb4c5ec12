#include "survey/survey_args.hpp"

#include <ostream>

#include "frame/command_line.hpp"

namespace qvn::survey {

namespace {

constexpr const char* kSurveyEpilog =
    "Program options come before the sub-command, the sub-command's own after it\n"
    "(listed above). The spoke search logs in to the controller:\n"
    "its password is taken from --controller_password, else from\n"
    "QUORVANE_CONTROLLER_PASSWORD, else asked for on the terminal.\n"
    "The log is written to BACKUP_FOLDER/log/quorvane_testlibs.log.\n"
    "\n"
    "environment:\n"
    "  QUORVANE_CONTROLLER_PASSWORD   the controller's password (never logged)\n"
    "  QUORVANE_CONTROLLER_CA_BUNDLE  PEM file of CAs trusted for the controller's HTTPS\n"
    "  QUORVANE_CONTROLLER_INSECURE   1: skip the controller's certificate check\n"
    "  QUORVANE_TIME_SCALE            factor applied to every wait (default 1)\n"
    "\n"
    "exit status: 0 done (also when the output file already exists, or no subnet was\n"
    "found); 1 the run failed; 2 usage error; 130 or 143 ended by SIGINT or SIGTERM.\n"
    "\n"
    "example:\n"
    "  subnet_survey --vpc vpc-0a5b0c0d0e0f00001 --region us-east-1 \\\n"
    "    --assume_role arn:aws:iam::123456789012:role/quorvane-deploy-role --force \\\n"
    "    spoke --controller_ip 10.0.0.5 --controller_user admin --spoke_gw_name spoke1\n";

const std::vector<OptionRow<SurveyArgs>>& programRows() {
  static const std::vector<OptionRow<SurveyArgs>> table = {
      {{"--vpc", "AWS VPC ID whose test subnets are searched (required)", false, true}, &SurveyArgs::vpc},
      {{"--profile",
        "AWS Credentials Profile Name that assumes the role (default: AWS_PROFILE, else the default "
        "credential chain)"}, &SurveyArgs::profile},
      {{"--assume_role", "AWS IAM role ARN to assume for the EC2 calls (required)", false, true}, &SurveyArgs::assume_role},
      {{"--region", "AWS Region of the VPC (required)", false, true}, &SurveyArgs::region},
      {{"--output_test_config",
        "specify output test config file name (default: subnet.config; one that exists is kept, see --force)"}, &SurveyArgs::output_test_config},
      {{"--backup_folder", "specify backup folder: the log goes to BACKUP_FOLDER/log/ (default: backups)"}, &SurveyArgs::backup_folder},
      {{"--s3_bucket",
        "s3 bucket name: natgw also copies the test configuration to backups/VPC/ in it (default: no copy)"}, &SurveyArgs::s3_bucket},
      {{"--summary_json", "also write the end-of-run summary to this file as JSON (default: none)", false, false,
        {"--summary-json"}},
       &SurveyArgs::summary_json},
      {{"--force",
        "search again when the output file exists, replacing it (default: an existing file is kept and no search "
        "runs)",
        true},
       &SurveyArgs::force},
  };
  return table;
}

const std::vector<OptionRow<SurveyArgs>>& spokeRows() {
  static const std::vector<OptionRow<SurveyArgs>> table = {
      {{"--controller_ip", "Quorvane Controller IP (or host name) of its HTTPS API (required)", false, true}, &SurveyArgs::controller_ip},
      {{"--controller_user", "Quorvane Controller user to log in as (required)", false, true}, &SurveyArgs::controller_user},
      {{"--controller_password",
        "Quorvane Controller password (default: QUORVANE_CONTROLLER_PASSWORD, else asked on the terminal)"}, &SurveyArgs::controller_password},
      {{"--spoke_gw_name", "find subnet(s) with spoke gateway <spoke_gw_name> and its peer <name>-hagw (required)",
        false, true},
       &SurveyArgs::spoke_gw_name},
      {{"--horizontal_scaling",
        "find subnet(s) with horizontal-scaling spoke gateway, through the controller's v2 API (default: a "
        "classic spoke gateway)",
        true},
       &SurveyArgs::horizontal_scaling},
  };
  return table;
}

}  // namespace

const std::vector<OptionSpec>& surveyOptionTable() {
  static const std::vector<OptionSpec> table = specsOf(programRows());
  return table;
}

const std::vector<OptionSpec>& spokeOptionTable() {
  static const std::vector<OptionSpec> table = specsOf(spokeRows());
  return table;
}

const std::vector<SubcommandSpec>& surveySubcommands() {
  static const std::vector<SubcommandSpec> subs = {{"spoke", "search subnet with spoke"},
                                                   {"natgw", "search subnet with natgw"}};
  return subs;
}

SurveyArgs parseSurveyArgs(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  SurveyArgs args;
  CommandLine line(kSurveyProgram, kSurveyDescription, kSurveyEpilog);
  line.bind(programRows(), args);
  line.subcommand(surveySubcommands()[0]).bind(spokeRows(), args);
  line.subcommand(surveySubcommands()[1]);
  line.requireSubcommand();
  args.subparser_name = line.parse(arguments, out, err);
  if (args.output_test_config.empty()) {
    line.fail("--output_test_config: the file path must not be empty", err);
  }
  return args;
}

}  // namespace qvn::survey
