#pragma once
// Usage and help texts of the command lines, made from their option tables so
// that the order of the usage is the order in which options are defined.
#include <string>
#include <vector>

namespace qvn {

struct OptionSpec {
  std::string name;  // "--test_config"
  std::string help;
  bool flag = false;  // takes no value
  bool required = false;
  // Further names the parser accepts for the option (not shown in help).
  std::vector<std::string> aliases{};
  // What the help calls the value ("JSON"); empty: made from the name.
  std::string metavar{};
};

struct SubcommandSpec {
  std::string name;
  std::string help;
};

// "TEST_CONFIG" for "--test_config".
std::string metavarOf(const std::string& option_name);

// The option's value as the usage and help show it: its metavar, else the
// one made from its name.
std::string valueNameOf(const OptionSpec& option);

// "usage: probe_deploy [-h] [--revert] --test_config TEST_CONFIG ..."; `tail`
// (for example "{spoke,natgw} ...") is appended when not empty.
std::string usageLine(const std::string& program, const std::vector<OptionSpec>& options, const std::string& tail = "");

// "<title>:" and one line per option with its help text, ending with a newline.
std::string optionsSection(const std::string& title, const std::vector<OptionSpec>& options);

// What a help text is made of. `positionals` are words named by their
// `name` ("SERVICE"); a help text with a line break goes on at the help
// column.
struct HelpLayout {
  std::string usage;  // the usage line(s), without the final newline
  std::string description;
  std::vector<OptionSpec> positionals;
  std::vector<SubcommandSpec> subcommands;
  std::vector<OptionSpec> options;
  bool version_option = false;
};

// The usage, the description, the positional arguments (the words, then the
// sub-commands) and one line per option with its help text (the help option
// first, then --version when `version_option`); ends with a newline.
std::string helpText(const HelpLayout& layout);

// "{spoke,natgw} ..." for a command line with sub-commands, else empty.
std::string subcommandTail(const std::vector<SubcommandSpec>& subcommands);

}  // namespace qvn
