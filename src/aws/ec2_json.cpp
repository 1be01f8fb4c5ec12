#include "aws/ec2_json.hpp"

namespace qvn::aws {

std::vector<JsonOperation> ec2_json_operations(const std::shared_ptr<Ec2Client>& c) {
  using C = Ec2Client;
  return {
      json_operation("describe_subnets", "DescribeSubnets", c, &C::describe_subnets),
      json_operation("describe_images", "DescribeImages", c, &C::describe_images),
      json_operation("describe_instances", "DescribeInstances", c, &C::describe_instances),
      json_operation("run_instances", "RunInstances", c, &C::run_instances),
      json_operation("terminate_instances", "TerminateInstances", c, &C::terminate_instances),
      json_operation("describe_instance_status", "DescribeInstanceStatus", c, &C::describe_instance_status),
      json_operation("describe_key_pairs", "DescribeKeyPairs", c, &C::describe_key_pairs),
      json_operation("create_key_pair", "CreateKeyPair", c, &C::create_key_pair),
      json_operation("delete_key_pair", "DeleteKeyPair", c, &C::delete_key_pair),
      json_operation("describe_security_groups", "DescribeSecurityGroups", c, &C::describe_security_groups),
      json_operation("create_security_group", "CreateSecurityGroup", c, &C::create_security_group),
      json_operation("authorize_security_group_ingress", "AuthorizeSecurityGroupIngress", c,
                     &C::authorize_security_group_ingress),
      json_operation("delete_security_group", "DeleteSecurityGroup", c, &C::delete_security_group),
      json_operation("allocate_address", "AllocateAddress", c, &C::allocate_address),
      json_operation("associate_address", "AssociateAddress", c, &C::associate_address),
      json_operation("describe_addresses", "DescribeAddresses", c, &C::describe_addresses),
      json_operation("release_address", "ReleaseAddress", c, &C::release_address),
      json_operation("describe_nat_gateways", "DescribeNatGateways", c, &C::describe_nat_gateways),
      json_operation("describe_route_tables", "DescribeRouteTables", c, &C::describe_route_tables),
      json_operation("describe_network_interfaces", "DescribeNetworkInterfaces", c, &C::describe_network_interfaces),
      json_operation("describe_account_attributes", "DescribeAccountAttributes", c, &C::describe_account_attributes),
      json_operation("describe_instance_types", "DescribeInstanceTypes", c, &C::describe_instance_types),
      json_operation("describe_instance_type_offerings", "DescribeInstanceTypeOfferings", c,
                     &C::describe_instance_type_offerings),
  };
}

}  // namespace qvn::aws
