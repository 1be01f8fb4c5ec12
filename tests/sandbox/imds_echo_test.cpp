// Instance metadata and the IP echo over HTTP on a local server: the token
// flow, the required/off/disabled modes, the identity document, the role's
// credentials; the toolkit's own metadata client against it.
#include <thread>

#include <gtest/gtest.h>
#include <httplib.h>

#include "aws/imds.hpp"
#include "core/clock.hpp"
#include "http/http_transport.hpp"
#include "modules.hpp"
#include "query_xml.hpp"

namespace qvn::sandbox {
namespace {

class MetadataServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    world.scenario = Json::parse(R"({"account_id": "123456789012", "region": "eu-west-2",
        "metadata": {"mode": "optional", "instance_id": "i-0feedface0000001", "role": "quorvane-workflow-role"},
        "ip_echo": {"ip": "198.51.100.7"}})");
    server.set_keep_alive_timeout(1);
    mount_instance_metadata(server, world);
    mount_ip_echo(server, world);
    port = server.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port, 0);
    thread = std::thread([this] { server.listen_after_bind(); });
    while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  void TearDown() override {
    server.stop();
    thread.join();
  }
  httplib::Client client() {
    httplib::Client c("127.0.0.1", port);
    c.set_connection_timeout(2);
    c.set_read_timeout(5);
    return c;
  }
  std::string token(const std::string& ttl = "60") {
    auto res = client().Put("/latest/api/token", {{"X-aws-ec2-metadata-token-ttl-seconds", ttl}}, "", "text/plain");
    EXPECT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    return res->body;
  }
  int status(const std::string& path, const httplib::Headers& headers = {}) {
    auto res = client().Get(path.c_str(), headers);
    return res ? res->status : -1;
  }
  void mode(const std::string& m) { world.scenario["metadata"]["mode"] = m; }

  World world;
  httplib::Server server;
  std::thread thread;
  int port = 0;
};

TEST_F(MetadataServerTest, IdentityDocumentCarriesTheScenarioAccountAndRegion) {
  auto res = client().Get("/latest/dynamic/instance-identity/document");
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200);
  Json doc = Json::parse(res->body);
  EXPECT_EQ(doc["accountId"], "123456789012");
  EXPECT_EQ(doc["region"], "eu-west-2");
  EXPECT_EQ(doc["availabilityZone"], "eu-west-2a");
  EXPECT_EQ(doc["instanceId"], "i-0feedface0000001");
  EXPECT_TRUE(doc.contains("privateIp"));
  EXPECT_TRUE(doc["kernelId"].is_null());
}

TEST_F(MetadataServerTest, TokenRulesFollowTheInstanceSettings) {
  std::string t = token();
  EXPECT_GE(t.size(), 40u);
  EXPECT_EQ(status("/latest/meta-data/instance-id", {{"X-aws-ec2-metadata-token", t}}), 200);
  EXPECT_EQ(status("/latest/meta-data/instance-id", {{"X-aws-ec2-metadata-token", "forged"}}), 401);
  // The PUT needs a TTL between 1 and 21600 and no forwarding header.
  auto put = [&](const httplib::Headers& h) { return client().Put("/latest/api/token", h, "", "text/plain")->status; };
  EXPECT_EQ(put({}), 400);
  EXPECT_EQ(put({{"X-aws-ec2-metadata-token-ttl-seconds", "0"}}), 400);
  EXPECT_EQ(put({{"X-aws-ec2-metadata-token-ttl-seconds", "21601"}}), 400);
  EXPECT_EQ(put({{"X-aws-ec2-metadata-token-ttl-seconds", "10"}, {"X-Forwarded-For", "10.0.0.1"}}), 403);

  mode("required");
  EXPECT_EQ(status("/latest/dynamic/instance-identity/document"), 401);
  EXPECT_EQ(status("/latest/dynamic/instance-identity/document", {{"X-aws-ec2-metadata-token", t}}), 200);
  mode("off");
  EXPECT_EQ(status("/latest/dynamic/instance-identity/document"), 404);
  EXPECT_EQ(
      client().Put("/latest/api/token", {{"X-aws-ec2-metadata-token-ttl-seconds", "60"}}, "", "text/plain")->status,
      404);
  mode("disabled");
  EXPECT_EQ(status("/latest/dynamic/instance-identity/document"), 403);
}

TEST_F(MetadataServerTest, ExpiredTokensAreRefused) {
  std::string t = token("1");
  core::set_clock([] { return std::chrono::system_clock::now() + std::chrono::seconds(5); });
  int after = status("/latest/meta-data/instance-id", {{"X-aws-ec2-metadata-token", t}});
  core::set_clock({});
  EXPECT_EQ(after, 401);
}

TEST_F(MetadataServerTest, RoleCredentialsAreRegisteredAndStableUntilRotation) {
  auto name = client().Get("/latest/meta-data/iam/security-credentials/");
  ASSERT_TRUE(name);
  EXPECT_EQ(name->body, "quorvane-workflow-role");
  auto res = client().Get("/latest/meta-data/iam/security-credentials/quorvane-workflow-role");
  ASSERT_TRUE(res);
  Json creds = Json::parse(res->body);
  EXPECT_EQ(creds["Code"], "Success");
  EXPECT_EQ(creds["Type"], "AWS-HMAC");
  std::string key = creds["AccessKeyId"];
  EXPECT_EQ(key.substr(0, 4), "ASIA");
  auto identity = world.keys.find(key);
  ASSERT_TRUE(identity.has_value());
  EXPECT_EQ(identity->arn, "arn:aws:sts::123456789012:assumed-role/quorvane-workflow-role/i-0feedface0000001");
  EXPECT_EQ(identity->session_token, creds["Token"]);
  EXPECT_EQ(iso8601(*identity->expires), creds["Expiration"]);
  // Asked again: the same keys; after the registry forgot them: new ones.
  EXPECT_EQ(Json::parse(
                client().Get("/latest/meta-data/iam/security-credentials/quorvane-workflow-role")->body)["AccessKeyId"],
            key);
  world.keys.clear();
  std::string renewed = Json::parse(
      client().Get("/latest/meta-data/iam/security-credentials/quorvane-workflow-role")->body)["AccessKeyId"];
  EXPECT_NE(renewed, key);
  EXPECT_TRUE(world.keys.find(renewed).has_value());
  EXPECT_EQ(status("/latest/meta-data/iam/security-credentials/other-role"), 404);
  world.scenario["metadata"].erase("role");
  EXPECT_EQ(status("/latest/meta-data/iam/security-credentials/"), 404);
}

TEST_F(MetadataServerTest, ToolkitClientUsesTokensAndReadsTheDocument) {
  aws::ImdsSettings settings;
  settings.endpoint = "http://127.0.0.1:" + std::to_string(port);
  aws::ImdsClient imds(http::default_http_transport(), settings);
  mode("required");
  auto res = imds.get("/latest/dynamic/instance-identity/document");
  EXPECT_EQ(res.status, 200);
  EXPECT_EQ(Json::parse(res.body)["accountId"], "123456789012");
  mode("off");
  EXPECT_EQ(imds.get("/latest/dynamic/instance-identity/document").status, 404);
}

TEST_F(MetadataServerTest, IpEchoAnswersJsonOrText) {
  auto json = client().Get("/ip-echo?format=json");
  ASSERT_TRUE(json);
  EXPECT_EQ(Json::parse(json->body), Json({{"ip", "198.51.100.7"}}));
  EXPECT_EQ(client().Get("/ip-echo")->body, "198.51.100.7");
  world.scenario["ip_echo"]["status"] = 503;
  EXPECT_EQ(status("/ip-echo?format=json"), 503);
}

}  // namespace
}  // namespace qvn::sandbox
