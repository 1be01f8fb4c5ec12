#include "deploy/deploy_main.hpp"

#include <algorithm>
#include <iostream>
#include <mutex>
#include <thread>

#include "aws/iam.hpp"
#include "aws/s3.hpp"
#include "aws/service_client.hpp"
#include "aws/ssm.hpp"
#include "aws/sts.hpp"
#include "core/interrupt.hpp"
#include "core/interruption_notice.hpp"
#include "core/run_outcome.hpp"
#include "deploy/config_check.hpp"
#include "deploy/deploy_session.hpp"
#include "deploy/failure_report.hpp"
#include "deploy/key_pair.hpp"
#include "deploy/launch.hpp"
#include "deploy/machine_image.hpp"
#include "deploy/orchestration.hpp"
#include "deploy/resource_names.hpp"
#include "deploy/run_summary.hpp"
#include "deploy/tags.hpp"
#include "deploy/teardown.hpp"
#include "lib/basekit.hpp"
#include "lib/file_writer.hpp"
#include "lib/run_ending.hpp"

namespace qvn::deploy {

std::string commandText(const std::vector<std::string>& arguments) {
  std::string text = std::string(kDeployProgram) + " ";
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (i > 0) text += " ";
    text += arguments[i];
  }
  return text;
}

void checkTagResource(const DeployArgs& args, Logger& log) {
  if (!args.tag_resource) return;
  const std::size_t pieces = splitTagResource(*args.tag_resource).size();
  if (pieces % 2 != 0) {
    log.info("**Error** incomplete tag_resource pair");
    throw ProgramExit{1};
  }
  if (pieces / 2 > kMaxTagResourcePairs) {
    log.info("**Error** tag_resource holds " + std::to_string(pieces / 2) + " pairs; at most " +
             std::to_string(kMaxTagResourcePairs) + " fit beside the tool's own tags");
    throw ProgramExit{1};
  }
}

Logger& beginProbeDeploy(const DeployArgs& args, const std::vector<std::string>& arguments) {
  Common::initLogLocation(args.backup_folder);
  Common::logCommandOptions(commandText(arguments));
  Logger& log = packageLogger();
  Globals.dry_run = args.dry_run;
  checkTagResource(args, log);
  return log;
}

WorkflowAccount parseWorkflowAccountRole(const std::string& value) {
  const std::vector<std::string> pieces = splitTagResource(value);
  WorkflowAccount account;
  account.role_name = pieces[0];
  if (pieces.size() > 2 && !pieces[1].empty()) {
    account.account_number = pieces[1];
    account.region = pieces[2];
  }
  return account;
}

std::optional<aws::S3Client> openWorkflowAccess(const DeployArgs& args, Logger& log) {
  if (!args.workflow_account_role || args.workflow_account_role->empty()) {
    return aws::S3Client(plainSession(args.profile));
  }
  WorkflowAccount account = parseWorkflowAccountRole(*args.workflow_account_role);
  if (!account.account_number) {
    const nlohmann::json identity = get_aws_metadata();
    account.account_number = identity.value("accountId", "");
    account.region = identity.value("region", "");
    if (account.account_number->empty()) {
      throw std::runtime_error("the instance identity document carries no accountId");
    }
  }
  const std::string role_arn = "arn:aws:iam::" + *account.account_number + ":role/" + account.role_name;
  log.info("- Use role " + role_arn + " for SSM access");
  const auto workflow_session = sessionOf(start_aws_session(role_arn, args.profile));
  std::optional<std::string> ssm_region;
  if (account.region && !account.region->empty()) ssm_region = account.region;
  const aws::SsmClient ssm_client(workflow_session, ssm_region);
  if (args.key_name && !args.key_name->empty()) {
    getPemKeyFromSSM(ssm_client, names::kWorkflowSecretsPath + *args.key_name, args);
  }
  return aws::S3Client(workflow_session);
}

std::shared_ptr<aws::Session> deploymentSession(const DeployArgs& args) {
  if (args.assume_role && !args.assume_role->empty()) {
    return sessionOf(start_aws_session(*args.assume_role, args.profile));
  }
  return plainSession(args.profile);
}

RunContext deploymentRun(const DeployArgs& args, const std::shared_ptr<aws::Session>& session,
                         core::RunTally& tally) {
  return RunContext{.args = args,
                    .ec2 = deploymentEc2Client(session, args.region),
                    .iam = aws::IamClient(session, args.region),
                    .sts = aws::StsClient(session, args.region),
                    .tally = &tally};
}

namespace {

// What the end of the run says, prepared before the first signal so that a
// second one, which abandons the calls in flight, still has it at hand.
struct RunEnding {
  const DeployArgs& args;
  core::RunTally& tally;
  Logger& log;
  core::TimePoint started;
  // The next step: the revert for a deployment, the same command for a revert.
  std::string what_to_do;
  std::vector<std::string> command;
  // The deployment's configuration while it is being deployed, under
  // entryRecordLock().
  TestConfig* output = nullptr;
};

RunEnding prepareEnding(const DeployArgs& args, core::RunTally& tally, const std::vector<std::string>& arguments,
                        Logger& log, core::TimePoint started) {
  RunEnding ending{args, tally, log, started, "to remove what was made, run", revertCommand(args), nullptr};
  if (args.revert) {
    ending.what_to_do = "to finish the teardown, run it again";
    ending.command = {kDeployProgram};
    ending.command.insert(ending.command.end(), arguments.begin(), arguments.end());
  }
  return ending;
}

// Names `config` as the output that a second signal writes, while it lives.
class OutputWhileDeploying {
 public:
  OutputWhileDeploying(RunEnding& ending, TestConfig& config) : ending_(ending) {
    const std::lock_guard<std::timed_mutex> hold(entryRecordLock());
    ending_.output = &config;
  }
  ~OutputWhileDeploying() {
    const std::lock_guard<std::timed_mutex> hold(entryRecordLock());
    ending_.output = nullptr;
  }
  OutputWhileDeploying(const OutputWhileDeploying&) = delete;
  OutputWhileDeploying& operator=(const OutputWhileDeploying&) = delete;

 private:
  RunEnding& ending_;
};

void writeOutputAfterFailure(TestConfig& config, const std::string& path) {
  try {
    config.write(path);
  } catch (const std::exception& e) {
    std::cerr << kDeployProgram << ": error: " << e.what() << std::endl;
  }
}

void runDeployment(RunEnding& ending) {
  const DeployArgs& args = ending.args;
  // The whole configuration is checked before anything is asked of AWS.
  TestConfig config = readCheckedTestConfig(args.test_config, ConfigUse::Deploy);
  // A path that cannot be written fails here, not after every instance has
  // been launched.
  TestConfig::prepare_write(*args.output_test_config);
  const OutputWhileDeploying named(ending, config);
  const std::optional<aws::S3Client> s3_client = openWorkflowAccess(args, ending.log);
  const auto session = deploymentSession(args);
  RunContext run = deploymentRun(args, session, ending.tally);
  run.s3 = s3_client;
  run.image = getImageByName(run.ec2, args);
  try {
    deployEc2s(run, config);
  } catch (...) {
    // A step that failed while the run was being interrupted: the output
    // still says what is done (nothing was recorded yet).
    if (core::interrupted()) writeOutputAfterFailure(config, *args.output_test_config);
    throw;
  }
}

void runRevert(const DeployArgs& args, core::RunTally& tally) {
  // As for a deployment, a bad configuration stops the run before AWS is asked anything.
  TestConfig config = readCheckedTestConfig(args.test_config, ConfigUse::Teardown);
  runTeardown(deploymentRun(args, deploymentSession(args), tally), config);
}

// The last lines belong to whoever claims them first: a run that finds
// them claimed by a second signal's last words waits for the end they make.
void claimEndingOrWait() {
  if (core::claim_run_ending()) return;
  for (;;) std::this_thread::sleep_for(core::kLastWordsLimit);
}

// The end of an interrupted run: the failure that the interruption caused,
// if any, on standard error, then the ERROR record with the command to run.
int endInterrupted(const RunEnding& ending, const std::exception_ptr& failure) {
  core::tell_first_interrupt_notice();
  claimEndingOrWait();
  if (failure) {
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception& e) {
      std::cerr << kDeployProgram << ": error: " << e.what() << std::endl;
    } catch (...) {
      // A ProgramExit: the step has said why already.
    }
  }
  core::logInterruption(ending.log, ending.what_to_do, ending.command);
  return core::interrupted_exit_status();
}

}  // namespace

std::vector<std::string> revertCommand(const DeployArgs& args) {
  std::vector<std::string> words{kDeployProgram, "--revert", "--test_config", args.test_config};
  const auto add = [&words](const char* option, const std::optional<std::string>& value) {
    if (value && !value->empty()) words.insert(words.end(), {option, *value});
  };
  add("--region", args.region);
  add("--profile", args.profile);
  add("--assume_role", args.assume_role);
  add("--s3_bucket", args.s3_bucket);
  if (args.ec2_role == "default") add("--ec2_role", args.ec2_role);
  if (args.backup_folder != DeployArgs{}.backup_folder) add("--backup_folder", args.backup_folder);
  return words;
}

namespace {

// The run itself, once the log is set up: its exit status, or the failure
// that ends it.
int deployOrRevert(RunEnding& ending) {
  // From here on the first SIGINT or SIGTERM lets the run wind down and
  // say what to do next; before, it ends the process as usual (nothing has
  // been asked of AWS yet).
  core::install_interrupt_handlers();

  try {
    if (!ending.args.revert) {
      runDeployment(ending);
    } else {
      runRevert(ending.args, ending.tally);
    }
  } catch (...) {
    if (!core::interrupted()) throw;
    return endInterrupted(ending, std::current_exception());
  }
  if (core::interrupted()) return endInterrupted(ending, nullptr);
  return RunOutcome().getStatus();
}

// Whether the deployment may have left something its revert removes: it
// made or adopted something, a launch failed (an instance may exist all the
// same), or it was interrupted. Not when it ended before its first change
// (bad input, a refused check): that revert would fail the same way. A dry
// run makes the IAM objects and the Elastic IPs of running instances all
// the same, and nothing else.
bool revertCouldRemove(const DeployArgs& args, const core::RunTally& tally, int status) {
  if (!tally.counts(core::Change::Made).empty()) return true;
  if (args.dry_run) return false;
  if (!tally.counts(core::Change::Created).empty() || !tally.counts(core::Change::Adopted).empty()) return true;
  if (status >= 128) return true;
  const auto failures = tally.failures();
  return std::any_of(failures.begin(), failures.end(), [](const core::RunFailure& f) { return !f.subnet.empty(); });
}

void summarize(const DeployArgs& args, core::RunTally& tally, core::TimePoint started, int status, Logger& log) {
  core::RunSummary summary;
  summary.program = kDeployProgram;
  summary.dry_run = args.dry_run;
  summary.tally = &tally;
  summary.wall_time = core::now() - started;
  summary.exit_status = status;
  if (!args.revert && revertCouldRemove(args, tally, status)) {
    summary.next_step = "to remove what was made, run";
    summary.next_command = revertCommand(args);
  }
  endOfRunSummary(summary, args.summary_json, log);
}

// What a second signal leaves before the process ends: the closing ERROR
// record, the deployment's output with the entries recorded so far, and
// the summary with its JSON file. Local writes only.
void lastWords(const RunEnding& ending) {
  core::logInterruption(ending.log, ending.what_to_do, ending.command);
  std::unique_lock<std::timed_mutex> recording(entryRecordLock(), std::defer_lock);
  if (recording.try_lock_for(core::kLastWordsLimit / 4) && ending.output != nullptr)
    writeOutputAfterFailure(*ending.output, *ending.args.output_test_config);
  summarize(ending.args, ending.tally, ending.started, 128 + core::second_interrupt_signal(), ending.log);
}

// At the first signal: what the run now waits for, and what to run.
void windingDown(const RunEnding& ending) {
  core::logWindingDown(ending.log, aws::calls_in_flight(), ending.what_to_do, ending.command);
}

}  // namespace

int runProbeDeploy(const std::vector<std::string>& arguments) {
  const DeployArgs args = parseDeployArgs(arguments, std::cout, std::cerr);
  core::RunTally tally;
  const core::TimePoint started = core::now();
  Logger& log = beginProbeDeploy(args, arguments);
  // A summary file that cannot be written is refused before AWS is asked anything.
  if (args.summary_json) checkWritable(*args.summary_json, WriteRules::document());
  tally.notePath(kinds::kLogFile, core::logFilePath());
  RunEnding ending = prepareEnding(args, tally, arguments, log, started);
  const FailureRecording failures(&tally);
  const core::InterruptNoticesScope notices({[&ending] { windingDown(ending); }, [&ending] { lastWords(ending); }});
  return core::runWithSummary([&] { return notingEndingFailure(tally, [&] { return deployOrRevert(ending); }); },
                              [&](int status) { summarize(args, tally, started, status, log); });
}

}  // namespace qvn::deploy
