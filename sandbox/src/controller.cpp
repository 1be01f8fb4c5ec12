#include "controller.hpp"

#include <chrono>
#include <thread>

#include <httplib.h>

#include "controller_cert.hpp"
#include "core/clock.hpp"
#include "modules.hpp"
#include "query_xml.hpp"

namespace qvn::sandbox {

namespace {

std::string param(const Pairs& params, const std::string& name) {
  for (const auto& [k, v] : params)
    if (k == name) return v;
  return {};
}

bool has_param(const Pairs& params, const std::string& name) {
  for (const auto& [k, v] : params)
    if (k == name) return true;
  return false;
}

Json refused(const std::string& reason) { return Json{{"return", false}, {"reason", reason}}; }

// Constant-time comparison, so that the password check leaks nothing by timing.
bool same_secret(const std::string& a, const std::string& b) {
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
  return diff == 0;
}

// The parameters of the URL's query string alone (httplib's req.params also
// holds the fields of a form body).
Pairs query_of(const httplib::Request& req) {
  const auto mark = req.target.find('?');
  if (mark == std::string::npos) return {};
  httplib::Params query;
  httplib::detail::parse_query_text(req.target.substr(mark + 1), query);
  return Pairs(query.begin(), query.end());
}

Json names_of(const Pairs& params) {
  Json names = Json::array();
  for (const auto& [k, v] : params) names.push_back(k);
  return names;
}

}  // namespace

void ControllerApi::record(const std::string& method, const std::string& path, const Pairs& query, const Pairs& body) {
  std::string action = param(body, "action");
  if (action.empty()) action = param(query, "action");
  std::lock_guard lock(mutex_);
  log_.push_back(
      {{"method", method}, {"path", path}, {"action", action}, {"query", names_of(query)}, {"body", names_of(body)}});
}

Json ControllerApi::requests() {
  std::lock_guard lock(mutex_);
  return Json{{"requests", log_}};
}

Json ControllerApi::call([[maybe_unused]] const std::string& version, const Pairs& params) {
  const Json scenario = world_.scenario_snapshot();
  const Json cfg =
      scenario.contains("controller") && scenario["controller"].is_object() ? scenario["controller"] : Json::object();
  const std::string action = param(params, "action");
  if (action.empty()) return refused("API action is missing.");
  if (action == "login") return login(cfg, params);
  // Both API versions answer the gateway list with the same records.
  if (action == "list_vpcs_summary") return list_vpcs_summary(cfg, params);
  return refused("Invalid action: " + action);
}

Json ControllerApi::login(const Json& cfg, const Pairs& params) {
  const std::string user = param(params, "username");
  const std::string password = param(params, "password");
  const std::string want_user = cfg.value("username", std::string("admin"));
  const std::string want_password = cfg.value("password", std::string());
  if (want_password.empty() || user != want_user || !same_secret(password, want_password))
    return refused("Invalid username or password.");
  const std::string cid = random_chars(24, kBase64Chars.substr(0, 62));
  {
    std::lock_guard lock(mutex_);
    const auto now = core::now();
    for (auto it = sessions_.begin(); it != sessions_.end();)
      it = it->second <= now ? sessions_.erase(it) : std::next(it);
    sessions_[cid] = now + std::chrono::seconds(cfg.value("cid_lifetime_seconds", 3600));
  }
  return Json{{"return", true},
              {"results", "User login:" + user + " in account:" + user + " has been authorized successfully."},
              {"CID", cid}};
}

Json ControllerApi::list_vpcs_summary(const Json& cfg, const Pairs& params) {
  {
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(param(params, "CID"));
    if (it == sessions_.end() || it->second <= core::now()) return refused("CID is invalid or expired.");
  }
  if (cfg.contains("list_error")) return refused(cfg["list_error"].get<std::string>());
  const std::string name = param(params, "gateway_name");
  const std::string account = param(params, "account_name");
  Json results = Json::array();
  for (const auto& gw : cfg.value("gateways", Json::array())) {
    if (has_param(params, "gateway_name") && !name.empty() && gw.value("gw_name", std::string()) != name) continue;
    if (!account.empty() && gw.value("account_name", std::string()) != account) continue;
    results.push_back(gw);
  }
  return Json{{"return", true}, {"results", results}};
}

namespace {

class HttpsController final : public ControllerServer {
 public:
  HttpsController(World& world, const std::string& work_dir)
      : files_(make_controller_certificates(work_dir)),
        server_(files_.cert_file.c_str(), files_.key_file.c_str()),
        api_(std::make_shared<ControllerApi>(world)) {
    if (!server_.is_valid()) throw std::runtime_error("controller: TLS set-up failed with " + files_.cert_file);
    server_.set_keep_alive_timeout(2);
    server_.set_read_timeout(10);
    server_.set_write_timeout(10);
    auto api = api_;
    auto answer = [api](const std::string& version, const Pairs& params, httplib::Response& res) {
      res.set_content(api->call(version, params).dump(), "application/json");
    };
    for (std::string version : {"v1", "v2"}) {
      const std::string path = "/" + version + "/api";
      server_.Get(path, [api, answer, version, path](const httplib::Request& req, httplib::Response& res) {
        Pairs params(req.params.begin(), req.params.end());
        api->record("GET", path, params, {});
        answer(version, params, res);
      });
      server_.Post(path, [api, answer, version, path](const httplib::Request& req, httplib::Response& res) {
        // Form fields (application/x-www-form-urlencoded or multipart), then the query.
        Pairs params;
        if (req.is_multipart_form_data()) {
          for (const auto& [k, f] : req.files) params.emplace_back(k, f.content);
        } else {
          httplib::Params form;
          httplib::detail::parse_query_text(req.body, form);
          params.assign(form.begin(), form.end());
        }
        const Pairs query = query_of(req);
        api->record("POST", path, query, params);
        for (const auto& kv : query) params.push_back(kv);
        answer(version, params, res);
      });
    }
    server_.Get("/_sandbox/requests", [api](const httplib::Request&, httplib::Response& res) {
      res.set_content(api->requests().dump(), "application/json");
    });
  }
  ~HttpsController() override { stop(); }

  int start(int port) override {
    if (port == 0) {
      port_ = server_.bind_to_any_port("127.0.0.1");
      if (port_ <= 0) throw std::runtime_error("controller: cannot listen on 127.0.0.1");
    } else {
      if (!server_.bind_to_port("127.0.0.1", port))
        throw std::runtime_error("controller: cannot listen on 127.0.0.1:" + std::to_string(port));
      port_ = port;
    }
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // stop() only reaches a server that has entered its accept loop.
    for (int i = 0; i < 5000 && !server_.is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return port_;
  }

  void stop() override {
    server_.stop();
    if (thread_.joinable()) thread_.join();
  }

  std::string ca_file() const override { return files_.ca_file; }

 private:
  ControllerCertificates files_;
  httplib::SSLServer server_;
  std::shared_ptr<ControllerApi> api_;
  std::thread thread_;
  int port_ = 0;
};

}  // namespace

std::unique_ptr<ControllerServer> make_controller_server(World& world, const std::string& work_dir) {
  return std::make_unique<HttpsController>(world, work_dir);
}

}  // namespace qvn::sandbox
