#pragma once
// EC2 request and result structures, with AWS's member names.
//
// Each structure lists its members for the wire (see shape.hpp): `query`
// names the form field where EC2 renames it (SubnetIds -> SubnetId.N),
// `xml` names the response element where it is not the member name with a
// lower-case first letter (PublicIpAddress -> <ipAddress>). Members are in
// the order the SDKs send them. Timestamps are kept as the text AWS sent.
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "aws/shape.hpp"
#include "aws/tag.hpp"

#define F QVN_FIELD

namespace qvn::aws {

using OptString = std::optional<std::string>;
using OptBool = std::optional<bool>;
using OptInt = std::optional<int>;
using StringList = std::vector<std::string>;

// ---- shared ------------------------------------------------------------

struct Filter {
  OptString Name{};
  StringList Values{};
  static constexpr auto fields() { return std::tuple{F(Filter, Name), F(Filter, Values).query("Value")}; }
};

struct TagSpecification {
  OptString ResourceType{};
  std::vector<Tag> Tags{};
  static constexpr auto fields() {
    return std::tuple{F(TagSpecification, ResourceType), F(TagSpecification, Tags).query("Tag")};
  }
};

struct GroupIdentifier {
  OptString GroupId{};
  OptString GroupName{};
  static constexpr auto fields() { return std::tuple{F(GroupIdentifier, GroupId), F(GroupIdentifier, GroupName)}; }
};

// ---- subnets and images ------------------------------------------------

struct Subnet {
  OptString AvailabilityZone{};
  OptInt AvailableIpAddressCount{};
  OptString CidrBlock{};
  OptBool DefaultForAz{};
  OptBool MapPublicIpOnLaunch{};
  OptString State{};
  OptString SubnetId{};
  OptString VpcId{};
  OptString OwnerId{};
  std::vector<Tag> Tags{};
  OptString SubnetArn{};
  static constexpr auto fields() {
    return std::tuple{F(Subnet, AvailabilityZone),
                      F(Subnet, AvailableIpAddressCount),
                      F(Subnet, CidrBlock),
                      F(Subnet, DefaultForAz),
                      F(Subnet, MapPublicIpOnLaunch),
                      F(Subnet, State),
                      F(Subnet, SubnetId),
                      F(Subnet, VpcId),
                      F(Subnet, OwnerId),
                      F(Subnet, Tags).xml("tagSet"),
                      F(Subnet, SubnetArn)};
  }
};

struct DescribeSubnetsRequest {
  std::vector<Filter> Filters{};
  StringList SubnetIds{};
  OptBool DryRun{};
  OptString NextToken{};
  OptInt MaxResults{};
  static constexpr auto fields() {
    return std::tuple{F(DescribeSubnetsRequest, Filters).query("Filter"),
                      F(DescribeSubnetsRequest, SubnetIds).query("SubnetId"), F(DescribeSubnetsRequest, DryRun),
                      F(DescribeSubnetsRequest, NextToken), F(DescribeSubnetsRequest, MaxResults)};
  }
};

struct DescribeSubnetsResult {
  std::vector<Subnet> Subnets{};
  OptString NextToken{};
  static constexpr auto fields() {
    return std::tuple{F(DescribeSubnetsResult, Subnets).xml("subnetSet"), F(DescribeSubnetsResult, NextToken)};
  }
};

struct Image {
  OptString Architecture{};
  OptString CreationDate{};
  OptString ImageId{};
  OptBool Public{};
  OptString OwnerId{};
  OptString State{};
  OptString Description{};
  OptString ImageOwnerAlias{};
  OptString Name{};
  OptString RootDeviceType{};
  OptString VirtualizationType{};
  std::vector<Tag> Tags{};
  OptString DeprecationTime{};
  static constexpr auto fields() {
    return std::tuple{F(Image, Architecture),
                      F(Image, CreationDate),
                      F(Image, ImageId),
                      F(Image, Public).xml("isPublic"),
                      F(Image, OwnerId).xml("imageOwnerId"),
                      F(Image, State).xml("imageState"),
                      F(Image, Description),
                      F(Image, ImageOwnerAlias),
                      F(Image, Name),
                      F(Image, RootDeviceType),
                      F(Image, VirtualizationType),
                      F(Image, Tags).xml("tagSet"),
                      F(Image, DeprecationTime)};
  }
};

struct DescribeImagesRequest {
  StringList ExecutableUsers{};
  std::vector<Filter> Filters{};
  StringList ImageIds{};
  StringList Owners{};
  OptBool IncludeDeprecated{};
  OptBool DryRun{};
  static constexpr auto fields() {
    return std::tuple{F(DescribeImagesRequest, ExecutableUsers).query("ExecutableBy"),
                      F(DescribeImagesRequest, Filters).query("Filter"),
                      F(DescribeImagesRequest, ImageIds).query("ImageId"),
                      F(DescribeImagesRequest, Owners).query("Owner"),
                      F(DescribeImagesRequest, IncludeDeprecated),
                      F(DescribeImagesRequest, DryRun)};
  }
};

struct DescribeImagesResult {
  std::vector<Image> Images{};
  static constexpr auto fields() { return std::tuple{F(DescribeImagesResult, Images).xml("imagesSet")}; }
};

// ---- instances ---------------------------------------------------------

struct InstanceState {
  OptInt Code{};
  OptString Name{};
  static constexpr auto fields() { return std::tuple{F(InstanceState, Code), F(InstanceState, Name)}; }
};

struct Placement {
  OptString AvailabilityZone{};
  OptString GroupName{};
  OptString Tenancy{};
  static constexpr auto fields() {
    return std::tuple{F(Placement, AvailabilityZone), F(Placement, GroupName), F(Placement, Tenancy)};
  }
};

struct IamInstanceProfile {
  OptString Arn{};
  OptString Id{};
  static constexpr auto fields() { return std::tuple{F(IamInstanceProfile, Arn), F(IamInstanceProfile, Id)}; }
};

struct InstanceNetworkInterfaceAssociation {
  OptString IpOwnerId{};
  OptString PublicDnsName{};
  OptString PublicIp{};
  static constexpr auto fields() {
    return std::tuple{F(InstanceNetworkInterfaceAssociation, IpOwnerId),
                      F(InstanceNetworkInterfaceAssociation, PublicDnsName),
                      F(InstanceNetworkInterfaceAssociation, PublicIp)};
  }
};

struct InstanceNetworkInterfaceAttachment {
  OptString AttachTime{};
  OptString AttachmentId{};
  OptBool DeleteOnTermination{};
  OptInt DeviceIndex{};
  OptString Status{};
  OptInt NetworkCardIndex{};
  static constexpr auto fields() {
    return std::tuple{F(InstanceNetworkInterfaceAttachment, AttachTime),
                      F(InstanceNetworkInterfaceAttachment, AttachmentId),
                      F(InstanceNetworkInterfaceAttachment, DeleteOnTermination),
                      F(InstanceNetworkInterfaceAttachment, DeviceIndex),
                      F(InstanceNetworkInterfaceAttachment, Status),
                      F(InstanceNetworkInterfaceAttachment, NetworkCardIndex)};
  }
};

struct InstanceNetworkInterface {
  std::optional<InstanceNetworkInterfaceAssociation> Association{};
  std::optional<InstanceNetworkInterfaceAttachment> Attachment{};
  OptString Description{};
  std::vector<GroupIdentifier> Groups{};
  OptString MacAddress{};
  OptString NetworkInterfaceId{};
  OptString OwnerId{};
  OptString PrivateDnsName{};
  OptString PrivateIpAddress{};
  OptBool SourceDestCheck{};
  OptString Status{};
  OptString SubnetId{};
  OptString VpcId{};
  OptString InterfaceType{};
  static constexpr auto fields() {
    using T = InstanceNetworkInterface;
    return std::tuple{F(T, Association),
                      F(T, Attachment),
                      F(T, Description),
                      F(T, Groups).xml("groupSet"),
                      F(T, MacAddress),
                      F(T, NetworkInterfaceId),
                      F(T, OwnerId),
                      F(T, PrivateDnsName),
                      F(T, PrivateIpAddress),
                      F(T, SourceDestCheck),
                      F(T, Status),
                      F(T, SubnetId),
                      F(T, VpcId),
                      F(T, InterfaceType)};
  }
};

struct Instance {
  OptInt AmiLaunchIndex{};
  OptString ImageId{};
  OptString InstanceId{};
  OptString InstanceType{};
  OptString KeyName{};
  OptString LaunchTime{};
  std::optional<aws::Placement> Placement{};
  OptString PrivateDnsName{};
  OptString PrivateIpAddress{};
  OptString PublicDnsName{};
  OptString PublicIpAddress{};
  std::optional<InstanceState> State{};
  OptString StateTransitionReason{};
  OptString SubnetId{};
  OptString VpcId{};
  OptString Architecture{};
  OptString ClientToken{};
  std::optional<aws::IamInstanceProfile> IamInstanceProfile{};
  std::vector<InstanceNetworkInterface> NetworkInterfaces{};
  OptString RootDeviceType{};
  std::vector<GroupIdentifier> SecurityGroups{};
  std::vector<Tag> Tags{};
  static constexpr auto fields() {
    using T = Instance;
    return std::tuple{F(T, AmiLaunchIndex),
                      F(T, ImageId),
                      F(T, InstanceId),
                      F(T, InstanceType),
                      F(T, KeyName),
                      F(T, LaunchTime),
                      F(T, Placement),
                      F(T, PrivateDnsName),
                      F(T, PrivateIpAddress),
                      F(T, PublicDnsName).xml("dnsName"),
                      F(T, PublicIpAddress).xml("ipAddress"),
                      F(T, State).xml("instanceState"),
                      F(T, StateTransitionReason).xml("reason"),
                      F(T, SubnetId),
                      F(T, VpcId),
                      F(T, Architecture),
                      F(T, ClientToken),
                      F(T, IamInstanceProfile),
                      F(T, NetworkInterfaces).xml("networkInterfaceSet"),
                      F(T, RootDeviceType),
                      F(T, SecurityGroups).xml("groupSet"),
                      F(T, Tags).xml("tagSet")};
  }
};

struct Reservation {
  std::vector<GroupIdentifier> Groups{};
  std::vector<Instance> Instances{};
  OptString OwnerId{};
  OptString RequesterId{};
  OptString ReservationId{};
  static constexpr auto fields() {
    return std::tuple{F(Reservation, Groups).xml("groupSet"), F(Reservation, Instances).xml("instancesSet"),
                      F(Reservation, OwnerId), F(Reservation, RequesterId), F(Reservation, ReservationId)};
  }
};

struct DescribeInstancesRequest {
  std::vector<Filter> Filters{};
  StringList InstanceIds{};
  OptBool DryRun{};
  OptInt MaxResults{};
  OptString NextToken{};
  static constexpr auto fields() {
    using T = DescribeInstancesRequest;
    return std::tuple{F(T, Filters).query("Filter"), F(T, InstanceIds).query("InstanceId"), F(T, DryRun),
                      F(T, MaxResults), F(T, NextToken)};
  }
};

struct DescribeInstancesResult {
  std::vector<Reservation> Reservations{};
  OptString NextToken{};
  static constexpr auto fields() {
    return std::tuple{F(DescribeInstancesResult, Reservations).xml("reservationSet"),
                      F(DescribeInstancesResult, NextToken)};
  }
};

struct IamInstanceProfileSpecification {
  OptString Arn{};
  OptString Name{};
  static constexpr auto fields() {
    return std::tuple{F(IamInstanceProfileSpecification, Arn), F(IamInstanceProfileSpecification, Name)};
  }
};

struct InstanceNetworkInterfaceSpecification {
  OptInt DeviceIndex{};
  OptString SubnetId{};
  StringList Groups{};
  OptBool AssociatePublicIpAddress{};
  OptBool DeleteOnTermination{};
  OptString Description{};
  OptString NetworkInterfaceId{};
  OptString PrivateIpAddress{};
  static constexpr auto fields() {
    using T = InstanceNetworkInterfaceSpecification;
    return std::tuple{F(T, DeviceIndex),
                      F(T, SubnetId),
                      F(T, Groups).query("SecurityGroupId"),
                      F(T, AssociatePublicIpAddress),
                      F(T, DeleteOnTermination),
                      F(T, Description),
                      F(T, NetworkInterfaceId),
                      F(T, PrivateIpAddress)};
  }
};

struct RunInstancesRequest {
  OptString InstanceType{};
  int MinCount = 0;
  int MaxCount = 0;
  OptString ImageId{};
  std::vector<TagSpecification> TagSpecifications{};
  std::vector<InstanceNetworkInterfaceSpecification> NetworkInterfaces{};
  std::optional<IamInstanceProfileSpecification> IamInstanceProfile{};
  OptString KeyName{};
  StringList SecurityGroupIds{};
  StringList SecurityGroups{};
  OptString SubnetId{};
  OptString PrivateIpAddress{};
  // Plain text; the client sends it base64-encoded, as the SDKs do.
  OptString UserData{};
  OptBool DryRun{};
  // Idempotency token; filled with a fresh UUID when absent.
  OptString ClientToken{};
  static constexpr auto fields() {
    using T = RunInstancesRequest;
    return std::tuple{F(T, InstanceType),
                      F(T, MinCount),
                      F(T, MaxCount),
                      F(T, ImageId),
                      F(T, TagSpecifications).query("TagSpecification"),
                      F(T, NetworkInterfaces).query("NetworkInterface"),
                      F(T, IamInstanceProfile),
                      F(T, KeyName),
                      F(T, SecurityGroupIds).query("SecurityGroupId"),
                      F(T, SecurityGroups).query("SecurityGroup"),
                      F(T, SubnetId),
                      F(T, PrivateIpAddress),
                      F(T, UserData),
                      F(T, DryRun),
                      F(T, ClientToken)};
  }
};

// RunInstances answers with one reservation.
using RunInstancesResult = Reservation;

struct InstanceStateChange {
  std::optional<InstanceState> CurrentState{};
  OptString InstanceId{};
  std::optional<InstanceState> PreviousState{};
  static constexpr auto fields() {
    return std::tuple{F(InstanceStateChange, CurrentState), F(InstanceStateChange, InstanceId),
                      F(InstanceStateChange, PreviousState)};
  }
};

struct TerminateInstancesRequest {
  StringList InstanceIds{};
  OptBool DryRun{};
  static constexpr auto fields() {
    return std::tuple{F(TerminateInstancesRequest, InstanceIds).query("InstanceId"),
                      F(TerminateInstancesRequest, DryRun)};
  }
};

struct TerminateInstancesResult {
  std::vector<InstanceStateChange> TerminatingInstances{};
  static constexpr auto fields() {
    return std::tuple{F(TerminateInstancesResult, TerminatingInstances).xml("instancesSet")};
  }
};

struct InstanceStatusDetails {
  OptString ImpairedSince{};
  OptString Name{};
  OptString Status{};
  static constexpr auto fields() {
    return std::tuple{F(InstanceStatusDetails, ImpairedSince), F(InstanceStatusDetails, Name),
                      F(InstanceStatusDetails, Status)};
  }
};

struct InstanceStatusSummary {
  std::vector<InstanceStatusDetails> Details{};
  OptString Status{};
  static constexpr auto fields() {
    return std::tuple{F(InstanceStatusSummary, Details).xml("details"), F(InstanceStatusSummary, Status)};
  }
};

struct InstanceStatus {
  OptString AvailabilityZone{};
  OptString InstanceId{};
  std::optional<aws::InstanceState> InstanceState{};
  std::optional<InstanceStatusSummary> InstanceStatus{};
  std::optional<InstanceStatusSummary> SystemStatus{};
  static constexpr auto fields() {
    using T = aws::InstanceStatus;
    return std::tuple{F(T, AvailabilityZone), F(T, InstanceId), F(T, InstanceState), F(T, InstanceStatus),
                      F(T, SystemStatus)};
  }
};

struct DescribeInstanceStatusRequest {
  std::vector<Filter> Filters{};
  StringList InstanceIds{};
  OptInt MaxResults{};
  OptString NextToken{};
  OptBool DryRun{};
  OptBool IncludeAllInstances{};
  static constexpr auto fields() {
    using T = DescribeInstanceStatusRequest;
    return std::tuple{F(T, Filters).query("Filter"),
                      F(T, InstanceIds).query("InstanceId"),
                      F(T, MaxResults),
                      F(T, NextToken),
                      F(T, DryRun),
                      F(T, IncludeAllInstances)};
  }
};

struct DescribeInstanceStatusResult {
  std::vector<aws::InstanceStatus> InstanceStatuses{};
  OptString NextToken{};
  static constexpr auto fields() {
    return std::tuple{F(DescribeInstanceStatusResult, InstanceStatuses).xml("instanceStatusSet"),
                      F(DescribeInstanceStatusResult, NextToken)};
  }
};

}  // namespace qvn::aws

#undef F
