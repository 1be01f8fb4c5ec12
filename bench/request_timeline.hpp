#pragma once
// Where a run's time went, read from the sandbox's request log: every AWS
// call with the wall time it arrived at. The sandbox models time scaled by
// the time scale S, so a real span of t seconds is t / S modelled seconds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "e2e/cli_run.hpp"

namespace qvn::bench {

// Seconds since the epoch of "YYYY-MM-DDTHH:MM:SS.mmmZ"; -1 when unreadable.
inline double logTime(const std::string& text) {
  std::tm tm{};
  int ms = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                  &tm.tm_min, &tm.tm_sec, &ms) != 7)
    return -1;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  return static_cast<double>(timegm(&tm)) + ms / 1000.0;
}

inline double wallNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

struct Call {
  double at = 0;  // epoch seconds
  std::string operation;
  std::string instance;  // InstanceId.1, when the call names one instance
  bool refused = false;
  bool throttled = false;
};

inline std::vector<Call> calls(const std::vector<nlohmann::json>& log) {
  std::vector<Call> out;
  for (const auto& entry : log) {
    Call c;
    c.at = logTime(entry.value("time", ""));
    c.operation = entry.value("operation", "");
    c.instance = entry.value("parameters", nlohmann::json::object()).value("InstanceId.1", "");
    const std::string code = entry.value("error_code", "");
    c.refused = !code.empty();
    c.throttled = code == "RequestLimitExceeded";
    out.push_back(c);
  }
  std::stable_sort(out.begin(), out.end(), [](const Call& a, const Call& b) { return a.at < b.at; });
  return out;
}

// Median and maximum of a list (0 when empty).
struct Spread {
  double median = 0, max = 0;
};
inline Spread spread(std::vector<double> v) {
  if (v.empty()) return {};
  std::sort(v.begin(), v.end());
  return {v[v.size() / 2], v.back()};
}

// Per instance: the span between the first and the last call naming it
// with `operation` (a waiter's polls), and how many such calls there were.
struct Polls {
  std::map<std::string, double> first, last;
  std::map<std::string, int> count;
  void add(const Call& c) {
    if (c.instance.empty()) return;
    if (!first.count(c.instance)) first[c.instance] = c.at;
    last[c.instance] = c.at;
    ++count[c.instance];
  }
  Spread spans(double scale) const {
    std::vector<double> v;
    for (const auto& [id, at] : first) v.push_back((last.at(id) - at) / scale);
    return spread(v);
  }
  double callsPerInstance() const {
    int total = 0;
    for (const auto& [id, n] : count) total += n;
    return count.empty() ? 0 : static_cast<double>(total) / count.size();
  }
};

// The real seconds between a call and the next call of the run: for a call
// whose answer everything else waits for (CreateKeyPair), its own duration
// plus the client's turn-around.
inline double gapAfter(const std::vector<Call>& log, const std::string& operation) {
  for (std::size_t i = 0; i + 1 < log.size(); ++i)
    if (log[i].operation == operation) return log[i + 1].at - log[i].at;
  return 0;
}

// The calls of the longest chain in which each call arrived at least one
// call latency after the one before it: the calls a run waited for one
// after another (its critical path), each paying the latency in full.
inline int chainedCalls(const std::vector<Call>& log, double latency_s) {
  std::vector<int> chain(log.size(), 1);
  int longest = 0;
  for (std::size_t i = 0; i < log.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j)
      if (log[j].at + latency_s - 0.002 <= log[i].at) chain[i] = std::max(chain[i], chain[j] + 1);
    longest = std::max(longest, chain[i]);
  }
  return longest;
}

// A program's start and end without any request: the best of three
// `--version` runs, in seconds.
inline double startSeconds(const std::string& program) {
  double best = 1e9;
  for (int i = 0; i < 3; ++i) {
    const auto start = std::chrono::steady_clock::now();
    qvn::e2e::runProgram(program, {"--version"}, std::filesystem::temp_directory_path());
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

// What users feel against AWS: a run with every call answered after a
// fixed latency, beside the least it can take (its bound: the calls on its
// critical path, and the modelled waits, plus the program's start).
inline void printLatency(const char* name, int calls, double wall_s, double bound_s) {
  std::printf("latency name=%s calls=%d wall_s=%.3f bound_s=%.3f ratio=%.2f\n", name, calls, wall_s, bound_s,
              wall_s / bound_s);
}

inline double firstOf(const std::vector<Call>& log, const std::string& operation, bool accepted_only = false) {
  for (const Call& c : log)
    if (c.operation == operation && !(accepted_only && c.refused)) return c.at;
  return -1;
}
inline double lastOf(const std::vector<Call>& log, const std::string& operation, bool accepted_only = false) {
  double at = -1;
  for (const Call& c : log)
    if (c.operation == operation && !(accepted_only && c.refused)) at = c.at;
  return at;
}

// A deployment: the shared resources (from the program's start to the first
// launch), the launches (first to last accepted RunInstances), the status
// waits (per instance, the waiter's first to the last DescribeInstanceStatus),
// the addresses (per instance, from its last status call to its last
// DescribeInstances), the output (last call to the program's end).
inline void printDeployPhases(const std::vector<Call>& log, double start, double end, double scale) {
  Polls status, describes;
  int throttled = 0;
  for (const Call& c : log) {
    if (c.operation == "DescribeInstanceStatus") status.add(c);
    if (c.operation == "DescribeInstances") describes.add(c);
    throttled += c.throttled;
  }
  std::vector<double> addresses;
  for (const auto& [id, at] : status.last)
    if (describes.last.count(id)) addresses.push_back((describes.last.at(id) - at) / scale);
  const double first_launch = firstOf(log, "RunInstances"), last_launch = lastOf(log, "RunInstances", true);
  const Spread waits = status.spans(scale), addr = spread(addresses);
  std::printf(
      "  phases (modelled s): shared resources %.1f (CreateKeyPair %.2f real s), launches %.1f, "
      "status waits median %.1f max %.1f (%.1f DescribeInstanceStatus per instance), "
      "addresses median %.1f max %.1f, output %.1f; %d calls throttled\n",
      (first_launch - start) / scale, gapAfter(log, "CreateKeyPair"), (last_launch - first_launch) / scale,
      waits.median, waits.max, status.callsPerInstance(), addr.median, addr.max,
      (end - (log.empty() ? end : log.back().at)) / scale, throttled);
}

// A teardown: the lookups (from the start to the first termination), the
// terminations (first to last), the waits (per instance, its termination
// to the waiter's last DescribeInstances), the addresses (last wait to the
// last ReleaseAddress), the shared resources (to the last call) and the end.
inline void printRevertPhases(const std::vector<Call>& log, double start, double end, double scale) {
  std::map<std::string, double> terminated;
  Polls polls;
  for (const Call& c : log) {
    if (c.operation == "TerminateInstances" && !c.refused && !c.instance.empty()) terminated.emplace(c.instance, c.at);
    if (c.operation == "DescribeInstances" && terminated.count(c.instance)) polls.add(c);
  }
  std::vector<double> waits;
  double last_wait = -1;
  for (const auto& [id, at] : terminated) {
    if (!polls.last.count(id)) continue;
    waits.push_back((polls.last.at(id) - at) / scale);
    last_wait = std::max(last_wait, polls.last.at(id));
  }
  const double first_term = firstOf(log, "TerminateInstances"), last_term = lastOf(log, "TerminateInstances");
  const double last_release = std::max(lastOf(log, "ReleaseAddress"), last_wait);
  const double last_call = log.empty() ? end : log.back().at;
  const Spread w = spread(waits);
  std::printf(
      "  phases (modelled s): lookups %.1f, terminations %.1f, waits median %.1f max %.1f "
      "(%.1f polls per instance), addresses %.1f, shared resources %.1f, end %.1f\n",
      (first_term - start) / scale, (last_term - first_term) / scale, w.median, w.max, polls.callsPerInstance(),
      (last_release - last_wait) / scale, (last_call - last_release) / scale, (end - last_call) / scale);
}

}  // namespace qvn::bench
