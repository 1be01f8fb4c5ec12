#include "deploy/deploy_args.hpp"

#include <CLI/CLI.hpp>

#include <ostream>
#include <variant>

#include "core/run_outcome.hpp"

namespace qvn::deploy {

namespace {

using Field = std::variant<bool DeployArgs::*, std::string DeployArgs::*,
                           std::optional<std::string> DeployArgs::*>;

struct Row {
  OptionSpec spec;
  Field field;
};

const std::vector<Row>& rows() {
  static const std::vector<Row> table = {
      {{"--revert", "revert the operation", true}, &DeployArgs::revert},
      {{"--dry_run", "Dry run deploy test ec2 logic and show what will be done", true},
       &DeployArgs::dry_run},
      {{"--account", "account"}, &DeployArgs::account},
      {{"--region", "region"}, &DeployArgs::region},
      {{"--private_subnet_id", "private subnet ID"}, &DeployArgs::private_subnet_id},
      {{"--key_name", "key name"}, &DeployArgs::key_name},
      {{"--s3_bucket", "s3 bucket name"}, &DeployArgs::s3_bucket},
      {{"--assume_role", "Specify the role used to deploy EC2 in the account"},
       &DeployArgs::assume_role},
      {{"--profile", "Specify the AWS Credentials profile used to deploy EC2 in the account"},
       &DeployArgs::profile},
      {{"--ec2_role", "Specify the role to assign to the EC2"}, &DeployArgs::ec2_role},
      {{"--test_config", "specify input test config file", false, true}, &DeployArgs::test_config},
      {{"--output_test_config", "specify output test config file"},
       &DeployArgs::output_test_config},
      {{"--tag_resource", "tag created resources, e.g., sg, vm"}, &DeployArgs::tag_resource},
      {{"--instance_type", "instance type, default to t3.micro"}, &DeployArgs::instance_type},
      {{"--image", "VM image name, default to al2023-ami-2023.3.20240108.0-kernel-6.1-x86_64"},
       &DeployArgs::image},
      {{"--workflow_account_role",
        "specify workflow account <role>,<number>,<region> where account number and region are "
        "optional"},
       &DeployArgs::workflow_account_role},
      {{"--backup_folder", "specify the folder for storing the VPC specific key-pair"},
       &DeployArgs::backup_folder},
  };
  return table;
}

}  // namespace

const std::vector<OptionSpec>& deployOptionTable() {
  static const std::vector<OptionSpec> table = [] {
    std::vector<OptionSpec> specs;
    for (const auto& row : rows()) specs.push_back(row.spec);
    return specs;
  }();
  return table;
}

DeployArgs parseDeployArgs(const std::vector<std::string>& arguments, std::ostream& out,
                           std::ostream& err) {
  DeployArgs args;
  CLI::App app{kDeployDescription, kDeployProgram};
  app.set_help_flag("-h,--help", "show this help message and exit");

  // Optional texts are collected here and copied over when given.
  std::vector<std::pair<CLI::Option*, std::optional<std::string> DeployArgs::*>> optionals;
  std::vector<std::string> holders(rows().size());
  for (std::size_t i = 0; i < rows().size(); ++i) {
    const Row& row = rows()[i];
    const std::string& name = row.spec.name;
    if (auto* flag = std::get_if<bool DeployArgs::*>(&row.field)) {
      app.add_flag(name, args.**flag, row.spec.help);
    } else if (auto* text = std::get_if<std::string DeployArgs::*>(&row.field)) {
      auto* option = app.add_option(name, args.**text, row.spec.help);
      option->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
      if (row.spec.required) option->required();
    } else {
      auto field = std::get<std::optional<std::string> DeployArgs::*>(row.field);
      auto* option = app.add_option(name, holders[i], row.spec.help);
      option->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
      optionals.emplace_back(option, field);
    }
  }

  std::vector<const char*> argv{kDeployProgram};
  for (const auto& argument : arguments) argv.push_back(argument.c_str());
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::CallForHelp&) {
    out << helpText(kDeployProgram, kDeployDescription, deployOptionTable());
    throw ProgramExit{0};
  } catch (const CLI::ParseError& e) {
    err << usageLine(kDeployProgram, deployOptionTable()) << "\n"
        << kDeployProgram << ": error: " << e.what() << "\n";
    throw ProgramExit{2};
  }
  for (const auto& [option, field] : optionals) {
    if (option->count() > 0) args.*field = option->as<std::string>();
  }
  // A deployment writes its result there; refuse it before anything is done
  // rather than after every instance has been launched.
  if (!args.revert && !args.output_test_config) {
    err << usageLine(kDeployProgram, deployOptionTable()) << "\n"
        << kDeployProgram << ": error: the following arguments are required for a deployment: "
        << "--output_test_config\n";
    throw ProgramExit{2};
  }
  return args;
}

}  // namespace qvn::deploy
