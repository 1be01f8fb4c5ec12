#pragma once
// Real servers on the loopback interface, each on a port of its own, for the
// tests of the transport and of the clients built on it: an HTTP server, the
// same over TLS with certificates made for the test, and a CONNECT proxy.
#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace qvn::testing {

// A listening TCP socket on 127.0.0.1, on a port the system chose.
inline int loopback_listener(int& port, int backlog = 16) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, backlog) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("cannot listen on 127.0.0.1");
  port = ntohs(address.sin_port);
  return fd;
}

template <class Server>
class RunningServer {
 public:
  template <class... Args>
  explicit RunningServer(Args&&... args) : server_(std::forward<Args>(args)...) {
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~RunningServer() {
    server_.stop();
    thread_.join();
  }
  RunningServer(const RunningServer&) = delete;
  RunningServer& operator=(const RunningServer&) = delete;

  Server& server() { return server_; }
  int port() const { return port_; }

 protected:
  Server server_;
  int port_ = 0;
  std::thread thread_;
};

class LoopbackServer : public RunningServer<httplib::Server> {
 public:
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
};

// Certificates made by the openssl command for one test: an authority, and
// server certificates it signed (for localhost and 127.0.0.1, for another
// name, an expired one) beside one that signed itself.
class TestPki {
 public:
  explicit TestPki(const std::filesystem::path& folder) : folder_(folder) {
    std::filesystem::create_directories(folder_);
    run("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=test-authority "
        "-keyout ca.key -out ca.pem");
    issue("server", "DNS:localhost,IP:127.0.0.1", "-days 2");
    issue("other-host", "DNS:other.example", "-days 2");
    issue("expired", "DNS:localhost,IP:127.0.0.1", "-days -1");
    run("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=localhost "
        "-addext subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout self-signed.key -out self-signed.pem");
  }
  std::string authority() const { return (folder_ / "ca.pem").string(); }
  std::string cert(const std::string& name) const { return (folder_ / (name + ".pem")).string(); }
  std::string key(const std::string& name) const { return (folder_ / (name + ".key")).string(); }

 private:
  void run(const std::string& arguments) const {
    const std::string command = "cd '" + folder_.string() + "' && openssl " + arguments + " >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl " + arguments + " failed");
  }
  void issue(const std::string& name, const std::string& names, const std::string& validity) const {
    run("req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=" + name + " -keyout " + name + ".key -out " +
        name + ".csr");
    std::ofstream(folder_ / (name + ".ext")) << "subjectAltName=" << names << "\n";
    run("x509 -req -in " + name + ".csr -CA ca.pem -CAkey ca.key -CAcreateserial " + validity + " -extfile " + name +
        ".ext -out " + name + ".pem");
  }
  std::filesystem::path folder_;
};

class TlsLoopbackServer : public RunningServer<httplib::SSLServer> {
 public:
  TlsLoopbackServer(const std::string& cert, const std::string& key)
      : RunningServer<httplib::SSLServer>(cert.c_str(), key.c_str()) {}
  // By name (the transport must be told where localhost is) or by address.
  std::string url(const std::string& host = "localhost") const {
    return "https://" + host + ":" + std::to_string(port_) + "/";
  }
};

// A server that refuses an upload as soon as it has read the request's
// head, without reading the body (as S3 does when the signature or the
// permission is wrong), then closes the way servers do: what the client
// still sends is read and dropped until it stops.
class EarlyRefusalServer {
 public:
  EarlyRefusalServer() : listener_(loopback_listener(port_)) {
    thread_ = std::thread([this] { serve(); });
  }
  ~EarlyRefusalServer() {
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    thread_.join();
  }
  EarlyRefusalServer(const EarlyRefusalServer&) = delete;
  EarlyRefusalServer& operator=(const EarlyRefusalServer&) = delete;

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int requests() const { return requests_; }

 private:
  void serve() {
    for (int fd; (fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
      ++requests_;
      std::string seen;
      char block[16384];
      while (seen.find("\r\n\r\n") == std::string::npos) {
        const ssize_t got = ::recv(fd, block, sizeof block, 0);
        if (got <= 0) break;
        seen.append(block, static_cast<std::size_t>(got));
      }
      const std::string body =
          "<Error><Code>AccessDenied</Code><Message>Access Denied</Message><RequestId>R1</RequestId></Error>";
      const std::string refusal =
          "HTTP/1.1 403 Forbidden\r\nContent-Type: application/xml\r\nContent-Length: " + std::to_string(body.size()) +
          "\r\nConnection: close\r\n\r\n" + body;
      ::send(fd, refusal.data(), refusal.size(), MSG_NOSIGNAL);
      ::shutdown(fd, SHUT_WR);
      while (::recv(fd, block, sizeof block, 0) > 0) {
      }
      ::close(fd);
    }
  }

  int port_ = 0;
  int listener_ = -1;
  std::atomic<int> requests_{0};
  std::thread thread_;
};

// A proxy that understands only CONNECT: it opens the named host and port
// and relays bytes both ways until either side closes. Remembers the targets
// it was asked for.
class ConnectProxy {
 public:
  ConnectProxy() : listener_(loopback_listener(port_)) {
    thread_ = std::thread([this] { serve(); });
  }
  ~ConnectProxy() {
    stopping_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    thread_.join();
    for (auto& relay : relays_) relay.join();
  }
  ConnectProxy(const ConnectProxy&) = delete;
  ConnectProxy& operator=(const ConnectProxy&) = delete;

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::vector<std::string> targets() {
    std::lock_guard lock(mutex_);
    return targets_;
  }

 private:
  void serve() {
    while (!stopping_) {
      const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) return;
      relays_.emplace_back([this, client] { relay(client); });
    }
  }

  void relay(int client) {
    std::string head;
    char block[16384];
    while (head.find("\r\n\r\n") == std::string::npos) {
      const ssize_t got = ::recv(client, block, sizeof block, 0);
      if (got <= 0) return (void)::close(client);
      head.append(block, static_cast<std::size_t>(got));
    }
    const std::string target = head.starts_with("CONNECT ") ? head.substr(8, head.find(' ', 8) - 8) : "";
    {
      std::lock_guard lock(mutex_);
      targets_.push_back(target);
    }
    const int upstream = open(target);
    const std::string answer =
        upstream < 0 ? "HTTP/1.1 502 Bad Gateway\r\n\r\n" : "HTTP/1.1 200 Connection established\r\n\r\n";
    ::send(client, answer.data(), answer.size(), MSG_NOSIGNAL);
    if (upstream >= 0) pump(client, upstream);
    ::close(client);
    if (upstream >= 0) ::close(upstream);
  }

  // "127.0.0.1:PORT" (the tests name hosts by address).
  static int open(const std::string& target) {
    const auto colon = target.rfind(':');
    if (colon == std::string::npos) return -1;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(target.c_str() + colon + 1)));
    if (::inet_pton(AF_INET, target.substr(0, colon).c_str(), &address.sin_addr) != 1 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  }

  void pump(int a, int b) {
    pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
    char block[16384];
    while (!stopping_ && ::poll(fds, 2, 200) >= 0) {
      for (int i = 0; i < 2; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const ssize_t got = ::recv(fds[i].fd, block, sizeof block, 0);
        if (got <= 0 || ::send(fds[1 - i].fd, block, static_cast<std::size_t>(got), MSG_NOSIGNAL) != got) return;
      }
    }
  }

  int port_ = 0;
  int listener_ = -1;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::vector<std::string> targets_;
  std::vector<std::thread> relays_;
  std::thread thread_;
};

}  // namespace qvn::testing
