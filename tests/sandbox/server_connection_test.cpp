// How the sandbox's HTTP layer treats connections: answers leave without a
// Nagle delay, a connection serves as many requests as its client sends,
// and a stop does not wait for idle kept-alive connections.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "scenario.hpp"
#include "server.hpp"
#include "server_limits.hpp"

namespace qvn::sandbox {
namespace {

// A plain client socket speaking HTTP/1.1 by hand, so the test sees exactly
// what the server does with the connection.
class RawConnection {
 public:
  explicit RawConnection(int port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    timeval limit{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  }
  ~RawConnection() { ::close(fd_); }
  bool connected() const { return connected_; }

  // Sends one GET of the state and reads its whole answer; empty when the
  // server has closed the connection.
  std::string get() {
    const std::string request = "GET /_sandbox/rate-limits HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) return {};
    std::string answer;
    char buffer[4096];
    while (true) {
      const size_t head_end = answer.find("\r\n\r\n");
      if (head_end != std::string::npos) {
        const size_t at = answer.find("Content-Length: ");
        const size_t length = at == std::string::npos ? 0 : std::stoul(answer.substr(at + 16));
        if (answer.size() >= head_end + 4 + length) return answer;
      }
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) return {};
      answer.append(buffer, static_cast<size_t>(n));
    }
  }

 private:
  int fd_;
  bool connected_ = false;
};

class ServerConnections : public ::testing::Test {
 protected:
  void SetUp() override {
    server.load_scenario(load_scenario_file(std::string(QVN_SOURCE_DIR) + "/sandbox/scenarios/empty.json"));
    port = server.start(0);
  }
  void TearDown() override { server.stop(); }

  SandboxServer server;
  int port = 0;
};

TEST_F(ServerConnections, OneConnectionServesEveryRequestOfItsClient) {
  RawConnection connection(port);
  ASSERT_TRUE(connection.connected());
  // The HTTP library's own default closes a connection after 5 requests.
  for (int i = 0; i < 50; ++i) {
    const std::string answer = connection.get();
    ASSERT_FALSE(answer.empty()) << "connection closed after " << i << " requests";
    ASSERT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
    ASSERT_EQ(answer.find("Connection: close"), std::string::npos) << "request " << i << ": " << answer;
  }
}

TEST_F(ServerConnections, AcceptedSocketsSendWithoutNagleDelay) {
  RawConnection connection(port);
  ASSERT_FALSE(connection.get().empty());
  int accepted = 0;
  for (const PortSocket& socket : sockets_on_port(port)) {
    if (socket.listening) continue;
    ++accepted;
    int nodelay = 0;
    socklen_t length = sizeof nodelay;
    ASSERT_EQ(::getsockopt(socket.fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, &length), 0);
    EXPECT_NE(nodelay, 0) << "accepted socket " << socket.fd;
  }
  EXPECT_EQ(accepted, 1);
}

TEST_F(ServerConnections, StopEndsIdleKeptAliveConnectionsAtOnce) {
  RawConnection first(port), second(port);
  ASSERT_FALSE(first.get().empty());
  ASSERT_FALSE(second.get().empty());
  const auto start = std::chrono::steady_clock::now();
  server.stop();
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(took, 2.0) << "the stop waited for the idle connections (time-out " << kKeepAliveIdleSeconds << " s)";
  EXPECT_TRUE(first.get().empty());  // the connection is gone
}

}  // namespace
}  // namespace qvn::sandbox
