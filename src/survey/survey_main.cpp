#include "survey/survey_main.hpp"

#include <filesystem>
#include <iostream>
#include <set>
#include <stdexcept>

#include "aws/ec2.hpp"
#include "aws/errors.hpp"
#include "aws/s3.hpp"
#include "core/interrupt.hpp"
#include "core/interruption_notice.hpp"
#include "core/logging.hpp"
#include "core/run_outcome.hpp"
#include "core/run_summary.hpp"
#include "lib/basekit.hpp"
#include "lib/call_log.hpp"
#include "lib/file_writer.hpp"
#include "lib/nat.hpp"
#include "lib/qvn_cred.hpp"
#include "lib/run_ending.hpp"
#include "lib/spoke.hpp"
#include "lib/test_config.hpp"
#include "survey/password_prompt.hpp"
#include "survey/survey_session.hpp"

namespace qvn::survey {

namespace {

constexpr const char* kPasswordOption = "--controller_password";
constexpr const char* kMask = "****";
constexpr const char* kPasswordPrompt = "Enter Quorvane Controller Password: ";

SearchArgs searchArgsOf(const SurveyArgs& args) { return SearchArgs{args.vpc, args.s3_bucket, args.backup_folder}; }

// The VPCs of the subnets an existing test configuration names (a subnet
// that no longer exists names none).
std::set<std::string> vpcsNamedBy(TestConfig& config, const aws::Ec2Client& ec2_client) {
  aws::DescribeSubnetsRequest request;
  std::set<std::string> ids;
  for (auto& entry : config.entries())
    for (const char* member : {"gw_subnet_id", "private_subnet_id"})
      if (auto id = entry.optional_string(member)) ids.insert(*id);
  if (ids.empty()) return {};
  request.Filters.push_back({"subnet-id", std::vector<std::string>(ids.begin(), ids.end())});
  std::set<std::string> vpcs;
  for (const auto& subnet : ec2_client.describe_subnets(request).Subnets)
    if (subnet.VpcId) vpcs.insert(*subnet.VpcId);
  return vpcs;
}

// An output file kept from an earlier run that will not serve this one: it
// is not a test configuration, holds no entries, or names another VPC.
void warnAboutKeptOutput(const SurveyArgs& args, const aws::Ec2Client& ec2_client, Logger& log) {
  const std::string& path = args.output_test_config;
  const std::string again = "; run with --force to search again";
  std::set<std::string> vpcs;
  try {
    TestConfig config = TestConfig::read(path);
    if (config.entries().empty()) {
      log.warning("  **Warning** " + path + " holds no entries, so nothing is tested from it" + again);
      return;
    }
    vpcs = vpcsNamedBy(config, ec2_client);
  } catch (const TestConfigError& e) {
    log.warning("  **Warning** " + path + " is not a test configuration (" + e.what() + ")" + again);
    return;
  } catch (const aws::AwsError& e) {
    log.warning("  **Warning** cannot tell which VPC the subnets of " + path + " are in: " + e.what());
    return;
  }
  vpcs.erase(args.vpc);
  if (vpcs.empty()) return;
  std::string names;
  for (const auto& vpc : vpcs) names += (names.empty() ? "" : ", ") + vpc;
  log.warning("  **Warning** " + path + " names subnets of " + names + ", not of " + args.vpc + again);
}

// Stops the run with status 0 when an earlier run left its result at the
// output path (unless --force: then that file is removed first, so that a
// search that fails leaves none); otherwise makes the path's folders and
// names it as the file the searches write.
void claimOutputPath(const SurveyArgs& args, const aws::Ec2Client& ec2_client, Logger& log) {
  namespace fs = std::filesystem;
  const std::string& path = args.output_test_config;
  if (fs::exists(fs::symlink_status(path))) {
    log.info("- Found " + path);
    if (!args.force) {
      warnAboutKeptOutput(args, ec2_client, log);
      throw ProgramExit{0};
    }
    if (fs::is_directory(fs::symlink_status(path)))
      throw std::runtime_error("--force: " + path + " is a folder, not a test configuration to replace");
    fs::remove(path);
    log.info("- Searching again (--force): " + path + " is replaced");
  }
  TestConfig::prepare_write(path);
  Globals.TEST_CONFIG = path;
}

void surveySpokes(const SurveyArgs& args, const aws::Ec2Client& ec2_client) {
  const std::string controller = args.controller_ip.value_or("");
  const std::string user = args.controller_user.value_or("");
  const std::string password =
      controllerPassword(args.controller_password, [] { return readPasswordFromTerminal(kPasswordPrompt); });
  // Past the prompt: a first Ctrl-C while the terminal does not echo would
  // otherwise wait for the end of the line.
  core::install_interrupt_handlers();
  const std::string CID = get_quorvane_cid(controller, user, password);
  const std::string gateway = args.spoke_gw_name.value_or("");
  if (args.horizontal_scaling) {
    Spoke::findHsSpokes(searchArgsOf(args), ec2_client, "https://" + controller + "/v2/api", CID, gateway);
  } else {
    Spoke::findClassicSpokes(searchArgsOf(args), ec2_client, "https://" + controller + "/v1/api", CID, gateway);
  }
}

// The command line to run again after an interruption, without the
// password (the program asks for it when it is not given).
std::vector<std::string> rerunCommand(const std::vector<std::string>& arguments) {
  const std::string inline_form = std::string(kPasswordOption) + "=";
  std::vector<std::string> words{kSurveyProgram};
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (arguments[i] == kPasswordOption) {
      ++i;
    } else if (!arguments[i].starts_with(inline_form)) {
      words.push_back(arguments[i]);
    }
  }
  return words;
}

int endInterrupted(const std::vector<std::string>& arguments, Logger& log, const std::exception_ptr& failure) {
  if (failure) {
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception& e) {
      std::cerr << kSurveyProgram << ": error: " << e.what() << std::endl;
    } catch (...) {
      // A ProgramExit: the step has said why already.
    }
  }
  core::logInterruption(log, "nothing is left to remove; to survey again, run", rerunCommand(arguments));
  return core::interrupted_exit_status();
}

}  // namespace

std::string commandText(const std::vector<std::string>& arguments) {
  const std::string inline_form = std::string(kPasswordOption) + "=";
  std::string text = std::string(kSurveyProgram) + " ";
  bool mask_next = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (i > 0) text += " ";
    const std::string& argument = arguments[i];
    if (mask_next) {
      text += kMask;
      mask_next = false;
    } else if (argument == kPasswordOption) {
      text += argument;
      mask_next = true;
    } else if (argument.starts_with(inline_form)) {
      text += inline_form + kMask;
    } else {
      text += argument;
    }
  }
  return text;
}

Logger& beginSubnetSurvey(const SurveyArgs& args, const std::vector<std::string>& arguments) {
  Common::initLogLocation(args.backup_folder);
  Common::logCommandOptions(commandText(arguments));
  return packageLogger();
}

namespace {

int surveyFlow(const SurveyArgs& args);

}  // namespace

// After SIGINT or SIGTERM (handled once the password is known) the search
// winds down, and the run ends with an ERROR record naming the command to
// run again and status 130 or 143.
namespace {

int surveyAndEnd(const SurveyArgs& args, const std::vector<std::string>& arguments, Logger& log) {
  int status = 0;
  try {
    status = surveyFlow(args);
  } catch (...) {
    if (!core::interrupted()) throw;
    return endInterrupted(arguments, log, std::current_exception());
  }
  if (core::interrupted()) return endInterrupted(arguments, log, nullptr);
  return status;
}

// The test subnets of the output this run wrote (none when it found an
// earlier run's output, or wrote nothing).
std::vector<std::string> subnetsWritten(const std::string& path) {
  if (Globals.TEST_CONFIG != path || !std::filesystem::exists(path)) return {};
  try {
    std::vector<std::string> subnets;
    TestConfig config = TestConfig::read(path);
    for (ConfigEntry& entry : config.entries())
      subnets.push_back(entry.has("private_subnet_id") ? entry.string("private_subnet_id") : "");
    return subnets;
  } catch (const std::exception&) {
    return {};
  }
}

void summarize(const SurveyArgs& args, core::RunTally& tally, core::TimePoint started, int status, Logger& log) {
  const std::vector<std::string> subnets = subnetsWritten(args.output_test_config);
  tally.add(core::Change::Written, "entry", static_cast<int>(subnets.size()));
  for (const std::string& subnet : subnets)
    if (!subnet.empty()) tally.noteEntry(subnet, "found");
  tally.notePath("output configuration", args.output_test_config);
  tally.notePath("log file", core::logFilePath());
  core::RunSummary summary;
  summary.program = kSurveyProgram;
  summary.tally = &tally;
  summary.wall_time = core::now() - started;
  summary.exit_status = status;
  endOfRunSummary(summary, args.summary_json, log);
}

}  // namespace

int runSubnetSurvey(const std::vector<std::string>& arguments) {
  const SurveyArgs args = parseSurveyArgs(arguments, std::cout, std::cerr);
  const core::TimePoint started = core::now();
  Logger& log = beginSubnetSurvey(args, arguments);
  // A summary file that cannot be written is refused before AWS is asked anything.
  if (args.summary_json) checkWritable(*args.summary_json, WriteRules::document());
  core::RunTally tally;
  const core::ErrorRecordsNoted errors(tally);
  return core::runWithSummary([&] { return notingEndingFailure(tally, [&] { return surveyAndEnd(args, arguments, log); }); },
                              [&](int status) { summarize(args, tally, started, status, log); });
}

namespace {

int surveyFlow(const SurveyArgs& args) {
  Logger& log = packageLogger();
  const AwsSessionResult started = start_aws_session(args.assume_role, args.profile);
  if (const auto* failure = std::get_if<std::string>(&started)) throw std::runtime_error(*failure);
  const aws::Ec2Client ec2_client(std::get<AwsSession>(started).session, args.region);
  const aws::S3Client s3_client(
      aws::Session::create(aws::SessionOptions{args.profile, std::nullopt, nullptr, makeCallLog()}));

  if (!args.output_test_config.empty()) claimOutputPath(args, ec2_client, log);

  if (args.subparser_name == "natgw") {
    core::install_interrupt_handlers();
    Nat::findNatGws(searchArgsOf(args), ec2_client, s3_client);
  } else {
    surveySpokes(args, ec2_client);
  }
  return RunOutcome().getStatus();
}

}  // namespace

}  // namespace qvn::survey
