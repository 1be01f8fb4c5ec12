#include "awscli/cli_runner.hpp"

#include <optional>
#include <ostream>

#include "aws/debug_hook.hpp"
#include "aws/ec2_json.hpp"
#include "aws/errors.hpp"
#include "aws/iam_json.hpp"
#include "aws/s3_json.hpp"
#include "aws/session.hpp"
#include "aws/ssm_json.hpp"
#include "aws/sts_json.hpp"
#include "aws/wire_log.hpp"
#include "frame/closest_name.hpp"

namespace qvn::aws {
namespace {

constexpr const char* kUsage =
    "usage: qvn-aws SERVICE OPERATION [--region REGION] [--profile PROFILE] [--input JSON] [--no-paginate]\n"
    "               [--debug]\n"
    "services: ec2, iam, s3, ssm, sts";

struct UsageError {
  std::string message;
};

struct Options {
  std::string service;
  std::string operation;
  std::optional<std::string> region;
  std::optional<std::string> profile;
  std::string input = "{}";
  bool paginate = true;
  bool debug = false;  // every request and answer on standard error, secrets redacted
};

Options parse(const std::vector<std::string>& args) {
  Options o;
  std::vector<std::string> positional;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const auto value = [&](const std::string& name) {
      if (i + 1 >= args.size()) throw UsageError{"option " + name + " needs a value"};
      return args[++i];
    };
    if (a == "--region") {
      o.region = value(a);
    } else if (a == "--profile") {
      o.profile = value(a);
    } else if (a == "--input") {
      o.input = value(a);
    } else if (a == "--no-paginate") {
      o.paginate = false;
    } else if (a == "--debug") {
      o.debug = true;
    } else if (a.starts_with("--")) {
      throw UsageError{unknownOptionMessage(
          a, {"--region", "--profile", "--input", "--no-paginate", "--debug", "--help", "--version"})};
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() != 2) throw UsageError{"expected SERVICE and OPERATION"};
  o.service = positional[0];
  o.operation = positional[1];
  return o;
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
std::string unknownOperation(const Options& options, const std::vector<JsonOperation>& table) {
  std::vector<std::string> known;
  for (const auto& op : table) known.push_back(op.name);
  const std::string head = "unknown operation \"" + options.operation + "\" of " + options.service;
  if (auto closest = closestName(options.operation, known)) return head + "; did you mean \"" + *closest + "\"?";
  return head + "; one of: " + names(table);
}

// --debug: where the session's credentials come from, before any call.
void tellCredentialSource(const Session& session, std::ostream& err) {
  const Credentials credentials = session.credentials();
  err << "qvn-aws: credentials: " << (credentials.source.empty() ? "given" : credentials.source) << ", profile "
      << session.profile_name() << "\n";
}

}  // namespace

int run_aws_cli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                const CliEnvironment& environment) {
  Options options;
  std::optional<Service> chosen;
  shape::Json input;
  try {
    options = parse(args);
    for (auto& s : services()) {
      if (s.name == options.service) chosen = std::move(s);
    }
    if (!chosen) throw UsageError{"unknown service \"" + options.service + "\""};
    const auto table = chosen->on_sender(nullptr);
    if (!find_operation(table, options.operation)) throw UsageError{unknownOperation(options, table)};
    input = shape::Json::parse(options.input, nullptr, false);
    if (input.is_discarded()) throw UsageError{"--input is not valid JSON"};
    if (!input.is_object()) throw UsageError{"--input must be a JSON object"};
  } catch (const UsageError& e) {
    err << "qvn-aws: error: " << e.message << "\n" << kUsage << "\n";
    return 2;
  }

  std::string api_name = options.operation;
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
    const JsonOperation* op = find_operation(table, options.operation);
    api_name = op->api_name;
    const shape::Json result = op->invoke(input, options.paginate ? Pages::All : Pages::One);
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

}  // namespace qvn::aws
