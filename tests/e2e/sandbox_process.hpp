#pragma once
// The sandbox as a process of its own, for end-to-end runs of the programs:
//
//   SandboxProcess sandbox("spoke.json", scratch.path());
//   auto r = runProgram(program, args, cwd, sandbox.environment());
//   sandbox.requests("sts", "AssumeRole");
//
// It serves until the object goes away (SIGTERM, then wait).
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "e2e/cli_run.hpp"
#include "http/curl_transport.hpp"

namespace qvn::e2e {

inline std::string scenarioPath(const std::string& name) {
  return std::string(QVN_SOURCE_DIR) + "/sandbox/scenarios/" + name;
}

inline nlohmann::json readScenario(const std::string& name) {
  std::ifstream in(scenarioPath(name));
  return nlohmann::json::parse(in);
}

class SandboxProcess {
 public:
  SandboxProcess(const std::string& scenario, const std::filesystem::path& folder) : folder_(folder / "sandbox") {
    std::filesystem::create_directories(folder_);
    const std::string program = std::string(QVN_BINARY_DIR) + "/sandbox/qvn-sandbox";
    const std::string scenario_file = scenarioPath(scenario);
    const std::string env_file = (folder_ / "env").string();
    const std::string work_dir = (folder_ / "work").string();
    const std::string out_file = (folder_ / "out").string();
    std::vector<std::string> args{program,      "--scenario", scenario_file, "--port", "0",
                                  "--env-file", env_file,     "--work-dir",  work_dir};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      int out = ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(out, 1);
      ::dup2(out, 2);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (slurp(out_file).find("ready") == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline || ::waitpid(pid_, nullptr, WNOHANG) != 0) {
        throw std::runtime_error("the sandbox did not start: " + slurp(out_file));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::ifstream env(env_file);
    for (std::string line; std::getline(env, line);) {
      auto eq = line.find('=');
      if (eq != std::string::npos) env_.emplace_back(line.substr(0, eq), line.substr(eq + 1));
    }
    // The sandbox's credentials files, not the isolated keys.
    env_.emplace_back("AWS_ACCESS_KEY_ID", "");
    env_.emplace_back("AWS_SECRET_ACCESS_KEY", "");
  }

  ~SandboxProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  SandboxProcess(const SandboxProcess&) = delete;
  SandboxProcess& operator=(const SandboxProcess&) = delete;

  const Environment& environment() const { return env_; }
  std::string get(const std::string& name) const {
    for (const auto& [n, v] : env_)
      if (n == name) return v;
    return "";
  }
  std::string controller() const { return get("QUORVANE_SANDBOX_CONTROLLER"); }

  // Replaces the whole state with `scenario` and clears the request log.
  void load(const nlohmann::json& scenario) { control("POST", "/_sandbox/scenario", scenario.dump()); }
  std::vector<nlohmann::json> requests(const std::string& service = "", const std::string& operation = "") {
    std::string query = "?service=" + service + "&operation=" + operation;
    auto answer = nlohmann::json::parse(control("GET", "/_sandbox/requests" + query, ""));
    return answer.at("requests").get<std::vector<nlohmann::json>>();
  }
  void clearRequests() { control("DELETE", "/_sandbox/requests", ""); }
  // Every service's state, as the control API dumps it.
  nlohmann::json state() { return nlohmann::json::parse(control("GET", "/_sandbox/state", "")); }
  // Adds fault rules (one rule or a list).
  void addFaults(const nlohmann::json& rules) { control("POST", "/_sandbox/faults", rules.dump()); }
  // The body of `bucket`/`key` (UTF-8 objects), or nothing when absent.
  std::optional<std::string> object(const std::string& bucket, const std::string& key) {
    const nlohmann::json all = state();
    for (const auto& b : all["services"]["s3"]["buckets"]) {
      if (b.value("name", "") != bucket) continue;
      for (const auto& o : b["objects"])
        if (o.value("key", "") == key) return o.value("body", std::string());
    }
    return std::nullopt;
  }
  // Holds (one rule or a list): a matching call waits, then is carried out.
  void addHolds(const nlohmann::json& rules) { control("POST", "/_sandbox/holds", rules.dump()); }
  // The hold rules, the calls held or being carried out now, and the counts of held calls.
  nlohmann::json holds() { return nlohmann::json::parse(control("GET", "/_sandbox/holds", "")); }
  // Forgets the rules and ends every hold now; the held calls are still carried out.
  void releaseHolds() { control("DELETE", "/_sandbox/holds", ""); }
  // Configures EC2's rate limits; every token bucket starts full again.
  void setRateLimits(const nlohmann::json& limits) { control("POST", "/_sandbox/rate-limits", limits.dump()); }

  // The controller's request log (method, path, action, parameter names).
  std::vector<nlohmann::json> controllerRequests() {
    http::CurlTransport https(http::TlsSettings{get("QUORVANE_CONTROLLER_CA_BUNDLE"), true});
    http::HttpRequest request;
    request.url = "https://" + controller() + "/_sandbox/requests";
    auto answer = https.send(request);
    return nlohmann::json::parse(answer.body).at("requests").get<std::vector<nlohmann::json>>();
  }

 private:
  std::string control(const std::string& method, const std::string& path, const std::string& body) {
    http::HttpRequest request;
    request.method = method;
    request.url = get("AWS_ENDPOINT_URL") + path;
    request.body = body;
    request.headers.emplace_back("Content-Type", "application/json");
    auto answer = transport_.send(request);
    if (answer.status != 200)
      throw std::runtime_error(path + ": HTTP " + std::to_string(answer.status) + " " + answer.body);
    return answer.body;
  }

  std::filesystem::path folder_;
  pid_t pid_ = -1;
  Environment env_;
  http::CurlTransport transport_;
};

}  // namespace qvn::e2e
