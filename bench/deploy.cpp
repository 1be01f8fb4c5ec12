// Deploys N test subnets (default 64) with probe_deploy against a sandbox
// process whose EC2 rate limits are on (RunInstances: a burst of 5, then 2
// per second), and prints the wall time, the lower bound that the modelled
// limits and instance timings allow, and their ratio.
//
//   bench_deploy [--subnets N] [--scale S]
//
// S is the time scale of the sandbox and the program (every modelled second
// lasts S real seconds). The last line is
//   deploy subnets=N wall_s=W bound_s=B ratio=R
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
#include "e2e/deploy_scenario.hpp"
#include "e2e/sandbox_process.hpp"
#include "request_timeline.hpp"

namespace {

using nlohmann::json;

// The sandbox's defaults (scenario timings and EC2 token buckets), in modelled seconds.
constexpr double kPending = 10, kStatusInitializing = 30, kWaiterDelay = 15;
constexpr double kRunBurst = 5, kRunRefill = 2, kMutatingBurst = 200, kMutatingRefill = 5;

struct Options {
  int subnets = 64;
  double scale = 0.05;
};

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--subnets")
      o.subnets = std::max(1, std::atoi(argv[i + 1]));
    else if (name == "--scale")
      o.scale = std::max(0.001, std::atof(argv[i + 1]));
    else {
      std::fprintf(stderr, "usage: bench_deploy [--subnets N] [--scale S]\n");
      std::exit(2);
    }
  }
  return o;
}

// Modelled seconds no client can beat: the last of N launches is accepted
// once the RunInstances bucket has refilled N - burst times, and the
// instance's status checks pass pending + initializing seconds later. The
// two Elastic IP calls per instance draw on the mutating bucket.
double modelBound(int n) {
  const double last_launch = std::max(0.0, (n - kRunBurst) / kRunRefill);
  const double mutating = std::max(0.0, (2.0 * n + 3 - kMutatingBurst) / kMutatingRefill);
  return std::max(last_launch + kPending + kStatusInitializing, mutating);
}

// The bound with the two costs the model leaves out but every client pays:
// the SDK's status waiter polls every 15 s from the launch on, so it first
// sees "ok" at the first multiple of 15 s past pending + initializing; and
// the sandbox's CreateKeyPair generates a real RSA key (measured, in real
// seconds) before any launch can name it.
double statedBound(int n, double scale, double key_pair_s) {
  const double ready = kPending + kStatusInitializing;
  const double seen_ready = std::ceil(ready / kWaiterDelay) * kWaiterDelay;
  const double last_launch = std::max(0.0, (n - kRunBurst) / kRunRefill);
  return std::max(modelBound(n), last_launch + seen_ready) * scale + key_pair_s;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  char scale_text[32];
  std::snprintf(scale_text, sizeof scale_text, "%g", o.scale);
  ::setenv("QUORVANE_TIME_SCALE", scale_text, 1);

  qvn::e2e::ScratchFolder scratch("bench_deploy");
  qvn::e2e::SandboxProcess sandbox("spoke.json", scratch.path());
  json scenario = qvn::e2e::readScenario("spoke.json");
  qvn::e2e::addTestSubnets(scenario, o.subnets);
  qvn::e2e::enableRateLimits(scenario);
  sandbox.load(scenario);

  const auto cwd = scratch.path() / "run";
  std::filesystem::create_directories(cwd);
  std::ofstream(cwd / "in.json") << qvn::e2e::spokeTestConfig(o.subnets).dump(2) << "\n";

  qvn::e2e::Environment env = sandbox.environment();
  env.emplace_back("QUORVANE_TIME_SCALE", scale_text);
  const double started = qvn::bench::wallNow();
  const auto start = std::chrono::steady_clock::now();
  const auto run = qvn::e2e::runProgram(
      qvn::e2e::programPath("probe_deploy"),
      {"--test_config", "in.json", "--output_test_config", "out.json", "--region", "us-east-1"}, cwd, env);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double ended = qvn::bench::wallNow();

  int recorded = 0;
  for (const auto& entry : json::parse(qvn::e2e::slurp(cwd / "out.json"), nullptr, false)) {
    recorded += entry.is_object() && entry.contains("ec2_2nd_private_ip") ? 1 : 0;
  }
  int accepted = 0, throttled = 0;
  for (const auto& request : sandbox.requests("ec2", "RunInstances")) {
    const std::string code = request.value("error_code", "");
    accepted += code.empty() ? 1 : 0;
    throttled += code == "RequestLimitExceeded" ? 1 : 0;
  }
  const auto timeline = qvn::bench::calls(sandbox.requests());
  const double key_pair_s = qvn::bench::gapAfter(timeline, "CreateKeyPair");
  const double model = modelBound(o.subnets) * o.scale;
  const double bound = statedBound(o.subnets, o.scale, key_pair_s);
  std::printf("probe_deploy exit status %d; %d of %d entries recorded; RunInstances: %d accepted, %d throttled\n",
              run.status, recorded, o.subnets, accepted, throttled);
  qvn::bench::printDeployPhases(timeline, started, ended, o.scale);
  std::printf(
      "time scale %g: wall %.2f s; EC2's limits and instance timings allow %.2f s (%.1f modelled s, "
      "ratio %.2f); with the SDK waiter's 15 s polls and the sandbox's real key generation (%.2f s) "
      "%.2f s\n",
      o.scale, wall, model, modelBound(o.subnets), wall / model, key_pair_s, bound);
  std::printf("deploy subnets=%d wall_s=%.2f bound_s=%.2f ratio=%.2f\n", o.subnets, wall, bound, wall / bound);
  return run.status == 0 && recorded == o.subnets ? 0 : 1;
}
