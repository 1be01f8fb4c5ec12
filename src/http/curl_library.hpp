#pragma once
// libcurl, loaded when the first request needs it. A program that sends
// nothing (--help, --version, a refused command line) then neither maps
// libcurl and the thirty libraries it brings (TLS, HTTP/2, Kerberos, LDAP,
// ...) nor resolves their symbols at start-up.
#include <curl/curl.h>

namespace qvn::http::detail {

// The libcurl functions the transport uses, as the loaded library has them.
struct CurlLibrary {
  CURLcode (*global_init)(long flags);
  CURLSH* (*share_init)();
  CURLSHcode (*share_setopt)(CURLSH*, CURLSHoption, ...);
  CURLSHcode (*share_cleanup)(CURLSH*);
  CURL* (*easy_init)();
  CURLcode (*easy_setopt)(CURL*, CURLoption, ...);
  CURLcode (*easy_perform)(CURL*);
  CURLcode (*easy_getinfo)(CURL*, CURLINFO, ...);
  void (*easy_reset)(CURL*);
  void (*easy_cleanup)(CURL*);
  const char* (*easy_strerror)(CURLcode);
  curl_slist* (*slist_append)(curl_slist*, const char*);
  void (*slist_free_all)(curl_slist*);
};

// Loads libcurl once and runs its global initialisation (which starts the
// TLS library). Throws TransportError (Other) naming the library when it
// cannot be loaded; a later call tries again.
const CurlLibrary& curl_library();

}  // namespace qvn::http::detail
