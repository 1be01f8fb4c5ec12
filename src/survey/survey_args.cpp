#include "survey/survey_args.hpp"

#include <CLI/CLI.hpp>

#include <ostream>

#include "core/run_outcome.hpp"

namespace qvn::survey {

const std::vector<OptionSpec>& surveyOptionTable() {
  static const std::vector<OptionSpec> table = {
      {"--vpc", "AWS VPC ID", false, true},
      {"--profile", "AWS Credentials Profile Name"},
      {"--assume_role", "AWS IAM role ARN to assume", false, true},
      {"--region", "AWS Region", false, true},
      {"--output_test_config", "specify output test config file name"},
      {"--backup_folder", "specify backup folder"},
      {"--s3_bucket", "s3 bucket name"},
  };
  return table;
}

const std::vector<OptionSpec>& spokeOptionTable() {
  static const std::vector<OptionSpec> table = {
      {"--controller_ip", "Quorvane Controller IP", false, true},
      {"--controller_user", "Quorvane Controller user", false, true},
      {"--controller_password", "Quorvane Controller password"},
      {"--spoke_gw_name", "find subnet(s) with spoke gateway <spoke_gw_name>", false, true},
      {"--horizontal_scaling", "find subnet(s) with horizontal-scaling spoke gateway", true},
  };
  return table;
}

const std::vector<SubcommandSpec>& surveySubcommands() {
  static const std::vector<SubcommandSpec> subs = {{"spoke", "search subnet with spoke"},
                                                   {"natgw", "search subnet with natgw"}};
  return subs;
}

namespace {

CLI::Option* addOptional(CLI::App& app, const OptionSpec& spec, std::string& holder) {
  auto* option = app.add_option(spec.name, holder, spec.help);
  option->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  if (spec.required) option->required();
  return option;
}

}  // namespace

SurveyArgs parseSurveyArgs(const std::vector<std::string>& arguments, std::ostream& out,
                           std::ostream& err) {
  SurveyArgs args;
  CLI::App app{kSurveyDescription, kSurveyProgram};
  app.set_help_flag("-h,--help", "show this help message and exit");
  app.require_subcommand(1);
  app.fallthrough(false);

  const auto& options = surveyOptionTable();
  std::string profile, s3_bucket;
  addOptional(app, options[0], args.vpc);
  auto* profile_option = addOptional(app, options[1], profile);
  addOptional(app, options[2], args.assume_role);
  addOptional(app, options[3], args.region);
  addOptional(app, options[4], args.output_test_config);
  addOptional(app, options[5], args.backup_folder);
  auto* bucket_option = addOptional(app, options[6], s3_bucket);

  const auto& subs = surveySubcommands();
  CLI::App* spoke = app.add_subcommand(subs[0].name, subs[0].help);
  spoke->set_help_flag("-h,--help", "show this help message and exit");
  const auto& spoke_options = spokeOptionTable();
  std::string controller_ip, controller_user, controller_password, spoke_gw_name;
  auto* ip_option = addOptional(*spoke, spoke_options[0], controller_ip);
  auto* user_option = addOptional(*spoke, spoke_options[1], controller_user);
  auto* password_option = addOptional(*spoke, spoke_options[2], controller_password);
  auto* name_option = addOptional(*spoke, spoke_options[3], spoke_gw_name);
  spoke->add_flag(spoke_options[4].name, args.horizontal_scaling, spoke_options[4].help);

  CLI::App* natgw = app.add_subcommand(subs[1].name, subs[1].help);
  natgw->set_help_flag("-h,--help", "show this help message and exit");

  // A sub-command's usage is shown for errors about its own options; the
  // program's usage for everything else.
  auto fail = [&](const std::string& why) {
    std::string usage = usageLine(kSurveyProgram, options, "{spoke,natgw} ...");
    if (spoke->parsed() > 0) {
      for (const auto& option : spoke_options) {
        if (why.find(option.name) != std::string::npos) {
          usage = usageLine(std::string(kSurveyProgram) + " spoke", spoke_options);
          break;
        }
      }
    }
    err << usage << "\n" << kSurveyProgram << ": error: " << why << "\n";
    throw ProgramExit{2};
  };

  std::vector<const char*> argv{kSurveyProgram};
  for (const auto& argument : arguments) argv.push_back(argument.c_str());
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::CallForHelp&) {
    if (spoke->parsed() > 0) {
      out << helpText(std::string(kSurveyProgram) + " spoke", "", spoke_options);
    } else if (natgw->parsed() > 0) {
      out << helpText(std::string(kSurveyProgram) + " natgw", "", {});
    } else {
      out << helpText(kSurveyProgram, kSurveyDescription, options, subs);
    }
    throw ProgramExit{0};
  } catch (const CLI::ParseError& e) {
    fail(e.what());
  }
  if (args.output_test_config.empty()) {
    fail("--output_test_config: the file path must not be empty");
  }

  auto copy = [](CLI::Option* option, const std::string& value, std::optional<std::string>& field) {
    if (option->count() > 0) field = value;
  };
  copy(profile_option, profile, args.profile);
  copy(bucket_option, s3_bucket, args.s3_bucket);
  if (spoke->parsed() > 0) {
    args.subparser_name = "spoke";
    copy(ip_option, controller_ip, args.controller_ip);
    copy(user_option, controller_user, args.controller_user);
    copy(password_option, controller_password, args.controller_password);
    copy(name_option, spoke_gw_name, args.spoke_gw_name);
  } else if (natgw->parsed() > 0) {
    args.subparser_name = "natgw";
  }
  return args;
}

}  // namespace qvn::survey
