// The per-call latency of the sandbox itself: one small signed call (STS
// GetCallerIdentity) sent over and over through the toolkit's own client
// to a sandbox process, timed one by one.
//
//   bench_sandbox_latency [--calls N]
//
// The client keeps its connection, so the figures are what every call of a
// run pays on top of the work the sandbox models. The last line is
//   sandbox_latency calls=N median_ms=M p99_ms=P max_ms=X connections=C
// where C is the number of connections the sandbox accepted for the N calls
// (1 when it keeps the connection alive, as it should).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "aws/session.hpp"
#include "aws/sts.hpp"
#include "e2e/cli_run.hpp"
#include "e2e/sandbox_process.hpp"

namespace {

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(at, values.size() - 1)];
}

// The local ports of this process's TCP connections to `port` on loopback,
// from /proc/net/tcp (hexadecimal "0100007F:PORT" pairs).
std::set<std::string> connectionsTo(int port) {
  char remote[32];
  std::snprintf(remote, sizeof remote, "0100007F:%04X", port);
  std::set<std::string> locals;
  std::ifstream in("/proc/net/tcp");
  for (std::string line; std::getline(in, line);) {
    if (line.find(remote) == std::string::npos) continue;
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos || line.size() < colon + 16) continue;
    const std::string local = line.substr(colon + 2, 13);
    const std::string peer = line.substr(colon + 16, 13);
    if (peer == remote) locals.insert(local);
  }
  return locals;
}

void exportEnvironment(const qvn::e2e::Environment& env) {
  for (const auto& [name, value] : env) {
    if (value.empty())
      ::unsetenv(name.c_str());
    else
      ::setenv(name.c_str(), value.c_str(), 1);
  }
  ::setenv("AWS_REGION", "us-east-1", 1);
}

int portOf(const std::string& url) { return std::atoi(url.substr(url.rfind(':') + 1).c_str()); }

}  // namespace

int main(int argc, char** argv) {
  int calls = 1000;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::string(argv[i]) == "--calls")
      calls = std::max(10, std::atoi(argv[i + 1]));
    else {
      std::fprintf(stderr, "usage: bench_sandbox_latency [--calls N]\n");
      return 2;
    }
  }
  try {
    qvn::e2e::ScratchFolder scratch("bench_sandbox_latency");
    qvn::e2e::SandboxProcess sandbox("spoke.json", scratch.path());
    exportEnvironment(sandbox.environment());
    const int port = portOf(sandbox.get("AWS_ENDPOINT_URL"));

    qvn::aws::StsClient sts(qvn::aws::Session::create());
    sts.get_caller_identity();  // credentials resolved, connection open
    std::set<std::string> seen = connectionsTo(port);
    std::vector<double> ms;
    ms.reserve(static_cast<std::size_t>(calls));
    for (int i = 0; i < calls; ++i) {
      const auto start = std::chrono::steady_clock::now();
      sts.get_caller_identity();
      ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
      for (const auto& local : connectionsTo(port)) seen.insert(local);  // outside the timed call
    }
    for (const auto& local : connectionsTo(port)) seen.insert(local);
    const double median = percentile(ms, 0.5), p99 = percentile(ms, 0.99);
    std::printf("%d signed GetCallerIdentity calls on one client: median %.3f ms, p99 %.3f ms, max %.3f ms\n", calls,
                median, p99, *std::max_element(ms.begin(), ms.end()));
    std::printf("sandbox_latency calls=%d median_ms=%.3f p99_ms=%.3f max_ms=%.3f connections=%zu\n", calls, median, p99,
                *std::max_element(ms.begin(), ms.end()), seen.size());
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_sandbox_latency: %s\n", e.what());
    return 1;
  }
}
