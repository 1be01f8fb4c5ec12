#pragma once
// The sandbox's stand-in for the controller's HTTPS API (/v1/api and
// /v2/api): a login that hands out a session id (CID) for the scenario's
// user, and the gateway list (action list_vpcs_summary) from the scenario.
// Every answer is HTTP 200 with {"return": true, ...} or {"return": false,
// "reason": "..."}. See sandbox/docs/controller.md.
//
// Scenario member "controller": {"username", "password", "gateways": [gateway
// records as the controller reports them], "cid_lifetime_seconds" (default
// 3600), "list_error" (a reason: every gateway list fails with it)}.
#include <map>
#include <mutex>
#include <string>

#include "service.hpp"

namespace qvn::sandbox {

class ControllerApi {
 public:
  explicit ControllerApi(World& world) : world_(world) {}
  // One API request: the parameters of the form body or the query string.
  Json call(const std::string& version, const Pairs& params);

  // The request log: per request its method, path, action and the names
  // (never the values) of its query and body parameters, oldest first.
  void record(const std::string& method, const std::string& path, const Pairs& query, const Pairs& body);
  Json requests();

 private:
  Json login(const Json& cfg, const Pairs& params);
  Json list_vpcs_summary(const Json& cfg, const Pairs& params);

  World& world_;
  std::mutex mutex_;
  std::map<std::string, Clock::time_point> sessions_;  // CID -> expiry
  Json log_ = Json::array();
};

}  // namespace qvn::sandbox
