// Our EC2 parsers against real AWS response samples and the built bodies
// validated with the reference SDK: every modelled member comes out as the
// reference parse has it, and members absent there stay absent here.
#include <gtest/gtest.h>

#include "aws/ec2.hpp"
#include "aws/shape_json.hpp"
#include "services_support.hpp"

namespace qvn::aws::testing {
namespace {

struct Loaded {
  std::string body;
  Json expected;
};

Loaded load_built(const std::string& name) {
  const Json doc = Json::parse(read_file(fixture_path("responses/built/" + name + ".parsed.json")));
  return {read_file(fixture_path("responses/built/" + doc["body_file"].get<std::string>())), doc["parsed"]};
}

Loaded load_sample(const std::string& name) {
  const std::string base = fixture_path("responses/aws-samples/xml/responses/" + name);
  return {read_file(base + ".xml"), Json::parse(read_file(base + ".json"))};
}

template <class Result, class Call>
Result check(const Loaded& loaded, Call call) {
  auto sender = std::make_shared<RecordingSender>(Ec2Client::service_id());
  sender->fallback.body = loaded.body;
  const Ec2Client ec2(sender);
  const Result ours = call(ec2);
  const Json expected = shape::to_json(shape::from_json_lenient<Result>(loaded.expected));
  EXPECT_TRUE(same_json(shape::to_json(ours), expected));
  return ours;
}

#define CHECK_EC2(loaded, Result, call_expr) check<Result>(loaded, [](const Ec2Client& ec2) { return call_expr; })

TEST(Ec2Responses, BuiltBodiesParseLikeTheReference) {
  CHECK_EC2(load_built("ec2-describe-subnets"), DescribeSubnetsResult, ec2.describe_subnets({}, Pages::One));
  CHECK_EC2(load_built("ec2-describe-images"), DescribeImagesResult, ec2.describe_images({}));
  CHECK_EC2(load_built("ec2-describe-images#empty"), DescribeImagesResult, ec2.describe_images({}));
  CHECK_EC2(load_built("ec2-describe-instances"), DescribeInstancesResult, ec2.describe_instances({}, Pages::One));
  CHECK_EC2(load_built("ec2-describe-instances#empty"), DescribeInstancesResult,
            ec2.describe_instances({}, Pages::One));
  CHECK_EC2(load_built("ec2-run-instances"), RunInstancesResult, ec2.run_instances({}));
  CHECK_EC2(load_built("ec2-terminate-instances"), TerminateInstancesResult, ec2.terminate_instances({}));
  CHECK_EC2(load_built("ec2-describe-instance-status"), DescribeInstanceStatusResult,
            ec2.describe_instance_status({}, Pages::One));
  CHECK_EC2(load_built("ec2-describe-instance-status#empty"), DescribeInstanceStatusResult,
            ec2.describe_instance_status({}, Pages::One));
  CHECK_EC2(load_built("ec2-describe-key-pairs"), DescribeKeyPairsResult, ec2.describe_key_pairs({}));
  CHECK_EC2(load_built("ec2-create-key-pair"), CreateKeyPairResult, ec2.create_key_pair({}));
  CHECK_EC2(load_built("ec2-describe-security-groups"), DescribeSecurityGroupsResult,
            ec2.describe_security_groups({}, Pages::One));
  CHECK_EC2(load_built("ec2-describe-security-groups#empty"), DescribeSecurityGroupsResult,
            ec2.describe_security_groups({}, Pages::One));
  CHECK_EC2(load_built("ec2-create-security-group"), CreateSecurityGroupResult, ec2.create_security_group({}));
  CHECK_EC2(load_built("ec2-authorize-security-group-ingress"), AuthorizeSecurityGroupIngressResult,
            ec2.authorize_security_group_ingress({}));
  CHECK_EC2(load_built("ec2-authorize-security-group-ingress#all-traffic"), AuthorizeSecurityGroupIngressResult,
            ec2.authorize_security_group_ingress({}));
  CHECK_EC2(load_built("ec2-allocate-address"), AllocateAddressResult, ec2.allocate_address({}));
  CHECK_EC2(load_built("ec2-associate-address"), AssociateAddressResult, ec2.associate_address({}));
  CHECK_EC2(load_built("ec2-describe-addresses"), DescribeAddressesResult, ec2.describe_addresses({}));
  CHECK_EC2(load_built("ec2-describe-nat-gateways"), DescribeNatGatewaysResult,
            ec2.describe_nat_gateways({}, Pages::One));
  CHECK_EC2(load_built("ec2-describe-nat-gateways#empty"), DescribeNatGatewaysResult,
            ec2.describe_nat_gateways({}, Pages::One));
  CHECK_EC2(load_built("ec2-describe-route-tables"), DescribeRouteTablesResult,
            ec2.describe_route_tables({}, Pages::One));
  CHECK_EC2(load_built("ec2-describe-network-interfaces"), DescribeNetworkInterfacesResult,
            ec2.describe_network_interfaces({}, Pages::One));
}

TEST(Ec2Responses, RealSamplesParseLikeTheReference) {
  CHECK_EC2(load_sample("ec2-describe-subnets"), DescribeSubnetsResult, ec2.describe_subnets({}, Pages::One));
  CHECK_EC2(load_sample("ec2-describe-instances"), DescribeInstancesResult, ec2.describe_instances({}, Pages::One));
  CHECK_EC2(load_sample("ec2-run-instances"), RunInstancesResult, ec2.run_instances({}));
  CHECK_EC2(load_sample("ec2-describe-instance-status"), DescribeInstanceStatusResult,
            ec2.describe_instance_status({}, Pages::One));
  CHECK_EC2(load_sample("ec2-describe-key-pairs"), DescribeKeyPairsResult, ec2.describe_key_pairs({}));
  CHECK_EC2(load_sample("ec2-create-key-pair"), CreateKeyPairResult, ec2.create_key_pair({}));
  CHECK_EC2(load_sample("ec2-describe-security-groups"), DescribeSecurityGroupsResult,
            ec2.describe_security_groups({}, Pages::One));
  CHECK_EC2(load_sample("ec2-allocate-address"), AllocateAddressResult, ec2.allocate_address({}));
  CHECK_EC2(load_sample("ec2-associate-address"), AssociateAddressResult, ec2.associate_address({}));
  CHECK_EC2(load_sample("ec2-describe-addresses"), DescribeAddressesResult, ec2.describe_addresses({}));
  CHECK_EC2(load_sample("ec2-describe-route-tables"), DescribeRouteTablesResult,
            ec2.describe_route_tables({}, Pages::One));
  CHECK_EC2(load_sample("ec2-describe-network-interfaces"), DescribeNetworkInterfacesResult,
            ec2.describe_network_interfaces({}, Pages::One));
}

TEST(Ec2Responses, MembersTheToolkitReads) {
  const auto instances =
      CHECK_EC2(load_built("ec2-describe-instances"), DescribeInstancesResult, ec2.describe_instances({}, Pages::One));
  ASSERT_EQ(instances.Reservations.size(), 1u);
  const Instance& i = instances.Reservations[0].Instances.at(0);
  EXPECT_EQ(i.InstanceId, "i-0abcdef1234567890");
  EXPECT_EQ(i.PublicIpAddress, "203.0.113.25");
  EXPECT_EQ(i.State->Name, "running");
  ASSERT_EQ(i.NetworkInterfaces.size(), 2u);
  EXPECT_EQ(i.NetworkInterfaces[0].Association->PublicIp, "203.0.113.25");
  EXPECT_FALSE(i.NetworkInterfaces[1].Association.has_value()) << "no address on the second interface";
  EXPECT_EQ(i.NetworkInterfaces[1].Attachment->DeviceIndex, 1);

  const auto key = CHECK_EC2(load_built("ec2-create-key-pair"), CreateKeyPairResult, ec2.create_key_pair({}));
  ASSERT_TRUE(key.KeyMaterial);
  EXPECT_EQ(key.KeyMaterial->rfind("-----BEGIN", 0), 0u);
  EXPECT_NE(key.KeyMaterial->find('\n'), std::string::npos) << "line breaks are part of the key";

  const auto nat = CHECK_EC2(load_built("ec2-describe-nat-gateways"), DescribeNatGatewaysResult,
                             ec2.describe_nat_gateways({}, Pages::One));
  ASSERT_FALSE(nat.NatGateways.empty());
  ASSERT_FALSE(nat.NatGateways[0].NatGatewayAddresses.empty());
  EXPECT_TRUE(nat.NatGateways[0].NatGatewayAddresses[0].PrivateIp);

  const auto tables = CHECK_EC2(load_built("ec2-describe-route-tables"), DescribeRouteTablesResult,
                                ec2.describe_route_tables({}, Pages::One));
  ASSERT_EQ(tables.RouteTables.size(), 2u);
  bool nat_route = false;
  for (const auto& r : tables.RouteTables[0].Routes) nat_route = nat_route || r.NatGatewayId.has_value();
  EXPECT_TRUE(nat_route);

  const auto rule = CHECK_EC2(load_built("ec2-authorize-security-group-ingress#all-traffic"),
                              AuthorizeSecurityGroupIngressResult, ec2.authorize_security_group_ingress({}));
  ASSERT_EQ(rule.SecurityGroupRules.size(), 1u);
  EXPECT_EQ(rule.SecurityGroupRules[0].FromPort, -1);
}

TEST(Ec2Responses, OperationsWithoutOutputAcceptAnyBody) {
  for (const char* name : {"ec2-delete-key-pair", "ec2-delete-security-group", "ec2-release-address"}) {
    SCOPED_TRACE(name);
    auto sender = std::make_shared<RecordingSender>(Ec2Client::service_id());
    sender->fallback.body = load_built(name).body;
    const Ec2Client ec2(sender);
    EXPECT_NO_THROW(ec2.delete_key_pair({}));
    EXPECT_NO_THROW(ec2.delete_security_group({}));
    EXPECT_NO_THROW(ec2.release_address({}));
  }
}

TEST(Ec2Responses, AccountAndOfferingAnswersReadAsTheModelNamesThem) {
  // Bodies written from the service model's output shapes (no reference sample exists).
  auto sender = std::make_shared<RecordingSender>(Ec2Client::service_id());
  const Ec2Client ec2(sender);
  sender->fallback.body =
      R"(<DescribeAccountAttributesResponse xmlns="http://ec2.amazonaws.com/doc/2016-11-15/">)"
      R"(<requestId>r-1</requestId><accountAttributeSet><item><attributeName>vpc-max-elastic-ips</attributeName>)"
      R"(<attributeValueSet><item><attributeValue>5</attributeValue></item></attributeValueSet></item>)"
      R"(</accountAttributeSet></DescribeAccountAttributesResponse>)";
  const auto attributes = ec2.describe_account_attributes();
  ASSERT_EQ(attributes.AccountAttributes.size(), 1u);
  EXPECT_EQ(attributes.AccountAttributes[0].AttributeName, "vpc-max-elastic-ips");
  ASSERT_EQ(attributes.AccountAttributes[0].AttributeValues.size(), 1u);
  EXPECT_EQ(attributes.AccountAttributes[0].AttributeValues[0].AttributeValue, "5");

  sender->fallback.body =
      R"(<DescribeInstanceTypesResponse><requestId>r-2</requestId><instanceTypeSet><item>)"
      R"(<instanceType>m6g.large</instanceType><currentGeneration>true</currentGeneration>)"
      R"(<processorInfo><supportedArchitectures><item>arm64</item></supportedArchitectures>)"
      R"(<sustainedClockSpeedInGhz>2.5</sustainedClockSpeedInGhz></processorInfo></item></instanceTypeSet>)"
      R"(</DescribeInstanceTypesResponse>)";
  const auto types = ec2.describe_instance_types({}, Pages::One);
  ASSERT_EQ(types.InstanceTypes.size(), 1u);
  EXPECT_EQ(types.InstanceTypes[0].CurrentGeneration, true);
  ASSERT_TRUE(types.InstanceTypes[0].ProcessorInfo);
  EXPECT_EQ(types.InstanceTypes[0].ProcessorInfo->SupportedArchitectures, StringList{"arm64"});

  sender->fallback.body =
      R"(<DescribeInstanceTypeOfferingsResponse><requestId>r-3</requestId><instanceTypeOfferingSet>)"
      R"(<item><instanceType>t3.micro</instanceType><locationType>availability-zone</locationType>)"
      R"(<location>us-east-1a</location></item></instanceTypeOfferingSet><nextToken></nextToken>)"
      R"(</DescribeInstanceTypeOfferingsResponse>)";
  const auto offerings = ec2.describe_instance_type_offerings({}, Pages::All);
  ASSERT_EQ(offerings.InstanceTypeOfferings.size(), 1u);
  EXPECT_EQ(offerings.InstanceTypeOfferings[0].Location, "us-east-1a");
  EXPECT_EQ(offerings.InstanceTypeOfferings[0].LocationType, "availability-zone");
}

}  // namespace
}  // namespace qvn::aws::testing
