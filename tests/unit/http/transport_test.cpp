// Both transports against a real HTTP server on the loopback interface:
// the same behaviour over libcurl and over the program's own sockets, and
// what only the socket transport does itself (framing, kept-alive
// connections, the choice between the two).
#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "http/curl_transport.hpp"
#include "http/socket_transport.hpp"
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

TEST(TransportStart, TheSocketTransportNeverLoadsLibcurl) {
  if (libcurl_loaded()) GTEST_SKIP() << "an earlier test of this process loaded libcurl";
  SocketTransport transport;
  HttpRequest request;
  request.url = "http://127.0.0.1:1/";
  EXPECT_THROW(transport.send(request), TransportError);
  EXPECT_FALSE(libcurl_loaded());
}

template <class Transport>
class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() / ("http-transport-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  LoopbackServer loopback_;
  Transport transport_;
  std::filesystem::path folder_;
};

using Transports = ::testing::Types<CurlTransport, SocketTransport>;
TYPED_TEST_SUITE(TransportTest, Transports);

TYPED_TEST(TransportTest, SendsHeadersAndBodyExactlyAsGiven) {
  std::string seen_type, seen_body, seen_host;
  this->loopback_.server().Post("/", [&](const httplib::Request& request, httplib::Response& response) {
    seen_type = request.get_header_value("Content-Type");
    seen_host = request.get_header_value("Host");
    seen_body = request.body;
    response.set_header("x-amzn-RequestId", "rid");
    response.set_content("ok", "text/plain");
  });
  HttpRequest request;
  request.method = "POST";
  request.url = this->loopback_.url() + "/";
  request.headers = {{"Host", "signed.example"}, {"X-Amz-Target", "AmazonSSM.GetParameter"}};
  request.body = "{}";
  HttpResponse response = this->transport_.send(request);
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, "ok");
  EXPECT_EQ(response.header("X-AMZN-REQUESTID"), "rid");
  EXPECT_EQ(seen_body, "{}");
  EXPECT_EQ(seen_host, "signed.example");
  EXPECT_EQ(seen_type, "");  // no Content-Type that was not signed
}

TYPED_TEST(TransportTest, DownloadsStreamToTheFileAndFailuresLeaveNothing) {
  std::string payload(200000, 'z');
  this->loopback_.server().Get("/object", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content(payload, "application/octet-stream");
  });
  this->loopback_.server().Get("/missing", [](const httplib::Request&, httplib::Response& response) {
    response.status = 404;
    response.set_content("<Error><Code>NoSuchKey</Code></Error>", "application/xml");
  });
  HttpRequest request;
  request.url = this->loopback_.url() + "/object";
  request.download_file = (this->folder_ / "object.bin").string();
  HttpResponse response = this->transport_.send(request);
  EXPECT_TRUE(response.body.empty());
  EXPECT_EQ(read_file(this->folder_ / "object.bin"), payload);

  request.url = this->loopback_.url() + "/missing";
  request.download_file = (this->folder_ / "missing.bin").string();
  response = this->transport_.send(request);
  EXPECT_EQ(response.status, 404);
  EXPECT_NE(response.body.find("NoSuchKey"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(this->folder_ / "missing.bin"));
  for (const auto& entry : std::filesystem::directory_iterator(this->folder_))
    EXPECT_EQ(entry.path().string().find(".part-"), std::string::npos);
}

TYPED_TEST(TransportTest, UploadsStreamFromTheFile) {
  std::string received;
  this->loopback_.server().Put("/key", [&](const httplib::Request& request, httplib::Response& response) {
    received = request.body;
    response.status = 200;
  });
  std::string payload(100000, 'u');
  write_file(this->folder_ / "up.bin", payload);
  HttpRequest request;
  request.method = "PUT";
  request.url = this->loopback_.url() + "/key";
  request.upload_file = (this->folder_ / "up.bin").string();
  EXPECT_EQ(this->transport_.send(request).status, 200);
  EXPECT_EQ(received, payload);
}

TYPED_TEST(TransportTest, ReadTimeLimitAndRefusedConnectionsAreTransportErrors) {
  this->loopback_.server().Get("/slow", [](const httplib::Request&, httplib::Response& response) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    response.set_content("late", "text/plain");
  });
  HttpRequest request;
  request.url = this->loopback_.url() + "/slow";
  request.read_timeout = std::chrono::milliseconds(300);
  auto start = std::chrono::steady_clock::now();
  try {
    this->transport_.send(request);
    FAIL() << "expected a time-out";
  } catch (const TransportError& error) {
    EXPECT_TRUE(error.is_timeout());
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1400));
  request.url = "http://127.0.0.1:1/";
  EXPECT_THROW(this->transport_.send(request), TransportError);
}

TYPED_TEST(TransportTest, ServesManyThreadsAtOnce) {
  std::atomic<int> served{0};
  this->loopback_.server().Get("/n", [&](const httplib::Request& request, httplib::Response& response) {
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
        request.url = this->loopback_.url() + "/n?i=" + id;
        if (this->transport_.send(request).body == id) ++correct;
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(correct.load(), 80);
  EXPECT_EQ(served.load(), 80);
}

// ---- what the socket transport does itself ----

class SocketTransportTest : public ::testing::Test {
 protected:
  LoopbackServer loopback_;
  SocketTransport transport_;
};

TEST_F(SocketTransportTest, ReadsChunkedAndUnframedBodiesAndSkipsInterimAnswers) {
  const std::string payload = std::string(70000, 'c') + "end";
  loopback_.server().Get("/chunked", [&](const httplib::Request&, httplib::Response& response) {
    response.set_chunked_content_provider("text/plain", [&](size_t, httplib::DataSink& sink) {
      for (std::size_t at = 0; at < payload.size(); at += 7000)
        sink.write(payload.data() + at, std::min<std::size_t>(7000, payload.size() - at));
      sink.done();
      return true;
    });
  });
  HttpRequest request;
  request.url = loopback_.url() + "/chunked";
  HttpResponse response = transport_.send(request);
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, payload);
  // The connection stays usable after a chunked body.
  request.method = "HEAD";
  EXPECT_EQ(transport_.send(request).body, "");
}

// A server written by hand, for answers the test library will not give: an
// interim 100, a body that ends with the connection, a closed idle
// connection.
class RawServer {
 public:
  explicit RawServer(std::vector<std::string> answers) : answers_(std::move(answers)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 4);
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~RawServer() {
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    thread_.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
  int connections() const { return connections_; }

 private:
  // Each answer on a connection of its own; the connection is closed after it.
  void serve() {
    for (const std::string& answer : answers_) {
      const int fd = ::accept(listener_, nullptr, nullptr);
      if (fd < 0) return;
      ++connections_;
      std::string seen;
      char block[4096];
      while (seen.find("\r\n\r\n") == std::string::npos) {
        const ssize_t got = ::recv(fd, block, sizeof block, 0);
        if (got <= 0) break;
        seen.append(block, static_cast<std::size_t>(got));
      }
      ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
      ::close(fd);
    }
  }
  std::vector<std::string> answers_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<int> connections_{0};
  std::thread thread_;
};

TEST(SocketTransportFraming, InterimAnswersAndBodiesThatEndWithTheConnection) {
  RawServer server({"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nX-A: 1\r\n\r\nuntil the end",
                    "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nshort", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n"});
  SocketTransport transport;
  HttpRequest request;
  request.url = server.url();
  HttpResponse response = transport.send(request);
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.header("x-a"), "1");
  EXPECT_EQ(response.body, "until the end");
  // A body cut short, and headers cut short, are failures, never answers.
  EXPECT_THROW(transport.send(request), TransportError);
  EXPECT_THROW(transport.send(request), TransportError);
  EXPECT_EQ(server.connections(), 3) << "an unframed or failed answer's connection is not kept";
}

TEST_F(SocketTransportTest, KeepsConnectionsAliveAndGoesAgainWhenTheServerClosedAnIdleOne) {
  std::set<int> client_ports;
  std::mutex mutex;
  loopback_.server().set_keep_alive_timeout(1);
  loopback_.server().Post("/", [&](const httplib::Request& request, httplib::Response& response) {
    std::lock_guard lock(mutex);
    client_ports.insert(request.remote_port);
    response.set_content(request.body, "text/plain");
  });
  HttpRequest request;
  request.method = "POST";
  request.url = loopback_.url() + "/";
  for (int i = 0; i < 3; ++i) {
    request.body = "call " + std::to_string(i);
    EXPECT_EQ(transport_.send(request).body, request.body);
  }
  EXPECT_EQ(client_ports.size(), 1u) << "one connection for calls one after another";
  // The server closes the connection once it has been idle for a second.
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));
  request.body = "after the pause";
  EXPECT_EQ(transport_.send(request).body, "after the pause");
  EXPECT_EQ(client_ports.size(), 2u);
}

TEST_F(SocketTransportTest, ALineBreakInAHeaderIsRefusedBeforeAnythingIsSent) {
  int served = 0;
  loopback_.server().Get("/", [&](const httplib::Request&, httplib::Response&) { ++served; });
  HttpRequest request;
  request.url = loopback_.url() + "/";
  request.headers = {{"X-Amz-Meta-Note", "one\r\nX-Injected: two"}};
  EXPECT_THROW(transport_.send(request), TransportError);
  request.headers = {{"X-Amz-Meta-Note", "one"}};
  transport_.send(request);
  EXPECT_EQ(served, 1);
}

TEST_F(SocketTransportTest, NamesAreLookedUpWithinTheConnectLimit) {
  loopback_.server().Get(
      "/", [](const httplib::Request&, httplib::Response& response) { response.set_content("by name", "text/plain"); });
  HttpRequest request;
  request.url = "http://localhost:" + loopback_.url().substr(loopback_.url().rfind(':') + 1) + "/";
  EXPECT_EQ(transport_.send(request).body, "by name");

  // A name no resolver knows: refused, or given up on, within the limit.
  request.url = "http://quorvane-test.invalid/";
  request.connect_timeout = std::chrono::milliseconds(300);
  const auto start = std::chrono::steady_clock::now();
  try {
    transport_.send(request);
    FAIL() << "an .invalid name was resolved";
  } catch (const TransportError& error) {
    EXPECT_TRUE(error.kind() == TransportError::Kind::Connect || error.is_timeout()) << error.what();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
}

TEST(TransportChoice, AProxyInTheEnvironmentMeansLibcurl) {
  for (const char* name : {"https_proxy", "HTTPS_PROXY", "http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
    ::unsetenv(name);
  EXPECT_NE(dynamic_cast<SocketTransport*>(make_http_transport().get()), nullptr);
  EXPECT_NE(dynamic_cast<SocketTransport*>(make_http_transport(TlsSettings{}).get()), nullptr);
  ::setenv("HTTPS_PROXY", "http://proxy.example:3128", 1);
  EXPECT_NE(dynamic_cast<CurlTransport*>(make_http_transport().get()), nullptr);
  ::unsetenv("HTTPS_PROXY");
}

TEST(SocketTransportUrls, MalformedOrForeignUrlsAreRefusedWithoutAConnection) {
  SocketTransport transport;
  for (const std::string url :
       {"ftp://example.com/", "http://:80/", "http://host:8x/", "http://[::1/", "http://127.0.0.1:1/a b"}) {
    HttpRequest request;
    request.url = url;
    try {
      transport.send(request);
      ADD_FAILURE() << url;
    } catch (const TransportError& error) {
      EXPECT_EQ(error.kind(), TransportError::Kind::Other) << url;
    }
  }
}

}  // namespace
}  // namespace qvn::http
