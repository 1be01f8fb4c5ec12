// ServiceClient end to end over a scripted transport: the exact requests it
// sends (against the golden requests), retries, redirects and errors.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <atomic>
#include <thread>

#include "aws/debug_hook.hpp"
#include "aws/errors.hpp"
#include "aws/service_client.hpp"
#include "aws/session.hpp"
#include "aws/sigv4.hpp"
#include "awscore_test_support.hpp"

namespace qvn::aws {
namespace {

using testing::answer;
using testing::FakeTransport;

using testing::kEc2;
const ServiceId kIam{"iam", Protocol::Query, "2010-05-08", ""};
const ServiceId kS3{"s3", Protocol::RestXml, "", ""};
const ServiceId kSsm{"ssm", Protocol::Json, "", "AmazonSSM"};

class ServiceClientTest : public testing::AwsEnvironmentTest {
 protected:
  void SetUp() override {
    AwsEnvironmentTest::SetUp();
    core::set_clock([] { return testing::fixed_time(); });
    core::set_sleep_function([this](core::Seconds s) { slept_.push_back(s.count()); });
  }

  std::shared_ptr<Session> session(const std::string& token = "") {
    SessionOptions options;
    options.transport = transport_;
    return Session::from_credentials("AKIDEXAMPLE", "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY", token, options);
  }

  std::vector<double> slept_;
};

ServiceId service_of(const nlohmann::json& c) {
  std::string name = c["service"];
  if (name == "ec2") return kEc2;
  if (name == "s3") return kS3;
  if (name == "ssm") return kSsm;
  return {name, Protocol::Query, c["api_version"], ""};
}

OperationRequest request_of(const nlohmann::json& c) {
  OperationRequest request;
  request.operation = c["operation"];
  request.method = c["method"];
  std::string protocol = c["protocol"];
  if (protocol == "ec2" || protocol == "query") {
    for (std::size_t i = 2; i < c["form_fields"].size(); ++i)
      request.form.emplace_back(c["form_fields"][i][0], c["form_fields"][i][1]);
  } else if (protocol == "json") {
    request.body = c["body"];
    for (const auto& h : c["headers"])
      if (h[0] == "X-Amz-Target" || h[0] == "Content-Type") request.headers.emplace_back(h[0], h[1]);
  } else {
    std::string bucket = c["params"]["Bucket"];
    request.bucket = bucket;
    std::string path = c["path"];
    if (path.starts_with("/" + bucket)) path = path.substr(bucket.size() + 1);
    request.path = path == "/" ? "" : path;
    if (c.contains("query_fields"))
      for (const auto& q : c["query_fields"]) request.query.emplace_back(q[0], q[1]);
    for (const auto& h : c["headers"])
      if (h[0] == "Content-MD5") request.headers.emplace_back(h[0], h[1]);
    auto settings = c["botocore_settings"];
    if (!settings.is_null() && settings["s3"].value("payload_signing_enabled", false))
      request.headers.emplace_back("X-Amz-Content-SHA256", c["body_sha256"]);
    request.body = c["body"];
  }
  return request;
}

TEST_F(ServiceClientTest, ReproducesEveryGoldenRequestByteForByte) {
  auto document = nlohmann::json::parse(testing::read_file(std::string(QVN_FIXTURES_DIR) + "/requests.json"));
  for (const auto& c : document["cases"]) {
    SCOPED_TRACE(c["id"].get<std::string>());
    unset("AWS_ENDPOINT_URL_S3");
    set("AWS_STS_REGIONAL_ENDPOINTS", "legacy");  // the default of the recording client
    auto settings = c["botocore_settings"];
    if (!settings.is_null() && settings.contains("sts_regional_endpoints"))
      set("AWS_STS_REGIONAL_ENDPOINTS", settings["sts_regional_endpoints"]);
    if (!c["custom_endpoint_url"].is_null()) set("AWS_ENDPOINT_URL_S3", c["custom_endpoint_url"]);
    auto token = c["credentials"]["session_token"];
    auto transport = std::make_shared<FakeTransport>();
    transport_ = transport;
    ServiceClient client(session(token.is_null() ? "" : token.get<std::string>()), service_of(c),
                         c["region"].get<std::string>());
    client.send(request_of(c));
    ASSERT_EQ(transport->requests().size(), 1u);
    const http::HttpRequest sent = transport->requests()[0];
    std::string expected_authorization;
    for (const auto& h : c["headers"])
      if (h[0] == "Authorization") expected_authorization = h[1];
    EXPECT_EQ(sent.url, c["url"].get<std::string>());
    EXPECT_EQ(sent.body, c["body"].get<std::string>());
    EXPECT_EQ(http::find_header(sent.headers, "Authorization"), expected_authorization);
  }
}

TEST_F(ServiceClientTest, S3KeysHandedOverEncodedAreSentAndSignedAsIs) {
  set("AWS_ENDPOINT_URL_S3", "http://127.0.0.1:9000");
  ServiceClient client(session(), kS3, "eu-west-1");
  OperationRequest request;
  request.method = "GET";
  request.operation = "GetObject";
  request.bucket = "my.bucket";
  request.path = "/a%20b/c%2Bd~e%3D.txt";
  client.send(request);
  const http::HttpRequest sent = transport_->requests().at(0);
  EXPECT_EQ(sent.url, "http://127.0.0.1:9000/my.bucket/a%20b/c%2Bd~e%3D.txt");
  // The signature covers exactly that path: rebuilding it with the same path verifies.
  sigv4::SignableRequest signable{"GET", "/my.bucket/a%20b/c%2Bd~e%3D.txt", "", sent.headers,
                                  http::find_header(sent.headers, "X-Amz-Content-SHA256")};
  sigv4::SignOptions options;
  options.double_encode_path = false;
  auto signature = sigv4::sign(signable, {"AKIDEXAMPLE", "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY", ""},
                               {"20240115T120000Z", "eu-west-1", "s3"}, options);
  std::string authorization = http::find_header(sent.headers, "Authorization");
  EXPECT_EQ(authorization, signature.authorization);
}

TEST_F(ServiceClientTest, S3UploadFromFileIsHashedByStreamingAndNotReadIntoTheBody) {
  set("AWS_ENDPOINT_URL_S3", "http://127.0.0.1:9000");
  std::string content(3 * 65536 + 17, 'x');
  testing::write_file(folder_ / "upload.bin", content);
  ServiceClient client(session(), kS3, "us-east-1");
  OperationRequest request;
  request.method = "PUT";
  request.operation = "PutObject";
  request.bucket = "bucket";
  request.path = "/key";
  request.upload_file = (folder_ / "upload.bin").string();
  client.send(request);
  const http::HttpRequest sent = transport_->requests().at(0);
  EXPECT_TRUE(sent.body.empty());
  EXPECT_EQ(sent.upload_file, request.upload_file);
  EXPECT_EQ(http::find_header(sent.headers, "X-Amz-Content-SHA256"), sigv4::sha256_hex(content));
}

TEST_F(ServiceClientTest, S3AddressingFollowsBucketNameAndEndpoint) {
  auto url_for = [&](const std::string& bucket, const std::string& region) {
    auto transport = std::make_shared<FakeTransport>();
    transport_ = transport;
    ServiceClient client(session(), kS3, region);
    OperationRequest request;
    request.method = "GET";
    request.operation = "ListObjectsV2";
    request.bucket = bucket;
    request.query = {{"list-type", "2"}, {"prefix", "a b/"}};
    client.send(request);
    return transport->requests().at(0).url;
  };
  EXPECT_EQ(url_for("bucket-1", "eu-west-2"),
            "https://bucket-1.s3.eu-west-2.amazonaws.com/?list-type=2&prefix=a%20b%2F");
  EXPECT_EQ(url_for("Upper_Case", "eu-west-2"),
            "https://s3.eu-west-2.amazonaws.com/Upper_Case?list-type=2&prefix=a%20b%2F");
  EXPECT_EQ(url_for("dotted.name", "eu-west-2"),
            "https://s3.eu-west-2.amazonaws.com/dotted.name?list-type=2&prefix=a%20b%2F");
  set("AWS_ENDPOINT_URL", "http://localhost:4566/");
  EXPECT_EQ(url_for("bucket-1", "eu-west-2"), "http://localhost:4566/bucket-1?list-type=2&prefix=a%20b%2F");
}

TEST_F(ServiceClientTest, ThrottlingIsRetriedWithGrowingBackoffAndResignedEachAttempt) {
  int calls = 0;
  std::vector<std::string> dates;
  core::set_clock([&] { return testing::fixed_time() + std::chrono::seconds(calls); });
  transport_->handler = [&](const http::HttpRequest& request) {
    dates.push_back(http::find_header(request.headers, "X-Amz-Date"));
    ++calls;
    if (calls < 3)
      return answer(503,
                    "<Response><Errors><Error><Code>RequestLimitExceeded</Code><Message>slow</Message>"
                    "</Error></Errors><RequestID>r</RequestID></Response>");
    return answer(200, "<DescribeSubnetsResponse/>");
  };
  ServiceClient client(session(), kEc2, "us-east-1");
  OperationRequest request;
  request.operation = "RunInstances";
  request.form = {{"ClientToken", "token-1"}};
  auto response = client.send(request);
  EXPECT_EQ(response.status, 200);
  auto requests = transport_->requests();
  ASSERT_EQ(requests.size(), 3u);
  for (const auto& sent : requests) EXPECT_EQ(sent.body, requests[0].body);  // same idempotency token
  EXPECT_NE(dates[0], dates[2]);
  EXPECT_EQ(http::find_header(requests[2].headers, "amz-sdk-request"), "attempt=3; max=3");
  ASSERT_EQ(slept_.size(), 2u);
  EXPECT_LE(slept_[0], 1.0);
  EXPECT_LE(slept_[1], 2.0);
}

TEST_F(ServiceClientTest, GivesUpAfterMaxAttemptsWithTheServiceError) {
  transport_->handler = [](const http::HttpRequest&) {
    return answer(400, R"({"__type":"ThrottlingException","message":"Rate exceeded"})");
  };
  ServiceClient client(session(), kSsm, "eu-west-1");
  OperationRequest request;
  request.operation = "GetParameter";
  request.body = "{}";
  try {
    client.send(request);
    FAIL() << "expected a ServiceError";
  } catch (const ServiceError& error) {
    EXPECT_EQ(error.code(), "ThrottlingException");
    EXPECT_EQ(error.operation(), "GetParameter");
    EXPECT_EQ(error.service(), "ssm");
  }
  EXPECT_EQ(transport_->requests().size(), 3u);
  EXPECT_EQ(http::find_header(transport_->requests()[0].headers, "X-Amz-Target"), "AmazonSSM.GetParameter");
}

TEST_F(ServiceClientTest, ExpiredCredentialsAreFetchedAgainAndTheRequestSignedOnceMore) {
  std::atomic<int> fetches{0};
  auto provider = std::make_shared<RefreshingCredentialsProvider>([&] {
    const std::string key = "ASIAKEY" + std::to_string(++fetches);
    return Credentials{key, "secret", "token-" + key, testing::fixed_time() + std::chrono::hours(1), "test"};
  });
  SessionOptions options;
  options.transport = transport_;
  auto role_session = Session::from_provider(provider, options);
  bool always_expired = false;
  transport_->handler = [&](const http::HttpRequest& request) {
    const bool first_key = http::find_header(request.headers, "Authorization").find("ASIAKEY1/") != std::string::npos;
    if (first_key || always_expired)
      return answer(400,
                    "<Response><Errors><Error><Code>ExpiredToken</Code><Message>The provided token has expired."
                    "</Message></Error></Errors><RequestID>r</RequestID></Response>");
    return answer(200, "<DescribeVpcsResponse/>");
  };
  ServiceClient client(role_session, kEc2, "us-east-1");
  OperationRequest request;
  request.operation = "DescribeVpcs";
  EXPECT_NO_THROW(client.send(request));
  EXPECT_EQ(transport_->requests().size(), 2u);
  EXPECT_EQ(fetches.load(), 2);
  EXPECT_TRUE(slept_.empty()) << "no backoff before a fresh signature";

  // Refused again with the fresh set: once is all, and the refusal is the caller's.
  always_expired = true;
  try {
    client.send(request);
    FAIL() << "expected a ServiceError";
  } catch (const ServiceError& error) {
    EXPECT_EQ(error.code(), "ExpiredToken");
  }
  EXPECT_EQ(transport_->requests().size(), 4u);
  EXPECT_EQ(fetches.load(), 3);
  // Fixed credentials are not sent again.
  ServiceClient fixed(session("token"), kEc2, "us-east-1");
  EXPECT_THROW(fixed.send(request), ServiceError);
  EXPECT_EQ(transport_->requests().size(), 5u);
}

TEST_F(ServiceClientTest, ClientErrorsAreNotRetried) {
  transport_->handler = [](const http::HttpRequest&) {
    return answer(409,
                  "<ErrorResponse><Error><Type>Sender</Type><Code>EntityAlreadyExists</Code>"
                  "<Message>exists</Message></Error><RequestId>q</RequestId></ErrorResponse>");
  };
  ServiceClient client(session(), kIam, "eu-west-2");
  OperationRequest request;
  request.operation = "CreateRole";
  EXPECT_THROW(client.send(request), ServiceError);
  EXPECT_EQ(transport_->requests().size(), 1u);
  EXPECT_TRUE(slept_.empty());
  // IAM is global: signed for us-east-1 whatever the client's region.
  EXPECT_EQ(transport_->requests()[0].url, "https://iam.amazonaws.com/");
  EXPECT_NE(http::find_header(transport_->requests()[0].headers, "Authorization").find("/us-east-1/iam/"),
            std::string::npos);
}

TEST_F(ServiceClientTest, AttemptsComeFromEnvironmentAndClientOverride) {
  int calls = 0;
  transport_->handler = [&](const http::HttpRequest&) -> http::HttpResponse {
    ++calls;
    throw http::TransportError(http::TransportError::Kind::Connect, "connection refused");
  };
  set("AWS_MAX_ATTEMPTS", "5");
  OperationRequest request;
  request.operation = "DescribeSubnets";
  ServiceClient from_env(session(), kEc2, "us-east-1");
  EXPECT_THROW(from_env.send(request), TransportError);
  EXPECT_EQ(calls, 5);
  calls = 0;
  ClientOptions options;
  options.region = "us-east-1";
  options.max_attempts = 1;
  ServiceClient single(session(), kEc2, options);
  EXPECT_THROW(single.send(request), TransportError);
  EXPECT_EQ(calls, 1);
}

TEST_F(ServiceClientTest, LocalFileAndCertificateFailuresAreNotRetried) {
  set("AWS_ENDPOINT_URL_S3", "http://127.0.0.1:9000");
  ServiceClient client(session(), kS3, "us-east-1");
  OperationRequest upload;
  upload.method = "PUT";
  upload.operation = "PutObject";
  upload.bucket = "bucket";
  upload.path = "/key";
  upload.upload_file = (folder_ / "does-not-exist").string();
  try {
    client.send(upload);
    FAIL() << "expected a TransportError";
  } catch (const TransportError& error) {
    EXPECT_EQ(error.kind(), TransportError::Kind::Local);
  }
  EXPECT_TRUE(transport_->requests().empty());
  transport_->handler = [](const http::HttpRequest&) -> http::HttpResponse {
    throw http::TransportError(http::TransportError::Kind::Tls, "certificate verify failed");
  };
  OperationRequest get;
  get.method = "GET";
  get.operation = "GetObject";
  get.bucket = "bucket";
  get.path = "/key";
  EXPECT_THROW(client.send(get), TransportError);
  EXPECT_EQ(transport_->requests().size(), 1u);
}

TEST_F(ServiceClientTest, S3BucketInAnotherRegionIsFollowedAndRemembered) {
  transport_->handler = [](const http::HttpRequest& request) {
    if (request.url.find("eu-west-2") == std::string::npos)
      return answer(301, "<Error><Code>PermanentRedirect</Code><Message>elsewhere</Message></Error>",
                    {{"x-amz-bucket-region", "eu-west-2"}});
    return answer(200, "<ListBucketResult/>");
  };
  ServiceClient client(session(), kS3, "us-east-1");
  OperationRequest request;
  request.method = "GET";
  request.operation = "ListObjectsV2";
  request.bucket = "far-bucket";
  EXPECT_EQ(client.send(request).status, 200);
  EXPECT_EQ(client.send(request).status, 200);
  auto requests = transport_->requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1].url, "https://far-bucket.s3.eu-west-2.amazonaws.com/");
  EXPECT_NE(http::find_header(requests[1].headers, "Authorization").find("/eu-west-2/s3/"), std::string::npos);
  EXPECT_EQ(requests[2].url, requests[1].url);
}

TEST_F(ServiceClientTest, SessionTokenIsSentAndSigned) {
  ServiceClient client(session("TOKEN/+="), kEc2, "us-east-1");
  OperationRequest request;
  request.operation = "DescribeSubnets";
  client.send(request);
  const auto headers = transport_->requests().at(0).headers;
  EXPECT_EQ(http::find_header(headers, "X-Amz-Security-Token"), "TOKEN/+=");
  EXPECT_NE(http::find_header(headers, "Authorization").find("x-amz-security-token"), std::string::npos);
}

TEST_F(ServiceClientTest, ErrorTextsCarryNoSecrets) {
  transport_->handler = [](const http::HttpRequest&) -> http::HttpResponse {
    throw http::TransportError(http::TransportError::Kind::Timeout, "timed out");
  };
  ServiceClient client(session("SECRET-TOKEN"), kEc2, "us-east-1");
  OperationRequest request;
  request.operation = "DescribeSubnets";
  try {
    client.send(request);
  } catch (const std::exception& error) {
    std::string text = error.what();
    EXPECT_EQ(text.find("wJalrXUtnFEMI"), std::string::npos);
    EXPECT_EQ(text.find("SECRET-TOKEN"), std::string::npos);
  }
}

TEST_F(ServiceClientTest, RetriesAreReportedToTheDebugHookWithoutSecrets) {
  std::vector<std::string> lines;
  set_debug_hook([&](const std::string& line) { lines.push_back(line); });
  int calls = 0;
  transport_->handler = [&](const http::HttpRequest&) { return ++calls == 1 ? answer(503, "") : answer(200, ""); };
  ServiceClient client(session("SECRET-TOKEN"), kEc2, "eu-west-1");
  OperationRequest request;
  request.operation = "DescribeSubnets";
  client.send(request);
  set_debug_hook({});
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("ec2 DescribeSubnets (eu-west-1): attempt 1 refused (503, HTTP 503)"), std::string::npos);
  EXPECT_EQ(lines[0].find("SECRET"), std::string::npos);
}

}  // namespace
}  // namespace qvn::aws
