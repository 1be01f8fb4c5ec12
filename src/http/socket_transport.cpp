#include "http/socket_transport.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "http/http1_answer.hpp"
#include "http/transport_error.hpp"

namespace qvn::http {
namespace {

using Clock = std::chrono::steady_clock;
using Kind = TransportError::Kind;

constexpr std::size_t kIdlePerOrigin = 64;

// ---- the URL -----------------------------------------------------------------

struct Target {
  bool tls = false;
  std::string host;  // without brackets
  std::string port;
  std::string host_header;  // as the URL spells it, with a port that is not the scheme's
  std::string path;         // path and query, at least "/"
  std::string origin() const { return (tls ? "https://" : "http://") + host + ":" + port; }
};

std::string without_query(const std::string& url) { return url.substr(0, url.find('?')); }

Target parse_url(const std::string& url) {
  Target t;
  std::string rest;
  if (url.starts_with("https://")) {
    t.tls = true;
    rest = url.substr(8);
  } else if (url.starts_with("http://")) {
    rest = url.substr(7);
  } else {
    throw TransportError(Kind::Other, "unsupported URL (" + without_query(url) + ")");
  }
  const std::size_t slash = rest.find_first_of("/?");
  const std::string authority = rest.substr(0, slash);
  t.path = slash == std::string::npos ? "/" : rest.substr(slash);
  if (t.path.starts_with("?")) t.path = "/" + t.path;
  t.host_header = authority;
  std::string port;
  if (authority.starts_with("[")) {
    const std::size_t close = authority.find(']');
    if (close == std::string::npos) throw TransportError(Kind::Other, "malformed URL (" + without_query(url) + ")");
    t.host = authority.substr(1, close - 1);
    if (authority.size() > close + 1 && authority[close + 1] == ':') port = authority.substr(close + 2);
  } else {
    const std::size_t colon = authority.rfind(':');
    t.host = authority.substr(0, colon);
    if (colon != std::string::npos) port = authority.substr(colon + 1);
  }
  if (t.host.empty() || port.find_first_not_of("0123456789") != std::string::npos)
    throw TransportError(Kind::Other, "malformed URL (" + without_query(url) + ")");
  t.port = port.empty() ? (t.tls ? "443" : "80") : port;
  return t;
}

// ---- time limits -------------------------------------------------------------

// The limits of one exchange: a wait for bytes may last `read` at most, and
// all of it must end by `deadline` when one is set (short limits, as for the
// metadata service, are limits on the whole exchange).
struct Limits {
  std::chrono::milliseconds connect;
  std::chrono::milliseconds read;
  std::optional<Clock::time_point> deadline;

  static Limits of(const HttpRequest& request) {
    Limits limits{request.connect_timeout, request.read_timeout, std::nullopt};
    if (request.read_timeout < std::chrono::seconds(1))
      limits.deadline = Clock::now() + request.connect_timeout + request.read_timeout;
    return limits;
  }
  int wait_ms(std::chrono::milliseconds longest) const {
    auto wait = longest;
    if (deadline)
      wait = std::min(wait, std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()));
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, wait.count()));
  }
  // The wait left until `moment` (the end of connecting), within the above.
  int wait_ms_until(Clock::time_point moment) const {
    return wait_ms(std::chrono::duration_cast<std::chrono::milliseconds>(moment - Clock::now()));
  }
};

// Waits until `fd` is ready for `events`; a Timeout error when it is not
// within `ms` milliseconds.
void await(int fd, short events, int ms, const char* what) {
  pollfd p{fd, events, 0};
  for (;;) {
    const int ready = ::poll(&p, 1, ms);
    if (ready > 0) return;
    if (ready == 0) throw TransportError(Kind::Timeout, std::string("Timeout was reached while ") + what);
    if (errno != EINTR) throw TransportError(Kind::Other, std::string("poll failed: ") + std::strerror(errno));
  }
}

// ---- TLS ---------------------------------------------------------------------

// A BIO over a non-blocking socket that never raises SIGPIPE: the program
// decides itself what a closed peer means.
int bio_write(BIO* bio, const char* data, int size) {
  BIO_clear_retry_flags(bio);
  const ssize_t sent = ::send(static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio))), data,
                              static_cast<size_t>(size), MSG_NOSIGNAL);
  if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_write(bio);
  return static_cast<int>(sent);
}

int bio_read(BIO* bio, char* data, int size) {
  BIO_clear_retry_flags(bio);
  const ssize_t got =
      ::recv(static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio))), data, static_cast<size_t>(size), 0);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_read(bio);
  return static_cast<int>(got);
}

long bio_ctrl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int bio_create(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

const BIO_METHOD* socket_bio_method() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "qvn socket");
    BIO_meth_set_write(m, bio_write);
    BIO_meth_set_read(m, bio_read);
    BIO_meth_set_ctrl(m, bio_ctrl);
    BIO_meth_set_create(m, bio_create);
    return m;
  }();
  return method;
}

std::string openssl_error() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "connection closed";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

bool is_ip_literal(const std::string& host) {
  unsigned char buffer[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), buffer) == 1 || inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

// ---- one connection ------------------------------------------------------------

}  // namespace

// Named, not file-local: the transport's pool holds connections.
namespace socket_detail {

class Connection {
 public:
  Connection(int fd, std::string origin) : fd_(fd), origin_(std::move(origin)) {}
  ~Connection() {
    if (ssl_) SSL_free(ssl_);
    if (fd_ >= 0) ::close(fd_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  const std::string& origin() const { return origin_; }

  // The handshake, done by `connected_by` (the connect limit covers the
  // lookup, the TCP connect and the handshake together).
  void start_tls(SSL_CTX* context, const Target& target, bool verify, const Limits& limits,
                 Clock::time_point connected_by) {
    ssl_ = SSL_new(context);
    if (!ssl_) throw TransportError(Kind::Tls, "cannot start TLS: " + openssl_error());
    BIO* bio = BIO_new(socket_bio_method());
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd_)));
    SSL_set_bio(ssl_, bio, bio);
    if (!is_ip_literal(target.host)) SSL_set_tlsext_host_name(ssl_, target.host.c_str());
    if (verify) SSL_set1_host(ssl_, target.host.c_str());  // an IP literal is checked as an address
    for (;;) {
      ERR_clear_error();
      const int done = SSL_connect(ssl_);
      if (done == 1) return;
      const int error = SSL_get_error(ssl_, done);
      if (!await_tls(error, limits.wait_ms_until(connected_by), "connecting"))
        throw TransportError(Kind::Tls, tls_failure());
    }
  }

  void write_all(const char* data, std::size_t size, const Limits& limits) {
    while (size > 0) {
      const std::size_t sent = write_some(data, size, limits);
      data += sent;
      size -= sent;
    }
  }

  // Some bytes into `buffer`; 0 when the peer has closed the connection.
  std::size_t read_some(char* buffer, std::size_t size, const Limits& limits) {
    for (;;) {
      if (ssl_) {
        ERR_clear_error();
        std::size_t got = 0;
        if (SSL_read_ex(ssl_, buffer, size, &got) == 1) return got;
        const int error = SSL_get_error(ssl_, 0);
        if (error == SSL_ERROR_ZERO_RETURN) return 0;
        if (!await_tls(error, limits.wait_ms(limits.read), "waiting for the answer"))
          throw TransportError(Kind::Other, "Recv failure: " + tls_failure());
        continue;
      }
      const ssize_t got = ::recv(fd_, buffer, size, 0);
      if (got >= 0) return static_cast<std::size_t>(got);
      if (errno == EAGAIN || errno == EWOULDBLOCK)
        await(fd_, POLLIN, limits.wait_ms(limits.read), "waiting for the answer");
      else if (errno != EINTR)
        throw TransportError(Kind::Other, std::string("Recv failure: ") + std::strerror(errno));
    }
  }

 private:
  std::size_t write_some(const char* data, std::size_t size, const Limits& limits) {
    for (;;) {
      if (ssl_) {
        ERR_clear_error();
        std::size_t sent = 0;
        if (SSL_write_ex(ssl_, data, size, &sent) == 1) return sent;
        const int error = SSL_get_error(ssl_, 0);
        if (!await_tls(error, limits.wait_ms(limits.read), "sending the request"))
          throw TransportError(Kind::Other, "Send failure: " + tls_failure());
        continue;
      }
      const ssize_t sent = ::send(fd_, data, size, MSG_NOSIGNAL);
      if (sent >= 0) return static_cast<std::size_t>(sent);
      if (errno == EAGAIN || errno == EWOULDBLOCK)
        await(fd_, POLLOUT, limits.wait_ms(limits.read), "sending the request");
      else if (errno != EINTR)
        throw TransportError(Kind::Other, std::string("Send failure: ") + std::strerror(errno));
    }
  }

  // Waits as long as `ms` for what OpenSSL asked for; false when `error`
  // asks for no wait (a failure).
  bool await_tls(int error, int ms, const char* what) const {
    if (error == SSL_ERROR_WANT_READ)
      await(fd_, POLLIN, ms, what);
    else if (error == SSL_ERROR_WANT_WRITE)
      await(fd_, POLLOUT, ms, what);
    else
      return false;
    return true;
  }

  std::string tls_failure() const {
    const long verdict = SSL_get_verify_result(ssl_);
    if (verdict != X509_V_OK)
      return std::string("SSL peer certificate was not OK: ") + X509_verify_cert_error_string(verdict);
    return openssl_error();
  }

  int fd_;
  SSL* ssl_ = nullptr;
  std::string origin_;
};

// A TCP connection to the first of the host's addresses that answers.

}  // namespace socket_detail

namespace {

using socket_detail::Connection;

// A name lookup in glibc's own thread, so that the connect limit bounds it
// too. Everything the lookup touches lives on the heap: a lookup that cannot
// be cancelled in time keeps it (a few bytes, once, after a failure).
struct Lookup {
  std::string host, port;
  addrinfo hints{};
  gaicb request{};
};

using Addresses = std::unique_ptr<addrinfo, void (*)(addrinfo*)>;

Addresses resolve(const Target& target, const Limits& limits, Clock::time_point connected_by) {
  const auto failed = [&](int error) {
    return TransportError(Kind::Connect, "Could not resolve host: " + target.host + " (" + gai_strerror(error) + ")");
  };
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  if (is_ip_literal(target.host)) {
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    if (const int error = ::getaddrinfo(target.host.c_str(), target.port.c_str(), &hints, &found); error != 0)
      throw failed(error);
    return Addresses(found, ::freeaddrinfo);
  }
  auto lookup = std::make_unique<Lookup>();
  lookup->host = target.host;
  lookup->port = target.port;
  lookup->hints = hints;
  lookup->request.ar_name = lookup->host.c_str();
  lookup->request.ar_service = lookup->port.c_str();
  lookup->request.ar_request = &lookup->hints;
  gaicb* list[] = {&lookup->request};
  if (const int error = ::getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr); error != 0) throw failed(error);
  while (::gai_error(&lookup->request) == EAI_INPROGRESS) {
    const int ms = limits.wait_ms_until(connected_by);
    if (ms <= 0) break;
    const timespec limit{ms / 1000, (ms % 1000) * 1000000L};
    ::gai_suspend(list, 1, &limit);  // also returns for a signal: looked at again above
  }
  const int error = ::gai_error(&lookup->request);
  if (error == EAI_INPROGRESS) {
    if (::gai_cancel(&lookup->request) == EAI_NOTCANCELED) lookup.release();  // still running: leave it its memory
    throw TransportError(Kind::Timeout, "Timeout was reached while resolving " + target.host);
  }
  if (error != 0) throw failed(error);
  return Addresses(lookup->request.ar_result, ::freeaddrinfo);
}

std::unique_ptr<Connection> open_socket(const Target& target, const Limits& limits, Clock::time_point connected_by) {
  const Addresses addresses = resolve(target, limits, connected_by);
  const addrinfo* found = addresses.get();
  std::string failure = "no address";
  bool timed_out = false;
  for (const addrinfo* a = found; a; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    auto connection = std::make_unique<Connection>(fd, target.origin());
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) return connection;
    if (errno != EINPROGRESS) {
      failure = std::strerror(errno);
      continue;
    }
    try {
      await(fd, POLLOUT, limits.wait_ms_until(connected_by), "connecting");
    } catch (const TransportError&) {
      timed_out = true;
      break;
    }
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error == 0) return connection;
    failure = std::strerror(error);
  }
  if (timed_out)
    throw TransportError(Kind::Timeout,
                         "Timeout was reached while connecting to " + target.host + " port " + target.port);
  throw TransportError(Kind::Connect,
                       "Couldn't connect to server: " + target.host + " port " + target.port + ": " + failure);
}

// ---- the request ---------------------------------------------------------------

bool has_body(const HttpRequest& request) {
  return !request.upload_file.empty() || (request.method != "GET" && request.method != "HEAD");
}

// The request line and headers exactly as given, with Host and
// Content-Length added when the caller did not give them.
// A line break inside a field would start a header (or a request) that the
// caller never made.
void refuse_unsafe_fields(const HttpRequest& request, const Target& target) {
  const auto breaks = [](const std::string& text) { return text.find_first_of("\r\n") != std::string::npos; };
  bool unsafe = breaks(request.method) || request.method.find(' ') != std::string::npos || breaks(target.path) ||
                target.path.find(' ') != std::string::npos;
  for (const auto& [name, value] : request.headers) unsafe = unsafe || breaks(name) || breaks(value);
  if (unsafe)
    throw TransportError(
        Kind::Other, "a line break or blank inside the request line or a header (" + without_query(request.url) + ")");
}

std::string request_head(const HttpRequest& request, const Target& target, std::uint64_t body_size) {
  std::string head = request.method + " " + target.path + " HTTP/1.1\r\n";
  if (find_header(request.headers, "Host").empty()) head += "Host: " + target.host_header + "\r\n";
  for (const auto& [name, value] : request.headers) head += name + ": " + value + "\r\n";
  if (has_body(request) && find_header(request.headers, "Content-Length").empty())
    head += "Content-Length: " + std::to_string(body_size) + "\r\n";
  return head + "\r\n";
}

void send_request(Connection& connection, const HttpRequest& request, const Target& target, const Limits& limits) {
  if (request.upload_file.empty()) {
    const std::string message = request_head(request, target, request.body.size()) + request.body;
    connection.write_all(message.data(), message.size(), limits);
    return;
  }
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(request.upload_file.c_str(), "rb"), &std::fclose);
  std::error_code error;
  const auto size = std::filesystem::file_size(request.upload_file, error);
  if (!file || error) throw TransportError(Kind::Local, "cannot read " + request.upload_file);
  const std::string head = request_head(request, target, size);
  connection.write_all(head.data(), head.size(), limits);
  std::vector<char> block(64 * 1024);
  std::uint64_t left = size;
  while (left > 0) {
    const std::size_t got = std::fread(block.data(), 1, std::min<std::uint64_t>(block.size(), left), file.get());
    if (got == 0) throw TransportError(Kind::Local, "cannot read " + request.upload_file);
    connection.write_all(block.data(), got, limits);
    left -= got;
  }
}

// A failure of a kept-alive connection before any byte of the answer: the
// server closed it while it was idle, and the request may go again on a new
// one.
struct StaleConnection {};

}  // namespace

struct SocketTransport::Impl {
  TlsSettings tls;
  std::once_flag tls_started;
  SSL_CTX* context = nullptr;
  std::string context_failure;
  std::mutex pool_mutex;
  std::map<std::string, std::vector<std::unique_ptr<Connection>>> idle;

  ~Impl() {
    idle.clear();
    if (context) SSL_CTX_free(context);
  }

  SSL_CTX* tls_context() {
    std::call_once(tls_started, [this] {
      SSL_CTX* made = SSL_CTX_new(TLS_client_method());
      if (!made) {
        context_failure = "cannot start TLS: " + openssl_error();
        return;
      }
      SSL_CTX_set_min_proto_version(made, TLS1_2_VERSION);
      SSL_CTX_set_options(made, SSL_OP_IGNORE_UNEXPECTED_EOF);
      SSL_CTX_set_mode(made, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
      if (tls.verify_peer) {
        SSL_CTX_set_verify(made, SSL_VERIFY_PEER, nullptr);
        const bool trusted = tls.ca_bundle.empty()
                                 ? SSL_CTX_set_default_verify_paths(made) == 1
                                 : SSL_CTX_load_verify_locations(made, tls.ca_bundle.c_str(), nullptr) == 1;
        if (!trusted) {
          context_failure =
              "error setting certificate file: " + (tls.ca_bundle.empty() ? "the system's" : tls.ca_bundle);
          ERR_clear_error();
          SSL_CTX_free(made);
          return;
        }
      }
      context = made;
    });
    if (!context) throw TransportError(Kind::Tls, context_failure);
    return context;
  }

  std::unique_ptr<Connection> idle_connection(const std::string& origin) {
    std::lock_guard lock(pool_mutex);
    auto found = idle.find(origin);
    if (found == idle.end() || found->second.empty()) return nullptr;
    std::unique_ptr<Connection> connection = std::move(found->second.back());
    found->second.pop_back();
    return connection;
  }

  void keep(std::unique_ptr<Connection> connection) {
    std::lock_guard lock(pool_mutex);
    auto& list = idle[connection->origin()];
    if (list.size() < kIdlePerOrigin) list.push_back(std::move(connection));
  }

  std::unique_ptr<Connection> open(const Target& target, const Limits& limits) {
    const Clock::time_point connected_by = Clock::now() + limits.connect;
    std::unique_ptr<Connection> connection = open_socket(target, limits, connected_by);
    if (target.tls) connection->start_tls(tls_context(), target, tls.verify_peer, limits, connected_by);
    return connection;
  }

  // One exchange on `connection`; StaleConnection when a reused one turned
  // out closed before answering.
  HttpResponse exchange(std::unique_ptr<Connection> connection, bool reused, const HttpRequest& request,
                        const Target& target, const Limits& limits) {
    AnswerReader reader([&](char* buffer, std::size_t size) { return connection->read_some(buffer, size, limits); });
    bool reusable = false;
    HttpResponse response;
    try {
      send_request(*connection, request, target, limits);
      response = read_answer(reader, request, reusable);
    } catch (const TransportError& error) {
      if (reused && !reader.received_anything() && error.kind() == Kind::Other) throw StaleConnection{};
      throw;
    }
    if (reusable) keep(std::move(connection));
    return response;
  }
};

SocketTransport::SocketTransport() : impl_(std::make_unique<Impl>()) {
  if (const char* bundle = std::getenv("AWS_CA_BUNDLE"); bundle && *bundle) impl_->tls.ca_bundle = bundle;
}
SocketTransport::SocketTransport(TlsSettings tls) : impl_(std::make_unique<Impl>()) { impl_->tls = std::move(tls); }
SocketTransport::~SocketTransport() = default;

HttpResponse SocketTransport::send(const HttpRequest& request) {
  const Target target = parse_url(request.url);
  refuse_unsafe_fields(request, target);
  const Limits limits = Limits::of(request);
  try {
    if (std::unique_ptr<Connection> kept = impl_->idle_connection(target.origin())) {
      try {
        return impl_->exchange(std::move(kept), true, request, target, limits);
      } catch (const StaleConnection&) {
        // sent again below on a new connection
      }
    }
    return impl_->exchange(impl_->open(target, limits), false, request, target, limits);
  } catch (const TransportError& error) {
    if (error.kind() == Kind::Local) throw;
    throw TransportError(error.kind(),
                         std::string(error.what()) + " (" + request.method + " " + without_query(request.url) + ")");
  }
}

}  // namespace qvn::http
