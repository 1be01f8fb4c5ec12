#include "survey/survey_args.hpp"

#include <CLI/CLI.hpp>

#include <memory>
#include <ostream>
#include <variant>

#include "core/run_outcome.hpp"

namespace qvn::survey {

namespace {

using Field = std::variant<bool SurveyArgs::*, std::string SurveyArgs::*,
                           std::optional<std::string> SurveyArgs::*>;

struct Row {
  OptionSpec spec;
  Field field;
};

const std::vector<Row>& programRows() {
  static const std::vector<Row> table = {
      {{"--vpc", "AWS VPC ID", false, true}, &SurveyArgs::vpc},
      {{"--profile", "AWS Credentials Profile Name"}, &SurveyArgs::profile},
      {{"--assume_role", "AWS IAM role ARN to assume", false, true}, &SurveyArgs::assume_role},
      {{"--region", "AWS Region", false, true}, &SurveyArgs::region},
      {{"--output_test_config", "specify output test config file name"},
       &SurveyArgs::output_test_config},
      {{"--backup_folder", "specify backup folder"}, &SurveyArgs::backup_folder},
      {{"--s3_bucket", "s3 bucket name"}, &SurveyArgs::s3_bucket},
  };
  return table;
}

const std::vector<Row>& spokeRows() {
  static const std::vector<Row> table = {
      {{"--controller_ip", "Quorvane Controller IP", false, true}, &SurveyArgs::controller_ip},
      {{"--controller_user", "Quorvane Controller user", false, true}, &SurveyArgs::controller_user},
      {{"--controller_password", "Quorvane Controller password"}, &SurveyArgs::controller_password},
      {{"--spoke_gw_name", "find subnet(s) with spoke gateway <spoke_gw_name>", false, true},
       &SurveyArgs::spoke_gw_name},
      {{"--horizontal_scaling", "find subnet(s) with horizontal-scaling spoke gateway", true},
       &SurveyArgs::horizontal_scaling},
  };
  return table;
}

std::vector<OptionSpec> specsOf(const std::vector<Row>& rows) {
  std::vector<OptionSpec> specs;
  for (const auto& row : rows) specs.push_back(row.spec);
  return specs;
}

// Binds a table's options to `args`. Optional texts are parsed into `holders`
// and copied over by `copyGiven` only when given, so that absent stays absent.
class Binder {
 public:
  explicit Binder(SurveyArgs& args) : args_(args) {}

  void bind(CLI::App& app, const std::vector<Row>& rows) {
    for (const Row& row : rows) {
      const std::string& name = row.spec.name;
      if (auto* flag = std::get_if<bool SurveyArgs::*>(&row.field)) {
        app.add_flag(name, args_.**flag, row.spec.help);
        continue;
      }
      CLI::Option* option = nullptr;
      if (auto* text = std::get_if<std::string SurveyArgs::*>(&row.field)) {
        option = app.add_option(name, args_.**text, row.spec.help);
      } else {
        holders_.push_back(std::make_unique<std::string>());
        option = app.add_option(name, *holders_.back(), row.spec.help);
        optionals_.push_back(
            {option, holders_.back().get(), std::get<std::optional<std::string> SurveyArgs::*>(row.field)});
      }
      option->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
      if (row.spec.required) option->required();
    }
  }

  void copyGiven() {
    for (const auto& given : optionals_) {
      if (given.option->count() > 0) args_.*given.field = *given.holder;
    }
  }

 private:
  struct Optional {
    CLI::Option* option;
    std::string* holder;
    std::optional<std::string> SurveyArgs::*field;
  };
  SurveyArgs& args_;
  std::vector<std::unique_ptr<std::string>> holders_;
  std::vector<Optional> optionals_;
};

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

SurveyArgs parseSurveyArgs(const std::vector<std::string>& arguments, std::ostream& out,
                           std::ostream& err) {
  SurveyArgs args;
  CLI::App app{kSurveyDescription, kSurveyProgram};
  app.set_help_flag("-h,--help", "show this help message and exit");
  app.require_subcommand(1);
  app.fallthrough(false);

  const auto& options = surveyOptionTable();
  const auto& spoke_options = spokeOptionTable();
  const auto& subs = surveySubcommands();
  Binder binder(args);
  binder.bind(app, programRows());
  CLI::App* spoke = app.add_subcommand(subs[0].name, subs[0].help);
  spoke->set_help_flag("-h,--help", "show this help message and exit");
  binder.bind(*spoke, spokeRows());
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

  binder.copyGiven();
  if (spoke->parsed() > 0) {
    args.subparser_name = "spoke";
  } else if (natgw->parsed() > 0) {
    args.subparser_name = "natgw";
  }
  return args;
}

}  // namespace qvn::survey
