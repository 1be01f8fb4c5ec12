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
};

struct SubcommandSpec {
  std::string name;
  std::string help;
};

// "TEST_CONFIG" for "--test_config".
std::string metavarOf(const std::string& option_name);

// "usage: probe_deploy [-h] [--revert] --test_config TEST_CONFIG ..."; `tail`
// (for example "{spoke,natgw} ...") is appended when not empty.
std::string usageLine(const std::string& program, const std::vector<OptionSpec>& options, const std::string& tail = "");

// "<title>:" and one line per option with its help text, ending with a newline.
std::string optionsSection(const std::string& title, const std::vector<OptionSpec>& options);

// The usage line, the description, the sub-commands and one line per option
// with its help text (the help option first, then --version when
// `version_option`), then `epilog` after a blank line; ends with a newline.
std::string helpText(const std::string& program, const std::string& description, const std::vector<OptionSpec>& options,
                     const std::vector<SubcommandSpec>& subcommands = {}, const std::string& epilog = "",
                     bool version_option = false);

}  // namespace qvn
