// The socket transport's TLS against the sandbox's controller, whose
// certificate only the sandbox's own authority vouches for: trusted with
// that authority, refused with the system's, accepted unchecked only when
// asked.
#include <gtest/gtest.h>

#include "e2e/cli_run.hpp"
#include "e2e/sandbox_process.hpp"
#include "http/socket_transport.hpp"
#include "http/transport_error.hpp"

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
  http::SocketTransport trusting(http::TlsSettings{sandbox_.get("QUORVANE_CONTROLLER_CA_BUNDLE"), true});
  const http::HttpResponse answer = trusting.send(requestsPage());
  EXPECT_EQ(answer.status, 200);
  EXPECT_NE(answer.body.find("\"requests\""), std::string::npos);
  // Again on the kept connection.
  EXPECT_EQ(trusting.send(requestsPage()).status, 200);

  http::SocketTransport system_trust(http::TlsSettings{});
  try {
    system_trust.send(requestsPage());
    FAIL() << "a certificate of an unknown authority was accepted";
  } catch (const http::TransportError& error) {
    EXPECT_EQ(error.kind(), http::TransportError::Kind::Tls) << error.what();
    EXPECT_NE(std::string(error.what()).find("certificate"), std::string::npos) << error.what();
  }

  http::SocketTransport unchecked(http::TlsSettings{"", false});
  EXPECT_EQ(unchecked.send(requestsPage()).status, 200);
}

TEST_F(ControllerTls, AnAuthorityFileThatCannotBeReadIsATlsFailure) {
  http::SocketTransport transport(http::TlsSettings{(scratch_.path() / "no-such-ca.pem").string(), true});
  try {
    transport.send(requestsPage());
    FAIL() << "no failure";
  } catch (const http::TransportError& error) {
    EXPECT_EQ(error.kind(), http::TransportError::Kind::Tls) << error.what();
  }
}

}  // namespace
}  // namespace qvn::e2e
