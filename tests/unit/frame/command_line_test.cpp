// The option binding shared by every program: help, version, usage errors
// and the suggestion for a mistyped option or sub-command.
#include <gtest/gtest.h>

#include <sstream>
#include <tuple>

#include "core/run_outcome.hpp"
#include "frame/closest_name.hpp"
#include "frame/command_line.hpp"

namespace qvn {
namespace {

TEST(ClosestNameTest, SlipsAreMatchedAndStrangersAreNot) {
  const std::vector<std::string> known{"--revert",        "--region",         "--test_config", "--output_test_config",
                                       "--controller_ip", "--controller_user"};
  EXPECT_EQ(closestName("--regoin", known), "--region") << "two letters swapped";
  EXPECT_EQ(closestName("--regon", known), "--region");
  EXPECT_EQ(closestName("-region", known), "--region") << "one dash short";
  EXPECT_EQ(closestName("--test-config", known), "--test_config");
  EXPECT_EQ(closestName("--test", known), "--test_config") << "the one option it begins";
  EXPECT_EQ(closestName("--controller", known), std::nullopt) << "begins two options";
  EXPECT_EQ(closestName("--frobnicate", known), std::nullopt);
  EXPECT_EQ(closestName("--region", known), std::nullopt) << "a known name is no slip";
  EXPECT_EQ(closestName("--", known), std::nullopt);
  EXPECT_EQ(closestName("--x", {}), std::nullopt);

  EXPECT_EQ(editDistance("", "abc"), 3u);
  EXPECT_EQ(editDistance("regoin", "region"), 1u);
  EXPECT_EQ(editDistance("kitten", "sitting"), 3u);

  EXPECT_EQ(unknownOptionMessage("--regoin=us-east-1", known), "unknown option '--regoin'; did you mean '--region'?")
      << "the value is not part of the name";
  EXPECT_EQ(unknownOptionMessage("--zzz", known), "unknown option '--zzz'");
}

struct Record {
  bool flag = false;
  std::string required;
  std::string with_default = "dflt";
  std::optional<std::string> optional;
  std::optional<std::string> sub_option;
};

const std::vector<OptionRow<Record>> kRows = {
    {{"--flag", "a flag", true}, &Record::flag},
    {{"--required", "must be given", false, true}, &Record::required},
    {{"--with_default", "has a default"}, &Record::with_default},
    {{"--optional", "may be absent"}, &Record::optional},
};

struct Outcome {
  Record record;
  std::optional<std::string> subcommand;
  int status = -1;  // -1: parsed
  std::string out, err;
};

Outcome run(const std::vector<std::string>& arguments, bool with_subcommands = false) {
  Outcome outcome;
  std::ostringstream out, err;
  CommandLine line("prog", "does things", "epilog text");
  line.bind(kRows, outcome.record);
  if (with_subcommands) {
    line.subcommand({"alpha", "the first"}).bind({"--sub_option", "its own"}, outcome.record.sub_option);
    line.subcommand({"beta", "the second"});
    line.requireSubcommand();
  }
  try {
    outcome.subcommand = line.parse(arguments, out, err);
  } catch (const ProgramExit& exit) {
    outcome.status = exit.status;
  }
  outcome.out = out.str();
  outcome.err = err.str();
  return outcome;
}

TEST(CommandLineTest, ValuesLandInTheirFieldsAsTyped) {
  auto o = run({"--required", " r ", "--optional", "", "--flag", "--with_default", "a", "--with_default=b"});
  ASSERT_EQ(o.status, -1) << o.err;
  EXPECT_TRUE(o.record.flag);
  EXPECT_EQ(o.record.required, " r ");
  EXPECT_EQ(o.record.optional, "") << "given empty is not absent";
  EXPECT_EQ(o.record.with_default, "b") << "the last of a repeated option wins";

  auto defaults = run({"--required", "r"});
  EXPECT_EQ(defaults.record.with_default, "dflt");
  EXPECT_FALSE(defaults.record.optional);
  EXPECT_FALSE(defaults.record.flag);
}

TEST(CommandLineTest, HelpAndVersionEndWithStatusZeroBeforeAnyCheck) {
  setProgramVersion("9.8.7 (abcdef0)");
  for (const auto& arguments : std::vector<std::vector<std::string>>{{"--version"}, {"--bogus", "--version"}}) {
    auto o = run(arguments);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "prog 9.8.7 (abcdef0)\n") << "no --required needed";
    EXPECT_TRUE(o.err.empty());
  }
  auto help = run({"-h"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: prog [-h] [--flag] --required REQUIRED [--with_default WITH_DEFAULT]", 0), 0u)
      << help.out;
  EXPECT_NE(help.out.find("  --version             show the program's version and exit\n"), std::string::npos);
  EXPECT_NE(help.out.find("does things"), std::string::npos);
  EXPECT_EQ(help.out.substr(help.out.size() - 13), "\nepilog text\n");

  auto sub_help = run({"--required", "r", "alpha", "--help"}, true);
  EXPECT_EQ(sub_help.status, 0);
  EXPECT_EQ(sub_help.out.rfind("usage: prog alpha [-h] [--sub_option SUB_OPTION]\n", 0), 0u) << sub_help.out;
  EXPECT_EQ(sub_help.out.find("--version"), std::string::npos) << "the version is the program's";
}

TEST(CommandLineTest, UsageErrorsNameTheMistakeAndEndWithStatusTwo) {
  struct Case {
    std::vector<std::string> arguments;
    bool subcommands;
    std::string why;
    std::string usage;
  };
  const std::string prog = "usage: prog [-h] [--flag]";
  const std::string alpha = "usage: prog alpha [-h]";
  for (const auto& c : std::vector<Case>{
           {{"--required", "r", "--optinal", "x"},
            false,
            "unknown option '--optinal'; did you mean '--optional'?",
            prog},
           {{"--requird=r"}, false, "unknown option '--requird'; did you mean '--required'?", prog},
           {{"--required", "r", "--zzz"}, false, "unknown option '--zzz'\n", prog},
           {{"--required", "r", "stray"}, false, "unexpected argument 'stray'", prog},
           {{}, false, "--required", prog},
           {{"--required"}, false, "--required", prog},
           {{"--required", "r", "alpah"}, true, "unknown sub-command 'alpah'; did you mean 'alpha'?", prog},
           {{"--required", "r", "zulu"}, true, "unknown sub-command 'zulu' (choose from alpha, beta)", prog},
           {{"--required", "r"}, true, "a sub-command is required: alpha or beta", prog},
           {{"--required", "r", "alpha", "--sub_optoin", "x"},
            true,
            "unknown option '--sub_optoin'; did you mean '--sub_option'?",
            alpha},
           {{"--required", "r", "alpha", "--sub_option"}, true, "--sub_option", alpha},
           {{"--required", "r", "beta", "--flag"}, true, "'--flag' is an option of prog: give it before 'beta'", prog},
       }) {
    auto o = run(c.arguments, c.subcommands);
    EXPECT_EQ(o.status, 2) << c.why;
    EXPECT_EQ(o.err.rfind(c.usage, 0), 0u) << o.err;
    EXPECT_NE(o.err.find("\nprog: error: "), std::string::npos) << o.err;
    EXPECT_NE(o.err.find(c.why), std::string::npos) << o.err;
    EXPECT_TRUE(o.out.empty());
  }
  auto chosen = run({"--required", "r", "alpha", "--sub_option", "v"}, true);
  EXPECT_EQ(chosen.status, -1) << chosen.err;
  EXPECT_EQ(chosen.subcommand, "alpha");
  EXPECT_EQ(chosen.record.sub_option, "v");
}

TEST(CommandLineTest, AUsageErrorNamesEveryMissingRequiredOptionAndTheHelpShowsTheSubcommandsOptions) {
  struct Needs {
    std::string first, second, sub;
  };
  const auto attempt = [](const std::vector<std::string>& arguments) {
    Needs needs;
    std::ostringstream out, err;
    CommandLine line("prog", "does things", "epilog text");
    line.bind({"--first", "the first, required", false, true}, needs.first);
    line.bind({"--second", "the second, required", false, true}, needs.second);
    line.subcommand({"alpha", "the first"}).bind({"--sub", "its own, required", false, true}, needs.sub);
    line.requireSubcommand();
    try {
      line.parse(arguments, out, err);
    } catch (const ProgramExit& exit) {
      return std::make_pair(exit.status, out.str() + err.str());
    }
    return std::make_pair(-1, std::string());
  };
  for (const auto& [arguments, why] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"alpha"}, "prog: error: the following options are required: --first, --second, --sub\n"},
           {{"--second", "2", "alpha"}, "prog: error: the following options are required: --first, --sub\n"},
           {{"--first", "1", "--second", "2", "alpha"}, "usage: prog alpha [-h] --sub SUB\nprog: error: --sub is required\n"},
           {{"--first", "1", "alpha", "--sub", "s"}, "prog: error: --second is required\n"},
       }) {
    const auto [status, text] = attempt(arguments);
    EXPECT_EQ(status, 2);
    EXPECT_NE(text.find(why), std::string::npos) << text;
  }
  const auto [status, help] = attempt({"--help"});
  EXPECT_EQ(status, 0);
  EXPECT_NE(help.find("\nalpha options (after 'alpha'):\n  --sub SUB             its own, required\n\nepilog text\n"),
            std::string::npos)
      << help;
}

// A command line whose words lead (qvn-aws SERVICE OPERATION): its usage is
// written out, its words listed in the help and kept in order; a value that
// looks like an option is still the value of the option before it.
TEST(CommandLineTest, WordsAndAWrittenUsageShowInTheHelpAndUsageErrors) {
  struct Words {
    std::vector<std::string> words;
    std::string input = "{}";
    bool debug = false;
  };
  const auto attempt = [](const std::vector<std::string>& arguments, Words& words) {
    std::ostringstream out, err;
    CommandLine line("prog", "sends\nthings", "epilog text");
    line.setUsage("usage: prog SERVICE OPERATION [--input JSON]\n            [--debug]");
    line.bindWords({{"SERVICE", "the service"}, {"OPERATION", "its operation;\nin snake case"}}, words.words);
    line.bind({"--input", "the request", false, false, {}, "JSON"}, words.input);
    line.bind({"--debug", "show the exchange", true}, words.debug);
    int status = -1;
    try {
      line.parse(arguments, out, err);
    } catch (const ProgramExit& exit) {
      status = exit.status;
    }
    return std::make_tuple(status, out.str(), err.str());
  };
  Words given;
  auto [status, out, err] = attempt({"ec2", "--input", "--help", "describe", "--debug"}, given);
  EXPECT_EQ(status, -1) << err;
  EXPECT_EQ(given.words, (std::vector<std::string>{"ec2", "describe"}));
  EXPECT_EQ(given.input, "--help") << "the value of --input, not a call for help";
  EXPECT_TRUE(given.debug);

  Words help;
  std::tie(status, out, err) = attempt({"ec2", "-h"}, help);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out,
            "usage: prog SERVICE OPERATION [--input JSON]\n            [--debug]\n"
            "\nsends\nthings\n"
            "\npositional arguments:\n"
            "  SERVICE               the service\n"
            "  OPERATION             its operation;\n"
            "                        in snake case\n"
            "\noptions:\n"
            "  -h, --help            show this help message and exit\n"
            "  --version             show the program's version and exit\n"
            "  --input JSON          the request\n"
            "  --debug               show the exchange\n"
            "\nepilog text\n");

  for (const auto& [arguments, why] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"ec2", "--inptu", "{}"}, "unknown option '--inptu'; did you mean '--input'?"},
           {{"ec2", "describe", "--input"}, "--input"},
       }) {
    Words words;
    std::tie(status, out, err) = attempt(arguments, words);
    EXPECT_EQ(status, 2) << why;
    EXPECT_EQ(err.rfind("usage: prog SERVICE OPERATION [--input JSON]\n            [--debug]\nprog: error: ", 0), 0u)
        << err;
    EXPECT_NE(err.find(why), std::string::npos) << err;
    EXPECT_TRUE(out.empty());
  }
}

}  // namespace
}  // namespace qvn
