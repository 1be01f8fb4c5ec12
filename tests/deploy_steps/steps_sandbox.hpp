#pragma once
// The deployment steps against an in-process sandbox (EC2, IAM, STS, SSM,
// S3 and the public-IP echo on one loopback port), with the toolkit's own
// clients pointed at it and the package logger's records captured.
#include <gtest/gtest.h>
#include <httplib.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "aws/ec2.hpp"
#include "aws/iam.hpp"
#include "aws/s3.hpp"
#include "aws/session.hpp"
#include "aws/ssm.hpp"
#include "aws/sts.hpp"
#include "core/clock.hpp"
#include "core/logging.hpp"
#include "core/run_outcome.hpp"
#include "deploy/deploy_args.hpp"
#include "deploy/run_context.hpp"
#include "modules.hpp"
#include "scenario.hpp"
#include "server.hpp"
#include "server_limits.hpp"
#include "unit/core/log_capture.hpp"

namespace qvn::deploy::testing {

using sandbox::Json;

inline const std::string kVpc = "vpc-0a5b0c0d0e0f00001";
inline const std::string kAccount = "123456789012";
inline const std::string kEchoIp = "203.0.113.10";
inline const std::string kCiKey = "AKIAQVNSANDBOX0CI001";
inline const std::string kCiSecret = "qvnSandboxSecretKeyForCiUser0000000000001";
inline const std::string kWorkflowKey = "AKIAQVNSANDBOX0WF001";
inline const std::string kWorkflowSecret = "qvnSandboxSecretKeyForWorkflow00000000001";

inline Json scenarioFile(const std::string& name) {
  return sandbox::load_scenario_file(std::string(QVN_SOURCE_DIR) + "/sandbox/scenarios/" + name);
}

// The ProgramExit status that `call` ends with; -1 when it returns.
template <class Call>
int exitStatusOf(Call&& call) {
  try {
    call();
  } catch (const ProgramExit& e) {
    return e.status;
  }
  return -1;
}

class StepsAgainstSandbox : public ::testing::Test {
 protected:
  void SetUp() override {
    core::set_time_scale(0.01);
    Globals.dry_run = false;
    resetLoggingForTesting();
    capture_ = std::make_shared<test_support::CaptureHandler>();
    Logger* log = getLogger("quorvane_testlibs");
    log->setLevel(DEBUG);
    log->addHandler(capture_);
    const auto name = std::string(::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name()) + "_" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name();
    scratch_ = std::filesystem::temp_directory_path() / ("qvn_steps_" + std::to_string(::getpid()) + "_" + name);
    std::filesystem::remove_all(scratch_);
    std::filesystem::create_directories(scratch_);
    start(scenarioFile("spoke.json"));
  }

  void TearDown() override {
    if (server_) server_->stop();
    unsetenv("AWS_ENDPOINT_URL");
    unsetenv("QUORVANE_IP_ECHO_URL");
    unsetenv("AWS_MAX_ATTEMPTS");
    core::set_time_scale(-1);
    resetLoggingForTesting();
    std::filesystem::remove_all(scratch_);
  }

  void start(const Json& scenario) {
    if (server_) server_->stop();
    server_ = std::make_unique<sandbox::SandboxServer>();
    server_->add_service(sandbox::make_ec2_service());
    server_->add_service(sandbox::make_iam_service());
    server_->add_service(sandbox::make_sts_service());
    server_->add_service(sandbox::make_ssm_service());
    server_->add_service(sandbox::make_s3_service());
    sandbox::mount_ip_echo(server_->http(), server_->world());
    server_->load_scenario(scenario);
    const std::string base = "http://127.0.0.1:" + std::to_string(server_->start(0));
    setenv("AWS_ENDPOINT_URL", base.c_str(), 1);
    setenv("QUORVANE_IP_ECHO_URL", (base + "/ip-echo?format=json").c_str(), 1);
    setenv("AWS_MAX_ATTEMPTS", "1", 1);
  }
  // Replaces the sandbox's state with `scenario` (same port).
  void load(const Json& scenario) {
    server_->load_scenario(scenario);
    server_->log().clear();
  }

  std::shared_ptr<aws::Session> session(const std::string& key = kCiKey, const std::string& secret = kCiSecret) {
    aws::SessionOptions options;
    options.region = "us-east-1";
    return aws::Session::from_credentials(key, secret, "", options);
  }
  aws::Ec2Client ec2() { return aws::Ec2Client(session()); }
  aws::IamClient iam() { return aws::IamClient(session()); }
  aws::StsClient sts() { return aws::StsClient(session()); }
  aws::S3Client s3() { return aws::S3Client(session()); }
  aws::SsmClient workflowSsm() { return aws::SsmClient(session(kWorkflowKey, kWorkflowSecret)); }
  // What a step works with: the sandbox's clients, args_ and the VPC `vpc`;
  // the S3 client only when given.
  RunContext context(std::optional<aws::S3Client> s3_client = std::nullopt, const std::string& vpc = kVpc) {
    RunContext run{.args = args_, .ec2 = ec2(), .iam = iam(), .sts = sts()};
    run.s3 = std::move(s3_client);
    run.vpc_id = vpc;
    return run;
  }

  // The sandbox's request log, oldest first.
  std::vector<Json> requests(const std::string& service = "", const std::string& operation = "") {
    return server_->log().entries(service, operation).get<std::vector<Json>>();
  }
  std::vector<std::string> operations(const std::string& service = "") {
    std::vector<std::string> out;
    for (const auto& r : requests(service)) out.push_back(r.value("operation", ""));
    return out;
  }
  // One request's parameters as "name=value" lines, in the order sent.
  static std::vector<std::string> parameters(const Json& request) {
    std::vector<std::string> out;
    for (const auto& [k, v] : request.at("parameters").items())
      out.push_back(k + "=" + (v.is_string() ? v.get<std::string>() : v.dump()));
    return out;
  }
  // One service's state as the control API shows it.
  Json state(const std::string& service) {
    httplib::Client control("127.0.0.1", server_->port());
    control.set_read_timeout(10);
    auto answer = control.Get("/_sandbox/state");
    if (!answer || answer->status != 200) throw std::runtime_error("no sandbox state");
    return Json::parse(answer->body).at("services").at(service);
  }
  void fault(const Json& rule) { server_->faults().add(sandbox::parse_fault(rule)); }

  std::vector<std::string> messages() const { return capture_->messages(); }
  std::vector<std::string> messagesSince(std::size_t mark) const {
    const auto all = messages();
    return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(std::min(mark, all.size())), all.end());
  }
  std::vector<std::string> messagesAt(int level) const {
    std::vector<std::string> out;
    for (const auto& r : capture_->records())
      if (r.levelno == level) out.push_back(r.message);
    return out;
  }

  const std::filesystem::path& scratch() const { return scratch_; }
  sandbox::SandboxServer& server() { return *server_; }

  DeployArgs args_;

 private:
  std::unique_ptr<sandbox::SandboxServer> server_;
  std::shared_ptr<test_support::CaptureHandler> capture_;
  std::filesystem::path scratch_;
};

}  // namespace qvn::deploy::testing
