// The metadata service client against a real HTTP server on the loopback
// interface.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "aws/errors.hpp"
#include "aws/imds.hpp"
#include "awscore_test_support.hpp"
#include "http/curl_transport.hpp"
#include "unit/loopback_server.hpp"

namespace qvn::aws {
namespace {

using qvn::testing::LoopbackServer;

class ImdsTest : public ::testing::Test {
 protected:
  LoopbackServer loopback_;
  ImdsSettings settings() {
    ImdsSettings s;
    s.endpoint = loopback_.url();
    return s;
  }
  std::shared_ptr<http::HttpTransport> shared_transport_ = std::make_shared<http::CurlTransport>();
};

TEST_F(ImdsTest, TokenIsFetchedOnceAndSentWithEveryGet) {
  std::atomic<int> puts{0};
  std::string ttl;
  loopback_.server().Put("/latest/api/token", [&](const httplib::Request& request, httplib::Response& response) {
    ++puts;
    ttl = request.get_header_value("x-aws-ec2-metadata-token-ttl-seconds");
    response.set_content("tok-1", "text/plain");
  });
  loopback_.server().Get(
      "/latest/dynamic/instance-identity/document", [](const httplib::Request& request, httplib::Response& response) {
        if (request.get_header_value("x-aws-ec2-metadata-token") != "tok-1") {
          response.status = 401;
          return;
        }
        response.set_content(R"({"accountId": "123456789012", "region": "eu-west-1"})", "application/json");
      });
  ImdsClient client(shared_transport_, settings());
  EXPECT_EQ(client.get("/latest/dynamic/instance-identity/document").status, 200);
  EXPECT_EQ(client.get("/latest/dynamic/instance-identity/document").status, 200);
  EXPECT_EQ(puts.load(), 1);
  EXPECT_EQ(ttl, "21600");
}

TEST_F(ImdsTest, FallsBackToRequestsWithoutTokenWhenTheTokenIsRefused) {
  loopback_.server().Put("/latest/api/token",
                         [](const httplib::Request&, httplib::Response& response) { response.status = 405; });
  std::string token_header = "unset";
  loopback_.server().Get("/doc", [&](const httplib::Request& request, httplib::Response& response) {
    token_header = request.get_header_value("x-aws-ec2-metadata-token");
    response.set_content("{}", "application/json");
  });
  ImdsClient client(shared_transport_, settings());
  EXPECT_EQ(client.get("/doc").status, 200);
  EXPECT_EQ(token_header, "");
}

TEST_F(ImdsTest, AnExpiredTokenIsRenewedOnce) {
  std::atomic<int> puts{0};
  loopback_.server().Put("/latest/api/token", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content("tok-" + std::to_string(++puts), "text/plain");
  });
  loopback_.server().Get("/doc", [&](const httplib::Request& request, httplib::Response& response) {
    if (request.get_header_value("x-aws-ec2-metadata-token") == "tok-1") {
      response.status = 401;
      return;
    }
    response.set_content("fresh", "text/plain");
  });
  ImdsClient client(shared_transport_, settings());
  EXPECT_EQ(client.get("/doc").body, "fresh");
  EXPECT_EQ(puts.load(), 2);
}

TEST_F(ImdsTest, ErrorStatusesAreReturnedAndDisabledServiceIsRefused) {
  loopback_.server().Put("/latest/api/token", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("tok", "text/plain");
  });
  loopback_.server().Get("/doc", [](const httplib::Request&, httplib::Response& response) { response.status = 404; });
  loopback_.server().Get("/empty", [](const httplib::Request&, httplib::Response& response) { response.status = 200; });
  ImdsClient client(shared_transport_, settings());
  EXPECT_EQ(client.get("/doc").status, 404);
  // A document is had only from a 200, even an empty one.
  EXPECT_EQ(client.document("/doc"), std::nullopt);
  EXPECT_EQ(client.document("/empty"), std::optional<std::string>(""));
  ImdsSettings off = settings();
  off.disabled = true;
  EXPECT_THROW(ImdsClient(shared_transport_, off).get("/doc"), ConfigError);
  EXPECT_THROW(ImdsClient(shared_transport_, off).document("/doc"), ConfigError);
}

TEST_F(ImdsTest, SilentServiceFailsWithinTheTimeLimit) {
  // A token request that hangs (a hop limit seen from a container) falls
  // back to a plain GET, which hangs too: both are cut by the time limit.
  auto hang = [](const httplib::Request&, httplib::Response& response) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    response.set_content("late", "text/plain");
  };
  loopback_.server().Put("/latest/api/token", hang);
  loopback_.server().Get("/doc", hang);
  ImdsSettings s = settings();
  s.timeout = std::chrono::milliseconds(150);
  auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(ImdsClient(shared_transport_, s).get("/doc"), TransportError);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1100));
}

class ImdsSettingsTest : public testing::AwsEnvironmentTest {};

TEST_F(ImdsSettingsTest, EnvironmentChoosesAddressAndSwitch) {
  set("AWS_EC2_METADATA_SERVICE_ENDPOINT", "http://127.0.0.1:8111/");
  set("AWS_EC2_METADATA_DISABLED", "TRUE");
  ImdsSettings s = ImdsSettings::from_environment();
  EXPECT_EQ(s.endpoint, "http://127.0.0.1:8111");
  EXPECT_TRUE(s.disabled);
  unset("AWS_EC2_METADATA_SERVICE_ENDPOINT");
  unset("AWS_EC2_METADATA_DISABLED");
  EXPECT_EQ(ImdsSettings::from_environment().endpoint, "http://169.254.169.254");
  EXPECT_FALSE(ImdsSettings::from_environment().disabled);
  set("AWS_EC2_METADATA_SERVICE_ENDPOINT_MODE", "IPv6");
  EXPECT_EQ(ImdsSettings::from_environment().endpoint, "http://[fd00:ec2::254]");
}

}  // namespace
}  // namespace qvn::aws
