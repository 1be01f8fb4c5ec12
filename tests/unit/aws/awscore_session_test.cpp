// Sessions: regions, endpoints per partition and override, retry settings,
// profiles, and that nothing goes on the wire before a call.
#include <gtest/gtest.h>

#include "aws/errors.hpp"
#include "aws/service_client.hpp"
#include "aws/session.hpp"
#include "awscore_test_support.hpp"

namespace qvn::aws {
namespace {

class SessionTest : public testing::AwsEnvironmentTest {
 protected:
  std::shared_ptr<Session> make(std::optional<std::string> profile = std::nullopt,
                                std::optional<std::string> region = std::nullopt) {
    SessionOptions options;
    options.profile = profile;
    options.region = region;
    options.transport = transport_;
    return Session::create(options);
  }
};

TEST_F(SessionTest, RegionComesFromOptionThenEnvironmentThenProfile) {
  write_config("[default]\nregion = eu-central-1\n[profile dev]\nregion = ap-south-1\n");
  EXPECT_EQ(make()->region(), "eu-central-1");
  EXPECT_EQ(make("dev")->region(), "ap-south-1");
  set("AWS_DEFAULT_REGION", "eu-west-3");
  EXPECT_EQ(make("dev")->region(), "eu-west-3");
  set("AWS_REGION", "us-west-2");
  EXPECT_EQ(make("dev")->region(), "us-west-2");
  EXPECT_EQ(make("dev", "ca-central-1")->region(), "ca-central-1");
}

TEST_F(SessionTest, NoRegionIsAClearErrorExceptForGlobalServices) {
  auto session = make();
  EXPECT_FALSE(session->region());
  EXPECT_THROW(ServiceClient(session, {"ec2", Protocol::Ec2, "2016-11-15", ""}), ConfigError);
  ServiceClient sts(session, {"sts", Protocol::Query, "2011-06-15", ""});
  EXPECT_EQ(sts.region(), "aws-global");
}

TEST_F(SessionTest, UnknownProfileNamesTheProfile) {
  try {
    make("missing");
    FAIL() << "expected an error";
  } catch (const CredentialsError& error) {
    EXPECT_NE(std::string(error.what()).find("missing"), std::string::npos);
  }
  set("AWS_PROFILE", "also-missing");
  EXPECT_THROW(make(), CredentialsError);
}

TEST_F(SessionTest, MakingSessionsAndClientsSendsNothing) {
  write_config("[profile r]\nrole_arn = arn:aws:iam::1:role/x\ncredential_source = Environment\nregion = us-east-1\n");
  auto session = make("r");
  ServiceClient ec2(session, {"ec2", Protocol::Ec2, "2016-11-15", ""});
  ServiceClient s3(session, {"s3", Protocol::RestXml, "", ""}, "eu-west-1");
  EXPECT_TRUE(transport_->requests().empty());
}

TEST_F(SessionTest, EndpointOverridesInPrecedenceOrder) {
  write_config(
      "[default]\nendpoint_url = http://profile:1\nservices = local\n"
      "[services local]\nec2 =\n  endpoint_url = http://services-ec2:2\n");
  auto session = make();
  EXPECT_EQ(session->endpoint_settings("ec2").endpoint_url, "http://services-ec2:2");
  EXPECT_EQ(session->endpoint_settings("iam").endpoint_url, "http://profile:1");
  set("AWS_ENDPOINT_URL", "http://all:3/");
  EXPECT_EQ(make()->endpoint_settings("ec2").endpoint_url, "http://all:3");
  set("AWS_ENDPOINT_URL_EC2", "http://ec2-only:4");
  EXPECT_EQ(make()->endpoint_settings("ec2").endpoint_url, "http://ec2-only:4");
  EXPECT_EQ(make()->endpoint_settings("s3").endpoint_url, "http://all:3");
  set("AWS_IGNORE_CONFIGURED_ENDPOINT_URLS", "true");
  EXPECT_EQ(make()->endpoint_settings("ec2").endpoint_url, "");
  set("AWS_IGNORE_CONFIGURED_ENDPOINT_URLS", "false");
  set("AWS_ENDPOINT_URL_EC2", "ftp://nope");
  EXPECT_THROW(make()->endpoint_settings("ec2"), ConfigError);
}

TEST_F(SessionTest, CustomEndpointIsSignedWithTheClientRegion) {
  set("AWS_ENDPOINT_URL", "http://127.0.0.1:4566");
  auto session =
      Session::from_credentials("AK", "SK", "", {.profile = {}, .region = "eu-west-2", .transport = transport_});
  ServiceClient iam(session, {"iam", Protocol::Query, "2010-05-08", ""});
  OperationRequest request;
  request.operation = "ListPolicies";
  iam.send(request);
  auto sent = transport_->requests().at(0);
  EXPECT_EQ(sent.url, "http://127.0.0.1:4566/");
  EXPECT_EQ(http::find_header(sent.headers, "Host"), "127.0.0.1:4566");
  EXPECT_NE(http::find_header(sent.headers, "Authorization").find("/eu-west-2/iam/aws4_request"), std::string::npos);
}

TEST_F(SessionTest, RetrySettingsFromEnvironmentAndProfile) {
  write_config("[default]\nretry_mode = adaptive\nmax_attempts = 7\n");
  auto session = make();
  EXPECT_EQ(session->retry_config().mode, RetryMode::Adaptive);
  EXPECT_EQ(session->retry_config().max_attempts, 7);
  set("AWS_RETRY_MODE", "standard");
  set("AWS_MAX_ATTEMPTS", "2");
  EXPECT_EQ(make()->retry_config().mode, RetryMode::Standard);
  EXPECT_EQ(make()->retry_config().max_attempts, 2);
  set("AWS_MAX_ATTEMPTS", "zero");
  EXPECT_THROW(make(), ConfigError);
  set("AWS_MAX_ATTEMPTS", "3");
  set("AWS_RETRY_MODE", "sometimes");
  EXPECT_THROW(make(), ConfigError);
}

TEST_F(SessionTest, ClientsOfOneServiceAndRegionShareTheRetryState) {
  auto session = make(std::nullopt, "us-east-1");
  EXPECT_EQ(session->retry_state("ec2", "us-east-1"), session->retry_state("ec2", "us-east-1"));
  EXPECT_NE(session->retry_state("ec2", "us-east-1"), session->retry_state("ec2", "eu-west-1"));
}

TEST(Endpoints, StandardHostsPerPartition) {
  EXPECT_EQ(resolve_endpoint("ec2", "eu-west-1").url, "https://ec2.eu-west-1.amazonaws.com");
  EXPECT_EQ(resolve_endpoint("ec2", "cn-north-1").url, "https://ec2.cn-north-1.amazonaws.com.cn");
  EXPECT_EQ(resolve_endpoint("ssm", "us-gov-west-1").url, "https://ssm.us-gov-west-1.amazonaws.com");
  EXPECT_EQ(resolve_endpoint("s3", "cn-northwest-1").url, "https://s3.cn-northwest-1.amazonaws.com.cn");
}

TEST(Endpoints, IamIsGlobalPerPartition) {
  auto aws = resolve_endpoint("iam", "ap-southeast-2");
  EXPECT_EQ(aws.url, "https://iam.amazonaws.com");
  EXPECT_EQ(aws.signing_region, "us-east-1");
  auto cn = resolve_endpoint("iam", "cn-northwest-1");
  EXPECT_EQ(cn.url, "https://iam.cn-north-1.amazonaws.com.cn");
  EXPECT_EQ(cn.signing_region, "cn-north-1");
  auto gov = resolve_endpoint("iam", "us-gov-east-1");
  EXPECT_EQ(gov.url, "https://iam.us-gov.amazonaws.com");
  EXPECT_EQ(gov.signing_region, "us-gov-west-1");
}

TEST(Endpoints, StsIsRegionalByDefaultAndLegacyOnRequest) {
  EXPECT_EQ(resolve_endpoint("sts", "eu-west-2").url, "https://sts.eu-west-2.amazonaws.com");
  EndpointSettings legacy;
  legacy.sts_regional_endpoints = "legacy";
  EXPECT_EQ(resolve_endpoint("sts", "eu-west-2", legacy).url, "https://sts.amazonaws.com");
  EXPECT_EQ(resolve_endpoint("sts", "eu-west-2", legacy).signing_region, "us-east-1");
  // Regions that never had the global host stay regional.
  EXPECT_EQ(resolve_endpoint("sts", "af-south-1", legacy).url, "https://sts.af-south-1.amazonaws.com");
  EXPECT_EQ(resolve_endpoint("sts", "cn-north-1", legacy).url, "https://sts.cn-north-1.amazonaws.com.cn");
}

TEST(Endpoints, MalformedRegionsAreRefused) {
  EXPECT_THROW(resolve_endpoint("ec2", "eu west 1"), ConfigError);
  EXPECT_THROW(resolve_endpoint("ec2", "evil.com/x"), ConfigError);
}

TEST(Endpoints, S3VirtualHostNames) {
  EXPECT_TRUE(s3_virtual_host_compatible("my-bucket-1", true));
  EXPECT_FALSE(s3_virtual_host_compatible("my.bucket", true));
  EXPECT_TRUE(s3_virtual_host_compatible("my.bucket", false));
  EXPECT_FALSE(s3_virtual_host_compatible("MyBucket", false));
  EXPECT_FALSE(s3_virtual_host_compatible("ab", false));
  EXPECT_FALSE(s3_virtual_host_compatible("-bucket", false));
  EXPECT_FALSE(s3_virtual_host_compatible("192.168.1.1", false));
  EXPECT_FALSE(s3_virtual_host_compatible("a..b", false));
}

}  // namespace
}  // namespace qvn::aws
