#include "http/curl_transport.hpp"

#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <random>
#include <utility>
#include <vector>

#include "http/transport_error.hpp"

namespace qvn::http {
namespace {

using Kind = TransportError::Kind;

// An answer held in memory larger than this is refused: no AWS or controller
// answer comes near it, and a server that sends without end must not take
// the machine's memory.
constexpr std::size_t kMaxBodyInMemory = std::size_t{256} << 20;

std::string trim_field(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

bool is_2xx(long status) { return status >= 200 && status < 300; }

// A body streamed to a file: written beside the destination under a random
// name ending in ".part-" and 16 hex digits, and given the destination's
// name only once it is known whole. Whatever else happens, the partial file
// is removed and the destination left as it was.
class Download {
 public:
  explicit Download(std::string destination) : destination_(std::move(destination)) {}
  ~Download() {
    close();
    if (!partial_.empty()) {
      std::error_code ignored;
      std::filesystem::remove(partial_, ignored);
    }
  }
  Download(const Download&) = delete;
  Download& operator=(const Download&) = delete;

  bool wanted() const { return !destination_.empty(); }
  bool failed() const { return failed_; }

  bool write(const char* data, std::size_t bytes) {
    if (!open()) return false;
    failed_ = std::fwrite(data, 1, bytes, file_) != bytes;
    return !failed_;
  }

  // The whole body has arrived: the partial file (an empty one when there
  // was no body) takes the destination's name.
  void complete() {
    if (!open()) throw TransportError(Kind::Local, "cannot write " + destination_);
    const bool flushed = std::fflush(file_) == 0;
    close();
    std::error_code error;
    if (flushed) std::filesystem::rename(partial_, destination_, error);
    if (!flushed || error) throw TransportError(Kind::Local, "cannot write " + destination_);
    partial_.clear();
  }

 private:
  bool open() {
    if (file_ || failed_) return file_ != nullptr;
    static thread_local std::mt19937_64 random{std::random_device{}()};
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".part-%016llx", static_cast<unsigned long long>(random()));
    partial_ = destination_ + suffix;
    file_ = std::fopen(partial_.c_str(), "wbx");
    failed_ = file_ == nullptr;
    return !failed_;
  }
  void close() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
  }

  std::string destination_;
  std::string partial_;
  std::FILE* file_ = nullptr;
  bool failed_ = false;
};

// A request body held in memory, handed to libcurl as it asks. A request
// that may change something (POST, PATCH) is sent once: libcurl would send
// it again on a fresh connection when a reused one fails after sending, and
// the server may have acted on the first; the rewind that needs is refused,
// and the failure goes up to the caller's retry rules.
struct MemoryBody {
  const std::string* text = nullptr;
  std::size_t sent = 0;
  bool send_once = false;
};

// State of one transfer, seen by the curl callbacks.
struct Transfer {
  explicit Transfer(const HttpRequest& request) : download(request.download_file) {}

  CURL* handle = nullptr;
  HttpResponse response;
  Download download;
  MemoryBody memory_body;
  std::FILE* upload = nullptr;
  std::string content_length;  // of the answer being read
  std::string refusal;         // why a callback ended the transfer

  long status_so_far() const {
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    return status;
  }
  bool streams_to_file() const { return download.wanted() && is_2xx(status_so_far()); }
};

size_t on_body(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const size_t bytes = size * count;
  if (transfer->streams_to_file()) return transfer->download.write(data, bytes) ? bytes : 0;
  if (transfer->response.body.size() + bytes > kMaxBodyInMemory) {
    transfer->refusal = "an answer larger than 256 MiB";
    return 0;
  }
  transfer->response.body.append(data, bytes);
  return bytes;
}

// One header line. A second Content-Length that disagrees with the first
// makes the body's end unknowable: the answer is refused, not guessed at.
size_t on_header(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const size_t bytes = size * count;
  const std::string line(data, bytes);
  if (line.starts_with("HTTP/")) {
    // A new answer (after a 1xx): forget the headers of the interim one.
    transfer->response.headers.clear();
    transfer->content_length.clear();
    return bytes;
  }
  const auto colon = line.find(':');
  if (colon == std::string::npos) return bytes;
  std::string name = trim_field(line.substr(0, colon)), value = trim_field(line.substr(colon + 1));
  if (strcasecmp(name.c_str(), "content-length") == 0) {
    if (!transfer->content_length.empty() && transfer->content_length != value) {
      transfer->refusal = "an answer with conflicting Content-Length values";
      return 0;
    }
    transfer->content_length = value;
  }
  transfer->response.headers.emplace_back(std::move(name), std::move(value));
  return bytes;
}

size_t on_read_file(char* buffer, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const size_t got = std::fread(buffer, 1, size * count, transfer->upload);
  if (got == 0 && std::ferror(transfer->upload)) return CURL_READFUNC_ABORT;
  return got;
}

int on_seek_file(void* user, curl_off_t offset, int origin) {
  auto* transfer = static_cast<Transfer*>(user);
  return fseeko(transfer->upload, offset, origin) == 0 ? CURL_SEEKFUNC_OK : CURL_SEEKFUNC_FAIL;
}

size_t on_read_memory(char* buffer, size_t size, size_t count, void* user) {
  MemoryBody& body = static_cast<Transfer*>(user)->memory_body;
  const size_t n = std::min(size * count, body.text->size() - body.sent);
  body.text->copy(buffer, n, body.sent);
  body.sent += n;
  return n;
}

int on_seek_memory(void* user, curl_off_t offset, int origin) {
  MemoryBody& body = static_cast<Transfer*>(user)->memory_body;
  if (origin != SEEK_SET || offset < 0 || static_cast<std::size_t>(offset) > body.text->size())
    return CURL_SEEKFUNC_FAIL;
  if (body.send_once && body.sent > 0) return CURL_SEEKFUNC_CANTSEEK;
  body.sent = static_cast<std::size_t>(offset);
  return CURL_SEEKFUNC_OK;
}

Kind kind_of(CURLcode code) {
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      return Kind::Timeout;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
      return Kind::Connect;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
      return Kind::Tls;
    default:
      return Kind::Other;
  }
}

// What went wrong, in libcurl's words and with its details.
std::string describe(CURLcode code, const char* detail) {
  if (code == CURLE_SEND_FAIL_REWIND) return "the connection failed once the request was sent; it is not sent twice";
  std::string text = curl_easy_strerror(code);
  if (detail && *detail) text += ": " + trim_field(detail);
  return text;
}

// "(METHOD URL)" without the query string (a presigned query carries
// credentials), to name the endpoint in every failure.
std::string endpoint_of(const HttpRequest& request) {
  return " (" + request.method + " " + request.url.substr(0, request.url.find('?')) + ")";
}

// A line break (or NUL) in the method or a header would let one header
// write others, or a second request: refused before anything is sent.
void refuse_unsafe_fields(const HttpRequest& request) {
  const auto unsafe = [](const std::string& text) {
    return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
  };
  bool refused = unsafe(request.method) || request.method.find(' ') != std::string::npos;
  for (const auto& [name, value] : request.headers) refused = refused || unsafe(name) || unsafe(value);
  if (refused) throw TransportError(Kind::Other, "a line break inside the method or a header" + endpoint_of(request));
}

// The request's headers exactly as signed: curl adds none of its own.
curl_slist* header_list(const HttpRequest& request) {
  curl_slist* headers = nullptr;
  for (const auto& [name, value] : request.headers) {
    const std::string line = value.empty() ? name + ";" : name + ": " + value;
    headers = curl_slist_append(headers, line.c_str());
  }
  // curl would add its own form Content-Type to a POST; a body-less or JSON
  // request must go out exactly as signed.
  if (find_header(request.headers, "Content-Type").empty()) headers = curl_slist_append(headers, "Content-Type:");
  headers = curl_slist_append(headers, "Accept:");
  // No 100-continue round trip: an early answer to an upload is read as it
  // comes (AWS answers errors before reading the body).
  return curl_slist_append(headers, "Expect:");
}

// Time limits: the connect limit (name lookup, TCP and TLS) as given; the
// read limit as a floor on the transfer speed (fewer than 1 byte/s for that
// long ends it); the whole exchange within the total limit, and, for read
// limits below a second that a speed check cannot measure (the metadata
// service), within the connect and read limits together.
void set_time_limits(CURL* handle, const HttpRequest& request) {
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.connect_timeout.count()));
  const long read_seconds = std::max<long>(1, static_cast<long>((request.read_timeout.count() + 999) / 1000));
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, read_seconds);
  auto total = request.total_timeout;
  if (request.read_timeout < std::chrono::seconds(1))
    total = std::min(total, request.connect_timeout + request.read_timeout);
  curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(total.count()));
}

// The method and body: streamed from a file, none (GET or HEAD without a
// body), or from memory with its Content-Length.
void set_body(CURL* handle, const HttpRequest& request, Transfer& transfer) {
  if (transfer.upload) {
    const auto size = static_cast<curl_off_t>(std::filesystem::file_size(request.upload_file));
    curl_easy_setopt(handle, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(handle, CURLOPT_READFUNCTION, &on_read_file);
    curl_easy_setopt(handle, CURLOPT_SEEKFUNCTION, &on_seek_file);
    curl_easy_setopt(handle, CURLOPT_INFILESIZE_LARGE, size);
    curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  } else if (request.method == "GET" && request.body.empty()) {
    curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
  } else if (request.method == "HEAD" && request.body.empty()) {
    curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
  } else {
    transfer.memory_body = {&request.body, 0, request.method == "POST" || request.method == "PATCH"};
    curl_easy_setopt(handle, CURLOPT_POST, 1L);
    curl_easy_setopt(handle, CURLOPT_READFUNCTION, &on_read_memory);
    curl_easy_setopt(handle, CURLOPT_SEEKFUNCTION, &on_seek_memory);
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }
  curl_easy_setopt(handle, CURLOPT_READDATA, &transfer);
  curl_easy_setopt(handle, CURLOPT_SEEKDATA, &transfer);
}

// A body streamed to a file is whole only when the answer said where it
// ends (a length libcurl then holds it to, or the chunked end); one that
// just stops with the connection may have been cut short.
void finish_download(Transfer& transfer, const HttpRequest& request) {
  const HttpResponse& response = transfer.response;
  if (!transfer.download.wanted() || !is_2xx(response.status)) return;
  const bool chunked = find_header(response.headers, "Transfer-Encoding").find("chunked") != std::string::npos;
  if (response.status != 204 && !chunked && transfer.content_length.empty())
    throw TransportError(Kind::Other, "an answer without a length cannot be known whole" + endpoint_of(request));
  transfer.download.complete();
}

// libcurl's global state (with the TLS library), started once per process
// by the first transport made.
CURLcode global_start() {
  static const CURLcode started = curl_global_init(CURL_GLOBAL_DEFAULT);
  return started;
}

}  // namespace

struct CurlTransport::Impl {
  TlsSettings tls;
  ConnectionSettings connections;
  curl_slist* addresses = nullptr;
  CURLSH* share = nullptr;
  std::mutex share_locks[CURL_LOCK_DATA_LAST];
  std::mutex pool_mutex;
  std::vector<CURL*> idle;

  static void lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
    static_cast<Impl*>(user)->share_locks[data].lock();
  }
  static void unlock(CURL*, curl_lock_data data, void* user) { static_cast<Impl*>(user)->share_locks[data].unlock(); }

  Impl(TlsSettings tls_settings, ConnectionSettings connection_settings)
      : tls(std::move(tls_settings)), connections(std::move(connection_settings)) {
    for (const std::string& entry : connections.addresses) addresses = curl_slist_append(addresses, entry.c_str());
    if (global_start() != CURLE_OK) return;
    share = curl_share_init();
    if (!share) return;
    curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &Impl::lock);
    curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &Impl::unlock);
    curl_share_setopt(share, CURLSHOPT_USERDATA, this);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  }

  ~Impl() {
    for (CURL* handle : idle) curl_easy_cleanup(handle);
    if (share) curl_share_cleanup(share);
    curl_slist_free_all(addresses);
  }

  // Every option but the method, the body and the headers.
  void configure(CURL* handle, const HttpRequest& request, Transfer& transfer, char* error_text) const {
    curl_easy_setopt(handle, CURLOPT_SHARE, share);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error_text);
    curl_easy_setopt(handle, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle, CURLOPT_ACCEPT_ENCODING, nullptr);
    curl_easy_setopt(handle, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(handle, CURLOPT_MAXAGE_CONN, static_cast<long>(connections.idle_reuse_limit.count()));
    if (addresses) curl_easy_setopt(handle, CURLOPT_RESOLVE, addresses);
    set_tls(handle);
    set_time_limits(handle, request);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &on_body);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &on_header);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &transfer);
  }

  // TLS 1.2 at least; the peer and its host name checked against the
  // system's authorities, or only those of the bundle when one is named.
  void set_tls(CURL* handle) const {
    curl_easy_setopt(handle, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, tls.verify_peer ? 1L : 0L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, tls.verify_peer ? 2L : 0L);
    if (!tls.ca_bundle.empty()) {
      curl_easy_setopt(handle, CURLOPT_CAINFO, tls.ca_bundle.c_str());
      curl_easy_setopt(handle, CURLOPT_CAPATH, nullptr);
    }
  }

  CURL* acquire(const HttpRequest& request) {
    if (!share) throw TransportError(Kind::Other, "cannot start the HTTP client (libcurl)" + endpoint_of(request));
    {
      std::lock_guard lock(pool_mutex);
      if (!idle.empty()) {
        CURL* handle = idle.back();
        idle.pop_back();
        return handle;
      }
    }
    CURL* handle = curl_easy_init();
    if (!handle) throw TransportError(Kind::Other, "cannot create an HTTP handle" + endpoint_of(request));
    return handle;
  }

  void release(CURL* handle) {
    curl_easy_reset(handle);  // keeps the handle's kept-alive connections
    std::lock_guard lock(pool_mutex);
    idle.push_back(handle);
  }
};

// A pooled handle for one send(), returned with its header list freed
// whichever way send() leaves.
class CurlTransport::Lease {
 public:
  Lease(Impl& impl, const HttpRequest& request) : impl_(impl), handle_(impl.acquire(request)) {}
  ~Lease() {
    impl_.release(handle_);
    curl_slist_free_all(headers_);
  }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;
  CURL* handle() const { return handle_; }
  void set_headers(curl_slist* headers) {
    headers_ = headers;
    curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, headers_);
  }

 private:
  Impl& impl_;
  CURL* handle_;
  curl_slist* headers_ = nullptr;
};

CurlTransport::CurlTransport() : CurlTransport(TlsSettings{}) {
  if (const char* bundle = std::getenv("AWS_CA_BUNDLE"); bundle && *bundle) impl_->tls.ca_bundle = bundle;
}
CurlTransport::CurlTransport(TlsSettings tls, ConnectionSettings connections)
    : impl_(std::make_unique<Impl>(std::move(tls), std::move(connections))) {}
CurlTransport::~CurlTransport() = default;

HttpResponse CurlTransport::send(const HttpRequest& request) {
  refuse_unsafe_fields(request);
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> upload(nullptr, &std::fclose);
  if (!request.upload_file.empty()) {
    upload.reset(std::fopen(request.upload_file.c_str(), "rb"));
    if (!upload) throw TransportError(Kind::Local, "cannot read " + request.upload_file);
  }
  Lease lease(*impl_, request);
  Transfer transfer(request);
  transfer.handle = lease.handle();
  transfer.upload = upload.get();
  char error_text[CURL_ERROR_SIZE] = "";
  impl_->configure(lease.handle(), request, transfer, error_text);
  set_body(lease.handle(), request, transfer);
  lease.set_headers(header_list(request));

  const CURLcode code = curl_easy_perform(lease.handle());
  if (transfer.download.failed()) throw TransportError(Kind::Local, "cannot write " + request.download_file);
  if (!transfer.refusal.empty()) throw TransportError(Kind::Other, transfer.refusal + endpoint_of(request));
  if (code != CURLE_OK) throw TransportError(kind_of(code), describe(code, error_text) + endpoint_of(request));
  curl_easy_getinfo(lease.handle(), CURLINFO_RESPONSE_CODE, &transfer.response.status);
  finish_download(transfer, request);
  return std::move(transfer.response);
}

}  // namespace qvn::http
