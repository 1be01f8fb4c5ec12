// The endpoint and signing region the resolver picks, against those the
// recording client chose for the golden requests.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "aws/endpoints.hpp"

namespace {

using namespace qvn::aws;

TEST(Sigv4ScopeEndpoints, ResolverMatchesEveryRecordedEndpoint) {
  std::ifstream in(std::string(QVN_FIXTURES_DIR) + "/requests.json");
  auto document = nlohmann::json::parse(in);
  ASSERT_FALSE(document["endpoints"].empty());
  for (const auto& e : document["endpoints"]) {
    std::string service = e["service"];
    std::string region = e["region"];
    SCOPED_TRACE(service + " " + region);
    EndpointSettings settings;
    // The recording client's default was the legacy global STS host.
    settings.sts_regional_endpoints = "legacy";
    if (!e["botocore_settings"].is_null() && e["botocore_settings"].contains("sts_regional_endpoints"))
      settings.sts_regional_endpoints = e["botocore_settings"]["sts_regional_endpoints"];
    Endpoint endpoint = resolve_endpoint(service, region, settings);
    EXPECT_EQ(endpoint.url, e["endpoint_url"].get<std::string>());
    EXPECT_EQ(endpoint.signing_region, e["signing_region"].get<std::string>());
    EXPECT_EQ(endpoint.signing_name, e["signing_name"].get<std::string>());
  }
}

TEST(Sigv4ScopeEndpoints, GoldenRequestsScopeMatchesTheResolver) {
  std::ifstream in(std::string(QVN_FIXTURES_DIR) + "/requests.json");
  auto document = nlohmann::json::parse(in);
  for (const auto& c : document["cases"]) {
    if (!c["custom_endpoint_url"].is_null() || c["service"] == "s3") continue;
    SCOPED_TRACE(c["id"].get<std::string>());
    EndpointSettings settings;
    settings.sts_regional_endpoints = "legacy";
    if (!c["botocore_settings"].is_null() && c["botocore_settings"].contains("sts_regional_endpoints"))
      settings.sts_regional_endpoints = c["botocore_settings"]["sts_regional_endpoints"];
    Endpoint endpoint = resolve_endpoint(c["service"], c["region"].get<std::string>(), settings);
    EXPECT_EQ(endpoint.url + "/", c["url"].get<std::string>());
    EXPECT_EQ(endpoint.signing_region, c["signing"]["region"].get<std::string>());
  }
}

}  // namespace
