#pragma once
// The EC2 client: one method per API operation, named after it in snake
// case, taking and returning the structures of ec2_model.hpp.
//
// Paginated Describe calls follow every page unless asked for one
// (Pages::One); the waiter asks for one page per attempt. A refusal by EC2
// is thrown by the sender as ServiceError; a response that cannot be read
// as the operation's result throws xml::ParseError.
#include <memory>
#include <optional>
#include <string>

#include "aws/ec2_account_model.hpp"
#include "aws/ec2_model.hpp"
#include "aws/ec2_network_model.hpp"
#include "aws/paginator.hpp"
#include "aws/service_client.hpp"
#include "aws/xml.hpp"

namespace qvn::aws {

class Ec2Client {
 public:
  static ServiceId service_id();

  explicit Ec2Client(std::shared_ptr<OperationSender> sender);
  // A client that sends through a ServiceClient of the session.
  Ec2Client(std::shared_ptr<Session> session, std::optional<std::string> region = std::nullopt);

  DescribeSubnetsResult describe_subnets(const DescribeSubnetsRequest& request = {}, Pages pages = Pages::All) const;
  DescribeImagesResult describe_images(const DescribeImagesRequest& request = {}) const;
  DescribeInstancesResult describe_instances(const DescribeInstancesRequest& request = {},
                                             Pages pages = Pages::All) const;
  RunInstancesResult run_instances(const RunInstancesRequest& request) const;
  TerminateInstancesResult terminate_instances(const TerminateInstancesRequest& request) const;
  DescribeInstanceStatusResult describe_instance_status(const DescribeInstanceStatusRequest& request = {},
                                                        Pages pages = Pages::All) const;

  DescribeKeyPairsResult describe_key_pairs(const DescribeKeyPairsRequest& request = {}) const;
  CreateKeyPairResult create_key_pair(const CreateKeyPairRequest& request) const;
  void delete_key_pair(const DeleteKeyPairRequest& request) const;

  DescribeSecurityGroupsResult describe_security_groups(const DescribeSecurityGroupsRequest& request = {},
                                                        Pages pages = Pages::All) const;
  CreateSecurityGroupResult create_security_group(const CreateSecurityGroupRequest& request) const;
  AuthorizeSecurityGroupIngressResult authorize_security_group_ingress(
      const AuthorizeSecurityGroupIngressRequest& request) const;
  void delete_security_group(const DeleteSecurityGroupRequest& request) const;

  AllocateAddressResult allocate_address(const AllocateAddressRequest& request = {}) const;
  AssociateAddressResult associate_address(const AssociateAddressRequest& request) const;
  DescribeAddressesResult describe_addresses(const DescribeAddressesRequest& request = {}) const;
  void release_address(const ReleaseAddressRequest& request) const;

  DescribeNatGatewaysResult describe_nat_gateways(const DescribeNatGatewaysRequest& request = {},
                                                  Pages pages = Pages::All) const;
  DescribeRouteTablesResult describe_route_tables(const DescribeRouteTablesRequest& request = {},
                                                  Pages pages = Pages::All) const;
  DescribeNetworkInterfacesResult describe_network_interfaces(const DescribeNetworkInterfacesRequest& request = {},
                                                              Pages pages = Pages::All) const;

  DescribeAccountAttributesResult describe_account_attributes(const DescribeAccountAttributesRequest& request = {}) const;
  DescribeInstanceTypesResult describe_instance_types(const DescribeInstanceTypesRequest& request = {},
                                                      Pages pages = Pages::All) const;
  DescribeInstanceTypeOfferingsResult describe_instance_type_offerings(
      const DescribeInstanceTypeOfferingsRequest& request = {}, Pages pages = Pages::All) const;

  OperationSender& sender() const { return *sender_; }

 private:
  template <class Result, class Request>
  Result call(const std::string& operation, const Request& request) const;

  std::shared_ptr<OperationSender> sender_;
};

}  // namespace qvn::aws
