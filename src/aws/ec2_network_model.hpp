#pragma once
// EC2 request and result structures for key pairs, security groups, Elastic
// IPs, NAT gateways, route tables and network interfaces (see ec2_model.hpp).
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "aws/ec2_model.hpp"

#define F QVN_FIELD

namespace qvn::aws {

// ---- key pairs ---------------------------------------------------------

struct KeyPairInfo {
  OptString KeyPairId{};
  OptString KeyFingerprint{};
  OptString KeyName{};
  OptString KeyType{};
  std::vector<Tag> Tags{};
  OptString PublicKey{};
  OptString CreateTime{};
  static constexpr auto fields() {
    using T = KeyPairInfo;
    return std::tuple{F(T, KeyPairId),          F(T, KeyFingerprint), F(T, KeyName),   F(T, KeyType),
                      F(T, Tags).xml("tagSet"), F(T, PublicKey),      F(T, CreateTime)};
  }
};

struct DescribeKeyPairsRequest {
  std::vector<Filter> Filters{};
  StringList KeyNames{};
  StringList KeyPairIds{};
  OptBool DryRun{};
  OptBool IncludePublicKey{};
  static constexpr auto fields() {
    using T = DescribeKeyPairsRequest;
    return std::tuple{F(T, Filters).query("Filter"), F(T, KeyNames).query("KeyName"),
                      F(T, KeyPairIds).query("KeyPairId"), F(T, DryRun), F(T, IncludePublicKey)};
  }
};

struct DescribeKeyPairsResult {
  std::vector<KeyPairInfo> KeyPairs{};
  static constexpr auto fields() { return std::tuple{F(DescribeKeyPairsResult, KeyPairs).xml("keySet")}; }
};

struct CreateKeyPairRequest {
  std::string KeyName{};
  OptString KeyType{};
  std::vector<TagSpecification> TagSpecifications{};
  OptString KeyFormat{};
  OptBool DryRun{};
  static constexpr auto fields() {
    using T = CreateKeyPairRequest;
    return std::tuple{F(T, KeyName), F(T, KeyType), F(T, TagSpecifications).query("TagSpecification"), F(T, KeyFormat),
                      F(T, DryRun)};
  }
};

struct CreateKeyPairResult {
  OptString KeyFingerprint{};
  OptString KeyMaterial{};
  OptString KeyName{};
  OptString KeyPairId{};
  std::vector<Tag> Tags{};
  static constexpr auto fields() {
    using T = CreateKeyPairResult;
    return std::tuple{F(T, KeyFingerprint), F(T, KeyMaterial), F(T, KeyName), F(T, KeyPairId),
                      F(T, Tags).xml("tagSet")};
  }
};

struct DeleteKeyPairRequest {
  OptString KeyName{};
  OptString KeyPairId{};
  OptBool DryRun{};
  static constexpr auto fields() {
    return std::tuple{F(DeleteKeyPairRequest, KeyName), F(DeleteKeyPairRequest, KeyPairId),
                      F(DeleteKeyPairRequest, DryRun)};
  }
};

// ---- security groups ---------------------------------------------------

struct IpRange {
  OptString CidrIp{};
  OptString Description{};
  static constexpr auto fields() { return std::tuple{F(IpRange, CidrIp), F(IpRange, Description)}; }
};

struct UserIdGroupPair {
  OptString Description{};
  OptString GroupId{};
  OptString GroupName{};
  OptString UserId{};
  OptString VpcId{};
  static constexpr auto fields() {
    using T = UserIdGroupPair;
    return std::tuple{F(T, Description), F(T, GroupId), F(T, GroupName), F(T, UserId), F(T, VpcId)};
  }
};

struct IpPermission {
  OptInt FromPort{};
  OptString IpProtocol{};
  std::vector<IpRange> IpRanges{};
  OptInt ToPort{};
  std::vector<UserIdGroupPair> UserIdGroupPairs{};
  static constexpr auto fields() {
    using T = IpPermission;
    return std::tuple{F(T, FromPort), F(T, IpProtocol), F(T, IpRanges), F(T, ToPort),
                      F(T, UserIdGroupPairs).query("Groups").xml("groups")};
  }
};

struct SecurityGroup {
  OptString Description{};
  OptString GroupName{};
  std::vector<IpPermission> IpPermissions{};
  OptString OwnerId{};
  OptString GroupId{};
  std::vector<IpPermission> IpPermissionsEgress{};
  std::vector<Tag> Tags{};
  OptString VpcId{};
  static constexpr auto fields() {
    using T = SecurityGroup;
    return std::tuple{F(T, Description).xml("groupDescription"),
                      F(T, GroupName),
                      F(T, IpPermissions),
                      F(T, OwnerId),
                      F(T, GroupId),
                      F(T, IpPermissionsEgress),
                      F(T, Tags).xml("tagSet"),
                      F(T, VpcId)};
  }
};

struct DescribeSecurityGroupsRequest {
  std::vector<Filter> Filters{};
  StringList GroupIds{};
  StringList GroupNames{};
  OptBool DryRun{};
  OptString NextToken{};
  OptInt MaxResults{};
  static constexpr auto fields() {
    using T = DescribeSecurityGroupsRequest;
    return std::tuple{F(T, Filters).query("Filter"),
                      F(T, GroupIds).query("GroupId"),
                      F(T, GroupNames).query("GroupName"),
                      F(T, DryRun),
                      F(T, NextToken),
                      F(T, MaxResults)};
  }
};

struct DescribeSecurityGroupsResult {
  std::vector<SecurityGroup> SecurityGroups{};
  OptString NextToken{};
  static constexpr auto fields() {
    return std::tuple{F(DescribeSecurityGroupsResult, SecurityGroups).xml("securityGroupInfo"),
                      F(DescribeSecurityGroupsResult, NextToken)};
  }
};

struct CreateSecurityGroupRequest {
  std::string Description{};
  std::string GroupName{};
  OptString VpcId{};
  std::vector<TagSpecification> TagSpecifications{};
  OptBool DryRun{};
  static constexpr auto fields() {
    using T = CreateSecurityGroupRequest;
    return std::tuple{F(T, Description).query("GroupDescription"), F(T, GroupName), F(T, VpcId),
                      F(T, TagSpecifications).query("TagSpecification"), F(T, DryRun)};
  }
};

struct CreateSecurityGroupResult {
  OptString GroupId{};
  std::vector<Tag> Tags{};
  static constexpr auto fields() {
    return std::tuple{F(CreateSecurityGroupResult, GroupId), F(CreateSecurityGroupResult, Tags).xml("tagSet")};
  }
};

struct AuthorizeSecurityGroupIngressRequest {
  OptString GroupId{};
  OptString GroupName{};
  std::vector<IpPermission> IpPermissions{};
  std::vector<TagSpecification> TagSpecifications{};
  OptBool DryRun{};
  static constexpr auto fields() {
    using T = AuthorizeSecurityGroupIngressRequest;
    return std::tuple{F(T, GroupId), F(T, GroupName), F(T, IpPermissions),
                      F(T, TagSpecifications).query("TagSpecification"), F(T, DryRun)};
  }
};

struct SecurityGroupRule {
  OptString SecurityGroupRuleId{};
  OptString GroupId{};
  OptString GroupOwnerId{};
  OptBool IsEgress{};
  OptString IpProtocol{};
  OptInt FromPort{};
  OptInt ToPort{};
  OptString CidrIpv4{};
  OptString Description{};
  static constexpr auto fields() {
    using T = SecurityGroupRule;
    return std::tuple{F(T, SecurityGroupRuleId), F(T, GroupId),  F(T, GroupOwnerId), F(T, IsEgress),
                      F(T, IpProtocol),          F(T, FromPort), F(T, ToPort),       F(T, CidrIpv4),
                      F(T, Description)};
  }
};

struct AuthorizeSecurityGroupIngressResult {
  OptBool Return{};
  std::vector<SecurityGroupRule> SecurityGroupRules{};
  static constexpr auto fields() {
    return std::tuple{F(AuthorizeSecurityGroupIngressResult, Return),
                      F(AuthorizeSecurityGroupIngressResult, SecurityGroupRules).xml("securityGroupRuleSet")};
  }
};

struct DeleteSecurityGroupRequest {
  OptString GroupId{};
  OptString GroupName{};
  OptBool DryRun{};
  static constexpr auto fields() {
    return std::tuple{F(DeleteSecurityGroupRequest, GroupId), F(DeleteSecurityGroupRequest, GroupName),
                      F(DeleteSecurityGroupRequest, DryRun)};
  }
};

// ---- Elastic IPs ---------------------------------------------------------

struct AllocateAddressRequest {
  OptString Domain{};
  OptString Address{};
  OptString PublicIpv4Pool{};
  OptString NetworkBorderGroup{};
  std::vector<TagSpecification> TagSpecifications{};
  OptBool DryRun{};
  static constexpr auto fields() {
    using T = AllocateAddressRequest;
    return std::tuple{F(T, Domain),
                      F(T, Address),
                      F(T, PublicIpv4Pool),
                      F(T, NetworkBorderGroup),
                      F(T, TagSpecifications).query("TagSpecification"),
                      F(T, DryRun)};
  }
};

struct AllocateAddressResult {
  OptString PublicIp{};
  OptString AllocationId{};
  OptString PublicIpv4Pool{};
  OptString NetworkBorderGroup{};
  OptString Domain{};
  static constexpr auto fields() {
    using T = AllocateAddressResult;
    return std::tuple{F(T, PublicIp), F(T, AllocationId), F(T, PublicIpv4Pool), F(T, NetworkBorderGroup), F(T, Domain)};
  }
};

struct AssociateAddressRequest {
  OptString AllocationId{};
  OptString InstanceId{};
  OptString PublicIp{};
  OptBool AllowReassociation{};
  OptBool DryRun{};
  OptString NetworkInterfaceId{};
  OptString PrivateIpAddress{};
  static constexpr auto fields() {
    using T = AssociateAddressRequest;
    return std::tuple{F(T, AllocationId), F(T, InstanceId),         F(T, PublicIp),        F(T, AllowReassociation),
                      F(T, DryRun),       F(T, NetworkInterfaceId), F(T, PrivateIpAddress)};
  }
};

struct AssociateAddressResult {
  OptString AssociationId{};
  static constexpr auto fields() { return std::tuple{F(AssociateAddressResult, AssociationId)}; }
};

struct Address {
  OptString InstanceId{};
  OptString PublicIp{};
  OptString AllocationId{};
  OptString AssociationId{};
  OptString Domain{};
  OptString NetworkInterfaceId{};
  OptString NetworkInterfaceOwnerId{};
  OptString PrivateIpAddress{};
  std::vector<Tag> Tags{};
  OptString PublicIpv4Pool{};
  OptString NetworkBorderGroup{};
  static constexpr auto fields() {
    using T = Address;
    return std::tuple{F(T, InstanceId),
                      F(T, PublicIp),
                      F(T, AllocationId),
                      F(T, AssociationId),
                      F(T, Domain),
                      F(T, NetworkInterfaceId),
                      F(T, NetworkInterfaceOwnerId),
                      F(T, PrivateIpAddress),
                      F(T, Tags).xml("tagSet"),
                      F(T, PublicIpv4Pool),
                      F(T, NetworkBorderGroup)};
  }
};

struct DescribeAddressesRequest {
  std::vector<Filter> Filters{};
  StringList PublicIps{};
  StringList AllocationIds{};
  OptBool DryRun{};
  static constexpr auto fields() {
    using T = DescribeAddressesRequest;
    return std::tuple{F(T, Filters).query("Filter"), F(T, PublicIps).query("PublicIp"),
                      F(T, AllocationIds).query("AllocationId"), F(T, DryRun)};
  }
};

struct DescribeAddressesResult {
  std::vector<Address> Addresses{};
  static constexpr auto fields() { return std::tuple{F(DescribeAddressesResult, Addresses).xml("addressesSet")}; }
};

struct ReleaseAddressRequest {
  OptString AllocationId{};
  OptString PublicIp{};
  OptString NetworkBorderGroup{};
  OptBool DryRun{};
  static constexpr auto fields() {
    return std::tuple{F(ReleaseAddressRequest, AllocationId), F(ReleaseAddressRequest, PublicIp),
                      F(ReleaseAddressRequest, NetworkBorderGroup), F(ReleaseAddressRequest, DryRun)};
  }
};

// ---- NAT gateways, route tables, network interfaces ----------------------

struct NatGatewayAddress {
  OptString AllocationId{};
  OptString NetworkInterfaceId{};
  OptString PrivateIp{};
  OptString PublicIp{};
  static constexpr auto fields() {
    return std::tuple{F(NatGatewayAddress, AllocationId), F(NatGatewayAddress, NetworkInterfaceId),
                      F(NatGatewayAddress, PrivateIp), F(NatGatewayAddress, PublicIp)};
  }
};

struct NatGateway {
  OptString CreateTime{};
  OptString DeleteTime{};
  std::vector<NatGatewayAddress> NatGatewayAddresses{};
  OptString NatGatewayId{};
  OptString State{};
  OptString SubnetId{};
  OptString VpcId{};
  std::vector<Tag> Tags{};
  OptString ConnectivityType{};
  static constexpr auto fields() {
    using T = NatGateway;
    return std::tuple{F(T, CreateTime),
                      F(T, DeleteTime),
                      F(T, NatGatewayAddresses).xml("natGatewayAddressSet"),
                      F(T, NatGatewayId),
                      F(T, State),
                      F(T, SubnetId),
                      F(T, VpcId),
                      F(T, Tags).xml("tagSet"),
                      F(T, ConnectivityType)};
  }
};

struct DescribeNatGatewaysRequest {
  OptBool DryRun{};
  // This operation's filter member is singular on the API as on the wire.
  std::vector<aws::Filter> Filter{};
  OptInt MaxResults{};
  StringList NatGatewayIds{};
  OptString NextToken{};
  static constexpr auto fields() {
    using T = DescribeNatGatewaysRequest;
    return std::tuple{F(T, DryRun), F(T, Filter), F(T, MaxResults), F(T, NatGatewayIds).query("NatGatewayId"),
                      F(T, NextToken)};
  }
};

struct DescribeNatGatewaysResult {
  std::vector<NatGateway> NatGateways{};
  OptString NextToken{};
  static constexpr auto fields() {
    return std::tuple{F(DescribeNatGatewaysResult, NatGateways).xml("natGatewaySet"),
                      F(DescribeNatGatewaysResult, NextToken)};
  }
};

struct Route {
  OptString DestinationCidrBlock{};
  OptString GatewayId{};
  OptString InstanceId{};
  OptString NatGatewayId{};
  OptString NetworkInterfaceId{};
  OptString TransitGatewayId{};
  OptString VpcPeeringConnectionId{};
  OptString Origin{};
  OptString State{};
  static constexpr auto fields() {
    using T = Route;
    return std::tuple{F(T, DestinationCidrBlock),
                      F(T, GatewayId),
                      F(T, InstanceId),
                      F(T, NatGatewayId),
                      F(T, NetworkInterfaceId),
                      F(T, TransitGatewayId),
                      F(T, VpcPeeringConnectionId),
                      F(T, Origin),
                      F(T, State)};
  }
};

struct RouteTableAssociation {
  OptBool Main{};
  OptString RouteTableAssociationId{};
  OptString RouteTableId{};
  OptString SubnetId{};
  OptString GatewayId{};
  static constexpr auto fields() {
    using T = RouteTableAssociation;
    return std::tuple{F(T, Main), F(T, RouteTableAssociationId), F(T, RouteTableId), F(T, SubnetId), F(T, GatewayId)};
  }
};

struct RouteTable {
  std::vector<RouteTableAssociation> Associations{};
  OptString RouteTableId{};
  std::vector<Route> Routes{};
  std::vector<Tag> Tags{};
  OptString VpcId{};
  OptString OwnerId{};
  static constexpr auto fields() {
    using T = RouteTable;
    return std::tuple{F(T, Associations).xml("associationSet"),
                      F(T, RouteTableId),
                      F(T, Routes).xml("routeSet"),
                      F(T, Tags).xml("tagSet"),
                      F(T, VpcId),
                      F(T, OwnerId)};
  }
};

struct DescribeRouteTablesRequest {
  std::vector<Filter> Filters{};
  OptBool DryRun{};
  StringList RouteTableIds{};
  OptString NextToken{};
  OptInt MaxResults{};
  static constexpr auto fields() {
    using T = DescribeRouteTablesRequest;
    return std::tuple{F(T, Filters).query("Filter"), F(T, DryRun), F(T, RouteTableIds).query("RouteTableId"),
                      F(T, NextToken), F(T, MaxResults)};
  }
};

struct DescribeRouteTablesResult {
  std::vector<RouteTable> RouteTables{};
  OptString NextToken{};
  static constexpr auto fields() {
    return std::tuple{F(DescribeRouteTablesResult, RouteTables).xml("routeTableSet"),
                      F(DescribeRouteTablesResult, NextToken)};
  }
};

struct NetworkInterfaceAssociation {
  OptString AllocationId{};
  OptString AssociationId{};
  OptString IpOwnerId{};
  OptString PublicDnsName{};
  OptString PublicIp{};
  static constexpr auto fields() {
    using T = NetworkInterfaceAssociation;
    return std::tuple{F(T, AllocationId), F(T, AssociationId), F(T, IpOwnerId), F(T, PublicDnsName), F(T, PublicIp)};
  }
};

struct NetworkInterfaceAttachment {
  OptString AttachTime{};
  OptString AttachmentId{};
  OptBool DeleteOnTermination{};
  OptInt DeviceIndex{};
  OptString InstanceId{};
  OptString InstanceOwnerId{};
  OptString Status{};
  static constexpr auto fields() {
    using T = NetworkInterfaceAttachment;
    return std::tuple{F(T, AttachTime),  F(T, AttachmentId), F(T, DeleteOnTermination),
                      F(T, DeviceIndex), F(T, InstanceId),   F(T, InstanceOwnerId),
                      F(T, Status)};
  }
};

struct NetworkInterface {
  std::optional<NetworkInterfaceAssociation> Association{};
  std::optional<NetworkInterfaceAttachment> Attachment{};
  OptString AvailabilityZone{};
  OptString Description{};
  std::vector<GroupIdentifier> Groups{};
  OptString InterfaceType{};
  OptString MacAddress{};
  OptString NetworkInterfaceId{};
  OptString OwnerId{};
  OptString PrivateDnsName{};
  OptString PrivateIpAddress{};
  OptBool RequesterManaged{};
  OptBool SourceDestCheck{};
  OptString Status{};
  OptString SubnetId{};
  std::vector<Tag> TagSet{};
  OptString VpcId{};
  static constexpr auto fields() {
    using T = NetworkInterface;
    return std::tuple{F(T, Association),
                      F(T, Attachment),
                      F(T, AvailabilityZone),
                      F(T, Description),
                      F(T, Groups).xml("groupSet"),
                      F(T, InterfaceType),
                      F(T, MacAddress),
                      F(T, NetworkInterfaceId),
                      F(T, OwnerId),
                      F(T, PrivateDnsName),
                      F(T, PrivateIpAddress),
                      F(T, RequesterManaged),
                      F(T, SourceDestCheck),
                      F(T, Status),
                      F(T, SubnetId),
                      F(T, TagSet).xml("tagSet"),
                      F(T, VpcId)};
  }
};

struct DescribeNetworkInterfacesRequest {
  std::vector<Filter> Filters{};
  OptBool DryRun{};
  StringList NetworkInterfaceIds{};
  OptString NextToken{};
  OptInt MaxResults{};
  static constexpr auto fields() {
    using T = DescribeNetworkInterfacesRequest;
    return std::tuple{F(T, Filters).query("Filter"), F(T, DryRun),
                      F(T, NetworkInterfaceIds).query("NetworkInterfaceId"), F(T, NextToken), F(T, MaxResults)};
  }
};

struct DescribeNetworkInterfacesResult {
  std::vector<NetworkInterface> NetworkInterfaces{};
  OptString NextToken{};
  static constexpr auto fields() {
    return std::tuple{F(DescribeNetworkInterfacesResult, NetworkInterfaces).xml("networkInterfaceSet"),
                      F(DescribeNetworkInterfacesResult, NextToken)};
  }
};

}  // namespace qvn::aws

#undef F
