#include "http/curl_library.hpp"

#include <dlfcn.h>

#include <atomic>
#include <mutex>
#include <string>

#include "http/transport_error.hpp"

namespace qvn::http::detail {
namespace {

// The run-time name of the library the transport is built against
// (libcurl4-openssl on Debian); never unloaded.
constexpr const char* kLibraryName = "libcurl.so.4";

template <typename Function>
void resolve(void* library, const char* name, Function& slot) {
  void* symbol = dlsym(library, name);
  if (!symbol) throw TransportError(TransportError::Kind::Other, std::string("libcurl has no ") + name);
  slot = reinterpret_cast<Function>(symbol);
}

CurlLibrary load() {
  void* library = dlopen(kLibraryName, RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    const char* reason = dlerror();
    throw TransportError(TransportError::Kind::Other,
                         std::string("cannot load ") + kLibraryName + " (" + (reason ? reason : "not found") + ")");
  }
  CurlLibrary curl{};
  resolve(library, "curl_global_init", curl.global_init);
  resolve(library, "curl_share_init", curl.share_init);
  resolve(library, "curl_share_setopt", curl.share_setopt);
  resolve(library, "curl_share_cleanup", curl.share_cleanup);
  resolve(library, "curl_easy_init", curl.easy_init);
  resolve(library, "curl_easy_setopt", curl.easy_setopt);
  resolve(library, "curl_easy_perform", curl.easy_perform);
  resolve(library, "curl_easy_getinfo", curl.easy_getinfo);
  resolve(library, "curl_easy_reset", curl.easy_reset);
  resolve(library, "curl_easy_cleanup", curl.easy_cleanup);
  resolve(library, "curl_easy_strerror", curl.easy_strerror);
  resolve(library, "curl_slist_append", curl.slist_append);
  resolve(library, "curl_slist_free_all", curl.slist_free_all);
  if (curl.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
    throw TransportError(TransportError::Kind::Other, "cannot start libcurl");
  return curl;
}

}  // namespace

const CurlLibrary& curl_library() {
  static std::atomic<const CurlLibrary*> ready{nullptr};
  if (const CurlLibrary* curl = ready.load(std::memory_order_acquire)) return *curl;
  static std::mutex mutex;
  static CurlLibrary loaded{};
  std::lock_guard lock(mutex);
  if (!ready.load(std::memory_order_relaxed)) {
    loaded = load();
    ready.store(&loaded, std::memory_order_release);
  }
  return loaded;
}

}  // namespace qvn::http::detail
