// The toolkit's programs beside what users would write otherwise: the boto3
// scripts of bench/peers/ making the same calls, run against the same
// sandbox, alternated in one invocation (ours, the script, ours, ...).
//
//   bench_peers [--rounds R] [--subnets N] [--scale S]
//
// natgw: `subnet_survey natgw` against natgw_survey.py (R rounds each; the
// two written files must be the same bytes). deploy: a deployment of N
// subnets with EC2's rate limits against deploy.py in adaptive retry mode
// (12 attempts, as the program's launches) and in boto3's default mode.
// One line per comparison:
//   peer name=NAME ours_s=O peer_s=P ratio=P/O [launched=...]
// and for the survey once more with every call answered after 20 ms:
//   latency name=natgw calls=C wall_s=W bound_s=B ratio=R
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "e2e/cli_run.hpp"
#include "e2e/deploy_scenario.hpp"
#include "e2e/sandbox_process.hpp"
#include "request_timeline.hpp"

namespace {

using nlohmann::json;
using qvn::e2e::Environment;
namespace fs = std::filesystem;

const std::string kPython = "/usr/bin/python3";
const std::string kNatVpc = "vpc-0c5b0c0d0e0f00001";
const std::string kSurveyRole = "arn:aws:iam::123456789012:role/quorvane-deploy-role";

struct Options {
  int rounds = 5;
  int subnets = 64;
  double scale = 0.05;
};

std::string peerScript(const std::string& name) { return std::string(QVN_SOURCE_DIR) + "/bench/peers/" + name; }

struct Timed {
  double seconds = 0;
  qvn::e2e::ProcessResult result;
};

Timed timed(const std::string& program, const std::vector<std::string>& args, const fs::path& cwd,
            const Environment& env) {
  const auto start = std::chrono::steady_clock::now();
  Timed t;
  t.result = qvn::e2e::runProgram(program, args, cwd, env);
  t.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return t;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// The sandbox's client environment for both sides alike: the SDKs' own retry
// settings, not the test harness's single attempt.
Environment clientEnvironment(const qvn::e2e::SandboxProcess& sandbox, double scale) {
  Environment env = sandbox.environment();
  env.emplace_back("AWS_MAX_ATTEMPTS", "");
  env.emplace_back("AWS_REGION", "us-east-1");
  char text[32];
  std::snprintf(text, sizeof text, "%g", scale);
  env.emplace_back("QUORVANE_TIME_SCALE", text);
  return env;
}

bool peerAvailable() {
  const auto r = qvn::e2e::runProgram(kPython, {"-c", "import boto3"}, fs::temp_directory_path());
  if (r.status != 0) std::printf("peer skipped: %s cannot import boto3 (python3-boto3)\n", kPython.c_str());
  return r.status == 0;
}

// Fails (false) when a side did not do its work, so no figure is printed for it.
bool reportFailure(const char* who, const qvn::e2e::ProcessResult& r) {
  if (r.status == 0) return false;
  std::printf("  %s exit status %d: %s\n", who, r.status, r.err.substr(0, 400).c_str());
  return true;
}

// The survey again with every call answered after kLatencyS (the sandbox
// runs at time scale 1 here), the median of R runs.
constexpr double kLatencyS = 0.020;

int natgwWithLatency(const Options& o, qvn::e2e::SandboxProcess& sandbox, const Environment& env, const fs::path& cwd,
                     std::vector<std::string> args) {
  sandbox.addFaults({{"latency_ms", kLatencyS * 1000}});
  args.insert(args.end(), {"latency.json", "natgw"});
  std::vector<double> walls;
  int calls = 0;
  for (int round = 0; round < o.rounds; ++round) {
    sandbox.clearRequests();
    fs::remove(cwd / "latency.json");
    const Timed run = timed(qvn::e2e::programPath("subnet_survey"), args, cwd, env);
    if (reportFailure("subnet_survey with latency", run.result)) return 1;
    walls.push_back(run.seconds);
    calls = std::max(calls, qvn::bench::chainedCalls(qvn::bench::calls(sandbox.requests()), kLatencyS));
  }
  const double bound = calls * kLatencyS + qvn::bench::startSeconds(qvn::e2e::programPath("subnet_survey"));
  qvn::bench::printLatency("natgw", calls, median(walls), bound);
  return 0;
}

int natgw(const Options& o, const fs::path& folder) {
  qvn::e2e::SandboxProcess sandbox("natgw.json", folder);
  const Environment env = clientEnvironment(sandbox, 1);
  const fs::path cwd = folder / "natgw";
  fs::create_directories(cwd);
  const std::vector<std::string> common{
      "--vpc", kNatVpc, "--region", "us-east-1", "--assume_role", kSurveyRole, "--output_test_config"};
  std::vector<double> ours, peer;
  bool same = true;
  for (int round = 0; round < o.rounds; ++round) {
    fs::remove(cwd / "ours.json");
    fs::remove(cwd / "peer.json");
    std::vector<std::string> ours_args = common;
    ours_args.insert(ours_args.end(), {"ours.json", "natgw"});
    const Timed a = timed(qvn::e2e::programPath("subnet_survey"), ours_args, cwd, env);
    std::vector<std::string> peer_args{peerScript("natgw_survey.py")};
    peer_args.insert(peer_args.end(), common.begin(), common.end());
    peer_args.push_back("peer.json");
    const Timed b = timed(kPython, peer_args, cwd, env);
    if (reportFailure("subnet_survey", a.result) || reportFailure("natgw_survey.py", b.result)) return 1;
    same = same && qvn::e2e::slurp(cwd / "ours.json") == qvn::e2e::slurp(cwd / "peer.json");
    ours.push_back(a.seconds);
    peer.push_back(b.seconds);
  }
  const double o_s = median(ours), p_s = median(peer);
  std::printf("  natgw survey, median of %d runs each, alternated; written files %s\n", o.rounds,
              same ? "identical" : "DIFFER");
  std::printf("peer name=natgw ours_s=%.3f peer_s=%.3f ratio=%.1f\n", o_s, p_s, p_s / o_s);
  return same && natgwWithLatency(o, sandbox, env, cwd, common) == 0 ? 0 : 1;
}

struct Deployment {
  Timed run;
  int launched = 0;  // entries recorded with both addresses
};

Deployment deployOnce(qvn::e2e::SandboxProcess& sandbox, const json& scenario, const Options& o, const fs::path& cwd,
                      const Environment& env, const std::string& program, std::vector<std::string> args) {
  sandbox.load(scenario);
  fs::remove_all(cwd);
  fs::create_directories(cwd);
  std::ofstream(cwd / "in.json") << qvn::e2e::spokeTestConfig(o.subnets).dump(2) << "\n";
  args.insert(args.end(), {"--test_config", "in.json", "--output_test_config", "out.json", "--region", "us-east-1"});
  Deployment d;
  d.run = timed(program, args, cwd, env);
  for (const auto& entry : json::parse(qvn::e2e::slurp(cwd / "out.json"), nullptr, false))
    d.launched += entry.is_object() && entry.contains("ec2_2nd_private_ip") ? 1 : 0;
  return d;
}

int deploy(const Options& o, const fs::path& folder) {
  qvn::e2e::SandboxProcess sandbox("spoke.json", folder);
  json scenario = qvn::e2e::readScenario("spoke.json");
  qvn::e2e::addTestSubnets(scenario, o.subnets);
  qvn::e2e::enableRateLimits(scenario);
  const Environment env = clientEnvironment(sandbox, o.scale);
  const fs::path cwd = folder / "deploy";
  const std::string script = peerScript("deploy.py");
  const int rounds = std::max(1, o.rounds / 2);
  std::vector<double> ours, adaptive, plain;
  int ours_min = o.subnets, adaptive_min = o.subnets, plain_min = o.subnets, plain_max = 0;
  for (int round = 0; round < rounds; ++round) {
    const Deployment a = deployOnce(sandbox, scenario, o, cwd, env, qvn::e2e::programPath("probe_deploy"), {});
    const Deployment b = deployOnce(sandbox, scenario, o, cwd, env, kPython,
                                    {script, "--retry_mode", "adaptive", "--max_attempts", "12"});
    const Deployment c = deployOnce(sandbox, scenario, o, cwd, env, kPython, {script});
    ours.push_back(a.run.seconds);
    adaptive.push_back(b.run.seconds);
    plain.push_back(c.run.seconds);
    ours_min = std::min(ours_min, a.launched);
    adaptive_min = std::min(adaptive_min, b.launched);
    plain_min = std::min(plain_min, c.launched);
    plain_max = std::max(plain_max, c.launched);
  }
  std::printf("  deployment of %d subnets, EC2 rate limits on, time scale %g, median of %d runs each, alternated\n",
              o.subnets, o.scale, rounds);
  std::printf("peer name=deploy-adaptive ours_s=%.2f peer_s=%.2f ratio=%.2f launched_ours=%d launched_peer=%d\n",
              median(ours), median(adaptive), median(adaptive) / median(ours), ours_min, adaptive_min);
  std::printf("peer name=deploy-default ours_s=%.2f peer_s=%.2f ratio=%.2f launched_ours=%d launched_peer=%d-%d\n",
              median(ours), median(plain), median(plain) / median(ours), ours_min, plain_min, plain_max);
  return ours_min == o.subnets ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--rounds")
      o.rounds = std::max(1, std::atoi(argv[i + 1]));
    else if (name == "--subnets")
      o.subnets = std::clamp(std::atoi(argv[i + 1]), 1, 120);
    else if (name == "--scale")
      o.scale = std::max(0.001, std::atof(argv[i + 1]));
    else {
      std::fprintf(stderr, "usage: bench_peers [--rounds R] [--subnets N] [--scale S]\n");
      return 2;
    }
  }
  try {
    if (!peerAvailable()) return 0;
    qvn::e2e::ScratchFolder scratch("bench_peers");
    // The sandbox reads its time scale from the environment it starts with.
    ::setenv("QUORVANE_TIME_SCALE", "1", 1);
    int failed = natgw(o, scratch.path() / "natgw");
    char scale[32];
    std::snprintf(scale, sizeof scale, "%g", o.scale);
    ::setenv("QUORVANE_TIME_SCALE", scale, 1);
    failed += deploy(o, scratch.path() / "deploy");
    return failed ? 1 : 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_peers: %s\n", e.what());
    return 1;
  }
}
