// Hostile input to the sandbox over raw sockets: malformed HTTP, absurd
// lengths, truncated bodies, huge headers, invalid UTF-8, unknown actions and
// missing parameters. Each gets a 4xx (an AWS-style error where the request
// reached a service) and the server keeps answering well-formed requests.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "aws/sigv4.hpp"
#include "ec2_test_server.hpp"

namespace qvn::sandbox::testing {
namespace {

struct RawReply {
  int status = 0;  // 0: no status line came back
  std::string text;
};

class HostileInputTest : public SandboxServerTest {
 protected:
  void SetUp() override {
    std::vector<std::unique_ptr<Service>> extra;
    extra.push_back(make_iam_service());
    extra.push_back(make_ssm_service());
    extra.push_back(make_s3_service());
    start(load_scenario_file(scenario_path("spoke.json")), std::move(extra));
    port = std::stoi(std::string(getenv("AWS_ENDPOINT_URL")).substr(std::string("http://127.0.0.1:").size()));
  }

  // Sends `bytes` on a fresh connection and reads until the server closes,
  // one whole answer has come, or `timeout_s` passes. (The write side stays
  // open: the HTTP server drops a request whose sender has already shut it.)
  RawReply exchange(const std::string& bytes, int timeout_s = 10) const {
    RawReply reply;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return reply;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{timeout_s, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd);
      return reply;
    }
    size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;  // the server may refuse early and close
      sent += static_cast<size_t>(n);
    }
    char buf[8192];
    for (;;) {
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      reply.text.append(buf, static_cast<size_t>(n));
      // One answer is enough; a kept-alive connection would wait for more.
      const size_t end = reply.text.find("\r\n\r\n");
      if (end != std::string::npos) {
        const size_t cl = reply.text.find("Content-Length: ");
        if (cl != std::string::npos && cl < end &&
            reply.text.size() >= end + 4 + std::stoul(reply.text.substr(cl + 16)))
          break;
      }
    }
    ::close(fd);
    if (reply.text.rfind("HTTP/1.", 0) == 0 && reply.text.size() > 12) reply.status = std::atoi(reply.text.c_str() + 9);
    return reply;
  }

  // A signed query-protocol (or JSON, with `target`) request as it goes on the wire.
  std::string signed_request(const std::string& service, const std::string& body,
                             const std::string& content_type = "application/x-www-form-urlencoded; charset=utf-8",
                             const std::string& target = "", const std::string& method = "POST",
                             const std::string& path = "/") const {
    aws::sigv4::SignableRequest req;
    req.method = method;
    req.path = path;
    const std::string host = "127.0.0.1:" + std::to_string(port);
    const std::string date = aws::sigv4::amz_date(static_cast<long long>(std::time(nullptr)));
    req.headers = {{"Host", host}, {"Content-Type", content_type}, {"X-Amz-Date", date}};
    if (!target.empty()) req.headers.emplace_back("X-Amz-Target", target);
    req.payload_hash = aws::sigv4::sha256_hex(body);
    if (service == "s3") req.headers.emplace_back("x-amz-content-sha256", req.payload_hash);
    aws::sigv4::Scope scope{date, "us-east-1", service};
    aws::sigv4::SignOptions options;
    options.double_encode_path = service != "s3";
    const auto sig = aws::sigv4::sign(req, {kCiKey, kCiSecret, ""}, scope, options);
    std::string wire = method + " " + path + " HTTP/1.1\r\n";
    for (const auto& [k, v] : req.headers) wire += k + ": " + v + "\r\n";
    wire += "Authorization: " + sig.authorization + "\r\n";
    wire += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    return wire;
  }

  // The server still answers a well-formed signed call normally.
  void expect_still_serving(const std::string& after) {
    SCOPED_TRACE("after " + after);
    aws::SessionOptions options;
    options.region = "us-east-1";
    aws::Ec2Client c(aws::Session::from_credentials(kCiKey, kCiSecret, "", options));
    EXPECT_EQ(c.describe_subnets().Subnets.size(), 6u);
  }

  static std::string code_of(const RawReply& r) {
    for (const std::string open : {"<Code>", "\"__type\":\"", "\"__type\": \""}) {
      const size_t at = r.text.find(open);
      if (at == std::string::npos) continue;
      const size_t from = at + open.size();
      return r.text.substr(from, r.text.find_first_of("<\"", from) - from);
    }
    return "";
  }

  int port = 0;
};

TEST_F(HostileInputTest, MalformedHttpIsRefusedWith4xxAndTheServerGoesOn) {
  struct Case {
    std::string name;
    std::string bytes;
  };
  const std::string host = "Host: 127.0.0.1\r\n";
  const std::vector<Case> cases = {
      {"garbage request line", "GARBAGE\r\n\r\n"},
      {"request line without version", "GET /\r\n\r\n"},
      {"unknown protocol", "GET / SPDY/9\r\n" + host + "\r\n"},
      {"binary request line", std::string("\x16\x03\x01\x00\xa5\x01\x00\x00\xa1\x03\x03", 11) + "\r\n\r\n"},
      {"request target of 100 KB", "GET /" + std::string(100000, 'a') + " HTTP/1.1\r\n" + host + "\r\n"},
      {"header line of 100 KB", "GET / HTTP/1.1\r\n" + host + "X-Big: " + std::string(100000, 'b') + "\r\n\r\n"},
      {"header without a colon", "GET / HTTP/1.1\r\n" + host + "no colon here\r\n\r\n"},
      {"Content-Length beyond 64 bits",
       "POST / HTTP/1.1\r\n" + host + "Content-Length: 999999999999999999999999999\r\n\r\nAction=x"},
      {"Content-Length of a terabyte", "POST / HTTP/1.1\r\n" + host + "Content-Length: 1099511627776\r\n\r\nAction=x"},
      {"negative Content-Length", "POST / HTTP/1.1\r\n" + host + "Content-Length: -5\r\n\r\nAction=x"},
      {"Content-Length not a number", "POST / HTTP/1.1\r\n" + host + "Content-Length: lots\r\n\r\nAction=x"},
      {"bad chunk size", "POST / HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\n\r\nzz\r\nabc\r\n0\r\n\r\n"},
      {"invalid UTF-8 and NUL in the path", "GET /\xff\xfe%00\x80 HTTP/1.1\r\n" + host + "\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const RawReply r = exchange(c.bytes);
    EXPECT_GE(r.status, 400) << r.text.substr(0, 200);
    EXPECT_LT(r.status, 500) << r.text.substr(0, 200);
    expect_still_serving(c.name);
  }
}

// A POST with neither Content-Length nor Transfer-Encoding has no body: it
// is answered at once, not after waiting for a body until the read time-out.
TEST_F(HostileInputTest, APostWithoutALengthHasAnEmptyBody) {
  const auto started = std::chrono::steady_clock::now();
  const RawReply r = exchange("POST /_sandbox/reset HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 5);
  EXPECT_EQ(r.status, 200) << r.text.substr(0, 200);
  EXPECT_NE(r.text.find("\"reset\": true"), std::string::npos) << r.text;
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
  expect_still_serving("a POST without a length");
}

TEST_F(HostileInputTest, ManyHeadersAndAHalfSentRequestDoNotStopOtherCallers) {
  std::string many = "GET /_sandbox/state HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  for (int i = 0; i < 20000; ++i) many += "X-H" + std::to_string(i) + ": v\r\n";
  many += "\r\n";
  const RawReply r = exchange(many);
  EXPECT_GE(r.status, 400);
  EXPECT_LT(r.status, 500);

  // Callers that send half a request (a body shorter than its length, a
  // chunked body cut off) and then go quiet hold one worker each only; the
  // others keep answering meanwhile, and again once the callers go away.
  std::vector<int> quiet;
  for (const std::string& half :
       {std::string("POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 500\r\n\r\nAction=Desc"),
        std::string("POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n100\r\nabc"),
        std::string("POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Le")}) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::send(fd, half.data(), half.size(), MSG_NOSIGNAL), static_cast<ssize_t>(half.size()));
    quiet.push_back(fd);
  }
  expect_still_serving("half-sent requests");
  for (int fd : quiet) ::close(fd);
  expect_still_serving("the half-sent requests' callers went away");
}

TEST_F(HostileInputTest, BadCallsReachingAServiceGetItsErrorDocument) {
  struct Case {
    std::string name;
    std::string wire;
    int status;
    std::string code;
  };
  const std::string form = "application/x-www-form-urlencoded; charset=utf-8";
  const std::vector<Case> cases = {
      {"unknown EC2 action", signed_request("ec2", "Action=LaunchRocket&Version=2016-11-15"), 400, "InvalidAction"},
      {"EC2 call without an action", signed_request("ec2", "Version=2016-11-15"), 400, "InvalidAction"},
      {"RunInstances without ImageId",
       signed_request("ec2", "Action=RunInstances&Version=2016-11-15&MinCount=1&MaxCount=1"), 400, "MissingParameter"},
      {"CreateKeyPair without KeyName", signed_request("ec2", "Action=CreateKeyPair&Version=2016-11-15"), 400,
       "MissingParameter"},
      {"invalid UTF-8 in a filter value",
       signed_request("ec2",
                      "Action=DescribeSubnets&Version=2016-11-15&Filter.1.Name=vpc-id&Filter.1.Value.1=%FF%FE%C0"),
       200, ""},
      {"unknown IAM action", signed_request("iam", "Action=Explode&Version=2010-05-08"), 400, "InvalidAction"},
      {"IAM GetRole without RoleName", signed_request("iam", "Action=GetRole&Version=2010-05-08"), 400, ""},
      {"SSM body that is not JSON",
       signed_request("ssm", "{\"Name\": ", "application/x-amz-json-1.1", "AmazonSSM.GetParameter"), 400, ""},
      {"SSM body that is a JSON array",
       signed_request("ssm", "[1,2,3]", "application/x-amz-json-1.1", "AmazonSSM.GetParameter"), 400, ""},
      {"SSM GetParameter without Name",
       signed_request("ssm", "{}", "application/x-amz-json-1.1", "AmazonSSM.GetParameter"), 400, ""},
      {"SSM unknown target", signed_request("ssm", "{}", "application/x-amz-json-1.1", "AmazonSSM.SelfDestruct"), 400,
       ""},
      {"SSM Name with invalid UTF-8",
       signed_request("ssm", "{\"Name\": \"\xff\xfe\"}", "application/x-amz-json-1.1", "AmazonSSM.GetParameter"), 400,
       ""},
      {"S3 DeleteObjects with a body that is not XML",
       signed_request("s3", "<Delete><Object><Key>a", "application/xml", "", "POST", "/no-such-bucket?delete"), 0, ""},
      {"unsigned query call",
       "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: " + form +
           "\r\nContent-Length: 39\r\nConnection: close\r\n\r\nAction=DescribeSubnets&Version=2016-11-15",
       0, ""},
      {"Authorization header that does not parse",
       "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: AWS4-HMAC-SHA256 Credential=\r\nContent-Type: " + form +
           "\r\nContent-Length: 39\r\nConnection: close\r\n\r\nAction=DescribeSubnets&Version=2016-11-15",
       0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const RawReply r = exchange(c.wire);
    if (c.status == 0) {
      EXPECT_GE(r.status, 400) << r.text.substr(0, 400);
      EXPECT_LT(r.status, 500) << r.text.substr(0, 400);
    } else {
      EXPECT_EQ(r.status, c.status) << r.text.substr(0, 400);
    }
    if (r.status >= 400) {
      EXPECT_NE(code_of(r), "") << "no AWS error code in: " << r.text.substr(0, 400);
    }
    if (!c.code.empty()) {
      EXPECT_EQ(code_of(r), c.code);
    }
    EXPECT_EQ(r.text.find("InternalError"), std::string::npos) << r.text.substr(0, 400);
    expect_still_serving(c.name);
  }
}

}  // namespace
}  // namespace qvn::sandbox::testing
