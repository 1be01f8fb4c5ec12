// The controller client (login, API requests, trust) and the spoke records
// built from its answers, with a scripted transport in place of the network.
#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <mutex>

#include "core/logging.hpp"
#include "http/transport_error.hpp"
#include "lib/nat.hpp"
#include "lib/qvn_cred.hpp"
#include "lib/qvn_https.hpp"
#include "lib/spoke.hpp"
#include "unit/core/log_capture.hpp"

namespace qvn {
namespace {

using nlohmann::json;

class ScriptedTransport : public http::HttpTransport {
 public:
  http::HttpResponse send(const http::HttpRequest& request) override {
    std::lock_guard lock(mutex_);
    sent.push_back(request);
    if (failure) throw *failure;
    if (answers.empty()) return {200, {}, R"({"return": true, "results": []})"};
    auto answer = answers.front();
    answers.pop_front();
    return {200, {}, answer};
  }

  std::vector<http::HttpRequest> sent;
  std::deque<std::string> answers;
  std::optional<http::TransportError> failure;

 private:
  std::mutex mutex_;
};

class ControllerAccess : public ::testing::Test {
 protected:
  ControllerAccess() {
    resetLoggingForTesting();
    Logger* root = getLogger("quorvane_testlibs");
    root->addHandler(sink);
    root->setLevel(DEBUG);
    setControllerTransport(transport);
  }
  ~ControllerAccess() override {
    setControllerTransport(nullptr);
    resetLoggingForTesting();
  }

  std::vector<std::string> messagesAt(int level) const {
    std::vector<std::string> out;
    for (const auto& r : sink->records())
      if (r.levelno == level) out.push_back(r.message);
    return out;
  }
  std::string allLogText() const {
    std::string text;
    for (const auto& m : sink->messages()) text += m + "\n";
    return text;
  }

  std::shared_ptr<ScriptedTransport> transport = std::make_shared<ScriptedTransport>();
  std::shared_ptr<test_support::CaptureHandler> sink = std::make_shared<test_support::CaptureHandler>();
};

const std::string kApi = "https://10.1.1.1/v1/api";

TEST_F(ControllerAccess, LoginSendsThePasswordOnlyInThePostBody) {
  transport->answers.push_back(R"({"return": true, "results": "ok", "CID": "cid-123"})");
  EXPECT_EQ(get_quorvane_cid("10.1.1.1:8443", "admin", "p&ss word=1"), "cid-123");
  ASSERT_EQ(transport->sent.size(), 1u);
  const auto& login = transport->sent[0];
  EXPECT_EQ(login.method, "POST");
  EXPECT_EQ(login.url, "https://10.1.1.1:8443/v1/api");
  EXPECT_EQ(login.body, "action=login&username=admin&password=p%26ss%20word%3D1");
  EXPECT_EQ(http::find_header(login.headers, "Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_GT(login.connect_timeout.count(), 0);
  EXPECT_EQ(allLogText().find("p&ss"), std::string::npos);
}

TEST_F(ControllerAccess, RefusedOrIncompleteLoginIsAnErrorWithTheReason) {
  transport->answers.push_back(R"({"return": false, "reason": "Invalid username or password."})");
  try {
    get_quorvane_cid("10.1.1.1", "admin", "x");
    FAIL() << "no error";
  } catch (const ControllerLoginError& e) {
    EXPECT_STREQ(e.what(), "the controller at 10.1.1.1 refused the login of admin: Invalid username or password.");
  }
  transport->answers.push_back(R"({"return": true})");
  EXPECT_THROW(get_quorvane_cid("10.1.1.1", "admin", "x"), ControllerLoginError);
  transport->answers.push_back("<html>gateway timeout</html>");
  EXPECT_THROW(get_quorvane_cid("10.1.1.1", "admin", "x"), ControllerError);
}

TEST_F(ControllerAccess, UntrustedCertificateSaysHowToTrustTheController) {
  transport->failure = http::TransportError(http::TransportError::Kind::Tls, "SSL peer certificate was not OK");
  try {
    get_quorvane_cid("ctl.example:443", "admin", "x");
    FAIL() << "no error";
  } catch (const ControllerTlsError& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("the controller at ctl.example:443 was not trusted"), std::string::npos) << what;
    EXPECT_NE(what.find("QUORVANE_CONTROLLER_CA_BUNDLE"), std::string::npos);
    EXPECT_NE(what.find("QUORVANE_CONTROLLER_INSECURE=1"), std::string::npos);
  }
  transport->failure = http::TransportError(http::TransportError::Kind::Timeout, "timed out");
  try {
    get_quorvane_cid("ctl.example", "admin", "x");
    FAIL() << "no error";
  } catch (const ControllerTlsError&) {
    FAIL() << "a time-out is no trust problem";
  } catch (const ControllerError& e) {
    EXPECT_NE(std::string(e.what()).find("did not answer: timed out"), std::string::npos);
  }
}

TEST_F(ControllerAccess, TrustSettingsComeFromTheEnvironment) {
  ::unsetenv("QUORVANE_CONTROLLER_CA_BUNDLE");
  ::unsetenv("QUORVANE_CONTROLLER_INSECURE");
  EXPECT_TRUE(controllerTlsSettings().verify_peer);
  EXPECT_EQ(controllerTlsSettings().ca_bundle, "");
  ::setenv("QUORVANE_CONTROLLER_CA_BUNDLE", "/etc/ctl-ca.pem", 1);
  ::setenv("QUORVANE_CONTROLLER_INSECURE", "0", 1);
  EXPECT_TRUE(controllerTlsSettings().verify_peer);
  EXPECT_EQ(controllerTlsSettings().ca_bundle, "/etc/ctl-ca.pem");
  ::setenv("QUORVANE_CONTROLLER_INSECURE", "1", 1);
  EXPECT_FALSE(controllerTlsSettings().verify_peer);
  ::unsetenv("QUORVANE_CONTROLLER_CA_BUNDLE");
  ::unsetenv("QUORVANE_CONTROLLER_INSECURE");
}

TEST_F(ControllerAccess, GatewayListIsAGetWithThePayloadInOrder) {
  Spoke::list_gateway_info(kApi, "c i/d", "", "no", "gw 1");
  Spoke::list_gateway_info(kApi, "cid");  // no name: sent empty, not left out
  ASSERT_EQ(transport->sent.size(), 2u);
  EXPECT_EQ(transport->sent[0].method, "GET");
  EXPECT_EQ(transport->sent[0].url,
            kApi + "?action=list_vpcs_summary&CID=c%20i%2Fd&account_name=&kcx_gw_only=no&gateway_name=gw%201");
  EXPECT_EQ(transport->sent[1].url,
            kApi + "?action=list_vpcs_summary&CID=cid&account_name=&kcx_gw_only=no&gateway_name=");
}

json gateway(const std::string& name, const std::string& public_ip) {
  return {{"gw_name", name},
          {"private_ip", "10.0.0.1"},
          {"public_ip", public_ip},
          {"gw_subnet_id", "subnet-1"},
          {"public_subnet", "10.0.0.0/24"},
          {"transit_gw_name", "tr"}};
}

std::string answerWith(const json& records) { return json{{"return", true}, {"results", records}}.dump(); }

std::vector<std::string> namesOf(const std::vector<Spoke>& spokes) {
  std::vector<std::string> names;
  for (const auto& s : spokes) names.push_back(s.gw_name);
  return names;
}

TEST_F(ControllerAccess, ClassicLookupTakesTheFirstMatchAndItsPeer) {
  json first = gateway("g", "1.1.1.1");
  first["hagw_details"] = {{"gw_name", "g-hagw"}, {"public_ip", "2.2.2.2"}};
  json second = gateway("g", "3.3.3.3");
  transport->answers.push_back(answerWith(json::array({gateway("other", "9.9.9.9"), first, second})));
  auto spokes = Spoke::getSpokeInfo(kApi, "cid", "g");
  ASSERT_EQ(namesOf(spokes), (std::vector<std::string>{"g", "g-hagw"}));
  EXPECT_EQ(spokes[0].gw_public_ip, "1.1.1.1");
  EXPECT_EQ(spokes[0].transit_name, "tr");
  EXPECT_EQ(spokes[1].gw_public_ip, "2.2.2.2");
  EXPECT_EQ(spokes[1].gw_private_ip, "");  // no private_ip: no transit either
  EXPECT_EQ(spokes[1].transit_name, "");
  EXPECT_EQ(spokes[1].gw_subnet, "");
  EXPECT_EQ(messagesAt(ERROR), std::vector<std::string>{"  **Error** spoke g-hagw private_ip not found"});

  json no_peer = gateway("g", "1.1.1.1");
  no_peer["hagw_details"] = nullptr;
  transport->answers.push_back(answerWith(json::array({no_peer})));
  EXPECT_EQ(namesOf(Spoke::getSpokeInfo(kApi, "cid", "g")), std::vector<std::string>{"g"});
}

TEST_F(ControllerAccess, LookupFailuresAreLoggedAndYieldNoSpokes) {
  transport->answers.push_back(R"({"return": false, "reason": "CID is invalid or expired."})");
  EXPECT_TRUE(Spoke::getSpokeInfo(kApi, "cid", "g").empty());
  transport->answers.push_back("not json");
  EXPECT_TRUE(Spoke::getSpokeInfo(kApi, "cid", "g").empty());
  json bad = gateway("g", "1.1.1.1");
  bad.erase("transit_gw_name");
  transport->answers.push_back(answerWith(json::array({bad})));
  EXPECT_TRUE(Spoke::getSpokeInfo(kApi, "cid", "g").empty());
  transport->answers.push_back(R"({"return": false, "reason": "no"})");
  EXPECT_TRUE(Spoke::getHsSpokeInfo(kApi, "cid", "g").empty());

  auto errors = messagesAt(ERROR);
  ASSERT_EQ(errors.size(), 4u);
  EXPECT_EQ(errors[0], "  **Error** Failed to get gateway info from controller. CID is invalid or expired.");
  EXPECT_EQ(errors[1].rfind("  **Error** Failed to receive transit gateway info for spoke g. ", 0), 0u);
  EXPECT_EQ(errors[2],
            "  **Error** Failed to receive transit gateway info for spoke g. "
            "gateway record without \"transit_gw_name\"");
  EXPECT_EQ(errors[3], "  **Error** Failed to get gateway info from controller. no");
}

TEST_F(ControllerAccess, HorizontalScalingLookupAddsTheListedInstancesOfRecordsWithDetails) {
  json group = gateway("hs", "1.1.1.1");
  group["hagw_details"] = nullptr;  // present, even if null
  group["hagw_details_list"] = {gateway("hs-1", "1.1.1.2"), gateway("hs-2", "1.1.1.3"), gateway("hs-3", "1.1.1.4")};
  json plain = gateway("hs", "1.1.1.5");
  plain["hagw_details_list"] = {gateway("ignored", "1.1.1.6")};
  transport->answers.push_back(answerWith(json::array({group, gateway("other", "5.5.5.5"), plain})));
  EXPECT_EQ(namesOf(Spoke::getHsSpokeInfo(kApi, "cid", "hs")),
            (std::vector<std::string>{"hs", "hs-1", "hs-2", "hs-3", "hs"}));
}

TEST(SpokeRecord, EntryMembersInOrderAndTheFirstSubnetOnly) {
  Spoke spoke;
  EXPECT_FALSE(spoke.isDefined());
  EXPECT_THROW(spoke.toDict(), std::out_of_range);
  spoke.transit_name = "t";
  EXPECT_TRUE(spoke.isDefined());
  spoke.gw_name = "g";
  spoke.gw_private_ip = "10.0.0.1";
  spoke.gw_public_ip = "1.2.3.4";
  spoke.gw_subnet = "subnet-g";
  spoke.gw_subnet_cidr = "10.0.0.0/24";
  spoke.private_subnets = {"subnet-a", "subnet-b"};
  spoke.first_private_subnet_cidr = "10.0.5.0/24";
  spoke.private_subnet_gw_ip = "10.0.5.1";
  EXPECT_EQ(spoke.toDict().dump(),
            R"({"gw_name":"g","gw_private_ip":"10.0.0.1","gw_subnet_id":"subnet-g","gw_subnet_cidr":"10.0.0.0/24",)"
            R"("private_subnet_id":"subnet-a","private_subnet_cidr":"10.0.5.0/24","private_subnet_gw_ip":"10.0.5.1"})");
}

TEST(SpokeRecord, CreateSpokeNeedsEveryMemberButTheTransit) {
  json record = gateway("g", "1.2.3.4");
  record.erase("transit_gw_name");
  Spoke spoke = Spoke::createSpoke(record);
  EXPECT_EQ(spoke.transit_name, "");
  EXPECT_EQ(spoke.gw_subnet_cidr, "10.0.0.0/24");
  for (const char* needed : {"private_ip", "gw_name", "public_ip", "gw_subnet_id", "public_subnet"}) {
    json lacking = gateway("g", "1.2.3.4");
    lacking.erase(needed);
    EXPECT_THROW(Spoke::createSpoke(lacking), std::runtime_error) << needed;
  }
}

TEST(NatRecord, EntryMembersInOrder) {
  NatGwInfo info("nat-1", "subnet-1", "198.51.100.1", "10.0.0.9");
  info.subnet_cidr = "10.0.0.0/24";
  info.private_subnet_id = "subnet-2";
  info.private_subnet_cidr = "10.0.1.0/24";
  info.private_subnet_gw_ip = "10.0.1.1";
  EXPECT_EQ(info.toDict().dump(),
            R"({"nat_gw_id":"nat-1","gw_private_ip":"10.0.0.9","gw_public_ip":"198.51.100.1",)"
            R"("gw_subnet_id":"subnet-1","gw_subnet_cidr":"10.0.0.0/24","private_subnet_id":"subnet-2",)"
            R"("private_subnet_cidr":"10.0.1.0/24","private_subnet_gw_ip":"10.0.1.1"})");
}

// Whatever the controller answers, a body that is not usable JSON is a
// ControllerError, never another exception that ends the program.
TEST(ControllerAnswer, BodiesThatAreNotJsonAreControllerErrors) {
  for (const std::string body : {"", "<html>", "{\"return\": tru", "[10.0E2123861131996504439]"}) {
    const ControllerResponse answer{502, body};
    EXPECT_THROW((void)answer.json(), ControllerError) << body;
  }
  const ControllerResponse good{200, R"({"return": true})"};
  EXPECT_TRUE(good.json()["return"].get<bool>());
}

}  // namespace
}  // namespace qvn
