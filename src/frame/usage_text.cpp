#include "frame/usage_text.hpp"

#include <algorithm>
#include <cctype>

namespace qvn {

namespace {

std::string subcommandChoice(const std::vector<SubcommandSpec>& subcommands) {
  std::string choice = "{";
  for (std::size_t i = 0; i < subcommands.size(); ++i) {
    if (i > 0) choice += ",";
    choice += subcommands[i].name;
  }
  return choice + "}";
}

constexpr std::size_t kHelpColumn = 24;

// "  name<padding>help" with the help starting at column 24, or on the next
// line when the name is too long; each further line of the help starts at
// that column too.
std::string helpRow(const std::string& name, const std::string& help) {
  std::string row = "  " + name;
  if (help.empty()) return row + "\n";
  if (row.size() + 2 <= kHelpColumn) {
    row.append(kHelpColumn - row.size(), ' ');
  } else {
    row += "\n" + std::string(kHelpColumn, ' ');
  }
  for (const char c : help) {
    row += c;
    if (c == '\n') row.append(kHelpColumn, ' ');
  }
  return row + "\n";
}

std::string optionRows(const std::vector<OptionSpec>& options) {
  std::string rows;
  for (const auto& option : options) {
    std::string name = option.name;
    if (!option.flag) name += " " + valueNameOf(option);
    rows += helpRow(name, option.help);
  }
  return rows;
}

std::string positionalRows(const HelpLayout& layout) {
  std::string rows;
  for (const auto& word : layout.positionals) rows += helpRow(word.name, word.help);
  if (!layout.subcommands.empty()) {
    rows += helpRow(subcommandChoice(layout.subcommands), "");
    for (const auto& sub : layout.subcommands) rows += helpRow("  " + sub.name, sub.help);
  }
  return rows;
}

}  // namespace

std::string optionsSection(const std::string& title, const std::vector<OptionSpec>& options) {
  return title + ":\n" + optionRows(options);
}

std::string metavarOf(const std::string& option_name) {
  std::string name = option_name;
  name.erase(0, name.find_first_not_of('-'));
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return c == '-' ? '_' : static_cast<char>(std::toupper(c)); });
  return name;
}

std::string valueNameOf(const OptionSpec& option) {
  return option.metavar.empty() ? metavarOf(option.name) : option.metavar;
}

std::string subcommandTail(const std::vector<SubcommandSpec>& subcommands) {
  return subcommands.empty() ? "" : subcommandChoice(subcommands) + " ...";
}

std::string usageLine(const std::string& program, const std::vector<OptionSpec>& options, const std::string& tail) {
  std::string line = "usage: " + program + " [-h]";
  for (const auto& option : options) {
    std::string item = option.name;
    if (!option.flag) item += " " + valueNameOf(option);
    line += option.required ? " " + item : " [" + item + "]";
  }
  if (!tail.empty()) line += " " + tail;
  return line;
}

std::string helpText(const HelpLayout& layout) {
  std::string text = layout.usage + "\n";
  if (!layout.description.empty()) text += "\n" + layout.description + "\n";
  const std::string positionals = positionalRows(layout);
  if (!positionals.empty()) text += "\npositional arguments:\n" + positionals;
  text += "\noptions:\n";
  text += helpRow("-h, --help", "show this help message and exit");
  if (layout.version_option) text += helpRow("--version", "show the program's version and exit");
  return text + optionRows(layout.options);
}

}  // namespace qvn
