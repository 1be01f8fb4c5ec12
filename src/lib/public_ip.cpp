#include "lib/public_ip.hpp"

#include <cstdlib>

#include <nlohmann/json.hpp>

#include "aws/errors.hpp"
#include "lib/ipv4.hpp"

namespace qvn {

std::string ipEchoUrl() {
  const char* url = std::getenv("QUORVANE_IP_ECHO_URL");
  return url && *url ? std::string(url) : std::string(kDefaultIpEchoUrl);
}

std::string queryPublicIp(const std::string& url, const std::shared_ptr<aws::HttpTransport>& transport) {
  aws::HttpRequest request;
  request.url = url;
  request.connect_timeout = kIpEchoConnectLimit;
  request.read_timeout = kIpEchoReadLimit;
  aws::HttpResponse answer;
  try {
    answer = (transport ? transport : aws::default_http_transport())->send(request);
  } catch (const aws::TransportError& e) {
    throw PublicIpError("public IP echo " + url + ": " + e.what());
  }
  if (answer.status != 200)
    throw PublicIpError("public IP echo " + url + ": HTTP status " + std::to_string(answer.status));
  const auto document = nlohmann::json::parse(answer.body, nullptr, false);
  if (!document.is_object() || !document.contains("ip") || !document["ip"].is_string())
    throw PublicIpError("public IP echo " + url + ": the answer has no \"ip\"");
  const std::string ip = document["ip"].get<std::string>();
  if (!Ipv4Address::is_valid(ip)) throw PublicIpError("public IP echo " + url + ": \"ip\" is not an IPv4 address");
  return ip;
}

}  // namespace qvn
