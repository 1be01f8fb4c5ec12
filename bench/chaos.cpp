// The project's own interruption test. probe_deploy is killed, with SIGKILL
// and with SIGTERM, at random moments of a deployment and of a revert, and
// while each of its changing AWS calls is held in flight by the sandbox (the
// call is carried out after the hold, as AWS would). Each kill is followed
// by a recovery (a revert; a deploy, then a revert; or a revert and another
// one), and what the tool left is counted from the sandbox's state.
//
//   chaos [--trials N] [--seed S] [--subnets N] [--scale S] [--latency-ms L]
//         [--hold-s H] [--run-limit-s R] [--no-lost-answers | --lost-answers-only]
//         [--verbose]
//
// Every exit status is checked against what is there:
//   - a revert that exits 0 while something is left, or non-0 with nothing
//     left, is untruthful;
//   - a deploy that exits 0 without both addresses in every entry of its
//     output is untruthful, and a recovery deploy that does not exit 0 is
//     counted with them (a deploy after any kill must converge);
//   - an output file or private key that is not whole is counted with them;
//   - a run that does not end within R seconds is hung (and killed).
// Leftovers are the tool's resources in the sandbox after the recovery
// (tests/e2e/tool_leftovers.hpp) and temporary files in the run's folder.
// Then the lost-answer cases: each changing call of a deployment (with
// --ec2_role default and --s3_bucket) and of a revert has the answer of one
// of its calls dropped once by the sandbox, and the client's retry meets what
// the first attempt did. The run must converge (exit 0 with every entry
// recorded, or with nothing left), hold nothing twice (instance, address,
// group, key pair), and a revert after it leave nothing, or say what it left
// and a second revert leave nothing. The lines are
//   chaos trials=T leftovers=L untruthful=U hung=H
//   lost-answers cases=N wrong=W
// and the exit status is 1 when any of L, U, H, W is above 0. Without
// --verbose only the trials with a finding are described.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "chaos_plan.hpp"
#include "e2e/cli_run.hpp"
#include "e2e/deploy_scenario.hpp"
#include "e2e/sandbox_process.hpp"
#include "e2e/tool_leftovers.hpp"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using qvn::chaos::Phase;
using qvn::chaos::Recovery;
using qvn::chaos::Trial;
using qvn::e2e::ProcessResult;
using Steady = std::chrono::steady_clock;

// The bucket of the sandbox's scenario that key files are copied to.
constexpr const char* kBucket = "quorvane-backups-123456789012";

struct Options {
  int trials = 64;
  unsigned long long seed = 20261210;
  int subnets = 4;
  double scale = 0.03;
  double latency_ms = 50;
  double hold_s = 60;        // sandbox seconds
  double run_limit_s = 120;  // real seconds
  bool verbose = false;
  bool kills = true;         // the kill -9 and SIGTERM trials
  bool lost_answers = true;  // the lost-answer cases
};

double since(Steady::time_point start) { return std::chrono::duration<double>(Steady::now() - start).count(); }
void pause(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

// ---- the figures -------------------------------------------------------------

struct Tally {
  int trials = 0;
  int leftovers = 0;
  int trials_with_leftovers = 0;
  int untruthful = 0;
  int hung = 0;
  int revert_ok_with_leftovers = 0;
  int revert_failed_clean = 0;
  int deploy_ok_incomplete = 0;
  int deploy_not_converged = 0;
  int broken_files = 0;
  std::vector<std::string> unreached;  // held calls that never came
};

// What one trial saw, line by line, and whether anything was wrong.
struct Story {
  std::vector<std::string> lines;
  bool finding = false;
  void say(const std::string& line) { lines.push_back("  " + line); }
  void flag(const std::string& line) {
    lines.push_back("  ! " + line);
    finding = true;
  }
};

// ---- the world of one trial ----------------------------------------------------

class Bench {
 public:
  Bench(const Options& o, qvn::e2e::SandboxProcess& sandbox, fs::path cwd)
      : o_(o), sandbox_(sandbox), cwd_(std::move(cwd)) {
    scenario_ = qvn::e2e::readScenario("spoke.json");
    qvn::e2e::addTestSubnets(scenario_, o.subnets);
    qvn::e2e::enableRateLimits(scenario_);
    scenario_["faults"] = json::array({{{"latency_ms", o.latency_ms}}});
    config_ = qvn::e2e::spokeTestConfig(o.subnets);
    env_ = sandbox.environment();
    char scale[32];
    std::snprintf(scale, sizeof scale, "%g", o.scale);
    env_.emplace_back("QUORVANE_TIME_SCALE", scale);
  }

  // A fresh sandbox state and an empty run folder holding only the input.
  void reset() {
    sandbox_.load(scenario_);
    fs::remove_all(cwd_);
    fs::create_directories(cwd_);
    std::ofstream(cwd_ / "in.json") << config_.dump(2) << "\n";
  }

  std::vector<std::string> arguments(Phase phase, bool default_role, bool bucket) const {
    std::vector<std::string> args{"--test_config", "in.json", "--region", "us-east-1", "--backup_folder", "backups"};
    if (phase == Phase::Deploy)
      args.insert(args.end(), {"--output_test_config", "out.json"});
    else
      args.push_back("--revert");
    if (default_role) args.insert(args.end(), {"--ec2_role", "default"});
    if (bucket) args.insert(args.end(), {"--s3_bucket", kBucket});
    return args;
  }

  qvn::e2e::StartedProgram start(Phase phase, bool default_role, bool bucket = false) {
    fs::remove(cwd_ / "out.json");
    qvn::e2e::Environment env = env_;
    // The client's own retries, as a user's run has them (the isolated
    // environment of the tests allows one attempt).
    if (standard_retries_) env.emplace_back("AWS_MAX_ATTEMPTS", "");
    return qvn::e2e::startProgram(qvn::e2e::programPath("probe_deploy"), arguments(phase, default_role, bucket), cwd_,
                                  env);
  }

  // Waits at most `limit` seconds; a program still running then is killed
  // and reported as hung (nothing).
  std::optional<ProcessResult> finish(qvn::e2e::StartedProgram& p, double limit) {
    const auto start = Steady::now();
    while (since(start) < limit) {
      if (auto r = qvn::e2e::finishProgram(p, false)) return r;
      pause(0.01);
    }
    ::kill(p.pid, SIGKILL);
    qvn::e2e::finishProgram(p);
    return std::nullopt;
  }

  struct Run {
    std::optional<ProcessResult> result;  // none: hung
    double wall = 0;
  };
  Run run(Phase phase, bool default_role, bool bucket = false) {
    const auto start = Steady::now();
    auto p = this->start(phase, default_role, bucket);
    Run r{finish(p, o_.run_limit_s), 0};
    r.wall = since(start);
    return r;
  }

  std::vector<std::string> leftovers() { return qvn::e2e::toolLeftovers(sandbox_.state()); }

  // Temporary files a run left in its folder (key files being written).
  std::vector<std::string> temporaryFiles() const {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(cwd_)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind(".qvn-tmp.", 0) == 0 || name.find(".pem.") != std::string::npos)
        found.push_back("temporary file " + fs::relative(entry.path(), cwd_).string());
    }
    return found;
  }

  // "" when every deployed entry of the output carries both addresses.
  std::string deployGap() const {
    if (!fs::exists(cwd_ / "out.json")) return "no output file";
    const json out = json::parse(qvn::e2e::slurp(cwd_ / "out.json"), nullptr, false);
    if (!out.is_array() || out.size() != config_.size()) return "output is not the configuration";
    int missing = 0;
    for (const auto& entry : out) {
      if (entry.value("private_subnet_id", "").empty()) continue;
      missing += entry.value("ec2_ip", "").empty() || entry.value("ec2_2nd_private_ip", "").empty();
    }
    return missing == 0
               ? ""
               : std::to_string(missing) + " of " + std::to_string(out.size()) + " entries without both addresses";
  }

  // Files that must be whole whatever the moment: the output and private keys.
  std::vector<std::string> brokenFiles() const {
    std::vector<std::string> broken;
    if (fs::exists(cwd_ / "out.json") && json::parse(qvn::e2e::slurp(cwd_ / "out.json"), nullptr, false).is_discarded())
      broken.push_back("out.json is not JSON");
    if (!fs::exists(cwd_ / "backups")) return broken;
    for (const auto& entry : fs::recursive_directory_iterator(cwd_ / "backups")) {
      if (entry.path().extension() != ".pem") continue;
      const std::string key = qvn::e2e::slurp(entry.path());
      if (key.find("-----BEGIN") != 0 || key.find("-----END") == std::string::npos)
        broken.push_back(fs::relative(entry.path(), cwd_).string() + " is not a whole key");
    }
    return broken;
  }

  int heldCount(const std::string& operation) {
    int n = 0;
    const json holds = sandbox_.holds();
    for (const auto& c : holds["held"]) n += c.value("operation", "") == operation ? c.value("count", 0) : 0;
    return n;
  }

  // Ends the holds and waits (at most 30 s) until every held call has been carried out.
  void settle() {
    sandbox_.releaseHolds();
    const auto start = Steady::now();
    while (!sandbox_.holds()["in_progress"].empty() && since(start) < 30) pause(0.01);
    pause(0.05);  // calls the killed program had just sent
  }

  qvn::e2e::SandboxProcess& sandbox() { return sandbox_; }
  const Options& options() const { return o_; }
  std::size_t entries() const { return config_.size(); }
  void standardRetries(bool on) { standard_retries_ = on; }

 private:
  const Options& o_;
  qvn::e2e::SandboxProcess& sandbox_;
  fs::path cwd_;
  json scenario_;
  nlohmann::ordered_json config_;
  qvn::e2e::Environment env_;
  bool standard_retries_ = false;
};

std::string describe(const ProcessResult& r) {
  if (r.signal) return std::string("died of ") + qvn::chaos::signalName(r.signal);
  return "exit " + std::to_string(r.status);
}

// The last line of standard error, for the story of a failed run.
std::string lastError(const ProcessResult& r) {
  std::string err = r.err;
  while (!err.empty() && err.back() == '\n') err.pop_back();
  const auto from = err.rfind('\n');
  std::string line = from == std::string::npos ? err : err.substr(from + 1);
  return line.size() > 200 ? line.substr(0, 200) + "..." : line;
}

// ---- checks -------------------------------------------------------------------------

void checkFiles(Bench& bench, Tally& tally, Story& story) {
  for (const auto& broken : bench.brokenFiles()) {
    ++tally.broken_files;
    ++tally.untruthful;
    story.flag(broken);
  }
}

// A revert tells the truth when it exits 0 exactly when nothing is left.
void checkRevert(const char* what, const Bench::Run& run, Bench& bench, Tally& tally, Story& story) {
  if (!run.result) {
    ++tally.hung;
    story.flag(std::string(what) + ": hung, killed after " + std::to_string(static_cast<int>(run.wall)) + " s");
    return;
  }
  const auto left = bench.leftovers();
  char line[160];
  std::snprintf(line, sizeof line, "%s: %s, %zu left, %.1f s", what, describe(*run.result).c_str(), left.size(),
                run.wall);
  if (run.result->status == 0 && !left.empty()) {
    ++tally.untruthful;
    ++tally.revert_ok_with_leftovers;
    story.flag(std::string(line) + ": exit 0 while something is left");
  } else if (run.result->status != 0 && left.empty()) {
    ++tally.untruthful;
    ++tally.revert_failed_clean;
    story.flag(std::string(line) + ": failed with nothing left (" + lastError(*run.result) + ")");
  } else {
    story.say(line);
  }
  checkFiles(bench, tally, story);
}

// A deploy that exits 0 has recorded every entry; `recovery`: it must exit 0.
void checkDeploy(const char* what, const Bench::Run& run, bool recovery, Bench& bench, Tally& tally, Story& story) {
  if (!run.result) {
    ++tally.hung;
    story.flag(std::string(what) + ": hung, killed after " + std::to_string(static_cast<int>(run.wall)) + " s");
    return;
  }
  const std::string gap = bench.deployGap();
  char line[200];
  std::snprintf(line, sizeof line, "%s: %s, %s, %.1f s", what, describe(*run.result).c_str(),
                gap.empty() ? "every entry recorded" : gap.c_str(), run.wall);
  if (run.result->status == 0 && !gap.empty()) {
    ++tally.untruthful;
    ++tally.deploy_ok_incomplete;
    story.flag(std::string(line) + ": exit 0 without every entry");
  } else if (run.result->status != 0 && recovery) {
    ++tally.untruthful;
    ++tally.deploy_not_converged;
    story.flag(std::string(line) + ": did not converge (" + lastError(*run.result) + ")");
  } else {
    story.say(line);
  }
  checkFiles(bench, tally, story);
}

// ---- one trial ------------------------------------------------------------------------

struct Durations {
  double deploy = 5;
  double revert = 3;
};

// Starts the run of the trial's phase and interrupts it; the program has
// ended (or was found hung) and every held call has been carried out when
// this returns.
void interrupt(const Trial& t, const Durations& usual, Bench& bench, Tally& tally, Story& story) {
  const Options& o = bench.options();
  if (t.held())
    bench.sandbox().addHolds({{"service", t.service}, {"operation", t.operation}, {"seconds", o.hold_s}, {"count", 1}});
  const auto start = Steady::now();
  auto program = bench.start(t.phase, t.default_role);
  const double at = t.moment * (t.phase == Phase::Deploy ? usual.deploy : usual.revert);
  std::optional<ProcessResult> early;
  bool hung = false;
  while (true) {
    if ((early = qvn::e2e::finishProgram(program, false))) break;
    if (t.held() ? bench.heldCount(t.operation) > 0 : since(start) >= at) break;
    if (since(start) > o.run_limit_s) {
      hung = true;
      break;
    }
    pause(0.005);
  }
  const char* phase = qvn::chaos::phaseName(t.phase);
  if (hung) {
    ::kill(program.pid, SIGKILL);
    qvn::e2e::finishProgram(program);
    bench.settle();
    ++tally.hung;
    story.flag(std::string(phase) + ": hung before the interruption");
    return;
  }
  if (early) {
    // It ended before the moment came: a whole run, checked as one.
    bench.settle();
    if (t.held()) {
      tally.unreached.push_back(t.operation);
      story.say(t.operation + " was never called");
    }
    const Bench::Run run{early, since(start)};
    if (t.phase == Phase::Deploy)
      checkDeploy("deploy (not interrupted)", run, false, bench, tally, story);
    else
      checkRevert("revert (not interrupted)", run, bench, tally, story);
    return;
  }
  const double killed_at = since(start);
  ::kill(program.pid, t.signal);
  if (t.signal == SIGKILL) bench.settle();
  const auto ended = bench.finish(program, o.run_limit_s);
  bench.settle();
  char line[160];
  std::snprintf(line, sizeof line, "%s: %s after %.2f s", phase, qvn::chaos::signalName(t.signal), killed_at);
  if (!ended) {
    ++tally.hung;
    story.flag(std::string(line) + ", then hung");
    return;
  }
  story.say(std::string(line) + ", " + describe(*ended));
  if (ended->status != 0) {
    checkFiles(bench, tally, story);
    return;
  }
  // Ending with 0 after a signal claims the whole work was done.
  const Bench::Run run{ended, since(start)};
  if (t.phase == Phase::Deploy)
    checkDeploy("interrupted deploy", run, false, bench, tally, story);
  else
    checkRevert("interrupted revert", run, bench, tally, story);
}

void recover(const Trial& t, Bench& bench, Tally& tally, Story& story) {
  switch (t.recovery) {
    case Recovery::Revert:
      checkRevert("revert", bench.run(Phase::Revert, t.default_role), bench, tally, story);
      break;
    case Recovery::DeployThenRevert:
      checkDeploy("deploy again", bench.run(Phase::Deploy, t.default_role), true, bench, tally, story);
      checkRevert("revert", bench.run(Phase::Revert, t.default_role), bench, tally, story);
      break;
    case Recovery::RevertTwice:
      checkRevert("revert", bench.run(Phase::Revert, t.default_role), bench, tally, story);
      checkRevert("revert again", bench.run(Phase::Revert, t.default_role), bench, tally, story);
      break;
  }
}

std::string title(const Trial& t, int total) {
  std::string what = t.held() ? qvn::chaos::signalName(t.signal) + std::string(" while ") + t.operation + " (" +
                                    t.service + ") is held"
                              : qvn::chaos::signalName(t.signal) + std::string(" at ") +
                                    std::to_string(static_cast<int>(t.moment * 100)) + " %";
  return "trial " + std::to_string(t.number) + "/" + std::to_string(total) + ": " + what + " during a " +
         qvn::chaos::phaseName(t.phase) + (t.default_role ? ", --ec2_role default" : "") +
         "; recovery: " + qvn::chaos::recoveryName(t.recovery);
}

void runTrial(const Trial& t, const Durations& usual, Bench& bench, Tally& tally) {
  Story story;
  bench.reset();
  if (t.phase == Phase::Revert) {
    // A revert is interrupted after a whole deployment.
    const auto setup = bench.run(Phase::Deploy, t.default_role);
    if (!setup.result || setup.result->status != 0)
      story.say("setup deploy: " +
                (setup.result ? describe(*setup.result) + " (" + lastError(*setup.result) + ")" : std::string("hung")));
  }
  interrupt(t, usual, bench, tally, story);
  recover(t, bench, tally, story);
  auto left = bench.leftovers();
  for (auto& f : bench.temporaryFiles()) left.push_back(f);
  ++tally.trials;
  tally.leftovers += static_cast<int>(left.size());
  if (!left.empty()) {
    ++tally.trials_with_leftovers;
    for (const auto& item : left) story.flag("left: " + item);
  }
  if (bench.options().verbose || story.finding) {
    std::printf("%s\n", title(t, bench.options().trials).c_str());
    for (const auto& line : story.lines) std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  }
}

// How long a whole deployment and revert take here: the random moments are
// fractions of these.
Durations calibrate(Bench& bench) {
  Durations d;
  bench.reset();
  const auto deploy = bench.run(Phase::Deploy, true);
  const auto revert = bench.run(Phase::Revert, true);
  if (deploy.result && deploy.result->status == 0) d.deploy = deploy.wall;
  if (revert.result && revert.result->status == 0) d.revert = revert.wall;
  std::printf("calibration: deploy %s in %.1f s, revert %s in %.1f s, %zu left\n",
              deploy.result ? describe(*deploy.result).c_str() : "hung", deploy.wall,
              revert.result ? describe(*revert.result).c_str() : "hung", revert.wall, bench.leftovers().size());
  return d;
}

// ---- lost answers ------------------------------------------------------------------

struct LostTally {
  int cases = 0;
  int wrong = 0;
};

// What the tool holds more than once after a deployment: a second instance
// of an entry, an address that no instance holds, a second group of one name
// or a second key pair. Read from the leftover lines of tool_leftovers.hpp.
std::vector<std::string> duplicates(const std::vector<std::string>& held, std::size_t entries) {
  std::size_t instances = 0, addresses = 0, key_pairs = 0;
  std::vector<std::string> found, groups;
  for (const auto& item : held) {
    if (qvn::e2e::startsWith(item, "instance ")) ++instances;
    if (qvn::e2e::startsWith(item, "key pair ")) ++key_pairs;
    if (qvn::e2e::startsWith(item, "address ")) {
      ++addresses;
      if (item.ends_with(" unassociated")) found.push_back("an address no instance holds: " + item);
    }
    if (qvn::e2e::startsWith(item, "security group ")) {
      const std::string name = item.substr(item.rfind(' ') + 1);
      if (std::find(groups.begin(), groups.end(), name) != groups.end()) found.push_back("a second " + item);
      groups.push_back(name);
    }
  }
  if (instances > entries)
    found.push_back(std::to_string(instances) + " instances for " + std::to_string(entries) + " entries");
  if (addresses > instances)
    found.push_back(std::to_string(addresses) + " addresses for " + std::to_string(instances) + " instances");
  if (key_pairs > 1) found.push_back(std::to_string(key_pairs) + " key pairs");
  return found;
}

// One lost-answer case: the answer of one call of `call.operation` is
// dropped once, during a deployment or (after a whole deployment) a revert,
// both with --ec2_role default and --s3_bucket. The run must converge on
// the client's retry: a deployment exits 0 with every entry recorded and
// nothing twice, a revert exits 0 with nothing left; and a revert after the
// deployment leaves nothing (or says what it left, and a second one does).
void runLostAnswer(const qvn::chaos::HeldCall& call, int number, Bench& bench, LostTally& tally) {
  Story story;
  bench.reset();
  const bool deploying = call.phase == Phase::Deploy;
  if (!deploying) {
    const auto setup = bench.run(Phase::Deploy, true, true);
    if (!setup.result || setup.result->status != 0)
      story.flag("setup deploy: " + (setup.result ? describe(*setup.result) + " (" + lastError(*setup.result) + ")"
                                                  : std::string("hung")));
  }
  bench.sandbox().clearRequests();
  json rule = {{"service", call.service}, {"operation", call.operation}, {"drop_answer", true}, {"count", 1}};
  // The deployment's pre-flight check sends a DryRun launch first.
  if (std::string(call.service) == "ec2") rule["dry_run"] = false;
  bench.sandbox().addFaults(rule);

  const auto run = bench.run(call.phase, true, true);
  int dropped = 0;
  for (const auto& entry : bench.sandbox().requests(call.service, call.operation))
    dropped += entry.value("answer_dropped", false);
  if (dropped != 1) story.flag("the answers dropped: " + std::to_string(dropped) + ", not one");

  const char* what = deploying ? "deploy" : "revert";
  if (!run.result) {
    story.flag(std::string(what) + ": hung, killed after " + std::to_string(static_cast<int>(run.wall)) + " s");
  } else {
    const auto held = bench.leftovers();
    const std::string gap = deploying ? bench.deployGap() : "";
    char line[240];
    std::snprintf(line, sizeof line, "%s: %s, %s, %.1f s", what, describe(*run.result).c_str(),
                  deploying ? (gap.empty() ? "every entry recorded" : gap.c_str())
                            : (std::to_string(held.size()) + " left").c_str(),
                  run.wall);
    const bool done = deploying ? gap.empty() : held.empty();
    if (run.result->status == 0 && !done)
      story.flag(std::string(line) + ": exit 0 while " + (deploying ? "an entry is missing" : "something is left"));
    else if (run.result->status != 0)
      story.flag(std::string(line) + ": did not converge (" + lastError(*run.result) + ")");
    else
      story.say(line);
    if (deploying)
      for (const auto& twice : duplicates(held, bench.entries())) story.flag(twice);
    else
      for (const auto& item : held) story.say("left: " + item);
  }

  // What is left goes with a revert, or with a second one when the first
  // said that it left something.
  for (int round = 0; round < 2 && !bench.leftovers().empty(); ++round) {
    const auto revert = bench.run(Phase::Revert, true, true);
    const auto left = bench.leftovers();
    const char* which = round == 0 ? "revert" : "revert again";
    if (!revert.result) {
      story.flag(std::string(which) + ": hung");
      break;
    }
    const std::string line = std::string(which) + ": " + describe(*revert.result) + ", " +
                             std::to_string(left.size()) + " left";
    if (revert.result->status == 0 && !left.empty()) {
      story.flag(line + ": exit 0 while something is left");
      break;
    }
    if (revert.result->status != 0 && left.empty()) {
      story.flag(line + ": failed with nothing left (" + lastError(*revert.result) + ")");
      break;
    }
    story.say(line);
  }
  for (const auto& item : bench.leftovers()) story.flag("left: " + item);
  for (const auto& file : bench.temporaryFiles()) story.flag("left: " + file);
  for (const auto& broken : bench.brokenFiles()) story.flag(broken);

  ++tally.cases;
  tally.wrong += story.finding;
  if (bench.options().verbose || story.finding) {
    std::printf("lost answer %d/%zu: %s (%s) during a %s\n", number, qvn::chaos::lostAnswerCalls().size(),
                call.operation, call.service, qvn::chaos::phaseName(call.phase));
    for (const auto& l : story.lines) std::printf("%s\n", l.c_str());
    std::fflush(stdout);
  }
}

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--verbose" || name == "-v") {
      o.verbose = true;
      continue;
    }
    if (name == "--no-lost-answers" || name == "--lost-answers-only") {
      (name == "--no-lost-answers" ? o.lost_answers : o.kills) = false;
      continue;
    }
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    char* end = nullptr;
    if (name == "--trials")
      o.trials = static_cast<int>(std::strtol(value, &end, 10));
    else if (name == "--seed")
      o.seed = std::strtoull(value, &end, 10);
    else if (name == "--subnets")
      o.subnets = static_cast<int>(std::strtol(value, &end, 10));
    else if (name == "--scale")
      o.scale = std::strtod(value, &end);
    else if (name == "--latency-ms")
      o.latency_ms = std::strtod(value, &end);
    else if (name == "--hold-s")
      o.hold_s = std::strtod(value, &end);
    else if (name == "--run-limit-s")
      o.run_limit_s = std::strtod(value, &end);
    else
      return false;
    if (end == value || *end != '\0') return false;
  }
  return o.trials >= 1 && o.subnets >= 1 && o.subnets <= 60 && o.scale > 0 && o.latency_ms >= 0 && o.hold_s > 0 &&
         o.hold_s <= 3600 && o.run_limit_s > 0;
}

void summary(const Tally& t) {
  std::printf("trials with leftovers: %d\n", t.trials_with_leftovers);
  std::printf(
      "untruthful: revert_0_with_leftovers=%d revert_failed_clean=%d deploy_0_incomplete=%d "
      "recovery_deploy_failed=%d broken_files=%d\n",
      t.revert_ok_with_leftovers, t.revert_failed_clean, t.deploy_ok_incomplete, t.deploy_not_converged,
      t.broken_files);
  if (!t.unreached.empty()) {
    std::string names;
    for (const auto& n : t.unreached) names += " " + n;
    std::printf("held calls never made:%s\n", names.c_str());
  }
  std::printf("chaos trials=%d leftovers=%d untruthful=%d hung=%d\n", t.trials, t.leftovers, t.untruthful, t.hung);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: chaos [--trials N] [--seed S] [--subnets 1-60] [--scale S] [--latency-ms L] [--hold-s H] "
                 "[--run-limit-s R] [--no-lost-answers | --lost-answers-only] [--verbose]\n");
    return 2;
  }
  try {
    // The sandbox reads its time scale from the environment it starts with.
    char scale[32];
    std::snprintf(scale, sizeof scale, "%g", o.scale);
    ::setenv("QUORVANE_TIME_SCALE", scale, 1);
    std::printf("chaos seed=%llu trials=%d subnets=%d scale=%g latency_ms=%g hold_s=%g\n", o.seed, o.trials, o.subnets,
                o.scale, o.latency_ms, o.hold_s);
    std::fflush(stdout);
    qvn::e2e::ScratchFolder scratch("chaos");
    qvn::e2e::SandboxProcess sandbox("spoke.json", scratch.path());
    Bench bench(o, sandbox, scratch.path() / "run");
    const auto started = Steady::now();
    Tally tally;
    if (o.kills) {
      const Durations usual = calibrate(bench);
      std::mt19937_64 rng(o.seed);
      for (const Trial& t : qvn::chaos::plan(o.trials, rng)) runTrial(t, usual, bench, tally);
      summary(tally);
    }
    LostTally lost;
    if (o.lost_answers) {
      const auto from = Steady::now();
      bench.standardRetries(true);
      int number = 0;
      for (const auto& call : qvn::chaos::lostAnswerCalls()) runLostAnswer(call, ++number, bench, lost);
      std::printf("lost answers: %.0f s\n", since(from));
      std::printf("lost-answers cases=%d wrong=%d\n", lost.cases, lost.wrong);
    }
    std::printf("chaos wall time: %.0f s\n", since(started));
    return tally.leftovers || tally.untruthful || tally.hung || lost.wrong ? 1 : 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "chaos: %s\n", e.what());
    return 1;
  }
}
