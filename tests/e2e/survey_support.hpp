#pragma once
// subnet_survey run as a process against a sandbox of its own.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "e2e/cli_run.hpp"
#include "e2e/sandbox_process.hpp"

namespace qvn::e2e {

inline const std::string kSurveyRole = "arn:aws:iam::123456789012:role/quorvane-deploy-role";
inline const std::string kSpokeVpc = "vpc-0a5b0c0d0e0f00001";
inline const std::string kHsVpc = "vpc-0b5b0c0d0e0f00001";
inline const std::string kNatVpc = "vpc-0c5b0c0d0e0f00001";
inline const std::string kControllerPassword = "sandbox-controller-pass";

class SurveyAgainstSandbox : public ::testing::Test {
 protected:
  explicit SurveyAgainstSandbox(const std::string& scenario)
      : scratch_("survey_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name())),
        sandbox_(std::make_unique<SandboxProcess>(scenario, scratch_.path())) {
    std::filesystem::create_directories(cwd());
  }

  std::filesystem::path cwd() const { return scratch_.path() / "run"; }
  SandboxProcess& sandbox() { return *sandbox_; }

  // subnet_survey with the program options for `vpc` (output out.json) and `tail`.
  ProcessResult survey(const std::string& vpc, const std::vector<std::string>& tail, Environment extra = {}) {
    std::vector<std::string> args{
        "--vpc", vpc, "--region", "us-east-1", "--assume_role", kSurveyRole, "--output_test_config", "out.json"};
    args.insert(args.end(), tail.begin(), tail.end());
    Environment env = sandbox_->environment();
    env.insert(env.end(), extra.begin(), extra.end());
    return runProgram(programPath("subnet_survey"), args, cwd(), env);
  }

  std::vector<std::string> spoke(const std::string& gateway, bool horizontal_scaling = false) const {
    std::vector<std::string> tail{"spoke", "--controller_ip",       sandbox_->controller(), "--controller_user",
                                  "admin", "--controller_password", kControllerPassword,    "--spoke_gw_name",
                                  gateway};
    if (horizontal_scaling) tail.push_back("--horizontal_scaling");
    return tail;
  }

  bool wrote() const { return std::filesystem::exists(cwd() / "out.json"); }
  std::string written() const { return slurp(cwd() / "out.json"); }
  nlohmann::json entries() const { return nlohmann::json::parse(written()); }
  std::string log() const { return slurp(cwd() / "backups" / "log" / "quorvane_testlibs.log"); }
  bool logged(const std::string& text) const { return log().find(text) != std::string::npos; }

 private:
  ScratchFolder scratch_;
  std::unique_ptr<SandboxProcess> sandbox_;
};

// The element of `list` (an array of objects) whose `key` is `value`.
inline nlohmann::json& element(nlohmann::json& list, const std::string& key, const std::string& value) {
  for (auto& item : list)
    if (item.value(key, "") == value) return item;
  throw std::runtime_error("no element with " + key + " " + value);
}

}  // namespace qvn::e2e
