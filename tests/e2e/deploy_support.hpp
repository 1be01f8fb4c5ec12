#pragma once
// probe_deploy run as a process against a sandbox of its own, with every
// wait of both scaled down so that instance life cycles take a fraction of
// a second.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "e2e/cli_run.hpp"
#include "e2e/deploy_scenario.hpp"
#include "e2e/sandbox_process.hpp"

namespace qvn::e2e {

inline const char* kDeployTimeScale = "0.01";
inline const std::string kEchoAddress = "203.0.113.10";
// Requests that change something in AWS.
inline const std::set<std::string> kReadOnlyPrefixes = {"Describe", "Get", "List", "Head"};

// An EC2 request sent with DryRun=true: it changes nothing, whatever its operation.
inline bool isDryRun(const nlohmann::json& request) {
  return request.contains("parameters") && request.at("parameters").value("DryRun", "") == "true";
}

inline bool isChangingRequest(const nlohmann::json& request) {
  if (isDryRun(request)) return false;
  const std::string operation = request.value("operation", "");
  for (const auto& prefix : kReadOnlyPrefixes)
    if (operation.rfind(prefix, 0) == 0) return false;
  return operation != "AssumeRole" && operation != "GetCallerIdentity";
}

class DeployAgainstSandbox : public ::testing::Test {
 protected:
  DeployAgainstSandbox()
      : scratch_("deploy_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name())) {
    // The sandbox process inherits the scale: its life cycles shrink with ours.
    ::setenv("QUORVANE_TIME_SCALE", kDeployTimeScale, 1);
    sandbox_ = std::make_unique<SandboxProcess>("spoke.json", scratch_.path());
    std::filesystem::create_directories(cwd());
    scenario_ = readScenario("spoke.json");
  }

  // Loads the spoke scenario with `count` gateway/private subnet pairs more
  // and writes their test configuration to in.json.
  void prepare(int count, const std::function<void(nlohmann::json&)>& change = {}) {
    addTestSubnets(scenario_, count);
    if (change) change(scenario_);
    sandbox_->load(scenario_);
    config_ = spokeTestConfig(count);
    writeConfig(config_);
  }

  void writeConfig(const nlohmann::ordered_json& config) {
    std::ofstream(cwd() / "in.json") << config.dump(2) << "\n";
    config_ = config;
  }

  std::filesystem::path cwd() const { return scratch_.path() / "run"; }
  SandboxProcess& sandbox() { return *sandbox_; }
  const nlohmann::ordered_json& inputConfig() const { return config_; }

  Environment environment(const Environment& extra = {}) const {
    Environment env = sandbox_->environment();
    env.emplace_back("QUORVANE_TIME_SCALE", kDeployTimeScale);
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
  }

  // probe_deploy --test_config in.json --output_test_config out.json --region us-east-1 `tail`.
  ProcessResult deploy(const std::vector<std::string>& tail = {}, const Environment& extra = {}) {
    std::vector<std::string> args{"--test_config", "in.json",  "--output_test_config",
                                  "out.json",      "--region", "us-east-1"};
    args.insert(args.end(), tail.begin(), tail.end());
    return runProgram(programPath("probe_deploy"), args, cwd(), environment(extra));
  }

  bool wrote() const { return std::filesystem::exists(cwd() / "out.json"); }
  std::string written() const { return slurp(cwd() / "out.json"); }
  nlohmann::ordered_json output() const { return nlohmann::ordered_json::parse(written()); }
  std::string log() const { return slurp(cwd() / "backups" / "log" / "quorvane_testlibs.log"); }
  bool logged(const std::string& text) const { return log().find(text) != std::string::npos; }

  // The EC2 state of the scenario's account and region.
  nlohmann::json ec2State() {
    nlohmann::json all = sandbox_->state();
    for (auto& [key, value] : all.at("services").at("ec2").items()) {
      if (key.find("123456789012") != std::string::npos && key.find("us-east-1") != std::string::npos) return value;
    }
    throw std::runtime_error("no EC2 state of account 123456789012");
  }
  std::vector<nlohmann::json> toolInstances() {
    std::vector<nlohmann::json> found;
    const nlohmann::json state = ec2State();
    for (const auto& instance : state.at("instances"))
      if (instance.at("tags").value("Name", "") == "quorvane-test-ec2") found.push_back(instance);
    return found;
  }
  // The RunInstances requests that launch (DryRun ones left out).
  std::vector<nlohmann::json> launches() {
    std::vector<nlohmann::json> found;
    for (const auto& request : sandbox_->requests("ec2", "RunInstances"))
      if (!isDryRun(request)) found.push_back(request);
    return found;
  }
  // Starts the scenario again from the spoke scenario file, for a test that
  // loads several scenarios in turn.
  void forgetScenario() { scenario_ = readScenario("spoke.json"); }
  std::vector<nlohmann::json> changingRequests() {
    std::vector<nlohmann::json> found;
    for (const auto& request : sandbox_->requests())
      if (isChangingRequest(request)) found.push_back(request);
    return found;
  }

 private:
  ScratchFolder scratch_;
  std::unique_ptr<SandboxProcess> sandbox_;
  nlohmann::json scenario_;
  nlohmann::ordered_json config_;
};

inline int fileMode(const std::filesystem::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return -1;
  return static_cast<int>(info.st_mode & 07777);
}

}  // namespace qvn::e2e
