#pragma once
// The controller login.
#include <stdexcept>
#include <string>

#include "lib/qvn_https.hpp"

namespace qvn {

// The controller refused the login; what() carries the controller's reason.
class ControllerLoginError : public ControllerError {
 public:
  using ControllerError::ControllerError;
};

// Logs in to the controller at `controller_ip` (address, optionally with
// ":port", no scheme or path) and returns the session identifier (CID).
// The password travels only in the POST body and is never logged.
// Throws ControllerLoginError for a refused login or an answer without a
// CID, and the errors of _send_quorvane_api.
std::string get_quorvane_cid(const std::string& controller_ip, const std::string& username,
                             const std::string& password);

}  // namespace qvn
