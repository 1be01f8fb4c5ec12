#include "awscli/cli_runner.hpp"

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "aws/debug_hook.hpp"
#include "aws/ec2_json.hpp"
#include "aws/errors.hpp"
#include "aws/iam_json.hpp"
#include "aws/s3_json.hpp"
#include "aws/session.hpp"
#include "aws/ssm_json.hpp"
#include "aws/sts_json.hpp"
#include "aws/wire_log.hpp"
#include "core/run_outcome.hpp"
#include "frame/closest_name.hpp"
#include "frame/command_line.hpp"

namespace qvn::awscli {

using namespace qvn::aws;

namespace {

constexpr const char* kUsage =
    "usage: qvn-aws SERVICE OPERATION [--region REGION] [--profile PROFILE] [--input JSON] [--no-paginate]\n"
    "               [--debug]";

constexpr const char* kDescription =
    "Sends one AWS request through the toolkit's own AWS client and prints the answer\n"
    "as JSON with AWS's member names: what the programs see, for support engineers.";

constexpr const char* kEpilog =
    "examples:\n"
    "  qvn-aws sts get_caller_identity\n"
    "  qvn-aws ec2 describe_subnets --input '{\"SubnetIds\":[\"subnet-1\"]}'\n"
    "  qvn-aws sts decode_authorization_message --input '{\"EncodedMessage\":\"...\"}'\n"
    "\n"
    "environment: credentials, region and endpoints come from AWS's standard chain and\n"
    "variables (AWS_PROFILE, AWS_ACCESS_KEY_ID, AWS_REGION, AWS_ENDPOINT_URL,\n"
    "AWS_CONFIG_FILE, AWS_MAX_ATTEMPTS, ...), as for the programs.\n"
    "\n"
    "exit status: 0 done; 2 usage error; 253 no credentials or bad configuration;\n"
    "254 AWS refused the request (the message and its request id on standard error);\n"
    "255 any other failure; 130 or 143 ended by SIGINT or SIGTERM.\n";

struct Options {
  std::vector<std::string> words;  // SERVICE OPERATION
  std::optional<std::string> region;
  std::optional<std::string> profile;
  std::string input = "{}";
  bool no_paginate = false;
  bool debug = false;  // every request and answer on standard error, secrets redacted
};

const std::vector<OptionSpec>& words() {
  static const std::vector<OptionSpec> table = {
      {"SERVICE", "ec2, iam, s3, ssm or sts"},
      {"OPERATION",
       "the operation in snake case (describe_subnets, get_caller_identity);\n"
       "a mistyped one suggests the closest, an unknown one lists them all"},
  };
  return table;
}

const std::vector<OptionRow<Options>>& rows() {
  static const std::vector<OptionRow<Options>> table = {
      {{"--region", "AWS region (default: AWS_REGION, AWS_DEFAULT_REGION, the profile's)"}, &Options::region},
      {{"--profile",
        "profile of the shared config and credentials files (default:\n"
        "AWS_PROFILE, else the default credential chain)"},
       &Options::profile},
      {{"--input", "the request as a JSON object with AWS's member names (default: {})", false, false, {}, "JSON"},
       &Options::input},
      {{"--no-paginate", "return the first page only (default: follow every page)", true}, &Options::no_paginate},
      {{"--debug",
        "name the credential source and profile, then show every request\n"
        "and answer on standard error, secrets redacted (default: off)",
        true},
       &Options::debug},
  };
  return table;
}

// The operations of a service on a given sender, or, without a sender,
// through a client of the session.
struct Service {
  std::string name;
  ServiceId id;
  std::function<std::vector<JsonOperation>(std::shared_ptr<OperationSender>)> on_sender;
  std::function<std::vector<JsonOperation>(std::shared_ptr<Session>, std::optional<std::string>)> on_session;
};

template <class Client, class Table>
Service service(const std::string& name, ServiceId id, Table table) {
  return {name, std::move(id),
          [table](std::shared_ptr<OperationSender> s) { return table(std::make_shared<Client>(std::move(s))); },
          [table](std::shared_ptr<Session> s, std::optional<std::string> r) {
            return table(std::make_shared<Client>(std::move(s), std::move(r)));
          }};
}

std::vector<Service> services() {
  return {service<Ec2Client>("ec2", Ec2Client::service_id(), ec2_json_operations),
          service<IamClient>("iam", IamClient::service_id(), iam_json_operations),
          service<S3Client>("s3", S3Client::service_id(), s3_json_operations),
          service<SsmClient>("ssm", SsmClient::service_id(), ssm_json_operations),
          service<StsClient>("sts", sts_service_id(), sts_json_operations)};
}

std::string names(const std::vector<JsonOperation>& table) {
  std::string out;
  for (const auto& op : table) out += (out.empty() ? "" : ", ") + op.name;
  return out;
}

// The closest operation when the name looks like a slip, else all of them.
std::string unknownOperation(const std::string& service, const std::string& operation,
                             const std::vector<JsonOperation>& table) {
  std::vector<std::string> known;
  for (const auto& op : table) known.push_back(op.name);
  const std::string head = "unknown operation \"" + operation + "\" of " + service;
  if (auto closest = closestName(operation, known)) return head + "; did you mean \"" + *closest + "\"?";
  return head + "; one of: " + names(table);
}

// What the command line asks for, checked: a known service and operation
// and a JSON object as input.
struct Request {
  Options options;
  Service service;
  std::string operation;
  shape::Json input;
};

// Usage errors end as ProgramExit{2}, help and version as ProgramExit{0}.
Request parseRequest(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  Options options;
  CommandLine line("qvn-aws", kDescription, kEpilog);
  line.setUsage(kUsage);
  line.bindWords(words(), options.words);
  line.bind(rows(), options);
  line.parse(args, out, err);
  if (options.words.size() != 2) line.fail("expected SERVICE and OPERATION", err);
  const std::string& service_name = options.words[0];
  std::optional<Service> chosen;
  std::string known;
  for (auto& s : services()) {
    known += (known.empty() ? "" : ", ") + s.name;
    if (s.name == service_name) chosen = std::move(s);
  }
  if (!chosen) line.fail("unknown service \"" + service_name + "\"; one of: " + known, err);
  const std::string operation = options.words[1];
  const auto table = chosen->on_sender(nullptr);
  if (!find_operation(table, operation)) line.fail(unknownOperation(service_name, operation, table), err);
  shape::Json input = shape::Json::parse(options.input, nullptr, false);
  if (input.is_discarded()) line.fail("--input is not valid JSON", err);
  if (!input.is_object()) line.fail("--input must be a JSON object", err);
  return {std::move(options), std::move(*chosen), operation, std::move(input)};
}

// --debug: where the session's credentials come from, before any call.
void tellCredentialSource(const Session& session, std::ostream& err) {
  const Credentials credentials = session.credentials();
  err << "qvn-aws: credentials: " << (credentials.source.empty() ? "given" : credentials.source) << ", profile "
      << session.profile_name() << "\n";
}

// The request sent and its outcome as the exit status: 0 done, 2 a member
// of the input refused by the client, 253 credentials or configuration, 254
// refused by AWS, 255 any other failure.
int send(const Request& request, std::ostream& out, std::ostream& err, const CliEnvironment& environment) {
  const Options& options = request.options;
  const Service* chosen = &request.service;
  const shape::Json& input = request.input;
  std::string api_name = request.operation;
  // The client's own events go to `err` only while this call runs.
  struct HookReset {
    bool active = false;
    ~HookReset() {
      if (active) set_debug_hook({});
    }
  } hook_reset;
  try {
    std::vector<JsonOperation> table;
    if (environment.make_sender) {
      table = chosen->on_sender(environment.make_sender(chosen->id));
    } else {
      SessionOptions session_options;
      session_options.profile = options.profile;
      session_options.region = options.region;
      session_options.transport = environment.transport;
      if (options.debug) {
        session_options.transport = std::make_shared<WireLogTransport>(
            session_options.transport ? session_options.transport : http::default_http_transport(), err);
        set_debug_hook([&err](const std::string& line) { err << "qvn-aws: " << line << "\n"; });
        hook_reset.active = true;
      }
      const auto session = Session::create(session_options);
      if (options.debug) tellCredentialSource(*session, err);
      table = chosen->on_session(session, options.region);
    }
    const JsonOperation* op = find_operation(table, request.operation);
    api_name = op->api_name;
    const shape::Json result = op->invoke(input, options.no_paginate ? Pages::One : Pages::All);
    if (!result.empty()) out << result.dump(4, ' ', false) << "\n";
    return 0;
  } catch (const shape::JsonInputError& e) {
    err << "\nParameter validation failed:\n" << e.what() << "\n";
    return 2;
  } catch (const ServiceError& e) {
    err << "\nAn error occurred (" << e.code() << ") when calling the " << api_name << " operation: " << e.message()
        << "\n";
    if (!e.request_id().empty()) err << "Request ID: " << e.request_id() << "\n";
    return 254;
  } catch (const CredentialsError& e) {
    err << "qvn-aws: error: " << e.what() << "\n";
    return 253;
  } catch (const ConfigError& e) {
    err << "qvn-aws: error: " << e.what() << "\n";
    return 253;
  } catch (const std::exception& e) {
    err << "qvn-aws: error: " << api_name << ": " << e.what() << "\n";
    return 255;
  }
}

}  // namespace

int run_aws_cli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                const CliEnvironment& environment) {
  std::optional<Request> request;
  try {
    request = parseRequest(args, out, err);
  } catch (const ProgramExit& exit) {
    return exit.status;
  }
  return send(*request, out, err, environment);
}

}  // namespace qvn::awscli
