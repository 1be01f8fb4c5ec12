#include "http/curl_transport.hpp"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "http/curl_library.hpp"
#include "http/transfer_text.hpp"
#include "http/transport_error.hpp"

namespace qvn::http {
namespace {

// libcurl as loaded by start(); only called once a transfer has begun.
const detail::CurlLibrary& curl() { return detail::curl_library(); }

// State of one transfer, seen by the curl callbacks.
struct Transfer {
  CURL* handle = nullptr;
  HttpResponse response;
  std::string download_path;  // final destination, empty: keep in memory
  std::string temporary_path;
  std::FILE* download = nullptr;
  bool write_failed = false;
  std::FILE* upload = nullptr;

  bool stream_to_file() {
    if (download_path.empty()) return false;
    long status = 0;
    curl().easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status >= 300) return false;
    if (!download) {
      temporary_path = partial_download_name(download_path);
      download = std::fopen(temporary_path.c_str(), "wb");
      if (!download) write_failed = true;
    }
    return download != nullptr;
  }
};

size_t on_body(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  size_t bytes = size * count;
  if (transfer->stream_to_file()) {
    if (std::fwrite(data, 1, bytes, transfer->download) != bytes) {
      transfer->write_failed = true;
      return 0;
    }
    return bytes;
  }
  if (transfer->write_failed) return 0;
  transfer->response.body.append(data, bytes);
  return bytes;
}

size_t on_header(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  size_t bytes = size * count;
  std::string line(data, bytes);
  if (line.starts_with("HTTP/")) {
    // A new response (after 100 Continue or a redirect): forget the old headers.
    transfer->response.headers.clear();
    return bytes;
  }
  auto colon = line.find(':');
  if (colon != std::string::npos)
    transfer->response.headers.emplace_back(trim_field(line.substr(0, colon)), trim_field(line.substr(colon + 1)));
  return bytes;
}

size_t on_read(char* buffer, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  size_t got = std::fread(buffer, 1, size * count, transfer->upload);
  if (got == 0 && std::ferror(transfer->upload)) return CURL_READFUNC_ABORT;
  return got;
}

int on_seek(void* user, curl_off_t offset, int origin) {
  auto* transfer = static_cast<Transfer*>(user);
  return fseeko(transfer->upload, offset, origin) == 0 ? CURL_SEEKFUNC_OK : CURL_SEEKFUNC_FAIL;
}

TransportError::Kind kind_of(CURLcode code) {
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      return TransportError::Kind::Timeout;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
      return TransportError::Kind::Connect;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CACERT_BADFILE:
      return TransportError::Kind::Tls;
    default:
      return TransportError::Kind::Other;
  }
}

// The URL without its query string, for error texts (queries may carry
// presigned material).
std::string url_for_message(const std::string& url) { return url.substr(0, url.find('?')); }

// Releases the handle to the pool and frees the header list, whatever way
// send() leaves.
struct HandleLease {
  std::function<void(CURL*)> give_back;
  CURL* handle;
  curl_slist* headers = nullptr;
  ~HandleLease() {
    curl().slist_free_all(headers);
    give_back(handle);
  }
};

// Time limits: the connect limit as given; the read limit as a floor on the
// transfer speed (fewer than 1 byte/s for that long ends it), or, below a
// second, as a limit on the whole exchange.
void set_time_limits(CURL* handle, const HttpRequest& request) {
  curl().easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.connect_timeout.count()));
  long read_seconds = std::max<long>(1, static_cast<long>((request.read_timeout.count() + 999) / 1000));
  curl().easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl().easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, read_seconds);
  if (request.read_timeout < std::chrono::seconds(1)) {
    // Short limits (the metadata service) are total limits: a low-speed
    // check cannot measure below one second.
    curl().easy_setopt(handle, CURLOPT_TIMEOUT_MS,
                       static_cast<long>((request.connect_timeout + request.read_timeout).count()));
  }
}

// The request's headers exactly as signed: curl adds none of its own.
curl_slist* header_list(const HttpRequest& request) {
  curl_slist* headers = nullptr;
  bool has_content_type = false;
  for (const auto& [name, value] : request.headers) {
    if (strcasecmp(name.c_str(), "content-type") == 0) has_content_type = true;
    std::string line = value.empty() ? name + ";" : name + ": " + value;
    headers = curl().slist_append(headers, line.c_str());
  }
  // curl would add its own form Content-Type to a POST; a body-less or JSON
  // request must go out exactly as signed.
  if (!has_content_type) headers = curl().slist_append(headers, "Content-Type:");
  headers = curl().slist_append(headers, "Accept:");
  // No 100-continue round trip: AWS answers errors to the whole request anyway.
  return curl().slist_append(headers, "Expect:");
}

// The method and body: streamed from a file, none (GET, HEAD), or in memory.
void set_body(CURL* handle, const HttpRequest& request, Transfer& transfer) {
  if (transfer.upload) {
    auto size = static_cast<curl_off_t>(std::filesystem::file_size(request.upload_file));
    curl().easy_setopt(handle, CURLOPT_UPLOAD, 1L);
    curl().easy_setopt(handle, CURLOPT_READFUNCTION, &on_read);
    curl().easy_setopt(handle, CURLOPT_READDATA, &transfer);
    curl().easy_setopt(handle, CURLOPT_SEEKFUNCTION, &on_seek);
    curl().easy_setopt(handle, CURLOPT_SEEKDATA, &transfer);
    curl().easy_setopt(handle, CURLOPT_INFILESIZE_LARGE, size);
    curl().easy_setopt(handle, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  } else if (request.method == "GET") {
    curl().easy_setopt(handle, CURLOPT_HTTPGET, 1L);
  } else if (request.method == "HEAD") {
    curl().easy_setopt(handle, CURLOPT_NOBODY, 1L);
  } else {
    curl().easy_setopt(handle, CURLOPT_POST, 1L);
    curl().easy_setopt(handle, CURLOPT_POSTFIELDS, request.body.data());
    curl().easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    curl().easy_setopt(handle, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }
}

void drop_partial(const Transfer& transfer) {
  if (transfer.temporary_path.empty()) return;
  std::error_code ignored;
  std::filesystem::remove(transfer.temporary_path, ignored);
}

// A 2xx body streamed to a file takes the file's name only once whole.
void finish_download(const Transfer& transfer, const HttpRequest& request) {
  const long status = transfer.response.status;
  if (transfer.download_path.empty() || status < 200 || status >= 300) return;
  if (transfer.temporary_path.empty()) {
    // An empty object: no body callback ran.
    std::FILE* empty = std::fopen(transfer.download_path.c_str(), "wb");
    if (!empty) throw TransportError(TransportError::Kind::Local, "cannot write " + request.download_file);
    std::fclose(empty);
    return;
  }
  std::error_code error;
  std::filesystem::rename(transfer.temporary_path, transfer.download_path, error);
  if (error) {
    drop_partial(transfer);
    throw TransportError(TransportError::Kind::Local, "cannot write " + request.download_file);
  }
}

}  // namespace

struct CurlTransport::Impl {
  std::once_flag started;
  CURLSH* share = nullptr;  // made by start()
  std::string ca_bundle;    // AWS_CA_BUNDLE: extra trust for private endpoints
  bool verify_peer = true;
  std::mutex share_locks[CURL_LOCK_DATA_LAST];
  std::mutex pool_mutex;
  std::vector<CURL*> idle;

  static void lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
    static_cast<Impl*>(user)->share_locks[data].lock();
  }
  static void unlock(CURL*, curl_lock_data data, void* user) { static_cast<Impl*>(user)->share_locks[data].unlock(); }

  Impl() {
    if (const char* bundle = std::getenv("AWS_CA_BUNDLE"); bundle && *bundle) ca_bundle = bundle;
  }

  ~Impl() {
    for (CURL* handle : idle) curl().easy_cleanup(handle);
    if (share) curl().share_cleanup(share);
  }

  // libcurl (loaded, and its global state with the TLS library) and the
  // shared DNS and TLS session cache start with the first request, so a
  // program that sends nothing (--help, --version, a refused command line)
  // never pays for them.
  void start() {
    std::call_once(started, [this] {
      const detail::CurlLibrary& library = detail::curl_library();  // loads libcurl and starts TLS
      share = library.share_init();
      if (!share) throw TransportError(TransportError::Kind::Other, "cannot start the HTTP client");
      curl().share_setopt(share, CURLSHOPT_LOCKFUNC, &Impl::lock);
      curl().share_setopt(share, CURLSHOPT_UNLOCKFUNC, &Impl::unlock);
      curl().share_setopt(share, CURLSHOPT_USERDATA, this);
      curl().share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
      curl().share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    });
  }

  // Every option but the method, the body and the headers.
  void configure(CURL* handle, const HttpRequest& request, Transfer* transfer) const {
    curl().easy_setopt(handle, CURLOPT_SHARE, share);
    curl().easy_setopt(handle, CURLOPT_URL, request.url.c_str());
    curl().easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl().easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, verify_peer ? 1L : 0L);
    curl().easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, verify_peer ? 2L : 0L);
    if (!ca_bundle.empty()) curl().easy_setopt(handle, CURLOPT_CAINFO, ca_bundle.c_str());
    curl().easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl().easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    set_time_limits(handle, request);
    curl().easy_setopt(handle, CURLOPT_WRITEFUNCTION, &on_body);
    curl().easy_setopt(handle, CURLOPT_WRITEDATA, transfer);
    curl().easy_setopt(handle, CURLOPT_HEADERFUNCTION, &on_header);
    curl().easy_setopt(handle, CURLOPT_HEADERDATA, transfer);
    curl().easy_setopt(handle, CURLOPT_ACCEPT_ENCODING, nullptr);
  }

  CURL* acquire() {
    start();
    {
      std::lock_guard lock(pool_mutex);
      if (!idle.empty()) {
        CURL* handle = idle.back();
        idle.pop_back();
        return handle;
      }
    }
    CURL* handle = curl().easy_init();
    if (!handle) throw TransportError(TransportError::Kind::Other, "cannot create an HTTP handle");
    return handle;
  }

  void release(CURL* handle) {
    curl().easy_reset(handle);  // keeps the connection cache of the handle
    std::lock_guard lock(pool_mutex);
    idle.push_back(handle);
  }
};

CurlTransport::CurlTransport() : impl_(std::make_unique<Impl>()) {}
CurlTransport::CurlTransport(TlsSettings tls) : impl_(std::make_unique<Impl>()) {
  impl_->ca_bundle = std::move(tls.ca_bundle);
  impl_->verify_peer = tls.verify_peer;
}
CurlTransport::~CurlTransport() = default;

HttpResponse CurlTransport::send(const HttpRequest& request) {
  HandleLease lease{[impl = impl_.get()](CURL* handle) { impl->release(handle); }, impl_->acquire()};
  Transfer transfer;
  transfer.handle = lease.handle;
  transfer.download_path = request.download_file;
  impl_->configure(lease.handle, request, &transfer);

  std::unique_ptr<std::FILE, int (*)(std::FILE*)> upload(nullptr, &std::fclose);
  if (!request.upload_file.empty()) {
    upload.reset(std::fopen(request.upload_file.c_str(), "rb"));
    if (!upload) throw TransportError(TransportError::Kind::Local, "cannot read " + request.upload_file);
    transfer.upload = upload.get();
  }
  set_body(lease.handle, request, transfer);
  lease.headers = header_list(request);
  curl().easy_setopt(lease.handle, CURLOPT_HTTPHEADER, lease.headers);

  const CURLcode code = curl().easy_perform(lease.handle);
  if (transfer.download) std::fclose(transfer.download);
  if (transfer.write_failed) {
    drop_partial(transfer);
    throw TransportError(TransportError::Kind::Local, "cannot write " + request.download_file);
  }
  if (code != CURLE_OK) {
    drop_partial(transfer);
    throw TransportError(kind_of(code), std::string(curl().easy_strerror(code)) + " (" + request.method + " " +
                                            url_for_message(request.url) + ")");
  }
  curl().easy_getinfo(lease.handle, CURLINFO_RESPONSE_CODE, &transfer.response.status);
  finish_download(transfer, request);
  return std::move(transfer.response);
}

}  // namespace qvn::http
