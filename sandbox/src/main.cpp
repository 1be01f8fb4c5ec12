// qvn-sandbox: the local AWS sandbox server.
//
//   qvn-sandbox --scenario FILE [--port 0] [--env-file FILE]
//
// Prints the environment a client needs (and writes it to --env-file), then a
// ready line, and serves until SIGTERM or SIGINT.
#include <signal.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

#include <CLI/CLI.hpp>

#include "modules.hpp"
#include "scenario.hpp"
#include "server.hpp"

namespace fs = std::filesystem;
using namespace qvn::sandbox;

int main(int argc, char** argv) {
  CLI::App app{"Local AWS sandbox: EC2, IAM, STS, SSM, S3, instance metadata, IP echo and the "
               "controller API on 127.0.0.1"};
  std::string scenario_file;
  int port = 0;
  int controller_port = 0;
  std::string env_file;
  std::string work_dir;
  app.add_option("--scenario", scenario_file, "scenario file (JSON)")->required();
  app.add_option("--port", port, "port for AWS and the plain-HTTP services (0: a free one)");
  app.add_option("--controller-port", controller_port, "port of the controller's HTTPS API (0: a free one)");
  app.add_option("--env-file", env_file, "write the client environment here (NAME=value lines)");
  app.add_option("--work-dir", work_dir, "folder for the credentials, config and certificate files");
  CLI11_PARSE(app, argc, argv);

  // Signals are taken by a thread of their own; block them everywhere else.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  try {
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

    const int aws_port = server.start(port);
    const int https_port = controller->start(controller_port);
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
    std::cout << lines << "qvn-sandbox ready on " << base << " (scenario "
              << scenario.value("name", scenario_file) << ")" << std::endl;

    int received = 0;
    sigwait(&signals, &received);
    std::cout << "qvn-sandbox: stopping" << std::endl;
    controller->stop();
    server.stop();
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "qvn-sandbox: error: " << e.what() << std::endl;
    return 1;
  }
}
