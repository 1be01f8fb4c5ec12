// The libcurl transport and the metadata service client against a real
// HTTP server on the loopback interface.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "aws/curl_transport.hpp"
#include "aws/errors.hpp"
#include "aws/imds.hpp"
#include "awscore_test_support.hpp"

namespace qvn::aws {
namespace {

class LoopbackServer {
 public:
  LoopbackServer() {
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~LoopbackServer() {
    server_.stop();
    thread_.join();
  }
  httplib::Server& server() { return server_; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
};

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() / ("awscore-transport-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  LoopbackServer loopback_;
  CurlTransport transport_;
  std::filesystem::path folder_;
};

TEST_F(TransportTest, SendsHeadersAndBodyExactlyAsGiven) {
  std::string seen_type, seen_body, seen_host;
  loopback_.server().Post("/", [&](const httplib::Request& request, httplib::Response& response) {
    seen_type = request.get_header_value("Content-Type");
    seen_host = request.get_header_value("Host");
    seen_body = request.body;
    response.set_header("x-amzn-RequestId", "rid");
    response.set_content("ok", "text/plain");
  });
  HttpRequest request;
  request.method = "POST";
  request.url = loopback_.url() + "/";
  request.headers = {{"Host", "signed.example"}, {"X-Amz-Target", "AmazonSSM.GetParameter"}};
  request.body = "{}";
  HttpResponse response = transport_.send(request);
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, "ok");
  EXPECT_EQ(response.header("X-AMZN-REQUESTID"), "rid");
  EXPECT_EQ(seen_body, "{}");
  EXPECT_EQ(seen_host, "signed.example");
  EXPECT_EQ(seen_type, "");  // no Content-Type that was not signed
}

TEST_F(TransportTest, DownloadsStreamToTheFileAndFailuresLeaveNothing) {
  std::string payload(200000, 'z');
  loopback_.server().Get("/object", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content(payload, "application/octet-stream");
  });
  loopback_.server().Get("/missing", [](const httplib::Request&, httplib::Response& response) {
    response.status = 404;
    response.set_content("<Error><Code>NoSuchKey</Code></Error>", "application/xml");
  });
  HttpRequest request;
  request.url = loopback_.url() + "/object";
  request.download_file = (folder_ / "object.bin").string();
  HttpResponse response = transport_.send(request);
  EXPECT_TRUE(response.body.empty());
  EXPECT_EQ(testing::read_file(folder_ / "object.bin"), payload);

  request.url = loopback_.url() + "/missing";
  request.download_file = (folder_ / "missing.bin").string();
  response = transport_.send(request);
  EXPECT_EQ(response.status, 404);
  EXPECT_NE(response.body.find("NoSuchKey"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(folder_ / "missing.bin"));
  for (const auto& entry : std::filesystem::directory_iterator(folder_))
    EXPECT_EQ(entry.path().string().find(".part-"), std::string::npos);
}

TEST_F(TransportTest, UploadsStreamFromTheFile) {
  std::string received;
  loopback_.server().Put("/key", [&](const httplib::Request& request, httplib::Response& response) {
    received = request.body;
    response.status = 200;
  });
  std::string payload(100000, 'u');
  testing::write_file(folder_ / "up.bin", payload);
  HttpRequest request;
  request.method = "PUT";
  request.url = loopback_.url() + "/key";
  request.upload_file = (folder_ / "up.bin").string();
  EXPECT_EQ(transport_.send(request).status, 200);
  EXPECT_EQ(received, payload);
}

TEST_F(TransportTest, ReadTimeLimitAndRefusedConnectionsAreTransportErrors) {
  loopback_.server().Get("/slow", [](const httplib::Request&, httplib::Response& response) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    response.set_content("late", "text/plain");
  });
  HttpRequest request;
  request.url = loopback_.url() + "/slow";
  request.read_timeout = std::chrono::milliseconds(300);
  auto start = std::chrono::steady_clock::now();
  try {
    transport_.send(request);
    FAIL() << "expected a time-out";
  } catch (const TransportError& error) {
    EXPECT_TRUE(error.is_timeout());
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1400));
  request.url = "http://127.0.0.1:1/";
  EXPECT_THROW(transport_.send(request), TransportError);
}

TEST_F(TransportTest, ServesManyThreadsAtOnce) {
  std::atomic<int> served{0};
  loopback_.server().Get("/n", [&](const httplib::Request& request, httplib::Response& response) {
    ++served;
    response.set_content(request.get_param_value("i"), "text/plain");
  });
  std::atomic<int> correct{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        HttpRequest request;
        std::string id = std::to_string(t * 100 + i);
        request.url = loopback_.url() + "/n?i=" + id;
        if (transport_.send(request).body == id) ++correct;
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(correct.load(), 80);
  EXPECT_EQ(served.load(), 80);
}

// --- Instance metadata ---

class ImdsTest : public TransportTest {
 protected:
  ImdsSettings settings() {
    ImdsSettings s;
    s.endpoint = loopback_.url();
    return s;
  }
  std::shared_ptr<HttpTransport> shared_transport_ = std::make_shared<CurlTransport>();
};

TEST_F(ImdsTest, TokenIsFetchedOnceAndSentWithEveryGet) {
  std::atomic<int> puts{0};
  std::string ttl;
  loopback_.server().Put("/latest/api/token", [&](const httplib::Request& request, httplib::Response& response) {
    ++puts;
    ttl = request.get_header_value("x-aws-ec2-metadata-token-ttl-seconds");
    response.set_content("tok-1", "text/plain");
  });
  loopback_.server().Get("/latest/dynamic/instance-identity/document",
                         [](const httplib::Request& request, httplib::Response& response) {
                           if (request.get_header_value("x-aws-ec2-metadata-token") != "tok-1") {
                             response.status = 401;
                             return;
                           }
                           response.set_content(R"({"accountId": "123456789012", "region": "eu-west-1"})",
                                                "application/json");
                         });
  ImdsClient client(shared_transport_, settings());
  EXPECT_EQ(client.get("/latest/dynamic/instance-identity/document").status, 200);
  EXPECT_EQ(client.get("/latest/dynamic/instance-identity/document").status, 200);
  EXPECT_EQ(puts.load(), 1);
  EXPECT_EQ(ttl, "21600");
}

TEST_F(ImdsTest, FallsBackToRequestsWithoutTokenWhenTheTokenIsRefused) {
  loopback_.server().Put("/latest/api/token", [](const httplib::Request&, httplib::Response& response) {
    response.status = 405;
  });
  std::string token_header = "unset";
  loopback_.server().Get("/doc", [&](const httplib::Request& request, httplib::Response& response) {
    token_header = request.get_header_value("x-aws-ec2-metadata-token");
    response.set_content("{}", "application/json");
  });
  ImdsClient client(shared_transport_, settings());
  EXPECT_EQ(client.get("/doc").status, 200);
  EXPECT_EQ(token_header, "");
}

TEST_F(ImdsTest, AnExpiredTokenIsRenewedOnce) {
  std::atomic<int> puts{0};
  loopback_.server().Put("/latest/api/token", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content("tok-" + std::to_string(++puts), "text/plain");
  });
  loopback_.server().Get("/doc", [&](const httplib::Request& request, httplib::Response& response) {
    if (request.get_header_value("x-aws-ec2-metadata-token") == "tok-1") {
      response.status = 401;
      return;
    }
    response.set_content("fresh", "text/plain");
  });
  ImdsClient client(shared_transport_, settings());
  EXPECT_EQ(client.get("/doc").body, "fresh");
  EXPECT_EQ(puts.load(), 2);
}

TEST_F(ImdsTest, ErrorStatusesAreReturnedAndDisabledServiceIsRefused) {
  loopback_.server().Put("/latest/api/token", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("tok", "text/plain");
  });
  loopback_.server().Get("/doc", [](const httplib::Request&, httplib::Response& response) { response.status = 404; });
  ImdsClient client(shared_transport_, settings());
  EXPECT_EQ(client.get("/doc").status, 404);
  ImdsSettings off = settings();
  off.disabled = true;
  EXPECT_THROW(ImdsClient(shared_transport_, off).get("/doc"), ConfigError);
}

TEST_F(ImdsTest, SilentServiceFailsWithinTheTimeLimit) {
  // A token request that hangs (a hop limit seen from a container) falls
  // back to a plain GET, which hangs too: both are cut by the time limit.
  auto hang = [](const httplib::Request&, httplib::Response& response) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    response.set_content("late", "text/plain");
  };
  loopback_.server().Put("/latest/api/token", hang);
  loopback_.server().Get("/doc", hang);
  ImdsSettings s = settings();
  s.timeout = std::chrono::milliseconds(150);
  auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(ImdsClient(shared_transport_, s).get("/doc"), TransportError);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1100));
}

class ImdsSettingsTest : public testing::AwsEnvironmentTest {};

TEST_F(ImdsSettingsTest, EnvironmentChoosesAddressAndSwitch) {
  set("AWS_EC2_METADATA_SERVICE_ENDPOINT", "http://127.0.0.1:8111/");
  set("AWS_EC2_METADATA_DISABLED", "TRUE");
  ImdsSettings s = ImdsSettings::from_environment();
  EXPECT_EQ(s.endpoint, "http://127.0.0.1:8111");
  EXPECT_TRUE(s.disabled);
  unset("AWS_EC2_METADATA_SERVICE_ENDPOINT");
  unset("AWS_EC2_METADATA_DISABLED");
  EXPECT_EQ(ImdsSettings::from_environment().endpoint, "http://169.254.169.254");
  EXPECT_FALSE(ImdsSettings::from_environment().disabled);
  set("AWS_EC2_METADATA_SERVICE_ENDPOINT_MODE", "IPv6");
  EXPECT_EQ(ImdsSettings::from_environment().endpoint, "http://[fd00:ec2::254]");
}

}  // namespace
}  // namespace qvn::aws
