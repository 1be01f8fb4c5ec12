// S3 without a configured region, S3's region redirects, and what a slow or
// failing call tells the log: the INFO line of a retried call and the name
// of an endpoint that does not answer.
#include <gtest/gtest.h>

#include <regex>

#include <atomic>
#include <memory>
#include <thread>

#include "aws/errors.hpp"
#include "aws/s3.hpp"
#include "aws/service_client.hpp"
#include "aws/session.hpp"
#include "awscore_test_support.hpp"
#include "core/logging.hpp"
#include "lib/call_log.hpp"
#include "unit/core/log_capture.hpp"

namespace qvn::aws {
namespace {

using testing::answer;

using testing::kEc2;

std::string scope_of(const http::HttpRequest& request) {
  const std::string authorization = http::find_header(request.headers, "Authorization");
  const auto start = authorization.find("Credential=");
  return authorization.substr(start, authorization.find(',', start) - start);
}

std::string malformed_authorization(const std::string& region) {
  return "<Error><Code>AuthorizationHeaderMalformed</Code><Message>the region 'us-east-1' is wrong; expecting '" +
         region + "'</Message><Region>" + region + "</Region></Error>";
}

class S3RegionTest : public testing::AwsEnvironmentTest {
 protected:
  void SetUp() override {
    AwsEnvironmentTest::SetUp();
    core::set_clock([] { return testing::fixed_time(); });
    core::set_sleep_function([](core::Seconds) {});
  }

  // Keys in the environment and no region anywhere, as a CI job has them.
  std::shared_ptr<Session> session_without_region() {
    set("AWS_ACCESS_KEY_ID", "AKIDEXAMPLE");
    set("AWS_SECRET_ACCESS_KEY", "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY");
    SessionOptions options;
    options.transport = transport_;
    options.listener = makeCallLog();  // the toolkit's lines, for the call reports below
    return Session::create(options);
  }

  static ListObjectsV2Result list(const S3Client& s3, const std::string& bucket) {
    ListObjectsV2Request request;
    request.Bucket = bucket;
    return s3.list_objects_v2(request);
  }
};

TEST_F(S3RegionTest, WithoutAnyRegionTheGlobalEndpointIsSignedForUsEast1) {
  auto session = session_without_region();
  ASSERT_FALSE(session->region());
  const S3Client s3(session);
  transport_->handler = [](const http::HttpRequest&) { return answer(200, "<ListBucketResult/>"); };
  list(s3, "my-bucket");
  const auto sent = transport_->requests().at(0);
  EXPECT_EQ(sent.url.substr(0, sent.url.find('?')), "https://my-bucket.s3.amazonaws.com/");
  EXPECT_NE(scope_of(sent).find("/us-east-1/s3/aws4_request"), std::string::npos);
  // Services without a global endpoint still need a region.
  EXPECT_THROW(ServiceClient(session, kEc2), ConfigError);
}

TEST_F(S3RegionTest, RegionNamedInTheErrorBodyIsFollowedOnceAndRememberedForTheSession) {
  auto session = session_without_region();
  transport_->handler = [](const http::HttpRequest& request) {
    if (scope_of(request).find("/eu-west-1/") == std::string::npos)
      return answer(400, malformed_authorization("eu-west-1"));
    return answer(200, "<ListBucketResult/>");
  };
  list(S3Client(session), "far-bucket");
  auto sent = transport_->requests();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].url.substr(0, sent[1].url.find('?')), "https://far-bucket.s3.eu-west-1.amazonaws.com/");
  EXPECT_NE(scope_of(sent[1]).find("/eu-west-1/s3/"), std::string::npos);

  // Another client of the same session goes there at once; another
  // bucket still starts at the global endpoint.
  list(S3Client(session), "far-bucket");
  ASSERT_EQ(transport_->requests().size(), 3u);
  EXPECT_NE(scope_of(transport_->requests()[2]).find("/eu-west-1/"), std::string::npos);
  transport_->handler = [](const http::HttpRequest&) { return answer(200, "<ListBucketResult/>"); };
  list(S3Client(session), "near-bucket");
  EXPECT_NE(scope_of(transport_->requests()[3]).find("/us-east-1/"), std::string::npos);
}

TEST_F(S3RegionTest, ConfiguredEndpointKeepsPathStyleAndStillFollowsTheRegion) {
  set("AWS_ENDPOINT_URL_S3", "http://127.0.0.1:4566");
  auto session = session_without_region();
  transport_->handler = [](const http::HttpRequest& request) {
    if (scope_of(request).find("/ap-south-1/") == std::string::npos)
      return answer(400, "<Error><Code>IllegalLocationConstraintException</Code><Message>m</Message></Error>",
                    {{"x-amz-bucket-region", "ap-south-1"}});
    return answer(200, "");
  };
  S3Client(session).delete_object({.Bucket = "b1", .Key = "k", .VersionId = std::nullopt});
  auto sent = transport_->requests();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].url, "http://127.0.0.1:4566/b1/k");
  EXPECT_EQ(sent[1].url, "http://127.0.0.1:4566/b1/k");
  EXPECT_NE(scope_of(sent[0]).find("/us-east-1/s3/"), std::string::npos);
  EXPECT_NE(scope_of(sent[1]).find("/ap-south-1/s3/"), std::string::npos);
}

TEST_F(S3RegionTest, RedirectWithoutARegionAsksTheBucketWithAHead) {
  auto session = session_without_region();
  transport_->handler = [](const http::HttpRequest& request) {
    if (request.method == "HEAD") return answer(301, "", {{"x-amz-bucket-region", "sa-east-1"}});
    if (scope_of(request).find("/sa-east-1/") == std::string::npos)
      return answer(301, "<Error><Code>PermanentRedirect</Code><Message>m</Message></Error>");
    return answer(200, "<ListBucketResult/>");
  };
  list(S3Client(session), "far-bucket");
  auto sent = transport_->requests();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[1].method, "HEAD");
  EXPECT_NE(scope_of(sent[2]).find("/sa-east-1/"), std::string::npos);
}

TEST_F(S3RegionTest, ASecondRedirectAndARegionThatIsAlreadyTheSignedOneAreRefusals) {
  auto session = session_without_region();
  transport_->handler = [](const http::HttpRequest& request) {
    const bool west = scope_of(request).find("/us-west-2/") != std::string::npos;
    return answer(400, malformed_authorization(west ? "eu-north-1" : "us-west-2"));
  };
  try {
    list(S3Client(session), "hopping-bucket");
    FAIL() << "no ServiceError";
  } catch (const ServiceError& e) {
    EXPECT_EQ(e.code(), "AuthorizationHeaderMalformed");
  }
  EXPECT_EQ(transport_->requests().size(), 2u);

  transport_->handler = [](const http::HttpRequest&) { return answer(400, malformed_authorization("us-east-1")); };
  EXPECT_THROW(list(S3Client(session), "odd-bucket"), ServiceError);
  EXPECT_EQ(transport_->requests().size(), 3u);
}

TEST_F(S3RegionTest, ManyThreadsFollowingOneBucketAgree) {
  auto session = session_without_region();
  transport_->handler = [](const http::HttpRequest& request) {
    if (scope_of(request).find("/eu-west-3/") == std::string::npos)
      return answer(400, malformed_authorization("eu-west-3"));
    return answer(200, "<ListBucketResult/>");
  };
  std::atomic<int> listed{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      const S3Client s3(session);
      for (int j = 0; j < 5; ++j) {
        list(s3, "shared-bucket");
        ++listed;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(listed.load(), 40);
  EXPECT_EQ(session->bucket_region("shared-bucket"), "eu-west-3");
}

class CallReportTest : public S3RegionTest {
 protected:
  void SetUp() override {
    S3RegionTest::SetUp();
    resetLoggingForTesting();
    capture_ = std::make_shared<test_support::CaptureHandler>();
    getLogger("quorvane_testlibs")->addHandler(capture_);
    getLogger("quorvane_testlibs")->setLevel(DEBUG);
  }
  void TearDown() override {
    resetLoggingForTesting();
    S3RegionTest::TearDown();
  }

  std::vector<std::string> info_lines() const {
    std::vector<std::string> lines;
    for (const auto& record : capture_->records())
      if (record.levelno == INFO && record.name == "quorvane_testlibs.aws") lines.push_back(record.message);
    return lines;
  }

  std::shared_ptr<test_support::CaptureHandler> capture_;
};

TEST_F(CallReportTest, ARetriedCallSaysSoOnceAtItsSecondAttemptWithTheReason) {
  set("AWS_REGION", "eu-west-1");
  int calls = 0;
  transport_->handler = [&](const http::HttpRequest&) {
    return ++calls < 3 ? answer(400,
                                "<Response><Errors><Error><Code>RequestLimitExceeded</Code><Message>slow"
                                "</Message></Error></Errors></Response>")
                       : answer(200, "");
  };
  ServiceClient client(session_without_region(), kEc2);
  client.send({.operation = "DescribeSubnets"});
  const auto lines = info_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("DescribeSubnets"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("RequestLimitExceeded"), std::string::npos) << lines[0];

  // A call that succeeds at once says nothing.
  client.send({.operation = "DescribeSubnets"});
  EXPECT_EQ(info_lines().size(), 1u);
}

TEST_F(CallReportTest, AnEndpointThatNeverAnswersIsNamedInTheFailure) {
  set("AWS_REGION", "eu-west-1");
  transport_->handler = [](const http::HttpRequest& request) -> http::HttpResponse {
    throw http::TransportError(http::TransportError::Kind::Connect,
                               "Couldn't connect to server (POST " + request.url + ")");
  };
  ServiceClient client(session_without_region(), kEc2);
  try {
    client.send({.operation = "DescribeSubnets"});
    FAIL() << "no TransportError";
  } catch (const TransportError& e) {
    const std::string text = e.what();
    EXPECT_EQ(e.kind(), TransportError::Kind::Connect);
    EXPECT_NE(text.find("the endpoint ec2.eu-west-1.amazonaws.com did not answer"), std::string::npos) << text;
    EXPECT_NE(text.find("DescribeSubnets"), std::string::npos) << text;
  }
  EXPECT_EQ(transport_->requests().size(), 3u);
  ASSERT_EQ(info_lines().size(), 1u);
  EXPECT_NE(info_lines()[0].find("Couldn't connect"), std::string::npos);
}

TEST_F(CallReportTest, CallsThatKeepBeingRetriedAreToldAtMostEveryFifteenSeconds) {
  set("AWS_REGION", "eu-west-1");
  core::TimePoint now = core::TimePoint(std::chrono::hours(480000));
  core::set_time_scale(1);
  core::set_clock([&] { return now; });
  // Each pause takes its backoff and 5 s more of the calls' own time.
  core::set_sleep_function(
      [&](core::Seconds s) { now += std::chrono::duration_cast<std::chrono::milliseconds>(s + core::Seconds(5)); });
  bool answering = true;
  transport_->handler = [&](const http::HttpRequest& request) -> http::HttpResponse {
    if (!answering) throw http::TransportError(http::TransportError::Kind::Connect, "no route (" + request.url + ")");
    return answer(400, "<Response><Errors><Error><Code>RequestLimitExceeded</Code></Error></Errors></Response>");
  };
  ServiceClient client(session_without_region(), kEc2);
  const auto told = [this](const std::string& start) {
    std::vector<std::string> found;
    for (const std::string& line : info_lines())
      if (line.starts_with(start)) found.push_back(line);
    return found;
  };
  for (int call = 0; call < 4; ++call) EXPECT_THROW(client.send({.operation = "DescribeSubnets"}), ServiceError);
  // 8 retries over at least 40 s: two or three lines, never one per retry.
  const auto throttled = told("retrying throttled ec2 calls (eu-west-1): ");
  EXPECT_GE(throttled.size(), 1u);
  EXPECT_LE(throttled.size(), 3u);
  for (const std::string& line : throttled)
    EXPECT_TRUE(std::regex_match(line, std::regex(R"(.*: \d retries so far \(\d+ s\))"))) << line;

  answering = false;
  for (int call = 0; call < 4; ++call) EXPECT_THROW(client.send({.operation = "DescribeSubnets"}), TransportError);
  const auto silent = told("waiting for ec2.eu-west-1.amazonaws.com to answer: ");
  ASSERT_GE(silent.size(), 1u) << "the host only, never the whole request";
  EXPECT_NE(silent.back().find(" attempts without an answer ("), std::string::npos) << silent.back();
  core::set_clock({});
  core::set_time_scale(-1);
}

}  // namespace
}  // namespace qvn::aws
