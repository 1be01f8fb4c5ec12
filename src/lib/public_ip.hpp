#pragma once
// The public IPv4 address of this host, as a public-IP echo service sees it.
// The service answers a GET with a JSON object whose `ip` is the caller's
// address ({"ip": "198.51.100.7"}).
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

#include "http/http_transport.hpp"

namespace qvn {

inline constexpr const char* kDefaultIpEchoUrl = "https://api.ipify.org?format=json";

// Time limits of the echo request: to connect, and without a byte received.
inline constexpr std::chrono::seconds kIpEchoConnectLimit{5};
inline constexpr std::chrono::seconds kIpEchoReadLimit{10};

class PublicIpError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// QUORVANE_IP_ECHO_URL when set and not empty, else kDefaultIpEchoUrl.
std::string ipEchoUrl();

// Asks the echo service at `url` (through `transport`, the process-wide
// one when absent) and returns its `ip`. Throws PublicIpError when no answer
// comes in time, the status is not 200, or the answer has no `ip` that is an
// IPv4 address in dotted form.
std::string queryPublicIp(const std::string& url, const std::shared_ptr<http::HttpTransport>& transport = nullptr);

}  // namespace qvn
