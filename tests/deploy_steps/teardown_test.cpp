// The teardown of one test configuration against the sandbox: Elastic IPs
// found by their tags, the wait for instances already shutting down before
// the VPC's groups and key pair go, and the list of what is left behind.
#include "deploy_steps/steps_sandbox.hpp"

#include <algorithm>
#include <csignal>
#include <thread>

#include "core/interrupt.hpp"
#include "deploy/instance_role.hpp"
#include "deploy/resource_names.hpp"
#include "deploy/security_group.hpp"
#include "deploy/teardown.hpp"
#include "lib/test_config.hpp"

namespace qvn::deploy::testing {
namespace {

const std::string kGatewaySubnet = "subnet-0a5b0c0d0e0f00001";
const std::string kPrivateSubnet = "subnet-0a5b0c0d0e0f00011";
const std::string kOtherGatewaySubnet = "subnet-0a5b0c0d0e0f00002";
const std::string kOtherVpc = "vpc-0feed000000000009";
const std::string kOtherVpcSubnet = "subnet-0feed000000000009";
const std::string kImage = "ami-0005e0cfe09cc9050";

aws::Tag tag(const std::string& key, const std::string& value) { return aws::Tag{key, value}; }

class Teardown : public StepsAgainstSandbox {
 protected:
  void SetUp() override {
    StepsAgainstSandbox::SetUp();
    world();
  }

  // spoke.json, another VPC, and instances that shut down for
  // `shutting_down_seconds` (scaled like every wait, by 0.01).
  void world(double shutting_down_seconds = 0) {
    Json scenario = scenarioFile("spoke.json");
    scenario["ec2"]["vpcs"].push_back({{"id", kOtherVpc}, {"cidr", "10.99.0.0/16"}});
    scenario["ec2"]["subnets"].push_back(
        {{"id", kOtherVpcSubnet}, {"vpc", kOtherVpc}, {"az", "us-east-1a"}, {"cidr", "10.99.0.0/24"}});
    scenario["timings"] = {{"instance_shutting_down_seconds", shutting_down_seconds}};
    load(scenario);
  }

  // The VPC's shared resources as a deployment makes them; the SSH group's id.
  std::string sharedResources() {
    aws::CreateSecurityGroupRequest group;
    group.Description = "Quorvane test ec2";
    group.GroupName = names::kSshGroup;
    group.VpcId = kVpc;
    const std::string id = *ec2().create_security_group(group).GroupId;
    aws::CreateKeyPairRequest key;
    key.KeyName = names::keyPairName(kVpc);
    key.TagSpecifications = {aws::TagSpecification{"key-pair", {tag("Name", names::kKeyPairTag)}}};
    ec2().create_key_pair(key);
    return id;
  }

  // An instance in `subnet` (one interface, in `group` when given); with
  // `tool`, named as the tool's. Its id and interface.
  std::pair<std::string, std::string> launch(const std::string& subnet, const std::string& group, bool tool = true) {
    aws::RunInstancesRequest run;
    run.ImageId = kImage;
    run.InstanceType = "t3.micro";
    run.MinCount = 1;
    run.MaxCount = 1;
    aws::InstanceNetworkInterfaceSpecification nic;
    nic.DeviceIndex = 0;
    nic.SubnetId = subnet;
    if (!group.empty()) nic.Groups = {group};
    run.NetworkInterfaces = {nic};
    if (tool) run.TagSpecifications = {aws::TagSpecification{"instance", {tag("Name", names::kInstance)}}};
    const auto launched = ec2().run_instances(run).Instances.at(0);
    return {*launched.InstanceId, *launched.NetworkInterfaces.at(0).NetworkInterfaceId};
  }

  std::string allocate(const std::vector<aws::Tag>& tags) {
    aws::AllocateAddressRequest request;
    request.Domain = "vpc";
    if (!tags.empty()) request.TagSpecifications = {aws::TagSpecification{"elastic-ip", tags}};
    return *ec2().allocate_address(request).AllocationId;
  }
  std::string toolAddress(const std::string& vpc = kVpc) {
    return allocate({tag("Name", names::kEipTag), tag(names::kEipVpcTagKey, vpc)});
  }
  void associate(const std::string& allocation, const std::string& eni) {
    aws::AssociateAddressRequest request;
    request.AllocationId = allocation;
    request.NetworkInterfaceId = eni;
    ec2().associate_address(request);
  }
  std::vector<std::string> allocations() {
    std::vector<std::string> ids;
    for (const auto& a : ec2().describe_addresses().Addresses) ids.push_back(a.AllocationId.value_or(""));
    return ids;
  }

  TestConfig config(const std::string& gateway = kGatewaySubnet) {
    return TestConfig(Json::array({{{"gw_subnet_id", gateway}, {"private_subnet_id", kPrivateSubnet}}}));
  }
  std::vector<std::string> revert() {
    TestConfig c = config();
    ::testing::internal::CaptureStderr();
    left_ = terminateEc2s(context(), c).left;
    stderr_ = ::testing::internal::GetCapturedStderr();
    return descriptionsOf(left_);
  }
  bool logged(const std::string& message) const {
    const auto all = messages();
    return std::find(all.begin(), all.end(), message) != all.end();
  }
  std::size_t positionOf(const std::string& operation) {
    const auto ops = operations("ec2");
    return static_cast<std::size_t>(std::find(ops.begin(), ops.end(), operation) - ops.begin());
  }

  std::string stderr_;
  // What the last revert() left, as the teardown hands it on.
  Leftovers left_;
};

TEST_F(Teardown, FreeAddressesOfThisVpcAreFoundByTheirTagsAndNoOtherAddressIsTouched) {
  // A deployment stopped between AllocateAddress and AssociateAddress.
  const std::string idle = toolAddress();
  const std::string other_vpc = toolAddress(kOtherVpc);
  const std::string name_only = allocate({tag("Name", names::kEipTag)});
  const std::string untagged = allocate({});
  const std::string vpc_only = allocate({tag(names::kEipVpcTagKey, kVpc)});
  // One of the tool's, held by an instance of another configuration.
  const std::string held = toolAddress();
  associate(held, launch(kOtherGatewaySubnet, "").second);

  args_.dry_run = true;
  EXPECT_TRUE(revert().empty());
  EXPECT_TRUE(requests("ec2", "ReleaseAddress").empty());
  const auto address = ec2().describe_addresses().Addresses;
  const auto idle_address =
      std::find_if(address.begin(), address.end(), [&](const aws::Address& a) { return a.AllocationId == idle; });
  ASSERT_NE(idle_address, address.end());
  EXPECT_TRUE(logged("- Delete EIP " + *idle_address->PublicIp + " " + idle + " (not associated)"));

  args_.dry_run = false;
  EXPECT_TRUE(revert().empty()) << stderr_;
  const auto released = requests("ec2", "ReleaseAddress");
  ASSERT_EQ(released.size(), 1u);
  EXPECT_EQ(parameters(released[0]), std::vector<std::string>{"AllocationId=" + idle});
  const auto lookup = requests("ec2", "DescribeAddresses").back();
  EXPECT_EQ(parameters(lookup),
            (std::vector<std::string>{"Filter.1.Name=tag:Name", "Filter.1.Value.1=quorvane-test-ec2-eip",
                                      "Filter.2.Name=tag:quorvane-vpc", "Filter.2.Value.1=" + kVpc}));
  auto left = allocations();
  std::sort(left.begin(), left.end());
  std::vector<std::string> kept{other_vpc, name_only, untagged, vpc_only, held};
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(left, kept);
  EXPECT_TRUE(messagesAt(ERROR).empty());
}

TEST_F(Teardown, ASecondRevertWaitsForInstancesShuttingDownBeforeAddressesAndGroups) {
  world(/*shutting_down_seconds=*/150);  // 1.5 s at the test's time scale
  const std::string group = sharedResources();
  const auto [instance, eni] = launch(kGatewaySubnet, group);
  const std::string address = toolAddress();
  associate(address, eni);
  // The first revert was stopped right after its TerminateInstances.
  aws::TerminateInstancesRequest terminate;
  terminate.InstanceIds = {instance};
  ec2().terminate_instances(terminate);
  server().log().clear();

  EXPECT_TRUE(revert().empty()) << stderr_;
  EXPECT_TRUE(logged("- Wait until " + instance + " terminated"));
  EXPECT_TRUE(requests("ec2", "TerminateInstances").empty()) << "the worker leaves a dying instance alone";
  // Polled until terminated, then the address (free only then), then the group.
  EXPECT_GE(requests("ec2", "DescribeInstances").size(), 3u);
  EXPECT_LT(positionOf("ReleaseAddress"), positionOf("DeleteSecurityGroup"));
  for (const auto& r : requests("ec2")) EXPECT_LT(r.value("status", 0), 400) << r.dump();
  EXPECT_TRUE(allocations().empty());
  EXPECT_FALSE(getSgId(ec2(), kVpc, names::kSshGroup));
  EXPECT_TRUE(ec2().describe_key_pairs().KeyPairs.empty());
  EXPECT_TRUE(messagesAt(ERROR).empty());
}

TEST_F(Teardown, AnInstanceItTerminatesIsFirstPolledOneDelayLater) {
  world(/*shutting_down_seconds=*/10);  // less than the waiter's 15 s delay
  const std::string group = sharedResources();
  const std::string instance = launch(kGatewaySubnet, group).first;
  std::vector<double> pauses;
  core::set_sleep_function([&](core::Seconds d) {
    pauses.push_back(d.count());
    std::this_thread::sleep_for(d);
  });

  const auto left = revert();
  core::set_sleep_function({});
  EXPECT_TRUE(left.empty()) << stderr_;
  // The termination answered "shutting-down"; an immediate poll could only
  // have said the same, so the one poll comes after the pause and finds it
  // terminated. Lookup, that poll, the listing, the check.
  EXPECT_EQ(requests("ec2", "DescribeInstances").size(), 4u);
  EXPECT_EQ(pauses.size(), 1u);
  EXPECT_FALSE(getSgId(ec2(), kVpc, names::kSshGroup));
}

TEST_F(Teardown, AWaiterThatGivesUpKeepsTheSharedResourcesAndNamesWhatIsLeft) {
  world(/*shutting_down_seconds=*/1e6);
  core::set_sleep_function([](core::Seconds) {});  // the 40 polls at once
  const std::string group = sharedResources();
  const std::string instance = launch(kGatewaySubnet, group).first;
  aws::TerminateInstancesRequest terminate;
  terminate.InstanceIds = {instance};
  ec2().terminate_instances(terminate);

  const auto left = revert();
  core::set_sleep_function({});
  EXPECT_EQ(requests("ec2", "DescribeInstances").size(), 1u + 1u + 40u + 1u);  // worker, listing, waiter, check
  EXPECT_TRUE(requests("ec2", "DeleteSecurityGroup").empty());
  EXPECT_EQ(left, (std::vector<std::string>{"instance " + instance + " shutting-down in " + kGatewaySubnet,
                                            "security group " + group + " " + names::kSshGroup,
                                            "key pair " + names::keyPairName(kVpc)}));
  ASSERT_EQ(messagesAt(ERROR).size(), 1u);
  EXPECT_NE(messagesAt(ERROR).front().find("  **Error** wait until " + instance + " terminated: "), std::string::npos)
      << messagesAt(ERROR).front();
}

TEST_F(Teardown, AnInterruptedRevertPollsNoMoreStartsNoDeletionAndNamesWhatIsLeft) {
  world(/*shutting_down_seconds=*/1e6);
  const std::string group = sharedResources();
  const auto [instance, eni] = launch(kGatewaySubnet, group);
  const std::string allocation = toolAddress();
  associate(allocation, eni);
  const std::string ip = *ec2().describe_addresses().Addresses.at(0).PublicIp;
  server().log().clear();
  // SIGTERM during the wait's first pause.
  core::set_sleep_function([](core::Seconds) { core::request_interrupt(SIGTERM); });

  const auto left = revert();
  core::set_sleep_function({});
  core::reset_interrupt_for_testing();
  // The worker's lookup and the one listing of what is left: no poll.
  EXPECT_EQ(requests("ec2", "DescribeInstances").size(), 2u);
  for (const char* operation : {"ReleaseAddress", "DeleteSecurityGroup", "DeleteKeyPair"})
    EXPECT_TRUE(requests("ec2", operation).empty()) << operation;
  EXPECT_EQ(left,
            (std::vector<std::string>{
                "instance " + instance + " shutting-down in " + kGatewaySubnet, "Elastic IP " + ip + " " + allocation,
                "security group " + group + " " + names::kSshGroup, "key pair " + names::keyPairName(kVpc)}));
  EXPECT_TRUE(logged("  wait for " + instance + " ended by SIGTERM"));
  EXPECT_TRUE(messagesAt(ERROR).empty()) << messagesAt(ERROR).front();
  EXPECT_TRUE(stderr_.empty()) << stderr_;

  // Interrupted before the worker starts its termination: none is sent.
  world();
  launch(kGatewaySubnet, sharedResources());
  core::request_interrupt(SIGINT);
  const auto untouched = revert();
  core::reset_interrupt_for_testing();
  EXPECT_TRUE(requests("ec2", "TerminateInstances").empty());
  ASSERT_FALSE(untouched.empty());
  EXPECT_EQ(untouched[0].rfind("instance ", 0), 0u) << untouched[0];
}

TEST_F(Teardown, ARefusedTerminationLeavesTheInstanceWithItsElasticIp) {
  const std::string group = sharedResources();
  const auto [instance, eni] = launch(kGatewaySubnet, group);
  const std::string allocation = toolAddress();
  associate(allocation, eni);
  const std::string ip = *ec2().describe_addresses().Addresses.at(0).PublicIp;
  fault({{"service", "ec2"},
         {"operation", "TerminateInstances"},
         {"error", {{"code", "UnauthorizedOperation"}, {"status", 403}}},
         {"count", 1}});
  auto left = revert();
  ASSERT_EQ(left.size(), 4u);
  EXPECT_EQ(left[0].rfind("instance " + instance + " ", 0), 0u) << left[0];  // pending or running
  left.erase(left.begin());
  EXPECT_EQ(left, (std::vector<std::string>{"Elastic IP " + ip + " " + allocation,
                                            "security group " + group + " " + names::kSshGroup,
                                            "key pair " + names::keyPairName(kVpc)}));
  // Each leftover carries its kind and id for the summary, not only its words.
  std::vector<std::pair<std::string, std::string>> typed;
  for (const Leftover& item : left_) typed.emplace_back(item.kind, item.id);
  EXPECT_EQ(typed, (std::vector<std::pair<std::string, std::string>>{{kinds::kInstance, instance},
                                                                     {kinds::kElasticIp, allocation},
                                                                     {kinds::kGroup, group},
                                                                     {kinds::kKeyPair, names::keyPairName(kVpc)}}));
}

TEST_F(Teardown, TheDefaultIamObjectsStayWhileAnotherInstanceHoldsTheProfileAndAreNamedWhenKept) {
  const auto makeIam = [&] {
    createEc2Role(context(), createS3Policy(context()));
    createInstanceProfile(context());
    std::this_thread::sleep_for(std::chrono::milliseconds(150));  // the profile reaches EC2
  };
  makeIam();
  // Another job's instance, elsewhere in the region, holds the profile.
  aws::RunInstancesRequest run;
  run.ImageId = kImage;
  run.InstanceType = "t3.micro";
  run.MinCount = run.MaxCount = 1;
  aws::InstanceNetworkInterfaceSpecification nic;
  nic.DeviceIndex = 0;
  nic.SubnetId = kOtherVpcSubnet;
  run.NetworkInterfaces = {nic};
  aws::IamInstanceProfileSpecification profile;
  profile.Name = names::kInstanceProfile;
  run.IamInstanceProfile = profile;
  const std::string user = *ec2().run_instances(run).Instances.at(0).InstanceId;
  server().log().clear();

  args_.ec2_role = "default";
  TestConfig c = config();
  runTeardown(context(), c);
  const std::string arn = "arn:aws:iam::" + kAccount + ":instance-profile/" + names::kInstanceProfile;
  bool asked = false;
  for (const auto& r : requests("ec2", "DescribeInstances"))
    asked = asked || parameters(r) == std::vector<std::string>{"Filter.1.Name=iam-instance-profile.arn",
                                                               "Filter.1.Value.1=" + arn,
                                                               "Filter.2.Name=instance-state-name",
                                                               "Filter.2.Value.1=pending",
                                                               "Filter.2.Value.2=running",
                                                               "Filter.2.Value.3=shutting-down",
                                                               "Filter.2.Value.4=stopping",
                                                               "Filter.2.Value.5=stopped"};
  EXPECT_TRUE(asked);
  EXPECT_EQ(operations("iam"), std::vector<std::string>{}) << "nothing deleted";
  EXPECT_TRUE(
      logged("- Keep instance profile quorvane-test-ec2-instance-profile, role and policy: 1 instance uses them"));
  EXPECT_FALSE(logged("- Nothing of quorvane-test-ec2 is left for " + args_.test_config));
  EXPECT_TRUE(messagesAt(ERROR).empty());

  // The last user gone, the next revert removes them.
  aws::TerminateInstancesRequest terminate;
  terminate.InstanceIds = {user};
  ec2().terminate_instances(terminate);
  runTeardown(context(), c);
  EXPECT_EQ(requests("iam", "DeletePolicy").size(), 1u);
  EXPECT_EQ(messages().back(), "- Nothing of quorvane-test-ec2 is left for " + args_.test_config);

  // A plain revert leaves them, and says so instead of "nothing is left".
  makeIam();
  args_.ec2_role.reset();
  runTeardown(context(), c);
  EXPECT_EQ(messages().back(),
            "  **Alert** kept: instance profile quorvane-test-ec2-instance-profile, role "
            "quorvane-test-ec2-role, policy arn:aws:iam::" +
                kAccount +
                ":policy/quorvane-test-ec2-policy; a revert with --ec2_role default removes them "
                "once no other job uses them");
}

TEST_F(Teardown, AnotherConfigurationsRunningInstanceKeepsTheSharedResourcesAsAsked) {
  const std::string group = sharedResources();
  launch(kOtherGatewaySubnet, group);
  const std::string ours = launch(kGatewaySubnet, group).first;

  EXPECT_TRUE(revert().empty()) << stderr_;
  EXPECT_TRUE(logged("  terminate " + ours + " in " + kGatewaySubnet));
  EXPECT_TRUE(logged("  **Alert** More than one ec2 with tag Name:quorvane-test-ec2 found in " + kVpc));
  EXPECT_TRUE(requests("ec2", "DeleteSecurityGroup").empty());
  EXPECT_TRUE(requests("ec2", "DeleteKeyPair").empty());
  EXPECT_TRUE(messagesAt(ERROR).empty());
}

TEST_F(Teardown, NotFoundAfterALostAnswerIsGone) {
  toolAddress();  // a deployment stopped between AllocateAddress and AssociateAddress
  sharedResources();
  setenv("AWS_MAX_ATTEMPTS", "3", 1);  // the client retries a lost answer as the SDKs do
  for (const char* call : {"ReleaseAddress", "DeleteSecurityGroup"})
    fault({{"service", "ec2"}, {"operation", call}, {"drop_answer", true}, {"count", 1}});

  EXPECT_TRUE(revert().empty()) << stderr_;
  EXPECT_TRUE(allocations().empty());
  aws::DescribeSecurityGroupsRequest ssh_group;
  ssh_group.Filters = {aws::Filter{"group-name", {names::kSshGroup}}};
  EXPECT_TRUE(ec2().describe_security_groups(ssh_group).SecurityGroups.empty());
  for (const char* call : {"ReleaseAddress", "DeleteSecurityGroup"}) {
    const auto attempts = requests("ec2", call);
    ASSERT_EQ(attempts.size(), 2u) << call;
    EXPECT_TRUE(attempts[0].value("answer_dropped", false)) << call;
    EXPECT_NE(attempts[1].value("error_code", "").find("NotFound"), std::string::npos) << call;
  }
  EXPECT_TRUE(messagesAt(ERROR).empty());
}

TEST_F(Teardown, ATerminationAndAKeyPairDeletionWhoseAnswersWereLostAreDone) {
  // Both are idempotent on EC2: the retry is answered as the first attempt would have been.
  const std::string group = sharedResources();
  const std::string instance = launch(kGatewaySubnet, group).first;
  setenv("AWS_MAX_ATTEMPTS", "3", 1);
  for (const char* call : {"TerminateInstances", "DeleteKeyPair"})
    fault({{"service", "ec2"}, {"operation", call}, {"drop_answer", true}, {"count", 1}});

  EXPECT_TRUE(revert().empty()) << stderr_;
  for (const char* call : {"TerminateInstances", "DeleteKeyPair"}) {
    const auto attempts = requests("ec2", call);
    ASSERT_EQ(attempts.size(), 2u) << call;
    EXPECT_TRUE(attempts[0].value("answer_dropped", false)) << call;
    EXPECT_EQ(attempts[1].value("status", 0), 200) << call;
  }
  EXPECT_TRUE(ec2().describe_key_pairs().KeyPairs.empty());
  aws::DescribeInstancesRequest ours;
  ours.InstanceIds = {instance};
  const auto reservations = ec2().describe_instances(ours).Reservations;
  ASSERT_EQ(reservations.size(), 1u);
  EXPECT_EQ(reservations[0].Instances.at(0).State->Name, "terminated");
  EXPECT_TRUE(messagesAt(ERROR).empty());
}

TEST_F(Teardown, AGroupEc2KeepsRefusingIsAnErrorAndLeftBehind) {
  // In use by an instance that is not the tool's: DependencyViolation stays.
  const std::string group = sharedResources();
  launch(kOtherGatewaySubnet, group, /*tool=*/false);

  const auto left = revert();
  EXPECT_EQ(requests("ec2", "DeleteSecurityGroup").size(), static_cast<std::size_t>(kGroupDeleteAttempts));
  EXPECT_EQ(left, std::vector<std::string>{"security group " + group + " " + names::kSshGroup});
  ASSERT_EQ(messagesAt(ERROR).size(), 1u);
  EXPECT_NE(messagesAt(ERROR).front().find("DependencyViolation"), std::string::npos);
  EXPECT_TRUE(ec2().describe_key_pairs().KeyPairs.empty()) << "the key pair goes all the same";
}

TEST_F(Teardown, ACleanRevertWithNothingThereOnlyReportsNotFound) {
  args_.ec2_role = "default";
  TestConfig c = config();
  ::testing::internal::CaptureStderr();
  runTeardown(context(), c);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(err.empty()) << err;
  EXPECT_TRUE(messagesAt(ERROR).empty());
  const auto info = messagesAt(INFO);
  EXPECT_EQ(std::count(info.begin(), info.end(), "  not found"), 2);
  EXPECT_TRUE(logged("  Key not found: " + names::keyPairName(kVpc)));
  EXPECT_TRUE(logged("  not found: instance profile quorvane-test-ec2-instance-profile"));
  EXPECT_TRUE(logged("  not found: role quorvane-test-ec2-role"));
  EXPECT_EQ(info.back(), "- Nothing of quorvane-test-ec2 is left for " + args_.test_config);
}

}  // namespace
}  // namespace qvn::deploy::testing
