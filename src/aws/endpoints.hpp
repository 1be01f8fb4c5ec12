#pragma once
// Regions, partitions and the endpoint of each service.
#include <optional>
#include <string>

namespace qvn::aws {

struct Endpoint {
  std::string url;             // scheme://host[:port][/base], no trailing slash
  std::string signing_region;  // region in the credential scope
  std::string signing_name;    // service in the credential scope
  bool custom = false;         // came from an override, not the partition's rules
};

struct Partition {
  std::string name;        // "aws", "aws-cn", "aws-us-gov"
  std::string dns_suffix;  // "amazonaws.com", "amazonaws.com.cn"
};

struct EndpointSettings {
  // An endpoint URL configured for the service (explicit, environment or
  // profile); empty: the partition's standard host.
  std::string endpoint_url;
  // STS: "regional" (default, as current SDKs) or "legacy" (the global host
  // sts.amazonaws.com for the regions that had it).
  std::string sts_regional_endpoints = "regional";
  // S3 in us-east-1: "legacy" (default: s3.amazonaws.com) or "regional".
  std::string s3_us_east_1_regional_endpoint = "legacy";
  // S3 addressing: "auto" (virtual-hosted when the bucket allows it and no
  // endpoint is configured), "path" or "virtual".
  std::string s3_addressing_style = "auto";
};

// The partition a region belongs to (unknown names fall in "aws").
Partition partition_of(const std::string& region);

// Endpoint of `service` ("ec2", "iam", "sts", "ssm", "s3") for `region`.
// IAM, STS and S3 work without a region (global endpoint, or the configured
// one, signed us-east-1); the others throw ConfigError. A malformed region is refused as well.
Endpoint resolve_endpoint(const std::string& service, const std::optional<std::string>& region,
                          const EndpointSettings& settings = {});

// Whether an S3 bucket name can go in the host name (virtual-hosted style).
bool s3_virtual_host_compatible(const std::string& bucket, bool https);

// Checks that `url` is an http(s) URL and returns it without a trailing
// slash; throws ConfigError otherwise. `origin` names where it came from.
std::string checked_endpoint_url(const std::string& url, const std::string& origin);

}  // namespace qvn::aws
