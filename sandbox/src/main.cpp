// qvn-sandbox: the local AWS sandbox server.
//
//   qvn-sandbox --scenario FILE [--port 0] [--controller-port 0] [--env-file FILE] [--work-dir DIR]
//
// Prints the environment a client needs (and writes it to --env-file), then a
// ready line, and serves until SIGTERM or SIGINT.
#include <signal.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "frame/command_line.hpp"
#include "frame/program_main.hpp"
#include "modules.hpp"
#include "quorvane_version.hpp"
#include "scenario.hpp"
#include "server.hpp"

namespace fs = std::filesystem;
using namespace qvn::sandbox;

namespace {

constexpr const char* kEpilog =
    "It prints the environment a client needs (and writes it to --env-file), then a\n"
    "line with \"ready\", and serves until SIGTERM or SIGINT:\n"
    "\n"
    "  qvn-sandbox --scenario /usr/share/quorvane_testlibs/scenarios/spoke.json \\\n"
    "    --env-file /tmp/sandbox.env &\n"
    "  set -a; . /tmp/sandbox.env; set +a\n"
    "\n"
    "scenarios: spoke.json, spoke-hs.json, natgw.json, pipeline.json (both a spoke and a NAT\n"
    "gateway VPC) and empty.json, in /usr/share/quorvane_testlibs/scenarios/ of the package\n"
    "and sandbox/scenarios/ of the source tree.\n"
    "\n"
    "QUORVANE_TIME_SCALE scales the instance life cycle as it scales the programs'\n"
    "waits: give the sandbox and the programs the same value.\n"
    "\n"
    "environment: QUORVANE_TIME_SCALE (default 1).\n"
    "\n"
    "exit status: 0 stopped by a signal (SIGTERM or SIGINT); 1 could not start; 2 usage error.\n";

// A port number from 0 to 65535, or a usage error naming the option.
int portOf(const qvn::CommandLine& line, const std::string& option, const std::string& text) {
  std::size_t used = 0;
  int value = -1;
  try {
    value = std::stoi(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || value < 0 || value > 65535) {
    line.fail(option + ": '" + text + "' is not a port number (0 to 65535)", std::cerr);
  }
  return value;
}

struct SandboxArgs {
  std::string scenario_file;
  std::string env_file;
  std::string work_dir;
  int port = 0;
  int controller_port = 0;
};

SandboxArgs parseArgs(const std::vector<std::string>& arguments) {
  SandboxArgs args;
  std::string port_text = "0";
  std::string controller_port_text = "0";
  qvn::CommandLine line("qvn-sandbox",
                        "Local AWS sandbox: EC2, IAM, STS, SSM, S3, instance metadata, IP echo and the "
                        "controller API on 127.0.0.1",
                        kEpilog);
  line.bind({"--scenario",
             "scenario file (JSON) loaded at start, e.g. /usr/share/quorvane_testlibs/scenarios/spoke.json "
             "(required)",
             false, true}, args.scenario_file);
  line.bind({"--port", "port on 127.0.0.1 for AWS and the plain-HTTP services (default: 0, a free one)"}, port_text);
  line.bind({"--controller-port", "port of the controller's HTTPS API (default: 0, a free one)"}, controller_port_text);
  line.bind({"--env-file", "write the client environment here as NAME=value lines (default: standard output only)"}, args.env_file);
  line.bind({"--work-dir",
             "folder for the credentials, config and certificate files (default: sandbox-work beside "
             "--env-file, else a new /tmp/qvn-sandbox-XXXXXX)"}, args.work_dir);
  line.parse(arguments, std::cout, std::cerr);
  args.port = portOf(line, "--port", port_text);
  args.controller_port = portOf(line, "--controller-port", controller_port_text);
  return args;
}

// Starts the services and serves until a signal.
int serve(const std::vector<std::string>& arguments) {
  SandboxArgs args = parseArgs(arguments);
  const std::string& scenario_file = args.scenario_file;
  const std::string& env_file = args.env_file;
  std::string& work_dir = args.work_dir;

  // Signals are taken by a thread of their own; block them everywhere else.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  if (work_dir.empty()) {
    if (!env_file.empty()) {
      fs::path parent = fs::absolute(env_file).parent_path();
      work_dir = (parent / "sandbox-work").string();
    } else {
      char pattern[] = "/tmp/qvn-sandbox-XXXXXX";
      if (!mkdtemp(pattern)) throw std::runtime_error("cannot make a work folder in /tmp");
      work_dir = pattern;
    }
  }
  fs::create_directories(work_dir);
  work_dir = fs::absolute(work_dir).string();

  const Json scenario = load_scenario_file(scenario_file);
  SandboxServer server;
  server.add_service(make_ec2_service());
  server.add_service(make_iam_service());
  server.add_service(make_sts_service());
  server.add_service(make_ssm_service());
  server.add_service(make_s3_service());
  server.load_scenario(scenario);
  mount_instance_metadata(server.http(), server.world());
  mount_ip_echo(server.http(), server.world());
  auto controller = make_controller_server(server.world(), work_dir);

  const int aws_port = server.start(args.port);
  const int https_port = controller->start(args.controller_port);
  const ClientFiles files = write_client_files(scenario, work_dir);

  const std::string base = "http://127.0.0.1:" + std::to_string(aws_port);
  const std::vector<std::pair<std::string, std::string>> env = {
      {"AWS_ENDPOINT_URL", base},
      {"AWS_EC2_METADATA_SERVICE_ENDPOINT", base + "/"},
      {"AWS_SHARED_CREDENTIALS_FILE", files.credentials_file},
      {"AWS_CONFIG_FILE", files.config_file},
      {"QUORVANE_IP_ECHO_URL", base + "/ip-echo?format=json"},
      {"QUORVANE_CONTROLLER_CA_BUNDLE", controller->ca_file()},
      {"QUORVANE_SANDBOX_CONTROLLER", "127.0.0.1:" + std::to_string(https_port)},
  };
  std::string lines;
  for (const auto& [k, v] : env) lines += k + "=" + v + "\n";
  if (!env_file.empty()) {
    std::ofstream out(env_file, std::ios::trunc);
    out << lines;
    if (!out) throw std::runtime_error("cannot write " + env_file);
  }
  std::cout << lines << "qvn-sandbox ready on " << base << " (scenario " << scenario.value("name", scenario_file)
            << ")" << std::endl;

  int received = 0;
  sigwait(&signals, &received);
  std::cout << "qvn-sandbox: stopping" << std::endl;
  controller->stop();
  server.stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return qvn::runProgram({"qvn-sandbox", QUORVANE_VERSION_TEXT}, argc, argv, serve);
}
