#pragma once
// The qvn-aws command line: one AWS operation from the command line,
//
//   qvn-aws SERVICE OPERATION [--region R] [--profile P] [--input JSON] [--no-paginate] [--debug]
//
// sent through the typed client and printed as JSON with AWS's member
// names; --debug shows every request and answer on standard error, with
// signatures, tokens, secret keys and key material redacted. The command
// line is the programs' own (frame/command_line.hpp): -h/--help, --version,
// the closest option suggested for a mistyped one. Exit status: 0 done (help
// and version too); 2 usage error (unknown service, operation or option, bad
// JSON, unknown or ill-typed input member); 253 no usable credentials or
// configuration; 254 AWS refused the request; 255 any other failure
// (network, local file, unreadable answer).
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "aws/service_client.hpp"
#include "http/http_transport.hpp"

namespace qvn::awscli {

struct CliEnvironment {
  // Makes the sender for a service; empty: a ServiceClient of a session
  // built from --profile and --region with the usual credential chain.
  std::function<std::shared_ptr<aws::OperationSender>(const aws::ServiceId&)> make_sender;
  // The HTTP transport of that session; null: the process-wide one.
  std::shared_ptr<http::HttpTransport> transport;
};

int run_aws_cli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                const CliEnvironment& environment = {});

}  // namespace qvn::awscli
