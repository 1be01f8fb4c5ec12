#include "lib/public_ip.hpp"

#include <cstdlib>

#include <nlohmann/json.hpp>

#include "http/transport_error.hpp"
#include "lib/ipv4.hpp"

namespace qvn {

std::string ipEchoUrl() {
  const char* url = std::getenv("QUORVANE_IP_ECHO_URL");
  return url && *url ? std::string(url) : std::string(kDefaultIpEchoUrl);
}

std::string queryPublicIp(const std::string& url, const std::shared_ptr<http::HttpTransport>& transport) {
  http::HttpRequest request;
  request.url = url;
  request.connect_timeout = kIpEchoConnectLimit;
  request.read_timeout = kIpEchoReadLimit;
  http::HttpResponse answer;
  try {
    answer = (transport ? transport : http::default_http_transport())->send(request);
  } catch (const http::TransportError& e) {
    throw PublicIpError("public IP echo " + url + ": " + e.what());
  }
  if (answer.status != 200)
    throw PublicIpError("public IP echo " + url + ": HTTP status " + std::to_string(answer.status));
  const auto document = nlohmann::json::parse(answer.body, nullptr, false);
  if (!document.is_object() || !document.contains("ip") || !document["ip"].is_string())
    throw PublicIpError("public IP echo " + url + ": the answer has no \"ip\"");
  std::string ip = document["ip"].get<std::string>();
  if (!Ipv4Address::is_valid(ip)) throw PublicIpError("public IP echo " + url + ": \"ip\" is not an IPv4 address");
  return ip;
}

}  // namespace qvn
