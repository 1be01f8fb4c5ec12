// The transport as the programs use it: its TLS against the sandbox's
// controller, whose certificate only the sandbox's own authority vouches
// for (trusted with that authority, refused with the system's, accepted
// unchecked only when asked), and an upload that S3 refuses at once.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "e2e/cli_run.hpp"
#include "e2e/sandbox_process.hpp"
#include "http/curl_transport.hpp"
#include "http/transport_error.hpp"
#include "unit/loopback_server.hpp"

namespace qvn::e2e {
namespace {

class ControllerTls : public ::testing::Test {
 protected:
  http::HttpRequest requestsPage() const {
    http::HttpRequest request;
    request.url = "https://" + sandbox_.controller() + "/_sandbox/requests";
    return request;
  }

  ScratchFolder scratch_{"https_transport"};
  SandboxProcess sandbox_{"spoke.json", scratch_.path()};
};

TEST_F(ControllerTls, TrustsTheNamedAuthorityAndRefusesAnUnknownOne) {
  http::CurlTransport trusting(http::TlsSettings{sandbox_.get("QUORVANE_CONTROLLER_CA_BUNDLE"), true});
  const http::HttpResponse answer = trusting.send(requestsPage());
  EXPECT_EQ(answer.status, 200);
  EXPECT_NE(answer.body.find("\"requests\""), std::string::npos);
  // Again on the kept connection.
  EXPECT_EQ(trusting.send(requestsPage()).status, 200);

  http::CurlTransport system_trust(http::TlsSettings{});
  try {
    system_trust.send(requestsPage());
    FAIL() << "a certificate of an unknown authority was accepted";
  } catch (const http::TransportError& error) {
    EXPECT_EQ(error.kind(), http::TransportError::Kind::Tls) << error.what();
    EXPECT_NE(std::string(error.what()).find("certificate"), std::string::npos) << error.what();
  }

  http::CurlTransport unchecked(http::TlsSettings{"", false});
  EXPECT_EQ(unchecked.send(requestsPage()).status, 200);
}

TEST_F(ControllerTls, AnAuthorityFileThatCannotBeReadIsATlsFailure) {
  http::CurlTransport transport(http::TlsSettings{(scratch_.path() / "no-such-ca.pem").string(), true});
  try {
    transport.send(requestsPage());
    FAIL() << "no failure";
  } catch (const http::TransportError& error) {
    EXPECT_EQ(error.kind(), http::TransportError::Kind::Tls) << error.what();
  }
}

TEST(UploadRefusal, AnEarlyRefusalOfALargeUploadIsReportedAsTheRefusalAtOnce) {
  ScratchFolder scratch("early_refusal");
  const auto file = scratch.path() / "large.bin";
  std::ofstream(file, std::ios::binary).close();
  std::filesystem::resize_file(file, 50u << 20);
  qvn::testing::EarlyRefusalServer server;
  const auto start = std::chrono::steady_clock::now();
  const ProcessResult run =
      runProgram(programPath("qvn-aws"),
                 {"s3", "upload_file", "--input", R"({"Filename":")" + file.string() + R"(","Bucket":"b","Key":"k"})"},
                 scratch.path(), {{"AWS_ENDPOINT_URL", server.url()}, {"AWS_MAX_ATTEMPTS", ""}});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(run.status, 254) << run.err;
  EXPECT_NE(run.err.find("AccessDenied"), std::string::npos) << run.err;
  EXPECT_EQ(server.requests(), 1) << "a refusal is not sent again";
}

}  // namespace
}  // namespace qvn::e2e
