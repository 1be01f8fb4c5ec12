#include "aws/endpoints.hpp"

#include <regex>
#include <set>

#include "aws/errors.hpp"

namespace qvn::aws {
namespace {

const std::set<std::string>& legacy_global_sts_regions() {
  static const std::set<std::string> regions = {"ap-northeast-1", "ap-south-1",   "ap-southeast-1", "ap-southeast-2",
                                                "aws-global",     "ca-central-1", "eu-central-1",   "eu-north-1",
                                                "eu-west-1",      "eu-west-2",    "eu-west-3",      "sa-east-1",
                                                "us-east-1",      "us-east-2",    "us-west-1",      "us-west-2"};
  return regions;
}

void check_region(const std::string& region) {
  static const std::regex valid("^[a-z0-9]([a-z0-9-]{0,61}[a-z0-9])?$");
  if (!std::regex_match(region, valid)) throw ConfigError("invalid region name \"" + region + "\"");
}

}  // namespace

Partition partition_of(const std::string& region) {
  if (region.starts_with("cn-")) return {"aws-cn", "amazonaws.com.cn"};
  if (region.starts_with("us-gov-")) return {"aws-us-gov", "amazonaws.com"};
  return {"aws", "amazonaws.com"};
}

Endpoint resolve_endpoint(const std::string& service, const std::optional<std::string>& region,
                          const EndpointSettings& settings) {
  // IAM and STS have global endpoints; S3 answers every bucket at its
  // global one and redirects to the bucket's region.
  bool global_capable = service == "iam" || service == "sts" || service == "s3";
  if (region) check_region(*region);
  if (!settings.endpoint_url.empty()) {
    // A configured endpoint is taken as is and signed with the client's region.
    if (!region && !global_capable) throw ConfigError("You must specify a region.");
    std::string signing = region ? *region : "us-east-1";
    return {checked_endpoint_url(settings.endpoint_url, "endpoint URL"), signing, service, true};
  }
  if (!region || *region == "aws-global") {
    if (service == "iam") return {"https://iam.amazonaws.com", "us-east-1", "iam", false};
    if (service == "sts") return {"https://sts.amazonaws.com", "us-east-1", "sts", false};
    if (service == "s3") return {"https://s3.amazonaws.com", "us-east-1", "s3", false};
    throw ConfigError("You must specify a region.");
  }
  Partition partition = partition_of(*region);
  if (service == "iam") {
    if (partition.name == "aws-cn") return {"https://iam.cn-north-1.amazonaws.com.cn", "cn-north-1", "iam", false};
    if (partition.name == "aws-us-gov") return {"https://iam.us-gov.amazonaws.com", "us-gov-west-1", "iam", false};
    return {"https://iam.amazonaws.com", "us-east-1", "iam", false};
  }
  if (service == "sts" && settings.sts_regional_endpoints == "legacy" && partition.name == "aws" &&
      legacy_global_sts_regions().count(*region)) {
    return {"https://sts.amazonaws.com", "us-east-1", "sts", false};
  }
  if (service == "s3" && *region == "us-east-1" && settings.s3_us_east_1_regional_endpoint != "regional") {
    return {"https://s3.amazonaws.com", "us-east-1", "s3", false};
  }
  return {"https://" + service + "." + *region + "." + partition.dns_suffix, *region, service, false};
}

bool s3_virtual_host_compatible(const std::string& bucket, bool https) {
  static const std::regex label("^[a-z0-9][a-z0-9.-]{1,61}[a-z0-9]$");
  static const std::regex ipv4("^\\d+\\.\\d+\\.\\d+\\.\\d+$");
  if (!std::regex_match(bucket, label) || std::regex_match(bucket, ipv4)) return false;
  if (bucket.find("..") != std::string::npos || bucket.find(".-") != std::string::npos ||
      bucket.find("-.") != std::string::npos)
    return false;
  // A dotted name breaks the wildcard certificate over https.
  return !(https && bucket.find('.') != std::string::npos);
}

std::string checked_endpoint_url(const std::string& url, const std::string& origin) {
  static const std::regex valid("^https?://[^/?#\\s]+(/[^?#\\s]*)?$", std::regex::icase);
  if (!std::regex_match(url, valid))
    throw ConfigError("invalid " + origin + " \"" + url + "\": expected http(s)://host[:port][/path]");
  std::string out = url;
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

}  // namespace qvn::aws
