// The sandbox's control API under /_sandbox/: requests it must refuse (and
// then change nothing), reset and scenario loading, and the request log,
// which must never show a secret whatever the calls carried.
#include <set>

#include "aws/ssm.hpp"
#include "aws/sts.hpp"
#include "ec2_test_server.hpp"

namespace qvn::sandbox {
namespace {

using namespace qvn::sandbox::testing;

const std::string kGwSubnet = "subnet-0a5b0c0d0e0f00001";
const std::string kPrivateA = "subnet-0a5b0c0d0e0f00011";

class ControlApiTest : public SandboxServerTest {
 protected:
  void SetUp() override { start(quick("spoke.json")); }

  // A refusal: status 400 and a one-line JSON error naming the problem.
  void expect_refused(const std::string& path, const std::string& body, const std::string& mention) {
    auto r = post(path, body);
    ASSERT_TRUE(r) << path;
    EXPECT_EQ(r->status, 400) << body;
    const Json answer = Json::parse(r->body, nullptr, false);
    ASSERT_TRUE(answer.is_object()) << r->body;
    const std::string error = answer.value("error", "");
    EXPECT_NE(error.find(mention), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
  Json faults() { return get_json("/_sandbox/faults")["faults"]; }
  size_t subnets() { return ec2().describe_subnets().Subnets.size(); }
  std::string launch() {
    aws::RunInstancesRequest r;
    r.MinCount = r.MaxCount = 1;
    r.ImageId = kImage;
    r.InstanceType = "t3.micro";
    r.TagSpecifications = {{"instance", {aws::Tag{"Name", "quorvane-test-ec2"}}}};
    aws::InstanceNetworkInterfaceSpecification gw, priv;
    gw.DeviceIndex = 0;
    gw.SubnetId = kGwSubnet;
    priv.DeviceIndex = 1;
    priv.SubnetId = kPrivateA;
    r.NetworkInterfaces = {gw, priv};
    return ec2().run_instances(r).Instances.at(0).InstanceId.value_or("");
  }
  size_t tool_reservations() {
    aws::DescribeInstancesRequest r;
    r.Filters = {aws::Filter{"tag:Name", {"quorvane-test-ec2"}}};
    return ec2().describe_instances(r).Reservations.size();
  }
};

// ---- faults ------------------------------------------------------------------

TEST_F(ControlApiTest, FaultRulesThatCouldNeverFireOrAreMalformedAreRefused) {
  const Json kept = {{"operation", "DescribeVpcs"}, {"error", "InternalError"}};
  ASSERT_EQ(post_status("/_sandbox/faults", kept), 200);

  expect_refused("/_sandbox/faults", "{\"operation\": ", "");
  expect_refused("/_sandbox/faults",
                 R"({"service": "ec2", "operation": "RunInstance", "error": {"code": "InternalError"}})",
                 "RunInstance");
  expect_refused("/_sandbox/faults", R"({"operation": "DescribeSubnet", "error": "InternalError"})", "DescribeSubnet");
  expect_refused("/_sandbox/faults", R"({"service": "ec3", "error": "InternalError"})", "ec3");
  expect_refused("/_sandbox/faults", R"({"error": {"message": "no code"}})", "code");
  expect_refused("/_sandbox/faults", R"({"error": {"code": "Fine", "status": 200}})", "status");
  expect_refused("/_sandbox/faults", R"({"error": "InternalError", "probability": 1.5})", "probability");
  expect_refused("/_sandbox/faults", R"({"latency_ms": {"min": 300, "max": 50}})", "latency");
  // One bad rule in a list: none of the list is added.
  expect_refused("/_sandbox/faults",
                 R"([{"operation": "DescribeSubnets", "error": "InternalError"},
                     {"operation": "NoSuchThing", "error": "InternalError"}])",
                 "NoSuchThing");
  ASSERT_EQ(faults().size(), 1u);
  EXPECT_EQ(faults()[0]["operation"], "DescribeVpcs");
  EXPECT_EQ(refusal([&] { ec2().describe_subnets(); }), "");
}

TEST_F(ControlApiTest, FaultRulesAreListedReplacedAndCleared) {
  ASSERT_EQ(post_status("/_sandbox/faults",
                        Json::array({{{"operation", "DescribeSubnets"}, {"error", "InternalError"}, {"count", 1}},
                                     {{"service", "ec2"},
                                      {"operation", "RunInstances"},
                                      {"error", {{"code", "InsufficientInstanceCapacity"}, {"status", 500}}}}})),
            200);
  EXPECT_EQ(faults().size(), 2u);
  EXPECT_EQ(refusal([&] { ec2().describe_subnets(); }), "InternalError");
  EXPECT_EQ(faults().size(), 1u);  // used up
  EXPECT_EQ(refusal([&] { launch(); }), "InsufficientInstanceCapacity");

  ASSERT_EQ(post_status("/_sandbox/faults",
                        {{"faults", {{{"operation", "DescribeImages"}, {"error", "RequestLimitExceeded"}}}},
                         {"replace", true}}),
            200);
  ASSERT_EQ(faults().size(), 1u);
  EXPECT_EQ(faults()[0]["error"]["status"], 503);
  EXPECT_EQ(refusal([&] { launch(); }), "");
  EXPECT_EQ(refusal([&] { ec2().describe_images(); }), "RequestLimitExceeded");

  auto cleared = control->Delete("/_sandbox/faults");
  ASSERT_TRUE(cleared);
  EXPECT_EQ(cleared->status, 200);
  EXPECT_TRUE(faults().empty());
  EXPECT_EQ(refusal([&] { ec2().describe_images(); }), "");
}

// ---- rate limits ---------------------------------------------------------------

TEST_F(ControlApiTest, RefusedRateLimitsLeaveTheLimitsAsTheyWere) {
  const Json before = get_json("/_sandbox/rate-limits");
  EXPECT_EQ(before["enabled"], false);
  expect_refused("/_sandbox/rate-limits", "{enabled: true}", "");
  expect_refused("/_sandbox/rate-limits", R"({"enabled": true, "describe": {"burst": -1}})", "negative");
  expect_refused("/_sandbox/rate-limits", R"({"enabled": "yes"})", "enabled");
  expect_refused("/_sandbox/rate-limits", R"({"enabled": true, "mutating": {"burst": "ten"}})", "burst");
  EXPECT_EQ(get_json("/_sandbox/rate-limits"), before);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(refusal([&] { ec2().describe_subnets(); }), "");

  ASSERT_EQ(post_status("/_sandbox/rate-limits",
                        {{"enabled", true}, {"describe", {{"burst", 1}, {"refill_per_second", 0.001}}}}),
            200);
  EXPECT_EQ(refusal([&] { ec2().describe_subnets(); }), "");
  EXPECT_EQ(refusal([&] { ec2().describe_subnets(); }), "RequestLimitExceeded");
}

// ---- scenarios and reset ---------------------------------------------------------

TEST_F(ControlApiTest, ResetForgetsEverythingMadeSinceTheScenarioWasLoaded) {
  launch();
  aws::CreateKeyPairRequest key;
  key.KeyName = "quorvane-test-ec2-key-pair-vpc-0a5b0c0d0e0f00001";
  ec2().create_key_pair(key);
  aws::CreateSecurityGroupRequest sg;
  sg.Description = "d";
  sg.GroupName = "quorvane-test-ec2-sg";
  sg.VpcId = "vpc-0a5b0c0d0e0f00001";
  ec2().create_security_group(sg);
  ec2().allocate_address();
  ASSERT_EQ(post_status("/_sandbox/faults", {{"operation", "DescribeVpcs"}, {"error", "InternalError"}}), 200);

  ASSERT_EQ(post_status("/_sandbox/reset", Json::object()), 200);
  EXPECT_TRUE(get_json("/_sandbox/requests")["requests"].empty());
  EXPECT_EQ(tool_reservations(), 0u);
  EXPECT_TRUE(ec2().describe_key_pairs().KeyPairs.empty());
  aws::DescribeSecurityGroupsRequest groups;
  groups.Filters = {aws::Filter{"group-name", {"quorvane-test-ec2-sg"}}};
  EXPECT_TRUE(ec2().describe_security_groups(groups).SecurityGroups.empty());
  EXPECT_TRUE(ec2().describe_addresses().Addresses.empty());
  EXPECT_TRUE(faults().empty());
  // What the scenario holds is back.
  EXPECT_EQ(ec2().describe_instances().Reservations.size(), 2u);
}

TEST_F(ControlApiTest, ScenarioReplacesTheStateAndResetKeepsTheNewOne) {
  ASSERT_EQ(post_status("/_sandbox/scenario", {{"file", scenario_path("natgw.json")}}), 200);
  EXPECT_EQ(get_json("/_sandbox/state")["scenario"], "natgw");
  EXPECT_EQ(subnets(), 9u);
  ASSERT_EQ(post_status("/_sandbox/reset", Json::object()), 200);
  EXPECT_EQ(subnets(), 9u);

  // Inline, with a fault of its own that reset brings back.
  Json inline_scenario = quick("spoke.json");
  inline_scenario["name"] = "spoke-faulty";
  inline_scenario["faults"] = {{{"operation", "DescribeImages"}, {"error", "InternalError"}}};
  ASSERT_EQ(post_status("/_sandbox/scenario", inline_scenario), 200);
  EXPECT_EQ(subnets(), 6u);
  ASSERT_EQ(control->Delete("/_sandbox/faults")->status, 200);
  ASSERT_EQ(post_status("/_sandbox/reset", Json::object()), 200);
  EXPECT_EQ(refusal([&] { ec2().describe_images(); }), "InternalError");
}

TEST_F(ControlApiTest, RefusedScenarioLeavesTheLoadedOneWorking) {
  expect_refused("/_sandbox/scenario", "not json", "");
  expect_refused("/_sandbox/scenario", Json{{"file", "/nonexistent/scenario.json"}}.dump(), "nonexistent");
  expect_refused("/_sandbox/scenario", Json{{"account_id", "12"}}.dump(), "account_id");

  // Valid at the top, broken inside the EC2 part.
  Json broken = quick("natgw.json");
  broken["ec2"]["route_tables"][0]["subnets"].push_back("subnet-0000000000000dead");
  expect_refused("/_sandbox/scenario", broken.dump(), "subnet-0000000000000dead");
  Json bad_fault = quick("natgw.json");
  bad_fault["faults"] = {{{"operation", "NoSuchOperation"}, {"error", "InternalError"}}};
  expect_refused("/_sandbox/scenario", bad_fault.dump(), "NoSuchOperation");

  EXPECT_EQ(get_json("/_sandbox/state")["scenario"], "spoke");
  EXPECT_EQ(subnets(), 6u);
  EXPECT_EQ(ec2().describe_key_pairs().KeyPairs.size(), 0u);
  auto reset = post("/_sandbox/reset", "{}");
  ASSERT_TRUE(reset);
  EXPECT_EQ(reset->status, 200);
  EXPECT_EQ(subnets(), 6u);
}

// ---- request log -----------------------------------------------------------------

class RequestLogTest : public SandboxServerTest {
 protected:
  void SetUp() override {
    std::vector<std::unique_ptr<Service>> others;
    others.push_back(make_iam_service());
    others.push_back(make_sts_service());
    others.push_back(make_ssm_service());
    others.push_back(make_s3_service());
    start(quick("spoke.json"), std::move(others));
  }
  static std::shared_ptr<aws::Session> session(const std::string& key, const std::string& secret,
                                               const std::string& token = "") {
    aws::SessionOptions options;
    options.region = "us-east-1";
    return aws::Session::from_credentials(key, secret, token, options);
  }
};

TEST_F(RequestLogTest, NeverShowsASecretThatACallCarriedOrReceived) {
  std::set<std::string> secrets = {kCiSecret};
  // Temporary credentials of the workflow account, and a secure parameter read with them.
  aws::StsClient sts(session(kCiKey, kCiSecret));
  aws::sts::AssumeRoleRequest role;
  role.RoleArn = "arn:aws:iam::210987654321:role/quorvane-workflow-role";
  role.RoleSessionName = "quorvane-test";
  auto assumed = sts.assume_role(role);
  ASSERT_TRUE(assumed.Credentials);
  const auto& creds = *assumed.Credentials;
  secrets.insert(creds.SecretAccessKey);
  secrets.insert(creds.SessionToken);
  aws::SsmClient ssm(session(creds.AccessKeyId, creds.SecretAccessKey, creds.SessionToken));
  aws::GetParameterRequest get_key;
  get_key.Name = "/quorvane/workflow/secrets/quorvane-workflow-key";
  get_key.WithDecryption = true;
  const std::string value = ssm.get_parameter(get_key).Parameter.value_or(aws::Parameter{}).Value.value_or("");
  ASSERT_NE(value.find("PRIVATE KEY"), std::string::npos);
  secrets.insert(value.substr(value.find('\n') + 1, 40));
  EXPECT_EQ(refusal([&] {
              aws::Ec2Client(session(creds.AccessKeyId, creds.SecretAccessKey, creds.SessionToken)).describe_subnets();
            }),
            "");
  // A new key pair's private half.
  aws::CreateKeyPairRequest key;
  key.KeyName = "quorvane-test-ec2-key-pair-vpc-0a5b0c0d0e0f00001";
  const std::string pem = ec2().create_key_pair(key).KeyMaterial.value_or("");
  ASSERT_GT(pem.size(), 100u);
  secrets.insert(pem.substr(pem.find('\n') + 1, 40));
  // A web identity token, sent unsigned in the form.
  const std::string web_token = "eyJhbGciOiJSUzI1NiJ9.c2FuZGJveC13ZWItaWRlbnRpdHk.c2lnbmF0dXJlLXNlY3JldA";
  secrets.insert(web_token);
  aws::sts::AssumeRoleWithWebIdentityRequest web;
  web.RoleArn = "arn:aws:iam::123456789012:role/quorvane-deploy-role";
  web.RoleSessionName = "quorvane-test";
  web.WebIdentityToken = web_token;
  refusal([&] { sts.assume_role_with_web_identity(web); });

  const Json log = get_json("/_sandbox/requests")["requests"];
  std::set<std::string> operations;
  for (const auto& entry : log) operations.insert(entry.value("operation", ""));
  for (const char* op : {"AssumeRole", "GetParameter", "DescribeSubnets", "CreateKeyPair", "AssumeRoleWithWebIdentity"})
    EXPECT_TRUE(operations.count(op)) << op << " missing from the log";
  const std::string text = log.dump();
  for (const auto& secret : secrets) {
    ASSERT_GE(secret.size(), 16u);
    EXPECT_EQ(text.find(secret), std::string::npos) << "the log shows " << secret;
  }
}

}  // namespace
}  // namespace qvn::sandbox
