// The public-IP echo service: GET /ip-echo?format=json answers {"ip": "..."}
// with the scenario's address ("ip_echo": {"ip": "203.0.113.10"}); without
// format=json the address alone, as text. "ip_echo": {"status": 503} makes
// it fail with that status instead.
#include <httplib.h>

#include "modules.hpp"

namespace qvn::sandbox {

void mount_ip_echo(httplib::Server& server, World& world) {
  server.Get("/ip-echo", [&world](const httplib::Request& req, httplib::Response& res) {
    const Json scenario = world.scenario_snapshot();
    const Json cfg =
        scenario.contains("ip_echo") && scenario["ip_echo"].is_object() ? scenario["ip_echo"] : Json::object();
    const int status = cfg.value("status", 200);
    if (status != 200) {
      res.status = status;
      res.set_content("{\"error\": \"service unavailable\"}", "application/json");
      return;
    }
    const std::string ip = cfg.value("ip", std::string("203.0.113.10"));
    if (req.get_param_value("format") == "json")
      res.set_content(Json{{"ip", ip}}.dump(), "application/json");
    else
      res.set_content(ip, "text/plain");
  });
}

}  // namespace qvn::sandbox
