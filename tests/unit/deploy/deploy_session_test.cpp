#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>

#include "aws/errors.hpp"
#include "core/logging.hpp"
#include "core/run_outcome.hpp"
#include "deploy/deploy_session.hpp"
#include "unit/core/log_capture.hpp"

namespace qvn::deploy {
namespace {

// Answers metadata requests from a script and records them.
class ScriptedTransport : public http::HttpTransport {
 public:
  struct Step {
    long status;
    std::string body;
    bool unreachable = false;
  };
  std::deque<Step> steps;
  std::vector<http::HttpRequest> sent;

  http::HttpResponse send(const http::HttpRequest& request) override {
    std::lock_guard lock(mutex_);
    sent.push_back(request);
    if (steps.empty()) throw std::runtime_error("unexpected request " + request.method + " " + request.url);
    Step step = steps.front();
    steps.pop_front();
    if (step.unreachable) throw http::TransportError(http::TransportError::Kind::Connect, "connection refused");
    http::HttpResponse response;
    response.status = step.status;
    response.body = step.body;
    return response;
  }

 private:
  std::mutex mutex_;
};

const char* kDocument = R"({"accountId": "210987654321", "region": "us-west-2", "instanceId": "i-1"})";

class MetadataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("AWS_EC2_METADATA_SERVICE_ENDPOINT", "http://127.0.0.1:1", 1);
    ::unsetenv("AWS_EC2_METADATA_DISABLED");
    ::unsetenv("AWS_EC2_METADATA_V1_DISABLED");
    log.addHandler(sink);
    log.setLevel(DEBUG);
  }
  void TearDown() override {
    log.removeHandler(sink);
    ::unsetenv("AWS_EC2_METADATA_SERVICE_ENDPOINT");
  }

  std::shared_ptr<ScriptedTransport> transport = std::make_shared<ScriptedTransport>();
  std::shared_ptr<test_support::CaptureHandler> sink = std::make_shared<test_support::CaptureHandler>();
  Logger& log = *getLogger("quorvane_testlibs");
};

TEST_F(MetadataTest, ASessionTokenIsAskedForFirstWithAShortTimeLimit) {
  transport->steps = {{200, "token-123"}, {200, kDocument}};
  nlohmann::json document = get_aws_metadata(transport);
  EXPECT_EQ(document.at("accountId"), "210987654321");
  EXPECT_EQ(document.at("region"), "us-west-2");
  ASSERT_EQ(transport->sent.size(), 2u);
  EXPECT_EQ(transport->sent[0].method, "PUT");
  EXPECT_EQ(transport->sent[0].url, "http://127.0.0.1:1/latest/api/token");
  EXPECT_LE(transport->sent[0].read_timeout, std::chrono::seconds(2));
  EXPECT_LE(transport->sent[0].connect_timeout, std::chrono::seconds(2));
  EXPECT_EQ(transport->sent[1].method, "GET");
  EXPECT_EQ(transport->sent[1].url, "http://127.0.0.1:1/latest/dynamic/instance-identity/document");
  EXPECT_EQ(http::find_header(transport->sent[1].headers, "x-aws-ec2-metadata-token"), "token-123");
  EXPECT_LE(transport->sent[1].read_timeout, std::chrono::seconds(2));
}

TEST_F(MetadataTest, APlainGetIsUsedOnlyWhereTheTokenEndpointIsAbsent) {
  transport->steps = {{404, ""}, {200, kDocument}};
  EXPECT_EQ(get_aws_metadata(transport).at("accountId"), "210987654321");
  ASSERT_EQ(transport->sent.size(), 2u);
  EXPECT_EQ(http::find_header(transport->sent[1].headers, "x-aws-ec2-metadata-token"), "");

  // A token endpoint that fails for another reason is not bypassed.
  transport->sent.clear();
  transport->steps = {{500, "oops"}};
  EXPECT_THROW(get_aws_metadata(transport), aws::TransportError);
  EXPECT_EQ(transport->sent.size(), 1u);
}

TEST_F(MetadataTest, ANon200AnswerLogsTheInfoMessageAndEndsWithStatusOne) {
  for (long status : {404L, 401L, 500L}) {
    // A 401 makes the client renew its token once.
    transport->steps = {{200, "token"}, {status, "no"}, {200, "token-2"}, {status, "no"}};
    try {
      get_aws_metadata(transport);
      ADD_FAILURE() << "status " << status << " did not end the run";
    } catch (const ProgramExit& exit) {
      EXPECT_EQ(exit.status, 1);
    }
    transport->steps.clear();
  }
  auto records = sink->records();
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.back().message, "  **Error** failed to deduce workflow account number from meta data");
  EXPECT_EQ(records.back().levelno, INFO) << "logged at INFO: it does not reach the error-status handler";
}

TEST_F(MetadataTest, AnUnreachableServiceOrABodyThatIsNotAnObjectIsAClearFailure) {
  transport->steps = {{0, "", true}, {0, "", true}};
  EXPECT_THROW(get_aws_metadata(transport), aws::TransportError);

  transport->steps = {{200, "token"}, {200, "<html>not json</html>"}};
  try {
    get_aws_metadata(transport);
    ADD_FAILURE() << "a body that is not JSON was accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("instance identity document"), std::string::npos) << e.what();
  }
}

TEST_F(MetadataTest, ADisabledServiceSendsNothing) {
  ::setenv("AWS_EC2_METADATA_DISABLED", "true", 1);
  EXPECT_THROW(get_aws_metadata(transport), aws::ConfigError);
  EXPECT_TRUE(transport->sent.empty());
  ::unsetenv("AWS_EC2_METADATA_DISABLED");
}

}  // namespace
}  // namespace qvn::deploy
