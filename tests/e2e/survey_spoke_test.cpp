// subnet_survey spoke against the sandbox: the classic search (a gateway and
// its HA peer) and the horizontal-scaling search.
#include <gtest/gtest.h>

#include "e2e/survey_support.hpp"

namespace qvn::e2e {
namespace {

using nlohmann::json;

class ClassicSpokeSurvey : public SurveyAgainstSandbox {
 protected:
  ClassicSpokeSurvey() : SurveyAgainstSandbox("spoke.json"), scenario(readScenario("spoke.json")) {}

  json& gateways() { return scenario["controller"]["gateways"]; }
  json& routeTable(const std::string& id) { return element(scenario["ec2"]["route_tables"], "id", id); }
  ProcessResult surveyChanged(const std::string& gateway = "spoke1") {
    sandbox().load(scenario);
    return survey(kSpokeVpc, spoke(gateway));
  }

  json scenario;
};

TEST_F(ClassicSpokeSurvey, GatewayAndPeerListedUnderItsOwnNameYieldOneEntryEach) {
  std::vector<std::string> tail{"--summary_json", "summary.json"};
  for (const std::string& word : spoke("spoke1")) tail.push_back(word);
  auto r = survey(kSpokeVpc, tail);
  ASSERT_EQ(r.status, 0) << r.err;
  const json summary = json::parse(slurp(cwd() / "summary.json"));
  EXPECT_EQ(summary.at("entries"), json::parse(R"([{"subnet": "subnet-0a5b0c0d0e0f00011", "outcome": "found"},
                                                   {"subnet": "subnet-0a5b0c0d0e0f00021", "outcome": "found"}])"));
  EXPECT_EQ(summary.at("written").at("entry"), 2);
  EXPECT_TRUE(summary.at("errors").empty());
  EXPECT_TRUE(summary.at("wall_time_seconds").is_number_float());
  // The peer from hagw_details and the "-hagw" record share an interface:
  // one entry, in the peer's place, with the values of the later lookup
  // (the peer alone knows no subnet).
  EXPECT_EQ(written(), R"([
  {
    "gw_name": "spoke1",
    "gw_private_ip": "10.10.0.10",
    "gw_subnet_id": "subnet-0a5b0c0d0e0f00001",
    "gw_subnet_cidr": "10.10.0.0/24",
    "private_subnet_id": "subnet-0a5b0c0d0e0f00011",
    "private_subnet_cidr": "10.10.10.0/24",
    "private_subnet_gw_ip": "10.10.10.1"
  },
  {
    "gw_name": "spoke1-hagw",
    "gw_private_ip": "10.10.1.10",
    "gw_subnet_id": "subnet-0a5b0c0d0e0f00002",
    "gw_subnet_cidr": "10.10.1.0/24",
    "private_subnet_id": "subnet-0a5b0c0d0e0f00021",
    "private_subnet_cidr": "10.10.20.0/24",
    "private_subnet_gw_ip": "10.10.20.1"
  }
]
)");
  EXPECT_TRUE(logged("test.config:"));
  EXPECT_TRUE(logged("  found quorvane-transit"));

  // The login is a POST with the password in its body; the two gateway
  // lookups are GETs of the classic API.
  auto calls = sandbox().controllerRequests();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0]["method"], "POST");
  EXPECT_EQ(calls[0]["path"], "/v1/api");
  EXPECT_EQ(calls[0]["action"], "login");
  EXPECT_NE(calls[0]["body"].dump().find("\"password\""), std::string::npos);
  EXPECT_EQ(calls[0]["query"], json::array());
  for (int i : {1, 2}) {
    EXPECT_EQ(calls[i]["method"], "GET");
    EXPECT_EQ(calls[i]["path"], "/v1/api");
    EXPECT_EQ(calls[i]["action"], "list_vpcs_summary");
  }
}

TEST_F(ClassicSpokeSurvey, GatewayTheControllerDoesNotListWritesAnEmptyArray) {
  auto r = survey(kSpokeVpc, spoke("no-such-gateway"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(written(), "[]\n");
  EXPECT_NE(r.err.find("  **Warning** the controller lists no gateway named no-such-gateway"), std::string::npos)
      << r.err;
  EXPECT_TRUE(sandbox().requests("ec2", "DescribeNetworkInterfaces").empty());
}

TEST_F(ClassicSpokeSurvey, PeerWithoutPrivateAddressIsReportedAndStillSearched) {
  element(gateways(), "gw_name", "spoke1")["hagw_details"].erase("private_ip");
  gateways().erase(1);  // no "-hagw" record
  auto r = surveyChanged();
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(logged("  **Error** spoke spoke1-hagw private_ip not found"));
  auto e = entries();
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[1]["gw_name"], "spoke1-hagw");
  EXPECT_EQ(e[1]["gw_private_ip"], "");
  EXPECT_EQ(e[1]["gw_subnet_id"], "");
  EXPECT_EQ(e[1]["private_subnet_id"], "subnet-0a5b0c0d0e0f00021");
}

TEST_F(ClassicSpokeSurvey, FirstAssociationOfTheRouteTableWinsAndMainAssociationIsPassedOver) {
  // The main route table routes to spoke1: its association names no subnet.
  routeTable("rtb-0a5b0c0d0e0f00011")["main"] = true;
  routeTable("rtb-0a5b0c0d0e0f00011")["subnets"] = {"subnet-0a5b0c0d0e0f00012", "subnet-0a5b0c0d0e0f00011",
                                                    "subnet-0a5b0c0d0e0f00022"};
  routeTable("rtb-0a5b0c0d0e0f00021")["subnets"] = {"subnet-0a5b0c0d0e0f00021"};
  auto r = surveyChanged();
  ASSERT_EQ(r.status, 0) << r.err;
  auto e = entries();
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0]["private_subnet_id"], "subnet-0a5b0c0d0e0f00012");
  EXPECT_EQ(e[0]["private_subnet_cidr"], "10.10.11.0/24");
  EXPECT_EQ(e[0]["private_subnet_gw_ip"], "10.10.11.1");
}

TEST_F(ClassicSpokeSurvey, ControllerRefusalIsAnErrorAndLeavesAnEmptyResult) {
  scenario["controller"]["list_error"] = "Gateway list unavailable.";
  auto r = surveyChanged();
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(logged("  **Error** Failed to get gateway info from controller. Gateway list unavailable."));
  EXPECT_EQ(written(), "[]\n");
}

TEST_F(ClassicSpokeSurvey, RecordWithoutTransitNameContributesNothing) {
  element(gateways(), "gw_name", "spoke1").erase("transit_gw_name");
  auto r = surveyChanged();
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(logged("  **Error** Failed to receive transit gateway info for spoke spoke1. "));
  EXPECT_TRUE(logged("transit_gw_name"));
  auto e = entries();
  ASSERT_EQ(e.size(), 1u);  // the "-hagw" record alone
  EXPECT_EQ(e[0]["gw_name"], "spoke1-hagw");
}

// A search that cannot complete says why in one line, ends with status 1 and
// writes nothing.
TEST_F(ClassicSpokeSurvey, SearchThatCannotCompleteFailsTheRunAndWritesNothing) {
  struct Case {
    std::string what;
    std::function<void(json&)> change;
    std::string message;
  };
  const std::vector<Case> cases{
      {"no route",
       [](json& s) { element(s["ec2"]["route_tables"], "id", "rtb-0a5b0c0d0e0f00021")["routes"] = json::array(); },
       "no route table of vpc-0a5b0c0d0e0f00001 routes to the interface eni-0a5b0c0d0e0f00002 of gateway spoke1-hagw"},
      {"no interface",
       [](json& s) { element(s["controller"]["gateways"], "gw_name", "spoke1")["public_ip"] = "203.0.113.99"; },
       "no network interface carries the public address 203.0.113.99 of gateway spoke1"},
      {"EC2 refuses",
       [](json& s) {
         s["faults"] = {{{"service", "ec2"},
                         {"operation", "DescribeRouteTables"},
                         {"error", {{"code", "UnauthorizedOperation"}, {"status", 403}, {"message", "not allowed"}}}}};
       },
       "UnauthorizedOperation"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    json changed = scenario;
    c.change(changed);
    sandbox().load(changed);
    std::filesystem::remove(cwd() / "out.json");
    auto r = survey(kSpokeVpc, spoke("spoke1"));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_FALSE(wrote());
    EXPECT_NE(r.err.find("  **Error** The subnet search for spoke spoke1 failed: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
}

class HsSpokeSurvey : public SurveyAgainstSandbox {
 protected:
  HsSpokeSurvey() : SurveyAgainstSandbox("spoke-hs.json"), scenario(readScenario("spoke-hs.json")) {}

  json& record() { return element(scenario["controller"]["gateways"], "gw_name", "spoke-hs"); }
  json& instances() { return record()["hagw_details_list"]; }
  ProcessResult surveyChanged() {
    sandbox().load(scenario);
    return survey(kHsVpc, spoke("spoke-hs", true));
  }

  // A fourth gateway instance: its interface, subnets and a route table.
  void addThirdInstance() {
    json& ec2 = scenario["ec2"];
    json instance = ec2["instances"][2];
    instance["id"] = "i-0b5b0c0d0e0f00004";
    instance["tags"]["Name"] = "spoke-hs-3";
    instance["network_interfaces"][0]["id"] = "eni-0b5b0c0d0e0f00004";
    instance["network_interfaces"][0]["private_ip"] = "10.20.2.11";
    instance["network_interfaces"][0]["public_ip"] = "198.51.100.23";
    ec2["instances"].push_back(instance);
    json subnet = element(ec2["subnets"], "id", "subnet-0b5b0c0d0e0f00013");
    subnet["id"] = "subnet-0b5b0c0d0e0f00014";
    subnet["cidr"] = "10.20.13.64/26";
    ec2["subnets"].push_back(subnet);
    ec2["route_tables"].push_back(
        {{"id", "rtb-0b5b0c0d0e0f00014"},
         {"vpc", kHsVpc},
         {"routes", {{{"destination", "0.0.0.0/0"}, {"network_interface", "eni-0b5b0c0d0e0f00004"}}}},
         {"subnets", {"subnet-0b5b0c0d0e0f00014"}}});
    json listed = instances()[1];
    listed["gw_name"] = "spoke-hs-3";
    listed["private_ip"] = "10.20.2.11";
    listed["public_ip"] = "198.51.100.23";
    instances().push_back(listed);
  }

  json scenario;
};

TEST_F(HsSpokeSurvey, GatewayThenEveryListedInstanceInOrder) {
  addThirdInstance();
  auto r = surveyChanged();
  ASSERT_EQ(r.status, 0) << r.err;
  auto e = entries();
  ASSERT_EQ(e.size(), 4u);
  std::vector<std::string> names;
  for (const auto& entry : e) names.push_back(entry["gw_name"]);
  EXPECT_EQ(names, (std::vector<std::string>{"spoke-hs", "spoke-hs-1", "spoke-hs-2", "spoke-hs-3"}));
  EXPECT_EQ(e[3]["private_subnet_id"], "subnet-0b5b0c0d0e0f00014");
  EXPECT_EQ(e[3]["private_subnet_gw_ip"], "10.20.13.65");
  // One lookup, on the horizontal-scaling API, none under the "-hagw" name.
  auto calls = sandbox().controllerRequests();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1]["path"], "/v2/api");
  EXPECT_EQ(calls[1]["action"], "list_vpcs_summary");
}

TEST_F(HsSpokeSurvey, RecordWithoutHagwDetailsIsOneGatewayEvenWithAList) {
  record().erase("hagw_details");
  auto r = surveyChanged();
  ASSERT_EQ(r.status, 0) << r.err;
  auto e = entries();
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0]["gw_name"], "spoke-hs");
}

TEST_F(HsSpokeSurvey, InstancesSharingAPublicAddressYieldOneEntryWithTheLaterValues) {
  instances()[1]["public_ip"] = instances()[0]["public_ip"];
  instances()[1].erase("transit_gw_name");
  auto r = surveyChanged();
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(logged("  spoke spoke-hs-2 is not attached to a transit"));
  auto e = entries();
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[1]["gw_name"], "spoke-hs-2");
  EXPECT_EQ(e[1]["gw_subnet_id"], "subnet-0b5b0c0d0e0f00003");
  EXPECT_EQ(e[1]["private_subnet_id"], "subnet-0b5b0c0d0e0f00012");
}

TEST_F(HsSpokeSurvey, ListedInstanceMissingAMemberFailsTheLookup) {
  instances()[1].erase("gw_subnet_id");
  auto r = surveyChanged();
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(
      logged("  **Error** Failed to receive transit gateway info for spoke spoke-hs. "
             "gateway record without \"gw_subnet_id\""));
  EXPECT_EQ(written(), "[]\n");
}

}  // namespace
}  // namespace qvn::e2e
