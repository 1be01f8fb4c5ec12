// The public-IP echo: the address it answers is only accepted as an IPv4
// address, and the request carries time limits.
#include <gtest/gtest.h>

#include <cstdlib>

#include "http/transport_error.hpp"
#include "lib/public_ip.hpp"

namespace qvn {
namespace {

class ScriptedEcho : public http::HttpTransport {
 public:
  ScriptedEcho(long status, std::string body) : status_(status), body_(std::move(body)) {}
  http::HttpResponse send(const http::HttpRequest& request) override {
    seen = request;
    if (status_ < 0) throw http::TransportError(http::TransportError::Kind::Timeout, "timed out");
    http::HttpResponse answer;
    answer.status = status_;
    answer.body = body_;
    return answer;
  }
  http::HttpRequest seen;

 private:
  long status_;
  std::string body_;
};

TEST(PublicIp, TheEchoedAddressIsReturnedAndTheRequestIsTimeLimited) {
  auto echo = std::make_shared<ScriptedEcho>(200, R"({"ip": "198.51.100.7"})");
  EXPECT_EQ(queryPublicIp("https://echo.example/?format=json", echo), "198.51.100.7");
  EXPECT_EQ(echo->seen.method, "GET");
  EXPECT_EQ(echo->seen.url, "https://echo.example/?format=json");
  EXPECT_LE(echo->seen.connect_timeout, std::chrono::milliseconds(kIpEchoConnectLimit));
  EXPECT_LE(echo->seen.read_timeout, std::chrono::milliseconds(kIpEchoReadLimit));
}

TEST(PublicIp, AnythingButAnIpv4AddressIsRefused) {
  for (const auto& [status, body] :
       std::vector<std::pair<long, std::string>>{{503, R"({"ip": "198.51.100.7"})"},
                                                 {200, "198.51.100.7"},
                                                 {200, R"({"address": "198.51.100.7"})"},
                                                 {200, R"({"ip": 3325256711})"},
                                                 {200, R"({"ip": "198.51.100.7/0"})"},
                                                 {200, R"({"ip": "198.51.100.7 tcp 0-65535"})"},
                                                 {200, R"({"ip": "2001:db8::1"})"},
                                                 {-1, ""}}) {
    auto echo = std::make_shared<ScriptedEcho>(status, body);
    EXPECT_THROW(queryPublicIp("https://echo.example/", echo), PublicIpError) << status << " " << body;
  }
}

TEST(PublicIp, TheServiceAddressComesFromTheEnvironment) {
  unsetenv("QUORVANE_IP_ECHO_URL");
  EXPECT_EQ(ipEchoUrl(), kDefaultIpEchoUrl);
  setenv("QUORVANE_IP_ECHO_URL", "http://127.0.0.1:9/ip?format=json", 1);
  EXPECT_EQ(ipEchoUrl(), "http://127.0.0.1:9/ip?format=json");
  setenv("QUORVANE_IP_ECHO_URL", "", 1);
  EXPECT_EQ(ipEchoUrl(), kDefaultIpEchoUrl);
  unsetenv("QUORVANE_IP_ECHO_URL");
}

}  // namespace
}  // namespace qvn
