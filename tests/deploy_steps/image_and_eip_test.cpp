// The machine image lookup, the Elastic IPs and the checks of what a
// deployment needs from them, against the sandbox.
#include "deploy_steps/steps_sandbox.hpp"

#include <algorithm>
#include <thread>

#include "deploy/elastic_ip.hpp"
#include "deploy/run_summary.hpp"
#include "deploy/machine_image.hpp"
#include "deploy/preflight.hpp"

namespace qvn::deploy::testing {
namespace {

const std::string kDefaultImageId = "ami-0005e0cfe09cc9050";

using MachineImage = StepsAgainstSandbox;

TEST_F(MachineImage, DefaultNameGivesTheAmazonImageWithTheExactRequest) {
  EXPECT_EQ(getAMIByName(ec2(), args_), kDefaultImageId);
  EXPECT_EQ(messagesAt(INFO), (std::vector<std::string>{"- Lookup AMI for " + args_.image, "  " + kDefaultImageId}));
  const auto sent = requests("ec2", "DescribeImages");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(parameters(sent[0]),
            (std::vector<std::string>{"ExecutableBy.1=all", "Filter.1.Name=name", "Filter.1.Value.1=" + args_.image,
                                      "Owner.1=amazon", "IncludeDeprecated=false"}));
}

TEST_F(MachineImage, UnknownOrDeprecatedNameEndsTheRunWithTheErrorRecord) {
  Json scenario = scenarioFile("spoke.json");
  std::string deprecated;
  for (const auto& image : scenario["ec2"]["images"])
    if (image.contains("deprecation_time")) deprecated = image.value("name", "");
  ASSERT_FALSE(deprecated.empty());
  for (const std::string& name : {deprecated, std::string("no-such-image")}) {
    args_.image = name;
    EXPECT_EQ(exitStatusOf([&] { getAMIByName(ec2(), args_); }), 1) << name;
    ASSERT_FALSE(messagesAt(ERROR).empty());
    EXPECT_EQ(messagesAt(ERROR).back(), "  **Error** Failed to find image " + name);
    // The region is named: a name offered elsewhere reads as a missing image.
    EXPECT_EQ(messagesAt(INFO).back(), "  No image named " + name + " is offered in region " + ec2().sender().region() +
                                           ": check --region and --image");
  }
}

TEST_F(MachineImage, SsmLookupTakesTheFirstParameterWhoseNameEndsWithTheImage) {
  args_.image = "al2023-ami-kernel-6.1-x86_64";
  EXPECT_EQ(getAMI(aws::SsmClient(session()), args_), kDefaultImageId);
  args_.image = "not-offered";
  EXPECT_EQ(exitStatusOf([&] { getAMI(aws::SsmClient(session()), args_); }), 1);
  EXPECT_EQ(messagesAt(ERROR), (std::vector<std::string>{"  **Error** Failed to find image not-offered"}));
  for (const auto& r : requests("ssm"))
    EXPECT_EQ(parameters(r), (std::vector<std::string>{"Path=/aws/service/ami-amazon-linux-latest"}));
}

class ElasticIp : public StepsAgainstSandbox {
 protected:
  // A gateway interface of the scenario, free of any address.
  std::string interfaceId() {
    const auto enis = ec2().describe_network_interfaces().NetworkInterfaces;
    return enis.empty() ? std::string() : enis.front().NetworkInterfaceId.value_or("");
  }
};

TEST_F(ElasticIp, AllocationCarriesNameThenUserTagsAndGoesToTheInterface) {
  const std::string eni = interfaceId();
  ASSERT_FALSE(eni.empty());
  server().log().clear();
  args_.tag_resource = "team,qa,owner,me";
  associateEIP(context(), eni);
  // The VPC tag comes last, after the user tags; nothing asks EC2 for it.
  EXPECT_TRUE(requests("ec2", "DescribeNetworkInterfaces").empty());
  const auto allocate = requests("ec2", "AllocateAddress");
  ASSERT_EQ(allocate.size(), 1u);
  EXPECT_EQ(parameters(allocate[0]),
            (std::vector<std::string>{
                "Domain=vpc", "TagSpecification.1.ResourceType=elastic-ip", "TagSpecification.1.Tag.1.Key=Name",
                "TagSpecification.1.Tag.1.Value=quorvane-test-ec2-eip", "TagSpecification.1.Tag.2.Key=team",
                "TagSpecification.1.Tag.2.Value=qa", "TagSpecification.1.Tag.3.Key=owner",
                "TagSpecification.1.Tag.3.Value=me", "TagSpecification.1.Tag.4.Key=quorvane-vpc",
                "TagSpecification.1.Tag.4.Value=" + kVpc}));
  const auto associate = requests("ec2", "AssociateAddress");
  ASSERT_EQ(associate.size(), 1u);
  const auto params = parameters(associate[0]);
  ASSERT_EQ(params.size(), 2u);
  EXPECT_EQ(params[0].rfind("AllocationId=eipalloc-", 0), 0u);
  EXPECT_EQ(params[1], "NetworkInterfaceId=" + eni);
  const auto msgs = messages();
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(msgs[0], "- Allocate EIP");
  EXPECT_EQ(msgs[1].rfind("  allocated EIP ", 0), 0u);
  EXPECT_NE(msgs[1].find(params[0].substr(std::string("AllocationId=").size())), std::string::npos);
}

TEST_F(ElasticIp, AnAssociationWhoseAnswerWasLostIsDoneWhenItsRetryMeetsIt) {
  const std::string eni = interfaceId();
  setenv("AWS_MAX_ATTEMPTS", "3", 1);  // the client retries a lost answer as the SDKs do
  fault({{"service", "ec2"}, {"operation", "AssociateAddress"}, {"drop_answer", true}, {"count", 1}});
  EXPECT_NO_THROW(associateEIP(context(), eni));
  const auto attempts = requests("ec2", "AssociateAddress");
  ASSERT_EQ(attempts.size(), 2u);
  EXPECT_TRUE(attempts[0].value("answer_dropped", false));
  const auto addresses = ec2().describe_addresses().Addresses;
  ASSERT_EQ(addresses.size(), 1u);
  EXPECT_EQ(addresses[0].NetworkInterfaceId, eni);
}

TEST_F(ElasticIp, AnAllocationWhoseAnswerWasLostLeavesNoSecondAddressOnceTheLaunchesEnd) {
  const std::string eni = interfaceId();
  // Without a lost answer nothing is looked up, and another worker's
  // address that is not associated yet is left alone.
  const std::string other = *ec2().allocate_address([] {
    aws::AllocateAddressRequest request;
    request.Domain = "vpc";
    return request;
  }()).AllocationId;
  server().log().clear();
  EXPECT_TRUE(releaseLostAllocations(context()).empty());
  EXPECT_TRUE(requests("ec2").empty());

  setenv("AWS_MAX_ATTEMPTS", "3", 1);  // the client retries a lost answer as the SDKs do
  fault({{"service", "ec2"}, {"operation", "AllocateAddress"}, {"drop_answer", true}, {"count", 1}});
  core::RunTally tally;
  RunContext run = context();
  run.tally = &tally;
  associateEIP(run, eni);
  const auto attempts = requests("ec2", "AllocateAddress");
  ASSERT_EQ(attempts.size(), 2u);
  EXPECT_TRUE(attempts[0].value("answer_dropped", false));
  EXPECT_EQ(ec2().describe_addresses().Addresses.size(), 3u);  // the orphan of the first attempt

  EXPECT_TRUE(releaseLostAllocations(run).empty());
  std::vector<std::string> left;
  for (const auto& address : ec2().describe_addresses().Addresses) {
    if (address.AllocationId != other) EXPECT_EQ(address.NetworkInterfaceId, eni);
    left.push_back(address.AllocationId.value_or(""));
  }
  EXPECT_EQ(left.size(), 2u);
  EXPECT_NE(std::find(left.begin(), left.end(), other), left.end()) << "not the tool's: kept";
  // What the summary counts is what happened: two made, one of them released.
  EXPECT_EQ(tally.count(core::Change::Made, kinds::kElasticIp), 2);
  EXPECT_EQ(tally.count(core::Change::Removed, kinds::kElasticIp), 1);
  EXPECT_TRUE(messagesAt(ERROR).empty());
  // Told once: the next run of the step looks for nothing.
  server().log().clear();
  EXPECT_TRUE(releaseLostAllocations(run).empty());
  EXPECT_TRUE(requests("ec2").empty());
}

TEST_F(ElasticIp, RefusedAssociationReleasesTheNewAddressAndRaises) {
  fault({{"service", "ec2"},
         {"operation", "AssociateAddress"},
         {"error", {{"code", "InvalidNetworkInterfaceID.NotFound"}, {"status", 400}}},
         {"count", 1}});
  EXPECT_THROW(associateEIP(context(), "eni-0000000000000dead"), aws::ServiceError);
  const auto released = requests("ec2", "ReleaseAddress");
  ASSERT_EQ(released.size(), 1u);
  const std::string allocationId = parameters(released[0]).at(0).substr(std::string("AllocationId=").size());
  ASSERT_EQ(messages().size(), 2u);
  EXPECT_EQ(messages()[1].substr(messages()[1].size() - allocationId.size()), allocationId);
  EXPECT_TRUE(ec2().describe_addresses().Addresses.empty());
}

TEST_F(ElasticIp, LookupNeedsBothInstanceAndAddressAndReleaseHonoursDryRun) {
  // Launch an instance with one interface in a public subnet, give it an EIP.
  aws::Ec2Client client = ec2();
  aws::RunInstancesRequest run;
  run.InstanceType = "t3.micro";
  run.MinCount = 1;
  run.MaxCount = 1;
  run.ImageId = kDefaultImageId;
  aws::InstanceNetworkInterfaceSpecification nic;
  nic.DeviceIndex = 0;
  nic.SubnetId = "subnet-0a5b0c0d0e0f00001";
  run.NetworkInterfaces = {nic};
  const auto launched = client.run_instances(run);
  const std::string instance = *launched.Instances.at(0).InstanceId;
  const std::string eni = *launched.Instances.at(0).NetworkInterfaces.at(0).NetworkInterfaceId;
  associateEIP(context(), eni);
  const auto address = client.describe_addresses().Addresses.at(0);
  const std::string ip = *address.PublicIp;

  EXPECT_EQ(getEipAllocationId(client, instance, ip), *address.AllocationId);
  const auto lookup = requests("ec2", "DescribeAddresses");
  EXPECT_EQ(parameters(lookup.at(1)), (std::vector<std::string>{"Filter.1.Name=instance-id",
                                                                "Filter.1.Value.1=" + instance, "PublicIp.1=" + ip}));
  // No Elastic IP of that instance (or no Elastic IP at all): nothing, not a failure.
  EXPECT_FALSE(getEipAllocationId(client, "i-0123456789abcdef0", ip));
  EXPECT_FALSE(getEipAllocationId(client, instance, "198.51.100.77"));

  args_.dry_run = true;
  releaseEIP(context(), ip, *address.AllocationId, instance);
  EXPECT_TRUE(requests("ec2", "ReleaseAddress").empty());
  // As in the teardown: the instance goes first, then its address.
  aws::TerminateInstancesRequest terminate;
  terminate.InstanceIds = {instance};
  client.terminate_instances(terminate);
  for (int i = 0; i < 200 && client.describe_addresses().Addresses.at(0).AssociationId; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  args_.dry_run = false;
  releaseEIP(context(), ip, *address.AllocationId, instance);
  EXPECT_EQ(requests("ec2", "ReleaseAddress").size(), 1u);
  EXPECT_EQ(messages().back(), "- Delete EIP " + ip + " " + *address.AllocationId + " for " + instance);
  EXPECT_EQ(messages()[messages().size() - 2], messages().back());
}

using Preflight = StepsAgainstSandbox;

TEST_F(Preflight, NeedsCountWhatTheVpcDoesNotHoldAlready) {
  TestConfig config = TestConfig::parse(R"([
    {"gw_subnet_id": "subnet-g1", "private_subnet_id": "subnet-p1"},
    {"gw_subnet_id": "subnet-g2", "private_subnet_id": "subnet-p2"},
    {"gw_subnet_id": "subnet-g3", "private_subnet_id": "subnet-p3"},
    {"gw_subnet_id": "subnet-g4", "private_subnet_id": "subnet-p1"},
    {"gw_subnet_id": "subnet-g5", "private_subnet_id": "subnet-p5"},
    {"gw_subnet_id": "subnet-g6", "private_subnet_id": "subnet-p6"},
    {"gw_subnet_id": "subnet-g7", "private_subnet_id": ""}
  ])",
                                        "in.json");
  const std::vector<ToolInstance> instances = {
      {"i-2", "running", "subnet-g2", "", "203.0.113.2"},  // adopted with its address: nothing
      {"i-3", "pending", "subnet-g3", "", ""},             // adopted without one: an Elastic IP
      {"i-4a", "running", "subnet-g4", "", ""},            // two of them: adopted neither, a new one
      {"i-4b", "running", "subnet-g4", "", ""},
      {"i-5", "shutting-down", "subnet-g5", "", ""},  // gone: a new one
      {"i-6", "stopped", "subnet-g6", "", ""},        // left alone: nothing
  };
  const DeploymentNeeds needs = deploymentNeeds(config, instances);
  EXPECT_EQ(needs.launching, (std::vector<std::string>{"subnet-g1", "subnet-g4", "subnet-g5"}));
  EXPECT_EQ(needs.new_addresses, 4);
  EXPECT_EQ(needs.subnet_addresses,
            (std::map<std::string, int>{
                {"subnet-g1", 1}, {"subnet-g4", 1}, {"subnet-g5", 1}, {"subnet-p1", 2}, {"subnet-p5", 1}}));
}

TEST_F(Preflight, ElasticIpQuotaAgainstTheAddressesOfTheRegion) {
  // No quota stated: nothing to check against, and no address is counted.
  EXPECT_TRUE(elasticIpShortfall(ec2(), 3).empty());
  EXPECT_EQ(operations("ec2"), std::vector<std::string>{"DescribeAccountAttributes"});
  EXPECT_EQ(parameters(requests("ec2").at(0)), std::vector<std::string>{"AttributeName.1=vpc-max-elastic-ips"});

  Json scenario = scenarioFile("spoke.json");
  scenario["ec2"]["account_attributes"]["vpc-max-elastic-ips"] = 3;
  load(scenario);
  ec2().allocate_address();
  EXPECT_TRUE(elasticIpShortfall(ec2(), 2).empty()) << "exactly what is left";
  EXPECT_EQ(elasticIpShortfall(ec2(), 3),
            std::vector<std::string>{"Elastic IPs: this deployment needs 3 new addresses; the account allows 3 in "
                                     "us-east-1 (vpc-max-elastic-ips) and 1 is allocated"});
  const std::size_t sent = requests("ec2").size();
  EXPECT_TRUE(elasticIpShortfall(ec2(), 0).empty());
  EXPECT_EQ(requests("ec2").size(), sent) << "no address needed: nothing asked";

  // The sandbox holds the account to it.
  ec2().allocate_address();
  ec2().allocate_address();
  try {
    ec2().allocate_address();
    ADD_FAILURE() << "a fourth address was allocated";
  } catch (const aws::ServiceError& refusal) {
    EXPECT_EQ(refusal.code(), "AddressLimitExceeded");
  }

  // A refused read skips the check with its WARNING.
  fault({{"service", "ec2"},
         {"operation", "DescribeAccountAttributes"},
         {"error", {{"code", "UnauthorizedOperation"}, {"status", 403}}}});
  EXPECT_TRUE(elasticIpShortfall(ec2(), 10).empty());
  ASSERT_EQ(messagesAt(WARNING).size(), 1u);
  EXPECT_EQ(messagesAt(WARNING)[0].rfind("  **Warning** Elastic IPs not checked: ", 0), 0u) << messagesAt(WARNING)[0];
}

TEST_F(Preflight, InstanceTypeKnownOfferedInEveryZoneAndAbleToRunTheImage) {
  Json scenario = scenarioFile("spoke.json");
  scenario["ec2"]["instance_type_offerings"] = {{"us-east-1a", {"t3.micro", "t4g.micro"}},
                                                {"us-east-1b", {"t3.small"}}};
  load(scenario);
  aws::Image image;
  image.ImageId = kDefaultImageId;
  image.Architecture = "x86_64";
  const std::map<std::string, std::vector<std::string>> zones = {{"us-east-1a", {"subnet-a"}},
                                                                 {"us-east-1b", {"subnet-b1", "subnet-b2"}}};
  EXPECT_EQ(instanceTypeShortfall(ec2(), "t3.micro", zones, image),
            std::vector<std::string>{"Instance type: t3.micro is not offered in us-east-1b, the zone of gateway "
                                     "subnets subnet-b1, subnet-b2"});
  const auto offerings = requests("ec2", "DescribeInstanceTypeOfferings");
  ASSERT_EQ(offerings.size(), 1u);
  EXPECT_EQ(parameters(offerings[0]),
            (std::vector<std::string>{"LocationType=availability-zone", "Filter.1.Name=instance-type",
                                      "Filter.1.Value.1=t3.micro", "Filter.2.Name=location",
                                      "Filter.2.Value.1=us-east-1a", "Filter.2.Value.2=us-east-1b"}));
  EXPECT_TRUE(instanceTypeShortfall(ec2(), "t3.micro", {{"us-east-1a", {"subnet-a"}}}, image).empty());
  EXPECT_EQ(instanceTypeShortfall(ec2(), "t4g.micro", {{"us-east-1a", {"subnet-a"}}}, image),
            std::vector<std::string>{"Instance type: t4g.micro runs arm64, not x86_64, the architecture of image " +
                                     kDefaultImageId});
  EXPECT_EQ(instanceTypeShortfall(ec2(), "t9.huge", zones, image),
            std::vector<std::string>{"Instance type: t9.huge does not exist in us-east-1 (InvalidInstanceType)"});
  EXPECT_TRUE(messagesAt(WARNING).empty());

  // An endpoint without the operations: both checks are skipped, each with its WARNING.
  fault({{"service", "ec2"}, {"operation", "DescribeInstanceTypes"}, {"error", {{"code", "InvalidAction"}}}});
  fault({{"service", "ec2"}, {"operation", "DescribeInstanceTypeOfferings"}, {"error", {{"code", "InvalidAction"}}}});
  EXPECT_TRUE(instanceTypeShortfall(ec2(), "t4g.micro", zones, image).empty());
  ASSERT_EQ(messagesAt(WARNING).size(), 2u);
  EXPECT_EQ(messagesAt(WARNING)[0].rfind("  **Warning** Instance type t4g.micro not checked: ", 0), 0u);
  EXPECT_EQ(messagesAt(WARNING)[1].rfind("  **Warning** Instance type t4g.micro offerings not checked: ", 0), 0u);
}

TEST_F(Preflight, FreeAddressesOfEachSubnetCoverWhatTheRunTakesThere) {
  Json scenario = scenarioFile("spoke.json");
  const std::string full = scenario["ec2"]["subnets"][0]["id"];
  const std::string roomy = scenario["ec2"]["subnets"][1]["id"];
  scenario["ec2"]["subnets"][0]["available_ip_address_count"] = 1;
  load(scenario);
  const auto described = subnetsById(ec2(), {full, roomy});
  ASSERT_EQ(described.size(), 2u);
  EXPECT_EQ(described.at(full).AvailableIpAddressCount, 1);
  EXPECT_TRUE(freeAddressShortfall({{full, 1}, {roomy, 2}}, described).empty());
  EXPECT_EQ(freeAddressShortfall({{full, 2}, {"subnet-unknown", 5}}, described),
            std::vector<std::string>{"Free addresses: subnet " + full +
                                     " has 1 free address; this deployment takes 2 there"});
}

}  // namespace
}  // namespace qvn::deploy::testing
