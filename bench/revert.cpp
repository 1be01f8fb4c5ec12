// Deploys, then reverts, N test subnets (default 64) with probe_deploy
// against a sandbox process whose EC2 has its rate limits on and answers
// every call after a fixed latency; then the same again with 5 % of the EC2
// calls failing with a 5xx. For each phase it prints the wall time, the lower
// bound that the modelled limits and timings allow, their ratio, and after
// the revert the number of the tool's resources left in the sandbox. Last,
// both once more with every call answered after 20 ms, as against AWS.
//
//   bench_revert [--subnets N] [--scale S] [--latency-ms L]
//
// S is the time scale of the sandbox and the programs (sandbox seconds per
// real second is 1 / S); L is in sandbox milliseconds. The last lines are
//   revert subnets=N wall_s=W bound_s=B ratio=R leftovers=L
// for the run without and then with the faults, then
//   latency name=deploy|revert calls=C wall_s=W bound_s=B ratio=R
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "e2e/cli_run.hpp"
#include "e2e/sandbox_process.hpp"
#include "e2e/tool_leftovers.hpp"
#include "request_timeline.hpp"

namespace {

using nlohmann::json;
using qvn::e2e::Environment;
using qvn::e2e::ProcessResult;

// The sandbox's defaults (scenario timings and EC2 token buckets), in sandbox seconds.
constexpr double kPending = 10, kStatusInitializing = 30, kShuttingDown = 15, kWaiterDelay = 15;
constexpr double kRunBurst = 5, kRunRefill = 2, kMutatingBurst = 200, kMutatingRefill = 5;
constexpr double kDescribeBurst = 100, kDescribeRefill = 20;

struct Options {
  int subnets = 64;
  double scale = 0.05;
  double latency_ms = 50;
};

const std::string kVpc = "vpc-0bec0000000000001";

std::string hex(int i) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04x", i);
  return buf;
}
std::string gatewaySubnet(int i) { return "subnet-0bec00000000a" + hex(i); }
std::string privateSubnet(int i) { return "subnet-0bec00000000b" + hex(i); }

json scenario(const Options& o, double fault_probability) {
  json s = qvn::e2e::readScenario("spoke.json");
  s["ec2"]["vpcs"].push_back({{"id", kVpc}, {"cidr", "10.60.0.0/16"}});
  for (int i = 0; i < o.subnets; ++i) {
    const std::string az = i % 2 ? "us-east-1b" : "us-east-1a";
    s["ec2"]["subnets"].push_back(
        {{"id", gatewaySubnet(i)}, {"vpc", kVpc}, {"az", az}, {"cidr", "10.60." + std::to_string(2 * i) + ".0/24"}});
    s["ec2"]["subnets"].push_back({{"id", privateSubnet(i)},
                                   {"vpc", kVpc},
                                   {"az", az},
                                   {"cidr", "10.60." + std::to_string(2 * i + 1) + ".0/24"}});
  }
  s["rate_limits"] = {{"enabled", true}};
  json faults = json::array({{{"service", "ec2"}, {"latency_ms", o.latency_ms}}});
  if (fault_probability > 0)
    faults.push_back({{"service", "ec2"},
                      {"probability", fault_probability},
                      {"error", {{"code", "InternalError"}, {"status", 500}}}});
  s["faults"] = faults;
  return s;
}

void writeConfig(const Options& o, const std::filesystem::path& path) {
  json doc = json::array();
  for (int i = 0; i < o.subnets; ++i)
    doc.push_back({{"nat_gw_id", "spoke1"},
                   {"gw_subnet_id", gatewaySubnet(i)},
                   {"gw_private_ip", "10.60." + std::to_string(2 * i) + ".10"},
                   {"private_subnet_id", privateSubnet(i)},
                   {"private_subnet_cidr", "10.60." + std::to_string(2 * i + 1) + ".0/24"}});
  std::ofstream(path) << doc.dump(2) << "\n";
}

// Lower bounds in sandbox seconds. A phase cannot end before its longest
// chain of calls that depend on each other (each call costs the latency,
// each life-cycle wait its modelled time), nor before the token buckets
// have admitted every call of the phase.
constexpr int kDeployChainCalls = 8 + 2 + 5;
constexpr int kRevertChainCalls = 2 + (3 + 2 + 1) + 7;

double bucketBound(double calls, double burst, double refill) { return std::max(0.0, calls - burst) / refill; }

double deployBound(const Options& o) {
  const double n = o.subnets, l = o.latency_ms / 1000.0;
  // The SDK's status waiter polls every kWaiterDelay seconds from the launch
  // on: it first sees "ok" at the first poll past pending + initialising.
  const double seen_ready = std::ceil((kPending + kStatusInitializing) / kWaiterDelay) * kWaiterDelay;
  // Before the launches: subnet checks, image, group (lookup, create, rule),
  // key pair (lookup, create); per instance: lookup, launch, status wait,
  // status, describe, allocate, associate, describe. The sandbox's real key
  // generation is left out.
  const double chain = kDeployChainCalls * l + seen_ready;
  // The last launch waits for RunInstances' bucket, then its own life cycle.
  const double launches = bucketBound(n, kRunBurst, kRunRefill) + seen_ready + 6 * l;
  const double describes = bucketBound(6 * n + 5, kDescribeBurst, kDescribeRefill);
  const double mutating = bucketBound(2 * n + 3, kMutatingBurst, kMutatingRefill);
  return std::max({chain, launches, describes, mutating});
}

double revertBound(const Options& o) {
  const double n = o.subnets, l = o.latency_ms / 1000.0;
  // Subnet checks; per instance: lookup, address lookup, terminate, the wait
  // until it has shut down (the terminated waiter's first poll past the
  // shutting-down time; the termination's answer stands for its immediate
  // first look), release; then the listing, two groups (lookup, delete) and
  // the key pair (lookup, delete).
  const double seen_terminated = std::max(1.0, std::ceil(kShuttingDown / kWaiterDelay)) * kWaiterDelay;
  const double chain = kRevertChainCalls * l + seen_terminated;
  // The last termination waits until the Describe bucket has admitted every
  // instance's lookup and address lookup (and the subnet checks); its
  // instance then shuts down like the others.
  const double last_termination = bucketBound(2 * n + 2, kDescribeBurst, kDescribeRefill) + l;
  const double terminations = last_termination + seen_terminated + 2 * l + l + 7 * l;
  // Lookups, address lookups and at least one waiter poll per instance.
  const double describes = bucketBound(3 * n + 6, kDescribeBurst, kDescribeRefill);
  const double mutating = bucketBound(2 * n + 3, kMutatingBurst, kMutatingRefill);
  return std::max({chain, terminations, describes, mutating});
}

struct Phase {
  double wall = 0;
  double started = 0, ended = 0;  // epoch seconds
  ProcessResult result;
};

Phase run(const std::vector<std::string>& args, const std::filesystem::path& cwd, const Environment& env) {
  const auto start = std::chrono::steady_clock::now();
  Phase p;
  p.started = qvn::bench::wallNow();
  p.result = qvn::e2e::runProgram(qvn::e2e::programPath("probe_deploy"), args, cwd, env);
  p.ended = qvn::bench::wallNow();
  p.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return p;
}

void report(const char* name, const Phase& p, double bound_s) {
  std::printf("  %-7s exit=%d wall_s=%.2f bound_s=%.2f ratio=%.2f\n", name, p.result.status, p.wall, bound_s,
              p.wall / bound_s);
  if (p.result.status != 0) {
    // The last lines of standard error say why.
    const std::string& err = p.result.err;
    std::size_t from = err.size();
    for (int lines = 0; lines < 6 && from > 0; ++lines) from = err.rfind('\n', from - 1);
    std::printf("%s\n", err.substr(from == std::string::npos ? 0 : from).c_str());
  }
}

int cycle(const Options& o, double fault_probability, qvn::e2e::SandboxProcess& sandbox,
          const std::filesystem::path& cwd) {
  sandbox.load(scenario(o, fault_probability));
  writeConfig(o, cwd / "bench.config");
  Environment env = sandbox.environment();
  char scale[32];
  std::snprintf(scale, sizeof scale, "%g", o.scale);
  env.emplace_back("QUORVANE_TIME_SCALE", scale);
  const std::vector<std::string> common{"--test_config", "bench.config",    "--region",
                                        "us-east-1",     "--backup_folder", "backups"};

  std::printf("%d subnets, EC2 rate limits on, latency %.0f ms, %.0f %% of EC2 calls failing with 500, time scale %g\n",
              o.subnets, o.latency_ms, fault_probability * 100, o.scale);
  std::vector<std::string> deploy_args = common;
  deploy_args.insert(deploy_args.end(), {"--output_test_config", "bench.out"});
  const Phase deploy = run(deploy_args, cwd, env);
  const double deploy_bound = deployBound(o) * o.scale;
  report("deploy", deploy, deploy_bound);
  qvn::bench::printDeployPhases(qvn::bench::calls(sandbox.requests()), deploy.started, deploy.ended, o.scale);
  const json deployed = sandbox.state();
  int instances = 0;
  for (const auto& [where, region] : deployed.at("services").at("ec2").items())
    for (const auto& in : region.value("instances", json::array()))
      instances += in.value("tags", json::object()).value("Name", "") == "quorvane-test-ec2" &&
                   in.value("state", "") == "running";
  std::printf("  deployed: %d running instances, %zu resources of the tool\n", instances,
              qvn::e2e::toolLeftovers(deployed).size());

  // The revert comes long after the deployment in real use: EC2's token
  // buckets start full, as the bound assumes.
  sandbox.setRateLimits({{"enabled", true}});
  sandbox.clearRequests();
  std::vector<std::string> revert_args = common;
  revert_args.push_back("--revert");
  const Phase revert = run(revert_args, cwd, env);
  const double revert_bound = revertBound(o) * o.scale;
  report("revert", revert, revert_bound);
  qvn::bench::printRevertPhases(qvn::bench::calls(sandbox.requests()), revert.started, revert.ended, o.scale);
  int calls = 0, throttled = 0, failed = 0;
  for (const json& r : sandbox.requests("ec2")) {
    ++calls;
    throttled += r.value("error_code", "") == "RequestLimitExceeded";
    failed += r.value("error_code", "") == "InternalError";
  }
  std::printf("  revert: %d EC2 calls, %d throttled, %d injected 500s\n", calls, throttled, failed);
  const std::vector<std::string> left = qvn::e2e::toolLeftovers(sandbox.state());
  for (const auto& item : left) std::printf("  left: %s\n", item.c_str());
  std::printf("revert subnets=%d wall_s=%.2f bound_s=%.2f ratio=%.2f leftovers=%zu\n", o.subnets, revert.wall,
              revert_bound, revert.wall / revert_bound, left.size());
  return left.empty() && revert.result.status == 0 ? 0 : 1;
}

// The deployment and its revert with every call answered after 20 ms (real
// time, whatever the time scale), as against AWS; one latency line each,
// bound by the model's bounds at that latency (the chain of calls each
// waits for, the life-cycle waits, the token buckets) plus the program's
// start.
int latencyCycle(const Options& given, qvn::e2e::SandboxProcess& sandbox, const std::filesystem::path& cwd) {
  constexpr double kLatencyS = 0.020;
  Options o = given;
  o.latency_ms = kLatencyS * 1000 / o.scale;  // sandbox milliseconds
  sandbox.load(scenario(o, 0));
  writeConfig(o, cwd / "bench.config");
  Environment env = sandbox.environment();
  char scale[32];
  std::snprintf(scale, sizeof scale, "%g", o.scale);
  env.emplace_back("QUORVANE_TIME_SCALE", scale);
  const double start = qvn::bench::startSeconds(qvn::e2e::programPath("probe_deploy"));
  const std::vector<std::string> common{"--test_config", "bench.config",    "--region",
                                        "us-east-1",     "--backup_folder", "backups"};
  std::vector<std::string> deploy_args = common;
  deploy_args.insert(deploy_args.end(), {"--output_test_config", "bench.out"});
  const Phase deploy = run(deploy_args, cwd, env);
  qvn::bench::printLatency("deploy", kDeployChainCalls, deploy.wall, deployBound(o) * o.scale + start);

  sandbox.setRateLimits({{"enabled", true}});
  sandbox.clearRequests();
  std::vector<std::string> revert_args = common;
  revert_args.push_back("--revert");
  const Phase revert = run(revert_args, cwd, env);
  qvn::bench::printLatency("revert", kRevertChainCalls, revert.wall, revertBound(o) * o.scale + start);
  const bool clean = qvn::e2e::toolLeftovers(sandbox.state()).empty();
  return deploy.result.status == 0 && revert.result.status == 0 && clean ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--subnets")
      o.subnets = std::atoi(argv[i + 1]);
    else if (name == "--scale")
      o.scale = std::atof(argv[i + 1]);
    else if (name == "--latency-ms")
      o.latency_ms = std::atof(argv[i + 1]);
    else {
      std::fprintf(stderr, "usage: bench_revert [--subnets N] [--scale S] [--latency-ms L]\n");
      return 2;
    }
  }
  if (o.subnets < 1 || o.subnets > 120 || o.scale <= 0 || o.latency_ms < 0) {
    std::fprintf(stderr, "bench_revert: 1 <= N <= 120, S > 0, L >= 0\n");
    return 2;
  }
  try {
    // The sandbox reads its time scale from the environment it starts with.
    char scale[32];
    std::snprintf(scale, sizeof scale, "%g", o.scale);
    ::setenv("QUORVANE_TIME_SCALE", scale, 1);
    qvn::e2e::ScratchFolder scratch("bench_revert");
    qvn::e2e::SandboxProcess sandbox("spoke.json", scratch.path());
    const std::filesystem::path cwd = scratch.path() / "run";
    std::filesystem::create_directories(cwd);
    int failed = cycle(o, 0.0, sandbox, cwd);
    failed += cycle(o, 0.05, sandbox, cwd);
    failed += latencyCycle(o, sandbox, cwd);
    return failed ? 1 : 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_revert: %s\n", e.what());
    return 1;
  }
}
