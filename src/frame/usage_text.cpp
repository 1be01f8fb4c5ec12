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

// "  name<padding>help" with the help starting at column 24, or on the next
// line when the name is too long.
std::string helpRow(const std::string& name, const std::string& help) {
  constexpr std::size_t kColumn = 24;
  std::string row = "  " + name;
  if (help.empty()) return row + "\n";
  if (row.size() + 2 <= kColumn) {
    row.append(kColumn - row.size(), ' ');
  } else {
    row += "\n" + std::string(kColumn, ' ');
  }
  return row + help + "\n";
}

std::string optionRows(const std::vector<OptionSpec>& options) {
  std::string rows;
  for (const auto& option : options) {
    std::string name = option.name;
    if (!option.flag) name += " " + metavarOf(option.name);
    rows += helpRow(name, option.help);
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

std::string usageLine(const std::string& program, const std::vector<OptionSpec>& options, const std::string& tail) {
  std::string line = "usage: " + program + " [-h]";
  for (const auto& option : options) {
    std::string item = option.name;
    if (!option.flag) item += " " + metavarOf(option.name);
    line += option.required ? " " + item : " [" + item + "]";
  }
  if (!tail.empty()) line += " " + tail;
  return line;
}

std::string helpText(const std::string& program, const std::string& description, const std::vector<OptionSpec>& options,
                     const std::vector<SubcommandSpec>& subcommands, const std::string& epilog, bool version_option) {
  std::string tail = subcommands.empty() ? "" : subcommandChoice(subcommands) + " ...";
  std::string text = usageLine(program, options, tail) + "\n";
  if (!description.empty()) text += "\n" + description + "\n";
  if (!subcommands.empty()) {
    text += "\npositional arguments:\n";
    text += helpRow(subcommandChoice(subcommands), "");
    for (const auto& sub : subcommands) text += helpRow("  " + sub.name, sub.help);
  }
  text += "\noptions:\n";
  text += helpRow("-h, --help", "show this help message and exit");
  if (version_option) text += helpRow("--version", "show the program's version and exit");
  text += optionRows(options);
  if (!epilog.empty()) {
    text += "\n" + epilog;
    if (epilog.back() != '\n') text += "\n";
  }
  return text;
}

}  // namespace qvn
