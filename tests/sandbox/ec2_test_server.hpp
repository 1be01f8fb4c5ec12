#pragma once
// A sandbox on a free loopback port with the toolkit's EC2 client pointed at
// it, plus a plain HTTP client for the control API. Sandbox time runs at a
// small scale so that life cycles and waiters finish in a second or two.
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <httplib.h>

#include "aws/ec2.hpp"
#include "aws/errors.hpp"
#include "aws/session.hpp"
#include "core/clock.hpp"
#include "modules.hpp"
#include "scenario.hpp"
#include "server.hpp"

namespace qvn::sandbox::testing {

inline const std::string kCiKey = "AKIAQVNSANDBOX0CI001";
inline const std::string kCiSecret = "qvnSandboxSecretKeyForCiUser0000000000001";
inline const std::string kImage = "ami-0005e0cfe09cc9050";
inline const std::string kImageName = "al2023-ami-2023.3.20240108.0-kernel-6.1-x86_64";
inline const std::string kAmazon = "137112412989";

inline std::string scenario_path(const std::string& file) {
  return std::string(QVN_SOURCE_DIR) + "/sandbox/scenarios/" + file;
}

// The code of the ServiceError that `call` throws; empty when it succeeds.
inline std::string refusal(const std::function<void()>& call) {
  try {
    call();
  } catch (const aws::ServiceError& e) {
    return e.code();
  }
  return "";
}

class SandboxServerTest : public ::testing::Test {
 protected:
  // Sandbox seconds per real second is 1 / kScale.
  static constexpr double kScale = 0.01;

  void TearDown() override {
    if (server) server->stop();
    unsetenv("AWS_ENDPOINT_URL");
    unsetenv("AWS_MAX_ATTEMPTS");
    core::set_time_scale(-1);
  }

  // Starts a server with EC2 (and `extra` services) serving `scenario`.
  void start(Json scenario, std::vector<std::unique_ptr<Service>> extra = {}) {
    core::set_time_scale(kScale);
    server = std::make_unique<SandboxServer>();
    server->add_service(make_ec2_service());
    for (auto& s : extra) server->add_service(std::move(s));
    server->load_scenario(scenario);
    const int port = server->start(0);
    const std::string url = "http://127.0.0.1:" + std::to_string(port);
    setenv("AWS_ENDPOINT_URL", url.c_str(), 1);
    setenv("AWS_MAX_ATTEMPTS", "1", 1);
    control = std::make_unique<httplib::Client>("127.0.0.1", port);
    control->set_read_timeout(10);
    control->set_connection_timeout(5);
  }

  // A scenario file with life-cycle timings short enough for waiters.
  static Json quick(const std::string& file, double visible_seconds = 3600) {
    Json s = load_scenario_file(scenario_path(file));
    s["timings"] = {{"instance_pending_seconds", 30},
                    {"status_initializing_seconds", 30},
                    {"instance_shutting_down_seconds", 30},
                    {"terminated_instance_visible_seconds", visible_seconds},
                    {"instance_profile_propagation_seconds", 8}};
    return s;
  }

  aws::Ec2Client ec2(const std::string& key = kCiKey, const std::string& secret = kCiSecret) const {
    aws::SessionOptions options;
    options.region = "us-east-1";
    return aws::Ec2Client(aws::Session::from_credentials(key, secret, "", options));
  }

  httplib::Result get(const std::string& path) { return control->Get(path.c_str()); }
  Json get_json(const std::string& path) {
    auto r = get(path);
    EXPECT_TRUE(r) << path;
    return r ? Json::parse(r->body, nullptr, false) : Json();
  }
  httplib::Result post(const std::string& path, const std::string& body) {
    return control->Post(path.c_str(), body, "application/json");
  }
  int post_status(const std::string& path, const Json& body) {
    auto r = post(path, body.dump());
    return r ? r->status : -1;
  }

  std::unique_ptr<SandboxServer> server;
  std::unique_ptr<httplib::Client> control;
};

}  // namespace qvn::sandbox::testing
