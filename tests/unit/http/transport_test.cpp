// The transport against real servers on the loopback interface: what goes
// out, what comes back, and what it refuses; framing, kept-alive and stale
// connections, a dead first address, TLS trust, a proxy.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "http/curl_transport.hpp"
#include "http/transport_error.hpp"
#include "unit/loopback_server.hpp"

#if defined(__SANITIZE_THREAD__)
#define QVN_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QVN_UNDER_TSAN 1
#endif
#endif

namespace qvn::http {
namespace {

using Clock = std::chrono::steady_clock;
using qvn::testing::ConnectProxy;
using qvn::testing::LoopbackServer;
using qvn::testing::TestPki;
using qvn::testing::TlsLoopbackServer;

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::chrono::milliseconds since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

// The failure a send ends in ("no failure" when it answered).
TransportError failure_of(HttpTransport& transport, const HttpRequest& request) {
  try {
    transport.send(request);
  } catch (const TransportError& error) {
    return error;
  }
  return TransportError(TransportError::Kind::Other, "no failure");
}

class Folder {
 protected:
  Folder() : folder_(std::filesystem::temp_directory_path() / ("http-transport-" + std::to_string(::getpid()))) {
    std::filesystem::create_directories(folder_);
  }
  ~Folder() { std::filesystem::remove_all(folder_); }
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder_)) names.push_back(entry.path().filename());
    return names;
  }
  std::filesystem::path folder_;
};

class TransportTest : public ::testing::Test, protected Folder {
 protected:
  LoopbackServer loopback_;
  CurlTransport transport_;
};

TEST_F(TransportTest, SendsHeadersAndBodyExactlyAsGiven) {
  std::string seen_type, seen_body, seen_host, seen_accept;
  loopback_.server().Post("/", [&](const httplib::Request& request, httplib::Response& response) {
    seen_type = request.get_header_value("Content-Type");
    seen_host = request.get_header_value("Host");
    seen_accept = request.get_header_value("Accept");
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
  EXPECT_EQ(seen_type, "");  // no header that was not signed
  EXPECT_EQ(seen_accept, "");
}

TEST_F(TransportTest, AGetWithABodyGoesOutFramed) {
  std::string seen_length;
  loopback_.server().Get("/", [&](const httplib::Request& request, httplib::Response& response) {
    seen_length = request.get_header_value("Content-Length");
    response.set_content("ok", "text/plain");
  });
  HttpRequest request;
  request.url = loopback_.url() + "/";
  request.body = "query";
  EXPECT_EQ(transport_.send(request).body, "ok");
  EXPECT_EQ(seen_length, "5");
}

TEST_F(TransportTest, DownloadsStreamToTheFileAndFailuresLeaveNothing) {
  const std::string payload(200000, 'z');
  loopback_.server().Get("/object", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content(payload, "application/octet-stream");
  });
  loopback_.server().Get("/empty", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("", "application/octet-stream");
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

  request.url = loopback_.url() + "/empty";
  request.download_file = (folder_ / "empty.bin").string();
  transport_.send(request);
  EXPECT_TRUE(std::filesystem::exists(folder_ / "empty.bin"));
  EXPECT_EQ(read_file(folder_ / "empty.bin"), "");

  // An error's body is the answer; the earlier file stays as it was.
  request.url = loopback_.url() + "/missing";
  request.download_file = (folder_ / "object.bin").string();
  response = transport_.send(request);
  EXPECT_EQ(response.status, 404);
  EXPECT_NE(response.body.find("NoSuchKey"), std::string::npos);
  EXPECT_EQ(read_file(folder_ / "object.bin"), payload);
  EXPECT_EQ(entries().size(), 2u) << "no partial file is left";
}

TEST_F(TransportTest, UploadsStreamFromTheFile) {
  std::string received;
  loopback_.server().Put("/key", [&](const httplib::Request& request, httplib::Response& response) {
    received = request.body;
    response.status = 200;
  });
  const std::string payload(100000, 'u');
  write_file(folder_ / "up.bin", payload);
  HttpRequest request;
  request.method = "PUT";
  request.url = loopback_.url() + "/key";
  request.upload_file = (folder_ / "up.bin").string();
  EXPECT_EQ(transport_.send(request).status, 200);
  EXPECT_EQ(received, payload);

  request.upload_file = (folder_ / "absent.bin").string();
  EXPECT_EQ(failure_of(transport_, request).kind(), TransportError::Kind::Local);
}

TEST_F(TransportTest, TimeLimitsAndRefusedConnectionsAreTransportErrorsNamingTheEndpoint) {
  loopback_.server().Get("/slow", [](const httplib::Request&, httplib::Response& response) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    response.set_content("late", "text/plain");
  });
  HttpRequest request;
  request.url = loopback_.url() + "/slow?X-Amz-Signature=secret";
  request.read_timeout = std::chrono::milliseconds(300);
  auto start = Clock::now();
  TransportError error = failure_of(transport_, request);
  EXPECT_TRUE(error.is_timeout()) << error.what();
  EXPECT_LT(since(start), std::chrono::milliseconds(1400));
  EXPECT_NE(std::string(error.what()).find("GET " + loopback_.url() + "/slow)"), std::string::npos) << error.what();
  EXPECT_EQ(std::string(error.what()).find("secret"), std::string::npos) << "the query stays out of messages";

  // The whole exchange, however slowly the server keeps to the read limit.
  request.read_timeout = std::chrono::seconds(5);
  request.total_timeout = std::chrono::milliseconds(400);
  start = Clock::now();
  EXPECT_TRUE(failure_of(transport_, request).is_timeout());
  EXPECT_LT(since(start), std::chrono::milliseconds(1400));

  request.url = "http://127.0.0.1:1/";
  EXPECT_EQ(failure_of(transport_, request).kind(), TransportError::Kind::Connect);
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
        const std::string id = std::to_string(t * 100 + i);
        request.url = loopback_.url() + "/n?i=" + id;
        if (transport_.send(request).body == id) ++correct;
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(correct.load(), 80);
  EXPECT_EQ(served.load(), 80);
}

TEST_F(TransportTest, ReadsChunkedBodiesAndKeepsTheConnection) {
  const std::string payload = std::string(70000, 'c') + "end";
  std::set<int> client_ports;
  loopback_.server().Get("/chunked", [&](const httplib::Request& request, httplib::Response& response) {
    client_ports.insert(request.remote_port);
    response.set_chunked_content_provider("text/plain", [&](size_t, httplib::DataSink& sink) {
      for (std::size_t at = 0; at < payload.size(); at += 7000)
        sink.write(payload.data() + at, std::min<std::size_t>(7000, payload.size() - at));
      sink.done();
      return true;
    });
  });
  HttpRequest request;
  request.url = loopback_.url() + "/chunked";
  EXPECT_EQ(transport_.send(request).body, payload);
  request.download_file = (folder_ / "chunked.bin").string();
  EXPECT_EQ(transport_.send(request).status, 200);
  EXPECT_EQ(read_file(folder_ / "chunked.bin"), payload);
  request.method = "HEAD";
  request.download_file.clear();
  EXPECT_EQ(transport_.send(request).body, "");
  EXPECT_EQ(client_ports.size(), 1u) << "one connection for calls one after another";
}

TEST_F(TransportTest, KeepsConnectionsAliveAndOpensANewOneWhenTheServerClosedAnIdleOne) {
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
  EXPECT_EQ(client_ports.size(), 1u);
  // The server closes the connection once it has been idle for a second.
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));
  request.body = "after the pause";
  EXPECT_EQ(transport_.send(request).body, "after the pause");
  EXPECT_EQ(client_ports.size(), 2u);
}

TEST_F(TransportTest, ALineBreakInAHeaderIsRefusedBeforeAnythingIsSent) {
  int served = 0;
  loopback_.server().Get("/", [&](const httplib::Request&, httplib::Response&) { ++served; });
  HttpRequest request;
  request.url = loopback_.url() + "/";
  request.headers = {{"X-Amz-Meta-Note", "one\r\nX-Injected: two"}};
  EXPECT_EQ(failure_of(transport_, request).kind(), TransportError::Kind::Other);
  request.headers = {{"X-Amz-Meta-Note", "one"}};
  transport_.send(request);
  EXPECT_EQ(served, 1);
}

TEST(TransportUrls, MalformedOrForeignUrlsAreRefusedWithoutAConnection) {
  CurlTransport transport;
  for (const std::string url : {"ftp://127.0.0.1/", "file:///etc/passwd", "http://:80/", "http://host:8x/",
                                "http://[::1/", "http://127.0.0.1:1/a b"}) {
    HttpRequest request;
    request.url = url;
    EXPECT_EQ(failure_of(transport, request).kind(), TransportError::Kind::Other) << url;
  }
}

TEST(TransportChoice, EveryProgramGetsTheOneTransport) {
  EXPECT_NE(dynamic_cast<CurlTransport*>(make_http_transport().get()), nullptr);
  EXPECT_NE(dynamic_cast<CurlTransport*>(make_http_transport(TlsSettings{"", false}).get()), nullptr);
  EXPECT_EQ(default_http_transport(), default_http_transport());
}

#ifndef QVN_UNDER_TSAN
// Name look-ups run on resolver threads of the C library, which the thread
// checker cannot see into: these cases stay out of its run.
TEST(TransportNames, NamesAreLookedUpWithinTheConnectLimit) {
  LoopbackServer loopback;
  loopback.server().Get(
      "/", [](const httplib::Request&, httplib::Response& response) { response.set_content("by name", "text/plain"); });
  CurlTransport transport;
  HttpRequest request;
  request.url = "http://localhost:" + std::to_string(loopback.port()) + "/";
  EXPECT_EQ(transport.send(request).body, "by name");

  // A name no resolver knows: refused, or given up on, within the limit.
  request.url = "http://quorvane-test.invalid/";
  request.connect_timeout = std::chrono::milliseconds(300);
  const auto start = Clock::now();
  const TransportError error = failure_of(transport, request);
  EXPECT_TRUE(error.kind() == TransportError::Kind::Connect || error.is_timeout()) << error.what();
  EXPECT_LT(since(start), std::chrono::milliseconds(1500));
}
#endif

// ---- answers no well-behaved server gives, from a server written by hand ----

// Each connection gets the next script: one answer per request read (a
// request's head and its Content-Length body), then the connection is
// closed, or, with `linger`, kept open without another word. An empty
// answer closes the connection once the request is read.
using Script = std::vector<std::string>;

class RawServer {
 public:
  RawServer(std::vector<std::vector<std::string>> scripts, bool linger = false)
      : scripts_(std::move(scripts)), linger_(linger), listener_(qvn::testing::loopback_listener(port_)) {
    thread_ = std::thread([this] { serve(); });
  }
  ~RawServer() {
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    thread_.join();
    for (int fd : lingering_) ::close(fd);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
  int connections() const { return connections_; }
  int requests() const { return requests_; }

 private:
  void serve() {
    for (const auto& script : scripts_) {
      const int fd = ::accept(listener_, nullptr, nullptr);
      if (fd < 0) return;
      ++connections_;
      bool open = true;
      for (const std::string& answer : script) {
        if (!(open = read_request(fd))) break;
        ++requests_;
        if (answer.empty() || ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL) < 0) break;
      }
      if (linger_ && open)
        lingering_.push_back(fd);
      else
        ::close(fd);
    }
  }
  bool read_request(int fd) {
    std::string seen;
    char block[4096];
    std::size_t head_end;
    while ((head_end = seen.find("\r\n\r\n")) == std::string::npos) {
      const ssize_t got = ::recv(fd, block, sizeof block, 0);
      if (got <= 0) return false;
      seen.append(block, static_cast<std::size_t>(got));
    }
    std::string head = seen.substr(0, head_end);
    std::transform(head.begin(), head.end(), head.begin(), ::tolower);
    const auto at = head.find("content-length:");
    const std::size_t length = at == std::string::npos ? 0 : std::stoul(head.substr(at + 15));
    for (std::size_t body = seen.size() - head_end - 4; body < length;) {
      const ssize_t got = ::recv(fd, block, sizeof block, 0);
      if (got <= 0) return false;
      body += static_cast<std::size_t>(got);
    }
    return true;
  }

  std::vector<std::vector<std::string>> scripts_;
  bool linger_;
  int port_ = 0;
  int listener_;
  std::atomic<int> connections_{0}, requests_{0};
  std::vector<int> lingering_;
  std::thread thread_;
};

class Framing : public ::testing::Test, protected Folder {
 protected:
  CurlTransport transport_;
};

TEST_F(Framing, InterimAnswersAndBodiesThatEndWithTheConnection) {
  RawServer server({Script{"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nX-A: 1\r\n\r\nuntil the end"},
                    Script{"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nshort"},
                    Script{"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n"},
                    Script{"HTTP/1.1 abc\r\nContent-Length: 2\r\n\r\nhi"}});
  HttpRequest request;
  request.url = server.url();
  HttpResponse response = transport_.send(request);
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.header("x-a"), "1");
  EXPECT_EQ(response.body, "until the end");
  // A body cut short, headers cut short, a status that is no number: failures, never answers.
  EXPECT_EQ(failure_of(transport_, request).kind(), TransportError::Kind::Other);
  EXPECT_EQ(failure_of(transport_, request).kind(), TransportError::Kind::Other);
  EXPECT_EQ(failure_of(transport_, request).kind(), TransportError::Kind::Other);
  EXPECT_EQ(server.connections(), 4);
}

TEST_F(Framing, ConflictingContentLengthsAreRefused) {
  RawServer server({Script{"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nhello!"},
                    Script{"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\nhello"}});
  HttpRequest request;
  request.url = server.url();
  const TransportError error = failure_of(transport_, request);
  EXPECT_EQ(error.kind(), TransportError::Kind::Other);
  EXPECT_NE(std::string(error.what()).find("Content-Length"), std::string::npos) << error.what();
  EXPECT_EQ(transport_.send(request).body, "hello") << "the same length twice is one length";
}

TEST_F(Framing, ADownloadIsWholeOnlyWhenItsEndWasAnnouncedAndArrived) {
  const auto target = folder_ / "result.json";
  write_file(target, "earlier");
  RawServer server({Script{"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\ncut short"},
                    Script{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n"},
                    Script{"HTTP/1.1 200 OK\r\n\r\nno length at all"},
                    Script{"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nwhole"}});
  HttpRequest request;
  request.url = server.url();
  request.download_file = target.string();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(failure_of(transport_, request).kind(), TransportError::Kind::Other) << i;
    EXPECT_EQ(read_file(target), "earlier") << i;
    EXPECT_EQ(entries().size(), 1u) << "no partial file is left";
  }
  transport_.send(request);
  EXPECT_EQ(read_file(target), "whole");
}

TEST_F(Framing, APostIsNotSentAgainWhenItsConnectionFailedAfterSending) {
  // The server answers the first call, then reads the second and hangs up.
  RawServer server({Script{"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", ""},
                    Script{"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"}});
  HttpRequest request;
  request.method = "POST";
  request.url = server.url();
  request.body = "Action=RunInstances";
  EXPECT_EQ(transport_.send(request).body, "ok");
  EXPECT_EQ(failure_of(transport_, request).kind(), TransportError::Kind::Other);
  EXPECT_EQ(server.requests(), 2) << "the failed call reached the server once";
}

TEST_F(Framing, AnIdleConnectionTheServerForgotSilentlyCostsNoTimeLimit) {
  // Like a NAT gateway that dropped an idle flow: the connection stays open
  // but nothing sent on it is ever answered.
  RawServer server({Script{"HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n1"},
                    Script{"HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n2"}},
                   true);
  CurlTransport transport(TlsSettings{}, ConnectionSettings{std::chrono::seconds(1), {}});
  HttpRequest request;
  request.url = server.url();
  request.read_timeout = std::chrono::seconds(5);
  EXPECT_EQ(transport.send(request).body, "1");
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  const auto start = Clock::now();
  EXPECT_EQ(transport.send(request).body, "2");
  EXPECT_LT(since(start), std::chrono::seconds(1));
  EXPECT_EQ(server.connections(), 2);
}

TEST_F(Framing, AnEarlyRefusalOfALargeUploadComesBackAsItIs) {
  qvn::testing::EarlyRefusalServer server;
  const auto file = folder_ / "large.bin";
  write_file(file, "");
  std::filesystem::resize_file(file, 50u << 20);
  HttpRequest request;
  request.method = "PUT";
  request.url = server.url() + "/bucket/key";
  request.upload_file = file.string();
  const auto start = Clock::now();
  const HttpResponse response = transport_.send(request);
  EXPECT_LT(since(start), std::chrono::seconds(1));
  EXPECT_EQ(response.status, 403);
  EXPECT_NE(response.body.find("AccessDenied"), std::string::npos);
  EXPECT_EQ(server.requests(), 1);
}

// ---- addresses ----

// A listener on [::1]:port whose accept queue is full: connection attempts
// to it go unanswered, as to an address with no route.
class SilentIpv6Listener {
 public:
  explicit SilentIpv6Listener(int port) {
    listener_ = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    address.sin6_port = htons(static_cast<std::uint16_t>(port));
    const int one = 1;
    ::setsockopt(listener_, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener_, 0) != 0)
      return;
    for (int i = 0; i < 3; ++i) {
      const int filler = ::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      ::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
      fillers_.push_back(filler);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    usable_ = true;
  }
  ~SilentIpv6Listener() {
    for (int fd : fillers_) ::close(fd);
    if (listener_ >= 0) ::close(listener_);
  }
  bool usable() const { return usable_; }

 private:
  int listener_ = -1;
  std::vector<int> fillers_;
  bool usable_ = false;
};

TEST(TransportAddresses, AHostWhoseFirstAddressIsDeadIsReachedAtTheNext) {
  LoopbackServer loopback;
  loopback.server().Get(
      "/", [](const httplib::Request&, httplib::Response& response) { response.set_content("reached", "text/plain"); });
  const std::string port = std::to_string(loopback.port());
  SilentIpv6Listener silent(loopback.port());
  if (!silent.usable()) GTEST_SKIP() << "no IPv6 loopback address on this machine";
  CurlTransport transport(TlsSettings{},
                          ConnectionSettings{std::chrono::seconds(60), {"dual.test:" + port + ":[::1],127.0.0.1"}});
  HttpRequest request;
  request.url = "http://dual.test:" + port + "/";
  request.connect_timeout = std::chrono::seconds(5);
  const auto start = Clock::now();
  EXPECT_EQ(transport.send(request).body, "reached");
  EXPECT_LT(since(start), std::chrono::seconds(2));
}

// ---- TLS and proxies ----

class TransportTls : public ::testing::Test, protected Folder {
 protected:
  TransportTls() : pki_(folder_ / "pki") {}

  // A transport that finds "localhost" at 127.0.0.1 without a look-up.
  CurlTransport trusting(const TlsLoopbackServer& server, const std::string& authority) {
    return CurlTransport(
        TlsSettings{authority, true},
        ConnectionSettings{std::chrono::seconds(60), {"localhost:" + std::to_string(server.port()) + ":127.0.0.1"}});
  }
  static void answer(TlsLoopbackServer& server) {
    server.server().Get("/", [](const httplib::Request&, httplib::Response& response) {
      response.set_content("secure", "text/plain");
    });
  }

  TestPki pki_;
};

TEST_F(TransportTls, TheRightChainIsAcceptedAndEveryWrongOneRefusedNamingTheHost) {
  TlsLoopbackServer good(pki_.cert("server"), pki_.key("server"));
  answer(good);
  HttpRequest request;
  request.url = good.url();
  EXPECT_EQ(trusting(good, pki_.authority()).send(request).body, "secure");

  // The system's authorities do not know the test's.
  CurlTransport system_trust(
      TlsSettings{},
      ConnectionSettings{std::chrono::seconds(60), {"localhost:" + std::to_string(good.port()) + ":127.0.0.1"}});
  EXPECT_EQ(failure_of(system_trust, request).kind(), TransportError::Kind::Tls);

  for (const std::string name : {"other-host", "self-signed", "expired"}) {
    TlsLoopbackServer wrong(pki_.cert(name), pki_.key(name));
    answer(wrong);
    request.url = wrong.url();
    CurlTransport transport = trusting(wrong, pki_.authority());
    const TransportError error = failure_of(transport, request);
    EXPECT_EQ(error.kind(), TransportError::Kind::Tls) << name << ": " << error.what();
    EXPECT_NE(std::string(error.what()).find("https://localhost:" + std::to_string(wrong.port())), std::string::npos)
        << name << ": " << error.what();
  }

  // No check at all only when asked.
  TlsLoopbackServer self_signed(pki_.cert("self-signed"), pki_.key("self-signed"));
  answer(self_signed);
  request.url = self_signed.url("127.0.0.1");
  CurlTransport unchecked(TlsSettings{"", false});
  EXPECT_EQ(unchecked.send(request).body, "secure");
}

TEST_F(TransportTls, TheAwsCaBundleVariableNamesTheAuthoritiesToTrust) {
  TlsLoopbackServer server(pki_.cert("server"), pki_.key("server"));
  answer(server);
  HttpRequest request;
  request.url = server.url("127.0.0.1");
  ::setenv("AWS_CA_BUNDLE", pki_.authority().c_str(), 1);
  CurlTransport with_bundle;
  ::setenv("AWS_CA_BUNDLE", (folder_ / "no-such-ca.pem").c_str(), 1);
  CurlTransport with_missing_bundle;
  ::unsetenv("AWS_CA_BUNDLE");
  EXPECT_EQ(with_bundle.send(request).body, "secure");
  EXPECT_EQ(failure_of(with_missing_bundle, request).kind(), TransportError::Kind::Tls);
}

TEST_F(TransportTls, HttpsGoesThroughTheProxyTheEnvironmentNamesUnlessNoProxyExemptsTheHost) {
  TlsLoopbackServer server(pki_.cert("server"), pki_.key("server"));
  answer(server);
  ConnectProxy proxy;
  const std::string target = "127.0.0.1:" + std::to_string(server.port());
  HttpRequest request;
  request.url = server.url("127.0.0.1");
  ::setenv("https_proxy", proxy.url().c_str(), 1);
  ::unsetenv("no_proxy");
  ::unsetenv("NO_PROXY");
  EXPECT_EQ(CurlTransport(TlsSettings{pki_.authority(), true}).send(request).body, "secure");
  EXPECT_EQ(proxy.targets(), std::vector<std::string>{target});

  ::setenv("no_proxy", "example.com,127.0.0.1", 1);
  EXPECT_EQ(CurlTransport(TlsSettings{pki_.authority(), true}).send(request).body, "secure");
  EXPECT_EQ(proxy.targets().size(), 1u) << "no_proxy names the host";
  ::unsetenv("no_proxy");
  ::unsetenv("https_proxy");
}

}  // namespace
}  // namespace qvn::http
