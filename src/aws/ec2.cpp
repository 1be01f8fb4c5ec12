#include "aws/ec2.hpp"

#include <utility>

#include "aws/shape_form.hpp"
#include "aws/shape_xml.hpp"
#include "aws/text_codec.hpp"

namespace qvn::aws {
namespace {

bool has_next_token(const auto& page) { return page.NextToken && !page.NextToken->empty(); }

}  // namespace

ServiceId Ec2Client::service_id() { return ServiceId{"ec2", Protocol::Ec2, "2016-11-15", ""}; }

Ec2Client::Ec2Client(std::shared_ptr<OperationSender> sender) : sender_(std::move(sender)) {}

template <class Result, class Request>
Result Ec2Client::call(const std::string& operation, const Request& request) const {
  OperationRequest op;
  op.operation = operation;
  shape::write_form(op.form, request, shape::FormDialect::Ec2);
  const OperationResponse response = sender_->send(op);
  Result result{};
  if constexpr (std::tuple_size_v < decltype(Result::fields()) >> 0) {
    pugi::xml_document document;
    const pugi::xml_node root = xml::load(document, response.body, operation + "Response", operation);
    shape::read_xml(root, result, shape::XmlDialect::Ec2);
  }
  return result;
}

DescribeSubnetsResult Ec2Client::describe_subnets(const DescribeSubnetsRequest& request, Pages pages) const {
  return collect_pages(
      request, pages, "DescribeSubnets", &DescribeSubnetsRequest::NextToken, &DescribeSubnetsResult::NextToken,
      &DescribeSubnetsResult::Subnets,
      [&](const DescribeSubnetsRequest& r) { return call<DescribeSubnetsResult>("DescribeSubnets", r); },
      [](const DescribeSubnetsResult& page) { return has_next_token(page); });
}

DescribeImagesResult Ec2Client::describe_images(const DescribeImagesRequest& request) const {
  return call<DescribeImagesResult>("DescribeImages", request);
}

DescribeInstancesResult Ec2Client::describe_instances(const DescribeInstancesRequest& request, Pages pages) const {
  return collect_pages(
      request, pages, "DescribeInstances", &DescribeInstancesRequest::NextToken, &DescribeInstancesResult::NextToken,
      &DescribeInstancesResult::Reservations,
      [&](const DescribeInstancesRequest& r) { return call<DescribeInstancesResult>("DescribeInstances", r); },
      [](const DescribeInstancesResult& page) { return has_next_token(page); });
}

RunInstancesResult Ec2Client::run_instances(const RunInstancesRequest& request) const {
  RunInstancesRequest sent = request;
  // The token is fixed here, once per call, so that every retry of this
  // call carries the same one and EC2 launches at most once.
  if (!sent.ClientToken) sent.ClientToken = text::uuid4();
  if (sent.UserData) sent.UserData = text::base64_encode(*sent.UserData);
  return call<RunInstancesResult>("RunInstances", sent);
}

TerminateInstancesResult Ec2Client::terminate_instances(const TerminateInstancesRequest& request) const {
  return call<TerminateInstancesResult>("TerminateInstances", request);
}

DescribeInstanceStatusResult Ec2Client::describe_instance_status(const DescribeInstanceStatusRequest& request,
                                                                 Pages pages) const {
  return collect_pages(
      request, pages, "DescribeInstanceStatus", &DescribeInstanceStatusRequest::NextToken,
      &DescribeInstanceStatusResult::NextToken, &DescribeInstanceStatusResult::InstanceStatuses,
      [&](const DescribeInstanceStatusRequest& r) {
        return call<DescribeInstanceStatusResult>("DescribeInstanceStatus", r);
      },
      [](const DescribeInstanceStatusResult& page) { return has_next_token(page); });
}

DescribeKeyPairsResult Ec2Client::describe_key_pairs(const DescribeKeyPairsRequest& request) const {
  return call<DescribeKeyPairsResult>("DescribeKeyPairs", request);
}

CreateKeyPairResult Ec2Client::create_key_pair(const CreateKeyPairRequest& request) const {
  return call<CreateKeyPairResult>("CreateKeyPair", request);
}

void Ec2Client::delete_key_pair(const DeleteKeyPairRequest& request) const {
  call<shape::Empty>("DeleteKeyPair", request);
}

DescribeSecurityGroupsResult Ec2Client::describe_security_groups(const DescribeSecurityGroupsRequest& request,
                                                                 Pages pages) const {
  return collect_pages(
      request, pages, "DescribeSecurityGroups", &DescribeSecurityGroupsRequest::NextToken,
      &DescribeSecurityGroupsResult::NextToken, &DescribeSecurityGroupsResult::SecurityGroups,
      [&](const DescribeSecurityGroupsRequest& r) {
        return call<DescribeSecurityGroupsResult>("DescribeSecurityGroups", r);
      },
      [](const DescribeSecurityGroupsResult& page) { return has_next_token(page); });
}

CreateSecurityGroupResult Ec2Client::create_security_group(const CreateSecurityGroupRequest& request) const {
  return call<CreateSecurityGroupResult>("CreateSecurityGroup", request);
}

AuthorizeSecurityGroupIngressResult Ec2Client::authorize_security_group_ingress(
    const AuthorizeSecurityGroupIngressRequest& request) const {
  return call<AuthorizeSecurityGroupIngressResult>("AuthorizeSecurityGroupIngress", request);
}

void Ec2Client::delete_security_group(const DeleteSecurityGroupRequest& request) const {
  call<shape::Empty>("DeleteSecurityGroup", request);
}

AllocateAddressResult Ec2Client::allocate_address(const AllocateAddressRequest& request) const {
  return call<AllocateAddressResult>("AllocateAddress", request);
}

AssociateAddressResult Ec2Client::associate_address(const AssociateAddressRequest& request) const {
  return call<AssociateAddressResult>("AssociateAddress", request);
}

DescribeAddressesResult Ec2Client::describe_addresses(const DescribeAddressesRequest& request) const {
  return call<DescribeAddressesResult>("DescribeAddresses", request);
}

void Ec2Client::release_address(const ReleaseAddressRequest& request) const {
  call<shape::Empty>("ReleaseAddress", request);
}

DescribeNatGatewaysResult Ec2Client::describe_nat_gateways(const DescribeNatGatewaysRequest& request,
                                                           Pages pages) const {
  return collect_pages(
      request, pages, "DescribeNatGateways", &DescribeNatGatewaysRequest::NextToken,
      &DescribeNatGatewaysResult::NextToken, &DescribeNatGatewaysResult::NatGateways,
      [&](const DescribeNatGatewaysRequest& r) { return call<DescribeNatGatewaysResult>("DescribeNatGateways", r); },
      [](const DescribeNatGatewaysResult& page) { return has_next_token(page); });
}

DescribeRouteTablesResult Ec2Client::describe_route_tables(const DescribeRouteTablesRequest& request,
                                                           Pages pages) const {
  return collect_pages(
      request, pages, "DescribeRouteTables", &DescribeRouteTablesRequest::NextToken,
      &DescribeRouteTablesResult::NextToken, &DescribeRouteTablesResult::RouteTables,
      [&](const DescribeRouteTablesRequest& r) { return call<DescribeRouteTablesResult>("DescribeRouteTables", r); },
      [](const DescribeRouteTablesResult& page) { return has_next_token(page); });
}

DescribeNetworkInterfacesResult Ec2Client::describe_network_interfaces(const DescribeNetworkInterfacesRequest& request,
                                                                       Pages pages) const {
  return collect_pages(
      request, pages, "DescribeNetworkInterfaces", &DescribeNetworkInterfacesRequest::NextToken,
      &DescribeNetworkInterfacesResult::NextToken, &DescribeNetworkInterfacesResult::NetworkInterfaces,
      [&](const DescribeNetworkInterfacesRequest& r) {
        return call<DescribeNetworkInterfacesResult>("DescribeNetworkInterfaces", r);
      },
      [](const DescribeNetworkInterfacesResult& page) { return has_next_token(page); });
}

DescribeAccountAttributesResult Ec2Client::describe_account_attributes(
    const DescribeAccountAttributesRequest& request) const {
  return call<DescribeAccountAttributesResult>("DescribeAccountAttributes", request);
}

DescribeInstanceTypesResult Ec2Client::describe_instance_types(const DescribeInstanceTypesRequest& request,
                                                               Pages pages) const {
  return collect_pages(
      request, pages, "DescribeInstanceTypes", &DescribeInstanceTypesRequest::NextToken,
      &DescribeInstanceTypesResult::NextToken, &DescribeInstanceTypesResult::InstanceTypes,
      [&](const DescribeInstanceTypesRequest& r) {
        return call<DescribeInstanceTypesResult>("DescribeInstanceTypes", r);
      },
      [](const DescribeInstanceTypesResult& page) { return has_next_token(page); });
}

DescribeInstanceTypeOfferingsResult Ec2Client::describe_instance_type_offerings(
    const DescribeInstanceTypeOfferingsRequest& request, Pages pages) const {
  return collect_pages(
      request, pages, "DescribeInstanceTypeOfferings", &DescribeInstanceTypeOfferingsRequest::NextToken,
      &DescribeInstanceTypeOfferingsResult::NextToken, &DescribeInstanceTypeOfferingsResult::InstanceTypeOfferings,
      [&](const DescribeInstanceTypeOfferingsRequest& r) {
        return call<DescribeInstanceTypeOfferingsResult>("DescribeInstanceTypeOfferings", r);
      },
      [](const DescribeInstanceTypeOfferingsResult& page) { return has_next_token(page); });
}

}  // namespace qvn::aws
