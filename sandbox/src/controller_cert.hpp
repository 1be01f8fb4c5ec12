#pragma once
// The certificates of the sandbox controller's HTTPS API: a private CA made
// at start and a server certificate for localhost and 127.0.0.1 signed by it.
#include <string>

namespace qvn::sandbox {

struct ControllerCertificates {
  std::string ca_file;    // PEM of the CA certificate (what clients trust)
  std::string cert_file;  // PEM of the server certificate
  std::string key_file;   // PEM of the server's private key (mode 0600)
};

// Makes fresh keys and certificates in `work_dir` (created if missing).
// Throws std::runtime_error naming the file or OpenSSL step that failed.
ControllerCertificates make_controller_certificates(const std::string& work_dir);

}  // namespace qvn::sandbox
