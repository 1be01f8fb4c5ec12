#include "lib/qvn_cred.hpp"

#include "core/logging.hpp"

namespace qvn {

std::string get_quorvane_cid(const std::string& controller_ip, const std::string& username,
                             const std::string& password) {
  const std::string url = "https://" + controller_ip + "/v1/api";
  const ControllerPayload payload{{"action", "login"}, {"username", username}, {"password", password}};
  const ControllerResponse response = _send_quorvane_api(url, "POST", payload, "login---", "  ");
  const nlohmann::json answer = response.json();
  if (!answer.is_object() || answer.value("return", false) != true) {
    std::string reason = "no reason given";
    if (answer.is_object() && answer.contains("reason")) {
      reason = answer["reason"].is_string() ? answer["reason"].get<std::string>() : answer["reason"].dump();
    }
    throw ControllerLoginError("the controller at " + controller_ip + " refused the login of " + username + ": " +
                               reason);
  }
  if (!answer.contains("CID") || !answer["CID"].is_string() || answer["CID"].get<std::string>().empty()) {
    throw ControllerLoginError("the controller at " + controller_ip + " accepted the login but sent no CID");
  }
  getLogger("quorvane_testlibs.bin.lib.qvn_cred")->debug("  logged in to the controller as " + username);
  return answer["CID"].get<std::string>();
}

}  // namespace qvn
