#include "frame/command_line.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <deque>
#include <ostream>

#include "core/run_outcome.hpp"
#include "frame/closest_name.hpp"

namespace qvn {

namespace {

std::string& versionText() {
  static std::string text = "unknown";
  return text;
}

std::string joined(const std::vector<std::string>& names, const std::string& separator) {
  std::string text;
  for (const auto& name : names) text += (text.empty() ? "" : separator) + name;
  return text;
}

// The option's names as the parser takes them: "--summary_json,--summary-json".
std::string parserNames(const OptionSpec& spec) {
  std::vector<std::string> names{spec.name};
  names.insert(names.end(), spec.aliases.begin(), spec.aliases.end());
  return joined(names, ",");
}

}  // namespace

void setProgramVersion(std::string version) { versionText() = std::move(version); }

const std::string& programVersion() { return versionText(); }

struct CommandLine::Impl {
  const CommandLine* self = nullptr;
  std::string program;  // "subnet_survey" or "subnet_survey spoke"
  std::string name;     // the sub-command's name; empty for the program
  std::string description;
  std::string epilog;
  std::unique_ptr<CLI::App> owned;
  CLI::App* app = nullptr;
  const CommandLine* parent = nullptr;
  std::vector<OptionSpec> specs;
  std::vector<OptionSpec> words;
  std::string usage;  // given by the program; empty: made from the options
  std::vector<SubcommandSpec> sub_specs;
  std::vector<std::unique_ptr<CommandLine>> subs;
  // Optional texts are parsed into a holder and copied over only when given,
  // so that an absent option stays absent.
  std::deque<std::string> holders;
  std::vector<std::tuple<CLI::Option*, std::string*, std::optional<std::string>*>> optionals;
  std::vector<std::pair<std::string, CLI::Option*>> required;
  bool version_requested = false;

  std::vector<std::string> missingRequired() const {
    std::vector<std::string> missing;
    for (const auto& [name, option] : required)
      if (option->count() == 0) missing.push_back(name);
    return missing;
  }
  std::vector<std::string> optionNames() const {
    std::vector<std::string> names{"--help"};
    if (!parent) names.emplace_back("--version");
    for (const auto& spec : specs) names.push_back(spec.name);
    return names;
  }
  bool knows(const std::string& option) const {
    for (const auto& spec : specs) {
      if (spec.name == option) return true;
      if (std::find(spec.aliases.begin(), spec.aliases.end(), option) != spec.aliases.end()) return true;
    }
    return false;
  }
  std::vector<std::string> subNames() const {
    std::vector<std::string> names;
    for (const auto& sub : sub_specs) names.push_back(sub.name);
    return names;
  }
  CLI::Option* add(const OptionSpec& spec, CLI::Option* option) {
    specs.push_back(spec);
    option->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    if (spec.required) {
      option->required();
      required.emplace_back(spec.name, option);
    }
    return option;
  }

  // After a parse: the deepest command line the arguments reached.
  const CommandLine* chosen() const {
    for (const auto& sub : subs) {
      if (sub->impl_->app->parsed() > 0) return sub.get();
    }
    return self;
  }
  void showVersionIfAsked(std::ostream& out) const {
    if (!version_requested) return;
    out << program << " " << programVersion() << "\n";
    throw ProgramExit{0};
  }
  [[noreturn]] void failParse(const CLI::ParseError& error, std::ostream& err) const;
  void failOnLeftovers(std::ostream& err) const;
  void failOnMissingRequired(std::ostream& err) const;
  [[noreturn]] void failAbout(const std::string& why, std::ostream& err) const;
  std::optional<std::string> finish() const;
};

CommandLine::CommandLine(std::string program, std::string description, std::string epilog)
    : impl_(std::make_unique<Impl>()) {
  impl_->self = this;
  impl_->program = std::move(program);
  impl_->description = std::move(description);
  impl_->epilog = std::move(epilog);
  impl_->owned = std::make_unique<CLI::App>(impl_->description, impl_->program);
  impl_->app = impl_->owned.get();
  impl_->app->set_help_flag("-h,--help", "show this help message and exit");
  impl_->app->add_flag("--version", impl_->version_requested, "show the program's version and exit");
  impl_->app->fallthrough(false);
}

CommandLine::CommandLine(std::string program, std::string description, CommandLine* parent)
    : impl_(std::make_unique<Impl>()) {
  impl_->self = this;
  impl_->program = parent->impl_->program + " " + program;
  impl_->parent = parent;
  impl_->app = parent->impl_->app->add_subcommand(program, std::move(description));
  impl_->name = std::move(program);
  impl_->app->set_help_flag("-h,--help", "show this help message and exit");
}

CommandLine::~CommandLine() = default;

void CommandLine::bind(const OptionSpec& spec, bool& flag) {
  impl_->specs.push_back(spec);
  impl_->app->add_flag(parserNames(spec), flag, spec.help);
}

void CommandLine::bind(const OptionSpec& spec, std::string& text) {
  impl_->add(spec, impl_->app->add_option(parserNames(spec), text, spec.help));
}

void CommandLine::bind(const OptionSpec& spec, std::optional<std::string>& text) {
  std::string& holder = impl_->holders.emplace_back();
  CLI::Option* option = impl_->add(spec, impl_->app->add_option(parserNames(spec), holder, spec.help));
  impl_->optionals.emplace_back(option, &holder, &text);
}

void CommandLine::bindWords(const std::vector<OptionSpec>& words, std::vector<std::string>& values) {
  impl_->words.insert(impl_->words.end(), words.begin(), words.end());
  impl_->app->add_option("words", values);
}

void CommandLine::setUsage(std::string usage) { impl_->usage = std::move(usage); }

CommandLine& CommandLine::subcommand(const SubcommandSpec& spec) {
  impl_->sub_specs.push_back(spec);
  impl_->subs.push_back(std::unique_ptr<CommandLine>(new CommandLine(spec.name, spec.help, this)));
  return *impl_->subs.back();
}

void CommandLine::requireSubcommand() { impl_->app->require_subcommand(1); }

std::string CommandLine::usage() const {
  if (!impl_->usage.empty()) return impl_->usage;
  return usageLine(impl_->program, impl_->specs, subcommandTail(impl_->sub_specs));
}

// At the program's level, each sub-command's own options follow the program's.
std::string CommandLine::help() const {
  const bool program_level = impl_->parent == nullptr;
  std::string text = helpText({usage(), program_level ? impl_->description : "", impl_->words, impl_->sub_specs,
                                impl_->specs, program_level});
  for (const auto& sub : impl_->subs) {
    if (!sub->impl_->specs.empty())
      text += "\n" + optionsSection(sub->impl_->name + " options (after '" + sub->impl_->name + "')", sub->impl_->specs);
  }
  if (!impl_->epilog.empty()) {
    text += "\n" + impl_->epilog;
    if (impl_->epilog.back() != '\n') text += "\n";
  }
  return text;
}

const std::vector<OptionSpec>& CommandLine::options() const { return impl_->specs; }

void CommandLine::fail(const std::string& why, std::ostream& err) const {
  const Impl* root = impl_.get();
  while (root->parent) root = root->parent->impl_.get();
  err << usage() << "\n" << root->program << ": error: " << why << "\n";
  throw ProgramExit{2};
}

namespace {

// What was left over by one command line: the arguments it could not place.
struct Leftover {
  const CommandLine* owner;
  std::string argument;
};

}  // namespace

std::optional<std::string> CommandLine::parse(const std::vector<std::string>& arguments, std::ostream& out,
                                              std::ostream& err) {
  std::vector<const char*> argv{impl_->program.c_str()};
  for (const auto& argument : arguments) argv.push_back(argument.c_str());
  try {
    impl_->app->parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::CallForHelp&) {
    out << impl_->chosen()->help();
    throw ProgramExit{0};
  } catch (const CLI::ParseError& e) {
    impl_->showVersionIfAsked(out);
    impl_->failParse(e, err);
  }
  impl_->showVersionIfAsked(out);
  return impl_->finish();
}

// An unknown option explains a missing required one better than the other
// way round, so the leftovers are looked at first.
void CommandLine::Impl::failParse(const CLI::ParseError& error, std::ostream& err) const {
  failOnLeftovers(err);
  const std::string why = error.what();
  if (why == "A subcommand is required") self->fail("a sub-command is required: " + joined(subNames(), " or "), err);
  if (dynamic_cast<const CLI::RequiredError*>(&error) != nullptr) failOnMissingRequired(err);
  failAbout(why, err);
}

void CommandLine::Impl::failOnLeftovers(std::ostream& err) const {
  std::vector<Leftover> leftovers;
  for (const std::string& argument : app->remaining(false)) leftovers.push_back({self, argument});
  for (const auto& sub : subs) {
    for (const std::string& argument : sub->impl_->app->remaining(false)) leftovers.push_back({sub.get(), argument});
  }
  for (const auto& [owner, argument] : leftovers) {
    if (argument.size() < 2 || argument[0] != '-') continue;
    const std::string option = argument.substr(0, argument.find('='));
    if (owner != self && knows(option)) {
      self->fail("'" + option + "' is an option of " + program + ": give it before '" + owner->impl_->name + "'", err);
    }
    owner->fail(unknownOptionMessage(argument, owner->impl_->optionNames()), err);
  }
  if (leftovers.empty()) return;
  const Leftover& first = leftovers.front();
  if (first.owner == self && !subs.empty() && chosen() == self) {
    std::string why = "unknown sub-command '" + first.argument + "'";
    if (auto guess = closestName(first.argument, subNames())) {
      why += "; did you mean '" + *guess + "'?";
    } else {
      why += " (choose from " + joined(subNames(), ", ") + ")";
    }
    self->fail(why, err);
  }
  first.owner->fail("unexpected argument '" + first.argument + "'", err);
}

// Every required option that is missing, the program's and the chosen
// sub-command's, not only the first one found.
void CommandLine::Impl::failOnMissingRequired(std::ostream& err) const {
  std::vector<std::string> missing = missingRequired();
  const CommandLine* sub = chosen();
  const std::vector<std::string> sub_missing = sub != self ? sub->impl_->missingRequired() : std::vector<std::string>{};
  missing.insert(missing.end(), sub_missing.begin(), sub_missing.end());
  const CommandLine* shown = missing.size() == sub_missing.size() && !sub_missing.empty() ? sub : self;
  if (missing.size() == 1) shown->fail(missing.front() + " is required", err);
  if (missing.size() > 1) shown->fail("the following options are required: " + joined(missing, ", "), err);
}

// An error about a sub-command's own option shows that sub-command's usage.
void CommandLine::Impl::failAbout(const std::string& why, std::ostream& err) const {
  const CommandLine* shown = chosen();
  if (shown != self) {
    bool about_it = false;
    for (const auto& spec : shown->impl_->specs) about_it = about_it || why.find(spec.name) != std::string::npos;
    if (!about_it) shown = self;
  }
  shown->fail(why, err);
}

// Optional texts given on the command line are copied into their fields;
// the chosen sub-command's name is returned.
std::optional<std::string> CommandLine::Impl::finish() const {
  std::optional<std::string> name;
  for (const auto& sub : subs) {
    if (sub->impl_->app->parsed() > 0) name = sub->impl_->name;
  }
  auto copyGiven = [](const Impl& line) {
    for (const auto& [option, holder, field] : line.optionals) {
      if (option->count() > 0) *field = *holder;
    }
  };
  copyGiven(*this);
  for (const auto& sub : subs) copyGiven(*sub->impl_);
  return name;
}

}  // namespace qvn
