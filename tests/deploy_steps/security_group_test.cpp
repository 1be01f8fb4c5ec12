// The VPC's security groups against the sandbox: find or create, the SSH
// rule from the echo address, the clean-up of a group whose rule was refused,
// deletion and its refusals.
#include "deploy_steps/steps_sandbox.hpp"

#include <thread>

#include "deploy/resource_names.hpp"
#include "deploy/security_group.hpp"

namespace qvn::deploy::testing {
namespace {

using SecurityGroups = StepsAgainstSandbox;

std::vector<Json> groupsNamed(const std::vector<aws::SecurityGroup>& all, const std::string& name) {
  std::vector<Json> out;
  for (const auto& g : all)
    if (g.GroupName == name) out.push_back(Json{{"id", g.GroupId.value_or("")}, {"rules", g.IpPermissions.size()}});
  return out;
}

TEST_F(SecurityGroups, CreationSendsTheExactRequestsAndAdmitsSshFromTheEchoAddressOnly) {
  args_.tag_resource = "team,qa";
  const auto id = createSG(context());
  ASSERT_TRUE(id.has_value());
  EXPECT_EQ(operations("ec2"), (std::vector<std::string>{"DescribeSecurityGroups", "CreateSecurityGroup",
                                                         "AuthorizeSecurityGroupIngress"}));
  EXPECT_EQ(parameters(requests("ec2", "DescribeSecurityGroups").at(0)),
            (std::vector<std::string>{"Filter.1.Name=vpc-id", "Filter.1.Value.1=" + kVpc, "Filter.2.Name=group-name",
                                      "Filter.2.Value.1=quorvane-test-ec2-sg"}));
  EXPECT_EQ(
      parameters(requests("ec2", "CreateSecurityGroup").at(0)),
      (std::vector<std::string>{"GroupDescription=Quorvane test ec2", "GroupName=quorvane-test-ec2-sg", "VpcId=" + kVpc,
                                "TagSpecification.1.ResourceType=security-group", "TagSpecification.1.Tag.1.Key=Name",
                                "TagSpecification.1.Tag.1.Value=quorvane-test-ec2-sg",
                                "TagSpecification.1.Tag.2.Key=team", "TagSpecification.1.Tag.2.Value=qa"}));
  EXPECT_EQ(parameters(requests("ec2", "AuthorizeSecurityGroupIngress").at(0)),
            (std::vector<std::string>{"GroupId=" + *id, "IpPermissions.1.FromPort=22", "IpPermissions.1.IpProtocol=tcp",
                                      "IpPermissions.1.IpRanges.1.CidrIp=" + kEchoIp + "/32",
                                      "IpPermissions.1.IpRanges.1.Description=SSH access from the workflow engine",
                                      "IpPermissions.1.ToPort=22"}));
  EXPECT_EQ(messages(), (std::vector<std::string>{"- Create SG quorvane-test-ec2-sg in " + kVpc, "  " + *id}));

  // What EC2 holds: one group, one rule, port 22 from the echo address only.
  aws::DescribeSecurityGroupsRequest by_id;
  by_id.GroupIds = {*id};
  const auto group = ec2().describe_security_groups(by_id).SecurityGroups.at(0);
  ASSERT_EQ(group.IpPermissions.size(), 1u);
  EXPECT_EQ(group.IpPermissions[0].FromPort, 22);
  EXPECT_EQ(group.IpPermissions[0].ToPort, 22);
  ASSERT_EQ(group.IpPermissions[0].IpRanges.size(), 1u);
  EXPECT_EQ(group.IpPermissions[0].IpRanges[0].CidrIp, kEchoIp + "/32");
}

TEST_F(SecurityGroups, AnExistingGroupIsReusedWithoutEchoQueryOrCreation) {
  const auto first = createSG(context());
  server().log().clear();
  // The echo service failing proves that it is not asked again.
  Json scenario = scenarioFile("spoke.json");
  scenario["ip_echo"] = {{"status", 503}};
  server().world().set_scenario(scenario);
  const auto again = createSG(context());
  EXPECT_EQ(again, first);
  EXPECT_EQ(operations("ec2"), (std::vector<std::string>{"DescribeSecurityGroups"}));
  EXPECT_EQ(messages().back(), "- Reuse existing SG quorvane-test-ec2-sg " + *first + " in " + kVpc);
}

TEST_F(SecurityGroups, AGroupLeftWithoutItsRuleGetsItWhenReused) {
  // A run stopped between CreateSecurityGroup and its inbound rule.
  aws::CreateSecurityGroupRequest bare;
  bare.Description = "Quorvane test ec2";
  bare.GroupName = "quorvane-test-ec2-sg";
  bare.VpcId = kVpc;
  const std::string id = *ec2().create_security_group(bare).GroupId;
  server().log().clear();

  EXPECT_EQ(createSG(context()), id);
  EXPECT_EQ(operations("ec2"), (std::vector<std::string>{"DescribeSecurityGroups", "AuthorizeSecurityGroupIngress"}));
  aws::DescribeSecurityGroupsRequest by_id;
  by_id.GroupIds = {id};
  auto group = ec2().describe_security_groups(by_id).SecurityGroups.at(0);
  ASSERT_EQ(group.IpPermissions.size(), 1u);
  EXPECT_EQ(group.IpPermissions[0].FromPort, 22);
  EXPECT_EQ(group.IpPermissions[0].IpRanges.at(0).CidrIp, kEchoIp + "/32");

  // With its rule, it is reused as it is.
  server().log().clear();
  EXPECT_EQ(createSG(context()), id);
  EXPECT_EQ(operations("ec2"), (std::vector<std::string>{"DescribeSecurityGroups"}));

  // The private-interface group the same way; a rule that another run added
  // meanwhile (InvalidPermission.Duplicate) is as asked.
  bare.GroupName = "quorvane-test-ec2-private-interface-sg";
  const std::string private_id = *ec2().create_security_group(bare).GroupId;
  fault({{"service", "ec2"},
         {"operation", "AuthorizeSecurityGroupIngress"},
         {"error", {{"code", "InvalidPermission.Duplicate"}, {"status", 400}}},
         {"count", 1}});
  EXPECT_EQ(exitStatusOf([&] { EXPECT_EQ(createPrivateInfSG(context()), private_id); }), -1);
  EXPECT_TRUE(messagesAt(ERROR).empty());
}

TEST_F(SecurityGroups, DryRunStillAsksTheEchoServiceButCreatesNothing) {
  args_.dry_run = true;
  EXPECT_EQ(createSG(context()), std::nullopt);
  EXPECT_EQ(createPrivateInfSG(context()), std::nullopt);
  EXPECT_EQ(operations("ec2"), (std::vector<std::string>{"DescribeSecurityGroups", "DescribeSecurityGroups"}));
  Json scenario = scenarioFile("spoke.json");
  scenario["ip_echo"] = {{"status", 503}};
  load(scenario);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(exitStatusOf([&] { createSG(context()); }), 1);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("503"), std::string::npos) << err;
}

TEST_F(SecurityGroups, EchoFailureEndsTheRunBeforeAnyCreationAndOnlyOnStandardError) {
  for (const Json& echo : {Json{{"status", 500}}, Json{{"ip", "not-an-address"}}, Json{{"ip", "203.0.113.10/8"}}}) {
    Json scenario = scenarioFile("spoke.json");
    scenario["ip_echo"] = echo;
    load(scenario);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(exitStatusOf([&] { createSG(context()); }), 1) << echo.dump();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("probe_deploy: create quorvane-test-ec2-sg in " + kVpc), std::string::npos) << err;
    EXPECT_EQ(operations("ec2"), (std::vector<std::string>{"DescribeSecurityGroups"})) << echo.dump();
  }
  EXPECT_TRUE(messagesAt(ERROR).empty());
}

TEST_F(SecurityGroups, RefusedRuleDeletesTheNewGroupSoALaterRunCreatesItWhole) {
  fault({{"service", "ec2"},
         {"operation", "AuthorizeSecurityGroupIngress"},
         {"error", {{"code", "RulesPerSecurityGroupLimitExceeded"}, {"status", 400}}},
         {"count", 1}});
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(exitStatusOf([&] { createSG(context()); }), 1);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("RulesPerSecurityGroupLimitExceeded"), std::string::npos) << err;
  EXPECT_EQ(operations("ec2"), (std::vector<std::string>{"DescribeSecurityGroups", "CreateSecurityGroup",
                                                         "AuthorizeSecurityGroupIngress", "DeleteSecurityGroup"}));
  EXPECT_TRUE(groupsNamed(ec2().describe_security_groups().SecurityGroups, names::kSshGroup).empty());

  const auto id = createSG(context());
  ASSERT_TRUE(id.has_value());
  EXPECT_EQ(groupsNamed(ec2().describe_security_groups().SecurityGroups, names::kSshGroup),
            (std::vector<Json>{Json{{"id", *id}, {"rules", 1}}}));
}

TEST_F(SecurityGroups, ARetryThatMeetsWhatItsLostAnswerMadeGoesOnWithIt) {
  setenv("AWS_MAX_ATTEMPTS", "3", 1);  // the client retries a lost answer as the SDKs do
  for (const std::string call : {"CreateSecurityGroup", "AuthorizeSecurityGroupIngress"}) {
    load(scenarioFile("spoke.json"));
    fault({{"service", "ec2"}, {"operation", call}, {"drop_answer", true}, {"count", 1}});
    std::optional<std::string> id;
    EXPECT_EQ(exitStatusOf([&] { id = createSG(context()); }), -1) << call;
    ASSERT_TRUE(id.has_value()) << call;
    EXPECT_EQ(groupsNamed(ec2().describe_security_groups().SecurityGroups, names::kSshGroup),
              (std::vector<Json>{Json{{"id", *id}, {"rules", 1}}}))
        << call;
    const auto attempts = requests("ec2", call);
    ASSERT_EQ(attempts.size(), 2u) << call;
    EXPECT_TRUE(attempts[0].value("answer_dropped", false)) << call;
    EXPECT_EQ(attempts[1].value("error_code", ""),
              call == "CreateSecurityGroup" ? "InvalidGroup.Duplicate" : "InvalidPermission.Duplicate");
  }
  EXPECT_TRUE(messagesAt(ERROR).empty());
}

TEST_F(SecurityGroups, PrivateInterfaceGroupAdmitsEverythingWithoutEchoQuery) {
  Json scenario = scenarioFile("spoke.json");
  scenario["ip_echo"] = {{"status", 503}};
  load(scenario);
  const auto id = createPrivateInfSG(context());
  ASSERT_TRUE(id.has_value());
  EXPECT_EQ(parameters(requests("ec2", "AuthorizeSecurityGroupIngress").at(0)),
            (std::vector<std::string>{"GroupId=" + *id, "IpPermissions.1.IpProtocol=-1",
                                      "IpPermissions.1.IpRanges.1.CidrIp=0.0.0.0/0"}));
  EXPECT_EQ(messages(),
            (std::vector<std::string>{"- Create SG quorvane-test-ec2-private-interface-sg in " + kVpc, "  " + *id}));
  EXPECT_EQ(createPrivateInfSG(context()), id);
  EXPECT_EQ(messages().back(), "- Reuse existing SG quorvane-test-ec2-private-interface-sg " + *id + " in " + kVpc);
}

TEST_F(SecurityGroups, LookupReportsNotFoundAndAnswersNothingForAnyRefusal) {
  EXPECT_EQ(getSgId(ec2(), kVpc, "no-such-group"), std::nullopt);
  EXPECT_TRUE(messages().empty());
  fault({{"service", "ec2"},
         {"operation", "DescribeSecurityGroups"},
         {"error", {{"code", "InvalidGroup.NotFound"}, {"status", 400}}},
         {"count", 1}});
  EXPECT_EQ(getSgId(ec2(), kVpc, names::kSshGroup), std::nullopt);
  EXPECT_EQ(messagesAt(ERROR), (std::vector<std::string>{"  **Error** SG not found quorvane-test-ec2-sg in " + kVpc}));
  fault({{"service", "ec2"},
         {"operation", "DescribeSecurityGroups"},
         {"error", {{"code", "UnauthorizedOperation"}, {"status", 403}}},
         {"count", 1}});
  EXPECT_EQ(getSgId(ec2(), kVpc, names::kSshGroup), std::nullopt);
  EXPECT_EQ(messagesAt(ERROR).size(), 1u);
}

TEST_F(SecurityGroups, DeletionSkipsDryRunAndReportsARefusalWithoutStopping) {
  const auto id = createSG(context());
  ASSERT_TRUE(id.has_value());
  server().log().clear();
  args_.dry_run = true;
  deleteSG(context(), *id);
  EXPECT_TRUE(requests("ec2").empty());

  // A dependency that outlasts every attempt is an ERROR naming the group,
  // and the group stays for the next run.
  args_.dry_run = false;
  fault({{"service", "ec2"},
         {"operation", "DeleteSecurityGroup"},
         {"error", {{"code", "DependencyViolation"}, {"status", 400}, {"message", "resource has a dependent object"}}},
         {"count", kGroupDeleteAttempts}});
  EXPECT_FALSE(deleteSG(context(), *id));
  ASSERT_EQ(messagesAt(ERROR).size(), 1u);
  const std::string err = messagesAt(ERROR).front();
  EXPECT_NE(err.find("DependencyViolation"), std::string::npos) << err;
  EXPECT_NE(err.find(*id), std::string::npos) << err;
  EXPECT_EQ(requests("ec2", "DeleteSecurityGroup").size(), static_cast<size_t>(kGroupDeleteAttempts));
  EXPECT_EQ(getSgId(ec2(), kVpc, names::kSshGroup), id);

  // A dependency that clears while instances finish going is waited out.
  fault({{"service", "ec2"},
         {"operation", "DeleteSecurityGroup"},
         {"error", {{"code", "DependencyViolation"}, {"status", 400}, {"message", "resource has a dependent object"}}},
         {"count", 1}});
  EXPECT_TRUE(deleteSG(context(), *id));
  EXPECT_EQ(getSgId(ec2(), kVpc, names::kSshGroup), std::nullopt);
}

TEST_F(SecurityGroups, GroupOfAnInstanceStillShuttingDownIsRefusedThenDeletedOnceItIsGone) {
  Json scenario = scenarioFile("spoke.json");
  scenario["timings"] = {{"instance_pending_seconds", 1}, {"instance_shutting_down_seconds", 200}};
  load(scenario);
  const auto id = createSG(context());
  ASSERT_TRUE(id.has_value());
  aws::RunInstancesRequest run;
  run.InstanceType = "t3.micro";
  run.MinCount = 1;
  run.MaxCount = 1;
  run.ImageId = "ami-0005e0cfe09cc9050";
  aws::InstanceNetworkInterfaceSpecification nic;
  nic.DeviceIndex = 0;
  nic.SubnetId = "subnet-0a5b0c0d0e0f00001";
  nic.Groups = {*id};
  run.NetworkInterfaces = {nic};
  aws::TerminateInstancesRequest terminate;
  terminate.InstanceIds = {*ec2().run_instances(run).Instances.at(0).InstanceId};
  ec2().terminate_instances(terminate);

  deleteSG(context(), *id);
  ASSERT_FALSE(messagesAt(ERROR).empty());
  EXPECT_NE(messagesAt(ERROR).back().find("DependencyViolation"), std::string::npos) << messagesAt(ERROR).back();
  EXPECT_EQ(getSgId(ec2(), kVpc, names::kSshGroup), id);

  // Shutting down lasts 2 s at this time scale.
  for (int i = 0; i < 100 && getSgId(ec2(), kVpc, names::kSshGroup); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ::testing::internal::CaptureStderr();
    deleteSG(context(), *id);
    ::testing::internal::GetCapturedStderr();
  }
  EXPECT_EQ(getSgId(ec2(), kVpc, names::kSshGroup), std::nullopt);
}

}  // namespace
}  // namespace qvn::deploy::testing
