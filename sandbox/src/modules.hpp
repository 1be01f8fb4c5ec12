#pragma once
// The parts the sandbox server is assembled from. Each factory lives in the
// file of its service.
#include <memory>
#include <string>

#include "service.hpp"

namespace httplib {
class Server;
}

namespace qvn::sandbox {

// AWS services, answered on the sandbox's one HTTP port and routed by the
// service named in the request's SigV4 credential scope.
std::unique_ptr<Service> make_ec2_service();
std::unique_ptr<Service> make_iam_service();
std::unique_ptr<Service> make_sts_service();
std::unique_ptr<Service> make_ssm_service();
std::unique_ptr<Service> make_s3_service();

// Plain-HTTP stand-ins on the same port.
// Instance metadata (IMDSv2 token, identity document, role credentials) under /latest/.
void mount_instance_metadata(httplib::Server& server, World& world);
// The public-IP echo service under /ip-echo (answers ?format=json).
void mount_ip_echo(httplib::Server& server, World& world);

// The controller's HTTPS API, on a port of its own with a certificate made at start.
class ControllerServer {
 public:
  virtual ~ControllerServer() = default;
  // Starts listening on 127.0.0.1 (port 0: a free one); returns the port.
  virtual int start(int port) = 0;
  virtual void stop() = 0;
  // The PEM file of the CA that signed the controller's certificate.
  virtual std::string ca_file() const = 0;
};
// `work_dir` is where the certificate files are written.
std::unique_ptr<ControllerServer> make_controller_server(World& world, const std::string& work_dir);

}  // namespace qvn::sandbox
