// The controller stand-in over TLS with the CA it made: login, gateway list
// on /v1/api and /v2/api, refusals; certificate checks by a strict client.
#include <filesystem>

#include <gtest/gtest.h>
#include <httplib.h>

#include "controller.hpp"
#include "core/clock.hpp"
#include "modules.hpp"

namespace qvn::sandbox {
namespace {

const char* kScenario = R"({
  "controller": {
    "username": "admin", "password": "s3cret pass&word",
    "gateways": [
      {"gw_name": "spoke-1", "private_ip": "10.1.0.10", "public_ip": "203.0.113.21", "gw_subnet_id": "subnet-aa",
       "public_subnet": "10.1.0.0/24", "transit_gw_name": "transit-1", "vpc_id": "vpc-1",
       "hagw_details": {"gw_name": "spoke-1-hagw", "private_ip": "10.1.1.10", "public_ip": "203.0.113.22"},
       "hagw_details_list": []},
      {"gw_name": "spoke-1-hagw", "private_ip": "10.1.1.10", "public_ip": "203.0.113.22", "gw_subnet_id": "subnet-bb",
       "public_subnet": "10.1.1.0/24", "transit_gw_name": "transit-1", "vpc_id": "vpc-1", "hagw_details": null}
    ]}})";

class ControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = std::filesystem::temp_directory_path() / ("qvn-controller-test-" + std::to_string(::getpid()) + "-" +
                                                    ::testing::UnitTest::GetInstance()->current_test_info()->name());
    world.scenario = Json::parse(kScenario);
    controller = make_controller_server(world, dir.string());
    port = controller->start(0);
    ASSERT_GT(port, 0);
  }
  void TearDown() override {
    controller->stop();
    std::filesystem::remove_all(dir);
  }
  std::unique_ptr<httplib::SSLClient> client(const std::string& host = "127.0.0.1") {
    auto c = std::make_unique<httplib::SSLClient>(host, port);
    c->set_ca_cert_path(controller->ca_file().c_str());
    c->enable_server_certificate_verification(true);
    c->set_connection_timeout(5);
    c->set_read_timeout(5);
    return c;
  }
  Json post(const std::string& path, const httplib::Params& form) {
    auto res = client()->Post(path.c_str(), form);
    EXPECT_TRUE(res) << httplib::to_string(res.error());
    if (!res) return Json();
    EXPECT_EQ(res->status, 200);
    return Json::parse(res->body);
  }
  Json get(const std::string& path, const httplib::Params& params) {
    auto res = client()->Get(path.c_str(), params, httplib::Headers{});
    EXPECT_TRUE(res) << httplib::to_string(res.error());
    if (!res) return Json();
    EXPECT_EQ(res->status, 200);
    return Json::parse(res->body);
  }
  std::string login() {
    Json out = post("/v1/api", {{"action", "login"}, {"username", "admin"}, {"password", "s3cret pass&word"}});
    EXPECT_EQ(out["return"], true);
    return out.value("CID", std::string());
  }
  httplib::Params list_params(const std::string& cid, const std::string& name) {
    return {{"action", "list_vpcs_summary"},
            {"CID", cid},
            {"account_name", ""},
            {"kcx_gw_only", "no"},
            {"gateway_name", name}};
  }

  std::filesystem::path dir;
  World world;
  std::unique_ptr<ControllerServer> controller;
  int port = 0;
};

TEST_F(ControllerTest, CertificateFilesAreWrittenAndTheKeyIsPrivate) {
  EXPECT_TRUE(std::filesystem::exists(controller->ca_file()));
  auto key = dir / "controller-key.pem";
  ASSERT_TRUE(std::filesystem::exists(key));
  auto perms = std::filesystem::status(key).permissions();
  EXPECT_EQ(perms & (std::filesystem::perms::group_all | std::filesystem::perms::others_all),
            std::filesystem::perms::none);
}

TEST_F(ControllerTest, LoginGivesACidOnlyForTheScenarioUser) {
  std::string cid = login();
  EXPECT_GE(cid.size(), 16u);
  EXPECT_NE(login(), cid);
  for (auto [user, password] : {std::pair{"admin", "wrong"}, {"root", "s3cret pass&word"}, {"admin", ""}}) {
    Json out = post("/v1/api", {{"action", "login"}, {"username", user}, {"password", password}});
    EXPECT_EQ(out["return"], false) << user;
    EXPECT_FALSE(out["reason"].get<std::string>().empty());
    EXPECT_FALSE(out.contains("CID"));
  }
}

TEST_F(ControllerTest, GatewayListOnBothApiVersions) {
  std::string cid = login();
  for (std::string path : {"/v1/api", "/v2/api"}) {
    Json out = get(path, list_params(cid, "spoke-1"));
    ASSERT_EQ(out["return"], true) << path;
    ASSERT_EQ(out["results"].size(), 1u);
    const Json& gw = out["results"][0];
    EXPECT_EQ(gw["gw_name"], "spoke-1");
    EXPECT_EQ(gw["public_ip"], "203.0.113.21");
    EXPECT_EQ(gw["hagw_details"]["gw_name"], "spoke-1-hagw");
    EXPECT_TRUE(gw["hagw_details_list"].is_array());
  }
  Json peer = get("/v1/api", list_params(cid, "spoke-1-hagw"));
  ASSERT_EQ(peer["results"].size(), 1u);
  EXPECT_TRUE(peer["results"][0]["hagw_details"].is_null());
  EXPECT_EQ(get("/v1/api", list_params(cid, "absent"))["results"], Json::array());
  EXPECT_EQ(get("/v1/api", list_params(cid, ""))["results"].size(), 2u);
  // The same request as a form POST.
  EXPECT_EQ(post("/v2/api", list_params(cid, "spoke-1"))["results"].size(), 1u);
}

TEST_F(ControllerTest, BadSessionsAndActionsAreRefusedWithAReason) {
  Json bad = get("/v1/api", list_params("not-a-cid", "spoke-1"));
  EXPECT_EQ(bad["return"], false);
  EXPECT_EQ(bad["reason"], "CID is invalid or expired.");
  std::string cid = login();
  EXPECT_EQ(get("/v1/api", {{"action", "reboot_everything"}, {"CID", cid}})["return"], false);
  EXPECT_EQ(get("/v1/api", {{"CID", cid}})["return"], false);
  world.scenario["controller"]["list_error"] = "Gateway service unavailable";
  Json failing = get("/v1/api", list_params(cid, "spoke-1"));
  EXPECT_EQ(failing["return"], false);
  EXPECT_EQ(failing["reason"], "Gateway service unavailable");
}

TEST_F(ControllerTest, SessionsExpire) {
  world.scenario["controller"]["cid_lifetime_seconds"] = 60;
  std::string cid = login();
  core::set_clock([] { return std::chrono::system_clock::now() + std::chrono::seconds(120); });
  Json out = get("/v1/api", list_params(cid, "spoke-1"));
  core::set_clock({});
  EXPECT_EQ(out["return"], false);
}

TEST_F(ControllerTest, CertificateIsValidForLocalhostAndUntrustedWithoutTheCa) {
  auto by_name = client("localhost")->Get("/v1/api");
  ASSERT_TRUE(by_name) << httplib::to_string(by_name.error());
  httplib::SSLClient stranger("127.0.0.1", port);
  stranger.enable_server_certificate_verification(true);
  stranger.set_ca_cert_path("/nonexistent-ca.pem");
  stranger.set_connection_timeout(5);
  EXPECT_FALSE(stranger.Get("/v1/api"));
}

}  // namespace
}  // namespace qvn::sandbox

namespace qvn::sandbox {
namespace {

TEST_F(ControllerTest, RequestLogNamesWhereParametersTravelledWithoutTheirValues) {
  const std::string cid = login();
  get("/v2/api", list_params(cid, "spoke-1"));
  auto res = client()->Get("/_sandbox/requests");
  ASSERT_TRUE(res);
  const Json log = Json::parse(res->body).at("requests");
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0]["method"], "POST");
  EXPECT_EQ(log[0]["path"], "/v1/api");
  EXPECT_EQ(log[0]["action"], "login");
  EXPECT_EQ(log[0]["body"], Json({"action", "password", "username"}));  // form fields by name
  EXPECT_EQ(log[0]["query"], Json::array());
  EXPECT_EQ(log[1]["method"], "GET");
  EXPECT_EQ(log[1]["path"], "/v2/api");
  EXPECT_EQ(log[1]["action"], "list_vpcs_summary");
  EXPECT_EQ(log[1]["query"].size(), 5u);
  EXPECT_EQ(res->body.find("s3cret"), std::string::npos);
  EXPECT_EQ(res->body.find(cid), std::string::npos);
}

}  // namespace
}  // namespace qvn::sandbox
