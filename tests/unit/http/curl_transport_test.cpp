// The libcurl transport against a real HTTP server on the loopback
// interface.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "http/curl_transport.hpp"
#include "http/transport_error.hpp"
#include "unit/loopback_server.hpp"

namespace qvn::http {
namespace {

using qvn::testing::LoopbackServer;

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

bool libcurl_loaded() {
  void* handle = dlopen("libcurl.so.4", RTLD_LAZY | RTLD_NOLOAD);
  if (handle) dlclose(handle);
  return handle != nullptr;
}

// The first test of its program (and ctest runs each in a process of its
// own): nothing has sent a request yet, so libcurl is not even mapped.
TEST(TransportStart, LibcurlIsLoadedByTheFirstRequestNotByTheTransport) {
  EXPECT_FALSE(libcurl_loaded());
  CurlTransport transport;
  TlsSettings insecure;
  insecure.verify_peer = false;
  CurlTransport controller(insecure);
  EXPECT_FALSE(libcurl_loaded());
  HttpRequest request;
  request.url = "http://127.0.0.1:1/";
  EXPECT_THROW(transport.send(request), TransportError);
  EXPECT_TRUE(libcurl_loaded());
}

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() / ("http-transport-" + std::to_string(::getpid()));
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
  EXPECT_EQ(read_file(folder_ / "object.bin"), payload);

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
  write_file(folder_ / "up.bin", payload);
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

}  // namespace
}  // namespace qvn::http
