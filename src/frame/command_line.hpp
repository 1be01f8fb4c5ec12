#pragma once
// One command line, bound once to the fields of its options record:
//
//   CommandLine line("probe_deploy", "Deploy test EC2 in test subnets");
//   line.bind(rows, args);                       // a table of OptionRow<DeployArgs>
//   line.parse(arguments, std::cout, std::cerr);
//
// The conventions are those of every program of the toolkit: -h/--help
// prints the help and ends with status 0, --version prints
// "<program> <version>" and ends with status 0, and a usage error prints the
// usage line and "<program>: error: <why>" and ends with status 2 (as
// ProgramExit). An unknown option is named and the closest known one
// suggested. Values are kept as typed; an option given twice keeps its last
// value.
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "frame/usage_text.hpp"

namespace qvn {

// What --version prints after the program's name, e.g. "0.1.0 (abc1234)".
// Each program's main sets it before parsing; "unknown" until then.
void setProgramVersion(std::string version);
const std::string& programVersion();

// One option of a table: its usage entry and the field of `Args` it fills.
template <class Args>
  requires std::is_class_v<Args>
struct OptionRow {
  using Field = std::variant<bool Args::*, std::string Args::*, std::optional<std::string> Args::*>;
  OptionSpec spec;
  Field field;
};

template <class Args>
  requires std::is_class_v<Args>
std::vector<OptionSpec> specsOf(const std::vector<OptionRow<Args>>& rows) {
  std::vector<OptionSpec> specs;
  for (const auto& row : rows) specs.push_back(row.spec);
  return specs;
}

class CommandLine {
 public:
  // `epilog` closes the help (for example the environment and exit statuses).
  CommandLine(std::string program, std::string description, std::string epilog = "");
  ~CommandLine();
  CommandLine(const CommandLine&) = delete;
  CommandLine& operator=(const CommandLine&) = delete;

  // The bound fields must outlive parse(). A flag takes no value; an optional
  // text stays nullopt unless the option is given (an empty value is given).
  void bind(const OptionSpec& spec, bool& flag);
  void bind(const OptionSpec& spec, std::string& text);
  void bind(const OptionSpec& spec, std::optional<std::string>& text);

  // The words that are no option, in the order given; the help lists them
  // under `words` (by their names, "SERVICE"). Their number is the caller's
  // to check.
  void bindWords(const std::vector<OptionSpec>& words, std::vector<std::string>& values);

  // A usage written out, for a command line whose words lead ("usage:
  // qvn-aws SERVICE OPERATION [--region REGION] ..."); shown instead of the
  // one made from the options, in the help and before a usage error.
  void setUsage(std::string usage);

  // (Records only: a flag bound on its own takes the overload above.)
  template <class Args>
    requires std::is_class_v<Args>
  void bind(const std::vector<OptionRow<Args>>& rows, Args& args) {
    for (const auto& row : rows) {
      std::visit([&](auto field) { bind(row.spec, args.*field); }, row.field);
    }
  }

  // A sub-command, named after the program's options and followed by its
  // own. Owned by this command line.
  CommandLine& subcommand(const SubcommandSpec& spec);
  void requireSubcommand();

  // Parses the arguments that follow the program's name and returns the name
  // of the chosen sub-command, if any. Help, version and usage errors end the
  // program as described above (ProgramExit{0} or ProgramExit{2}).
  std::optional<std::string> parse(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

  // A usage error found after parsing (a check of the parsed values): this
  // command line's usage and "<program>: error: <why>" to `err`, then
  // ProgramExit{2}.
  [[noreturn]] void fail(const std::string& why, std::ostream& err) const;

  std::string usage() const;
  std::string help() const;
  const std::vector<OptionSpec>& options() const;

 private:
  struct Impl;
  CommandLine(std::string program, std::string description, CommandLine* parent);
  std::unique_ptr<Impl> impl_;
};

}  // namespace qvn
