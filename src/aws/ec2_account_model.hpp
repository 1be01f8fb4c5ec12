#pragma once
// EC2 request and result structures for what the account and the region
// offer: the account's attributes (its Elastic IP quota among them), the
// instance types and the zones that offer them. Conventions as in
// ec2_model.hpp.
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "aws/ec2_model.hpp"
#include "aws/shape.hpp"

#define F QVN_FIELD

namespace qvn::aws {

// ---- account attributes ------------------------------------------------

struct AccountAttributeValue {
  OptString AttributeValue{};
  static constexpr auto fields() { return std::tuple{F(AccountAttributeValue, AttributeValue)}; }
};

struct AccountAttribute {
  OptString AttributeName{};
  std::vector<AccountAttributeValue> AttributeValues{};
  static constexpr auto fields() {
    return std::tuple{F(AccountAttribute, AttributeName),
                      F(AccountAttribute, AttributeValues).xml("attributeValueSet")};
  }
};

struct DescribeAccountAttributesRequest {
  StringList AttributeNames{};
  OptBool DryRun{};
  static constexpr auto fields() {
    return std::tuple{F(DescribeAccountAttributesRequest, AttributeNames).query("AttributeName"),
                      F(DescribeAccountAttributesRequest, DryRun)};
  }
};

struct DescribeAccountAttributesResult {
  std::vector<AccountAttribute> AccountAttributes{};
  static constexpr auto fields() {
    return std::tuple{F(DescribeAccountAttributesResult, AccountAttributes).xml("accountAttributeSet")};
  }
};

// ---- instance types and their offerings --------------------------------

struct InstanceTypeOffering {
  OptString InstanceType{};
  OptString LocationType{};
  OptString Location{};
  static constexpr auto fields() {
    return std::tuple{F(InstanceTypeOffering, InstanceType), F(InstanceTypeOffering, LocationType),
                      F(InstanceTypeOffering, Location)};
  }
};

struct DescribeInstanceTypeOfferingsRequest {
  OptBool DryRun{};
  // region (EC2's default), availability-zone or availability-zone-id.
  OptString LocationType{};
  std::vector<Filter> Filters{};
  OptInt MaxResults{};
  OptString NextToken{};
  static constexpr auto fields() {
    using T = DescribeInstanceTypeOfferingsRequest;
    return std::tuple{F(T, DryRun), F(T, LocationType), F(T, Filters).query("Filter"), F(T, MaxResults),
                      F(T, NextToken)};
  }
};

struct DescribeInstanceTypeOfferingsResult {
  std::vector<InstanceTypeOffering> InstanceTypeOfferings{};
  OptString NextToken{};
  static constexpr auto fields() {
    return std::tuple{F(DescribeInstanceTypeOfferingsResult, InstanceTypeOfferings).xml("instanceTypeOfferingSet"),
                      F(DescribeInstanceTypeOfferingsResult, NextToken)};
  }
};

struct ProcessorInfo {
  // i386, x86_64, arm64, x86_64_mac, arm64_mac
  StringList SupportedArchitectures{};
  static constexpr auto fields() { return std::tuple{F(ProcessorInfo, SupportedArchitectures)}; }
};

struct InstanceTypeInfo {
  OptString InstanceType{};
  OptBool CurrentGeneration{};
  std::optional<aws::ProcessorInfo> ProcessorInfo{};
  static constexpr auto fields() {
    return std::tuple{F(InstanceTypeInfo, InstanceType), F(InstanceTypeInfo, CurrentGeneration),
                      F(InstanceTypeInfo, ProcessorInfo)};
  }
};

struct DescribeInstanceTypesRequest {
  OptBool DryRun{};
  StringList InstanceTypes{};
  std::vector<Filter> Filters{};
  OptInt MaxResults{};
  OptString NextToken{};
  static constexpr auto fields() {
    using T = DescribeInstanceTypesRequest;
    return std::tuple{F(T, DryRun), F(T, InstanceTypes).query("InstanceType"), F(T, Filters).query("Filter"),
                      F(T, MaxResults), F(T, NextToken)};
  }
};

struct DescribeInstanceTypesResult {
  std::vector<InstanceTypeInfo> InstanceTypes{};
  OptString NextToken{};
  static constexpr auto fields() {
    return std::tuple{F(DescribeInstanceTypesResult, InstanceTypes).xml("instanceTypeSet"),
                      F(DescribeInstanceTypesResult, NextToken)};
  }
};

}  // namespace qvn::aws

#undef F
